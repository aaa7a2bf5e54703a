#include "common/mask_bar.h"

namespace vellicor {

void printMaskBar(Output& output, std::uint64_t mask, std::uint32_t count) {
  if (count < 1 || count > 64) {
    return;
  }
  for (std::uint32_t bit = count; bit-- > 0;) {
    output.writeBarCharacter(((mask >> bit) & 1U) != 0 ? '*' : '-');
  }
}

}  // namespace vellicor
