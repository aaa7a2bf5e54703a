#pragma once

// Writing the records of the logical-processor query (platform.h gives their layout) for a core,
// package or node of any width, as the ports that build their own answer to the query need.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/affinity_mask.h"

namespace vellicor {

// Appends one record: `mask` holds the processors of `group`, and may add them to the relation of
// the record before.
void appendProcessorRecord(std::uint64_t mask, std::uint32_t relationship, std::uint16_t group,
                           bool continuesPrevious, std::vector<std::byte>& records);

// Appends the records of one core, package or node: one for each processor group its mask
// touches, every one after the first continuing the one before; one record of group 0 for an
// empty mask, so that the relation still has its place in the list.
void appendProcessorRecords(const AffinityMask& mask, std::uint32_t relationship,
                            std::vector<std::byte>& records);

// The bytes appendProcessorRecords would append for `mask`.
std::size_t processorRecordsSize(const AffinityMask& mask);

}  // namespace vellicor
