#include <gtest/gtest.h>

#include <cstdio>

// A test program under Wine writes to a pipe, which the C runtime buffers whole. Unbuffered, a
// program that dies on its way still shows in the test log how far it got.
int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IONBF, 0);
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
