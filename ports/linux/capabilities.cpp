#include "ports/linux/capabilities.h"

#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace vellicor::linux_platform {

bool hasEffectiveCapability(int capability) {
  // Version 3 sets are two 32-bit words; the C library offers no wrapper for capget.
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
  if (capability < 0 || capability >= 32 * _LINUX_CAPABILITY_U32S_3 ||
      syscall(SYS_capget, &header, data) != 0) {
    return false;
  }
  return (data[capability / 32].effective & (1u << (capability % 32))) != 0;
}

}  // namespace vellicor::linux_platform
