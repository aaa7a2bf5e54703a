#pragma once

// Heap allocations made by the whole program so far, counted by the replaced global operator
// new, so that a benchmark can show how many allocations a loop makes per item.

#include <cstddef>

namespace vellicor::bench {

std::size_t allocationCount();

}  // namespace vellicor::bench
