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

std::uint16_t readHalfWord(const std::byte* record, std::uint32_t offset) {
  std::uint16_t value = 0;
  std::memcpy(&value, record + offset, sizeof value);
  return value;
}

// The list a record of this relationship adds to; null for caches and relations added later.
std::vector<AffinityMask>* listFor(std::uint32_t relationship, ProcessorTopology& topology) {
  switch (relationship) {
    case RelationProcessorCore:
      return &topology.coreMasks;
    case RelationNumaNode:
      return &topology.numaNodeMasks;
    case RelationProcessorPackage:
      return &topology.packageMasks;
    default:
      return nullptr;
  }
}

void addRecords(const std::byte* buffer, std::uint32_t length, ProcessorTopology& topology) {
  // The list the record before made an entry in, which a record that continues it adds to.
  std::vector<AffinityMask>* previous = nullptr;
  // A trailing partial record is ignored.
  for (std::uint64_t offset = 0; offset + kLogicalProcessorRecordSize <= length;
       offset += kLogicalProcessorRecordSize) {
    const std::byte* record = buffer + offset;
    std::vector<AffinityMask>* list = listFor(readRelationship(record), topology);
    const std::uint16_t group = readHalfWord(record, kProcessorGroupOffset);
    const bool continues = readHalfWord(record, kContinuesPreviousOffset) != 0;
    if (list == nullptr || group >= kProcessorGroupLimit || (continues && list != previous)) {
      previous = nullptr;  // nothing for a later record to continue
      continue;
    }
    if (!continues) {
      list->emplace_back();
    }
    const std::uint64_t known = list->back().word(group);
    const std::uint64_t mask = readMask(record);
    list->back().setWord(group, known | mask);
    if (list == &topology.coreMasks) {
      // A processor a core names twice is one processor.
      topology.logicalProcessorCount += static_cast<std::uint32_t>(std::popcount(mask & ~known));
    }
    previous = list;
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

std::uint32_t processorSpan(const ProcessorTopology& topology) {
  std::uint32_t span = 0;
  for (const AffinityMask& core : topology.coreMasks) {
    span = std::max(span, core.span());
  }
  return span;
}

}  // namespace vellicor
