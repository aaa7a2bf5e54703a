#include "topology/topology_query.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <memory>

#include "common/wide_format.h"

namespace vellicor {

namespace {

std::uint64_t readMask(const std::byte* record) {
  std::uint64_t mask = 0;
  std::memcpy(&mask, record + kProcessorMaskOffset, sizeof mask);
  return mask;
}

std::uint32_t readRelationship(const std::byte* record) {
  std::uint32_t relationship = 0;
  std::memcpy(&relationship, record + kRelationshipOffset, sizeof relationship);
  return relationship;
}

void addRecords(const std::byte* buffer, std::uint32_t length, ProcessorTopology& topology) {
  // A trailing partial record is ignored.
  for (std::uint64_t offset = 0; offset + kLogicalProcessorRecordSize <= length;
       offset += kLogicalProcessorRecordSize) {
    const std::byte* record = buffer + offset;
    std::uint64_t mask = readMask(record);
    switch (readRelationship(record)) {
      case RelationProcessorCore:
        topology.coreMasks.push_back(mask);
        topology.logicalProcessorCount += static_cast<std::uint32_t>(std::popcount(mask));
        break;
      case RelationNumaNode:
        topology.numaNodeMasks.push_back(mask);
        break;
      case RelationProcessorPackage:
        topology.packageMasks.push_back(mask);
        break;
      default:
        break;  // caches and relations added later
    }
  }
}

// Windows answers the second call, once the buffer has the size the first one asked for; a
// machine whose processors change between two calls may ask again. An answer that keeps asking
// (the same length, a length of 0) would otherwise be asked for ever.
constexpr int kMostQueryCalls = 8;

}  // namespace

ProcessorTopology queryProcessorTopology(Platform& platform, Output& output) {
  ProcessorTopology topology;
  if (!platform.hasLogicalProcessorInformation()) {
    printWide(output, L"GetLogicalProcessorInformation is not supported.\n");
    return topology;
  }
  std::unique_ptr<std::byte[]> buffer;
  std::uint32_t length = 0;
  std::uint32_t allocated = 0;
  for (int calls = 1; !platform.getLogicalProcessorInformation(buffer.get(), length); ++calls) {
    if (platform.getLastError() != kErrorInsufficientBuffer || calls == kMostQueryCalls) {
      printWide(output, L"\nError %d\n", {static_cast<std::int32_t>(platform.getLastError())});
      return topology;
    }
    buffer.reset();
    buffer = platform.allocateBuffer(length);
    allocated = length;
    if (!buffer) {
      printWide(output, L"\nError: Allocation failure\n");
      return topology;
    }
  }
  if (buffer) {
    addRecords(buffer.get(), std::min(length, allocated), topology);
  }
  return topology;
}

}  // namespace vellicor
