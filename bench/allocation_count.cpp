#include "bench/allocation_count.h"

#include <cstdlib>
#include <new>

// In a file of their own: where a caller sees these definitions, the compiler mistakes the
// pairing of malloc and free behind new and delete for a mismatch.

namespace {

std::size_t allocations = 0;

}  // namespace

void* operator new(std::size_t size) {
  ++allocations;
  if (void* memory = std::malloc(size == 0 ? 1 : size)) {
    return memory;
  }
  throw std::bad_alloc();
}

void operator delete(void* memory) noexcept {
  std::free(memory);
}

void operator delete(void* memory, std::size_t) noexcept {
  std::free(memory);
}

namespace vellicor::bench {

std::size_t allocationCount() {
  return allocations;
}

}  // namespace vellicor::bench
