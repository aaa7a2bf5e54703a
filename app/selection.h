#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "app/arguments.h"
#include "platform/platform.h"

namespace vellicor {

// Table indexes of the selected processes, each at most once, in table order: every entry in
// list mode; else the entries whose identifier a target names (/p), whose whole image name a
// target's regular expression matches (/g), or whose image name equals a target with ASCII
// letters folded to one case. Nothing when a /g pattern is invalid, or reaches one of the run's
// bounds, when it is tested: the run then ends without applying any mask.
std::optional<std::vector<std::uint32_t>> selectProcesses(const CommandRequest& request,
                                                          const std::vector<ProcessEntry>& table);

// The identifiers the targets name when a run selects by identifier alone (/p, a launch), so
// that the table need hold only their entries; nothing when selection needs the whole table.
std::optional<std::vector<std::uint32_t>> selectedProcessIds(const CommandRequest& request);

}  // namespace vellicor
