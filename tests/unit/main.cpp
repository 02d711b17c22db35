// Test entry: the unit tests touch the product's fixed paths and system tools, so they run
// only inside the sandbox (tools/sandbox/sandbox).
#include "tests/unit/test_support.h"

#include <gmock/gmock.h>

#include <cstdio>

int main(int argc, char** argv) {
  if (!sov::testing::InsideSandbox()) {
    std::fprintf(stderr,
                 "unit_tests: refusing to run outside the launcher sandbox; run it as\n"
                 "  tools/sandbox/sandbox --init-binary <build>/sandbox_init -- %s\n",
                 argv[0]);
    return 1;
  }
  ::testing::InitGoogleMock(&argc, argv);
  return RUN_ALL_TESTS();
}
