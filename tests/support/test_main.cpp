#include <gtest/gtest.h>

#include "platform/io_context.h"

// Every test program runs on a fake clock: retry loops never really sleep.
int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  tl::FakeClock clock;
  tl::IoContext ctx;
  ctx.setClock(&clock);
  tl::setIo(&ctx);
  return RUN_ALL_TESTS();
}
