#pragma once

#include "platform/output.h"
#include "topology/topology_query.h"

namespace vellicor {

void printTopologyReport(Output& output, const ProcessorTopology& topology);

}  // namespace vellicor
