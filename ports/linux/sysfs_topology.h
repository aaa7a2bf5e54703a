#pragma once

// Builds the logical-processor records (core, package and NUMA node, online processors only) of
// a machine from its sysfs tree under a root directory: "/" for this machine, a captured tree
// in the tests.

#include <cstdint>
#include <string>
#include <vector>

#include "platform/affinity_mask.h"

namespace vellicor::linux_platform {

struct TopologyRecord {
  AffinityMask ProcessorMask;      // every processor of the core, package or node
  std::uint32_t Relationship = 0;  // RelationProcessorCore, RelationNumaNode, ...
};

// False when the tree cannot be read at all (no online processor found), or a file of it could not
// be read for want of descriptors or memory: no topology rather than one short of a node.
bool readSysfsTopology(const std::string& rootDirectory, std::vector<TopologyRecord>& records);

}  // namespace vellicor::linux_platform
