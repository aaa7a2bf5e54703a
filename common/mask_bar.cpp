#include "common/mask_bar.h"

namespace vellicor {

void printMaskBar(Output& output, const AffinityMask& mask, std::uint32_t span) {
  for (std::uint32_t processor = span; processor-- > 0;) {
    output.writeBarCharacter(mask.test(processor) ? '*' : '-');
  }
}

}  // namespace vellicor
