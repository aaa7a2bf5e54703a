#include "platform/platform.h"

#include <new>

namespace vellicor {

std::unique_ptr<std::byte[]> Platform::allocateBuffer(std::uint32_t length) {
  return std::unique_ptr<std::byte[]>(new (std::nothrow) std::byte[length]);
}

}  // namespace vellicor
