// The topology query on arbitrary answers: scripted failures and retries, any record bytes and
// any reported length. It must never read outside the buffer, and its count must agree with the
// core records it kept.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "ports/simulated/captured_output.h"
#include "ports/simulated/simulated_platform.h"
#include "topology/topology_query.h"
#include "topology/topology_report.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  vellicor::simulated::SimulatedPlatform platform;
  vellicor::simulated::CapturedOutput output;
  std::size_t at = 0;
  // First byte: how many scripted answers follow, 9 bytes each.
  std::size_t answers = size > 0 ? data[at++] % 8 : 0;
  for (std::size_t i = 0; i < answers && at + 9 <= size; ++i, at += 9) {
    vellicor::simulated::QueryAnswer answer;
    answer.succeeds = (data[at] & 1) != 0;
    std::memcpy(&answer.error, data + at + 1, 4);
    std::memcpy(&answer.length, data + at + 5, 4);
    // Keep the buffers the fuzzer asks for small enough to allocate.
    answer.length %= 4096;
    platform.scriptedAnswers.push_back(answer);
  }
  platform.topologyRecords.assign(reinterpret_cast<const std::byte*>(data + at),
                                  reinterpret_cast<const std::byte*>(data + size));
  platform.allocationFails = size > 0 && data[0] == 0xff;

  vellicor::ProcessorTopology topology = vellicor::queryProcessorTopology(platform, output);
  std::uint32_t count = 0;
  for (const vellicor::AffinityMask& mask : topology.coreMasks) {
    count += mask.count();
  }
  if (count != topology.logicalProcessorCount) {
    std::abort();
  }
  // Records may name any group, and a report draws a character per processor number on every
  // line: it is printed only where that stays small enough to run often.
  if (topology.logicalProcessorCount != 0 && vellicor::processorSpan(topology) <= 4096) {
    vellicor::printTopologyReport(output, topology);
  }
  return 0;
}
