#pragma once

// Builds the logical-processor records (core, package and NUMA node, online processors only) of
// a machine from its sysfs tree under a root directory: "/" for this machine, a captured tree
// in the tests.

#include <cstdint>
#include <string>
#include <vector>

namespace vellicor::linux_platform {

struct TopologyRecord {
  std::uint64_t ProcessorMask = 0;  // processors 0-63 only: the one group 64-bit masks address
  std::uint32_t Relationship = 0;   // RelationProcessorCore, RelationNumaNode, ...
};

// False when the tree cannot be read at all (no online processor found), or a file of it could not
// be read for want of descriptors or memory: no topology rather than one short of a node.
bool readSysfsTopology(const std::string& rootDirectory, std::vector<TopologyRecord>& records);

}  // namespace vellicor::linux_platform
