#include "platform/processor_records.h"

#include <cstring>

#include "platform/platform.h"

namespace vellicor {

namespace {

// Groups beyond the limit are never read, so they are never written either.
std::size_t writtenGroups(const AffinityMask& mask) {
  return mask.wordCount() < kProcessorGroupLimit ? mask.wordCount() : kProcessorGroupLimit;
}

}  // namespace

void appendProcessorRecord(std::uint64_t mask, std::uint32_t relationship, std::uint16_t group,
                           bool continuesPrevious, std::vector<std::byte>& records) {
  const std::uint16_t continues = continuesPrevious ? 1 : 0;
  std::byte record[kLogicalProcessorRecordSize] = {};
  std::memcpy(record + kProcessorMaskOffset, &mask, sizeof mask);
  std::memcpy(record + kRelationshipOffset, &relationship, sizeof relationship);
  std::memcpy(record + kProcessorGroupOffset, &group, sizeof group);
  std::memcpy(record + kContinuesPreviousOffset, &continues, sizeof continues);
  records.insert(records.end(), record, record + kLogicalProcessorRecordSize);
}

void appendProcessorRecords(const AffinityMask& mask, std::uint32_t relationship,
                            std::vector<std::byte>& records) {
  bool first = true;
  for (std::size_t group = 0; group < writtenGroups(mask); ++group) {
    if (mask.word(group) != 0) {
      appendProcessorRecord(mask.word(group), relationship, static_cast<std::uint16_t>(group),
                            !first, records);
      first = false;
    }
  }
  if (first) {
    appendProcessorRecord(0, relationship, 0, false, records);
  }
}

std::size_t processorRecordsSize(const AffinityMask& mask) {
  std::size_t groups = 0;
  for (std::size_t group = 0; group < writtenGroups(mask); ++group) {
    groups += mask.word(group) != 0 ? 1 : 0;
  }
  return (groups == 0 ? 1 : groups) * kLogicalProcessorRecordSize;
}

}  // namespace vellicor
