#include <gtest/gtest.h>

#include <cstring>
#include <iostream>

#include "platform/process.h"
#include "support/fake_clock.h"

// Every test program runs on a fake clock: retry loops never really sleep.
//
// A test that starts a copy of its own program as a child passes
// --report-own-path: the copy prints the path it finds as its own and ends
// without running any test.
int main(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], "--report-own-path") == 0) {
    tl::Result<std::string> own = tl::process::ownExecutablePath();
    std::cout << "OWN<" << (own.ok() ? *own : std::string()) << ">" << std::endl;
    return own.ok() ? 0 : 1;
  }
  testing::InitGoogleTest(&argc, argv);
  tl::test::FakeClock clock;
  tl::IoContext ctx;
  ctx.setClock(&clock);
  tl::setIo(&ctx);
  return RUN_ALL_TESTS();
}
