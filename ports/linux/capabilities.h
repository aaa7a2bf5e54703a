#pragma once

// The capabilities this process holds, as the kernel checks them for the calls the program
// makes: CAP_SYS_NICE to change another user's affinity, CAP_SYS_PTRACE to trace a program that
// gains privileges when executed.

namespace vellicor::linux_platform {

// Whether `capability` (CAP_SYS_NICE, ...) is in this thread's effective set. False when the
// set cannot be read.
bool hasEffectiveCapability(int capability);

}  // namespace vellicor::linux_platform
