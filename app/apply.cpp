#include "app/apply.h"

#include "common/mask_bar.h"
#include "common/wide_format.h"

namespace vellicor {

namespace {

// Closes the process when the step that opened it ends, whichever way it ends.
class OpenedProcess {
 public:
  OpenedProcess(Platform& platform, OsHandle handle) : platform_(platform), handle_(handle) {}
  ~OpenedProcess() { platform_.closeHandle(handle_); }
  OpenedProcess(const OpenedProcess&) = delete;
  OpenedProcess& operator=(const OpenedProcess&) = delete;
  OsHandle handle() const { return handle_; }

 private:
  Platform& platform_;
  OsHandle handle_;
};

void reportSet(Output& output, const ProcessEntry& entry, const AffinityMask& oldMask,
               const AffinityMask& newMask, std::uint32_t width) {
  std::wstring format = formatWide(L"%%s, pid:%%d, mask:%%0%ullx -> %%0%ullx\n", {width, width});
  printWide(output, format,
            {entry.pProcessName, static_cast<std::int32_t>(entry.ProcessId), oldMask, newMask});
}

void showMask(Output& output, const ProcessEntry& entry, const AffinityMask& mask,
              std::uint32_t span, std::uint32_t width) {
  printMaskBar(output, mask, span);
  std::wstring format = formatWide(L"  mask:%%0%ullx, pid:%%d, %%s\n", {width});
  printWide(output, format, {mask, static_cast<std::int32_t>(entry.ProcessId), entry.pProcessName});
}

}  // namespace

std::uint32_t maskHexWidth(std::uint32_t span) {
  return ((span - 1) >> 2) + 1;
}

void applyToProcess(Platform& platform, Output& output, const ProcessEntry& entry, MaskWork& work) {
  const ProcessAccess access =
      work.workingMask.none() ? ProcessAccess::ReadMasks : ProcessAccess::SetMask;
  OsHandle handle = platform.openProcess(entry.ProcessId, access);
  if (handle == kNoHandle) {
    if (!entry.pProcessName.empty() && !work.listMode) {
      printWide(output, L"%s, No access right!\n", {entry.pProcessName});
    }
    return;
  }
  OpenedProcess process(platform, handle);
  work.processMask.clear();
  work.systemMask.clear();
  if (!platform.getProcessAffinityMask(process.handle(), work.processMask, work.systemMask)) {
    printWide(output, L"%s, Fail GetProcessAffinityMask!\n", {entry.pProcessName});
    return;
  }
  // No processor at all: the process runs on processors these masks cannot name. Taken as it
  // is, that would narrow the working mask to nothing for every process after it.
  if (work.systemMask.none()) {
    printWide(output, L"%s, Spans several processor groups!\n", {entry.pProcessName});
    return;
  }
  // The narrowed mask carries over to the processes that follow.
  work.workingMask.intersect(work.systemMask);
  if (work.workingMask.none()) {
    showMask(output, entry, work.processMask, work.span, work.width);
    return;
  }
  if (!platform.setProcessAffinityMask(process.handle(), work.workingMask)) {
    printWide(output, L"%s, Fail SetProcessAffinityMask!\n", {entry.pProcessName});
    return;
  }
  reportSet(output, entry, work.processMask, work.workingMask, work.width);
}

}  // namespace vellicor
