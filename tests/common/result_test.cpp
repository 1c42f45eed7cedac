#include "common/result.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

namespace tl {
namespace {

// Misreading a Result ends the process with a message in every build, the
// shipped one (NDEBUG) included.
TEST(ResultDeathTest, MisuseAbortsWithAMessage) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  struct Case {
    std::function<void()> misuse;
    const char* message;
  };
  const Case cases[] = {
      {[] { Result<std::string> r(Error::FileNotFound); (void)r.value(); },
       "fatal: the value of a Result that holds the error FileNotFound"},
      {[] { Result<int> r(Error::Canceled); (void)r.take(); },
       "fatal: the value of a Result that holds the error Canceled"},
      {[] { Result<int> r(7); (void)r.error(); }, "fatal: the error of a Result that holds a value"},
      {[] { Status s = success(); (void)s.error(); }, "fatal: the error of a Status that holds success"},
  };
  for (const Case& c : cases) EXPECT_DEATH(c.misuse(), c.message);
}

}  // namespace
}  // namespace tl
