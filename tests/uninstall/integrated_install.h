#pragma once
// A test fixture: an application integrated in-process into a sandbox with
// the stand-in tools (com.example.app, channel stable, "Example App"), and the
// probes the uninstall tests look through.
#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "platform/process.h"
#include "support/fake_clock.h"
#include "windows_integration/integration_driver.h"
#include "windows_integration/integration_sandbox.h"

namespace tl::test {

class IntegratedInstall : public testing::Test {
 protected:
  static constexpr const char* kId = "com.example.app";
  static constexpr const char* kKey =
      "HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\com.example.app.stable";

  void SetUp() override {
    std::string app = box_.makeApp(kId, "stable");
    IntegrationIdentity id{kId, "Example App", "stable", std::nullopt, std::nullopt};
    testing::internal::CaptureStderr();
    Status s = integrateWindows(app, id);
    std::string err = testing::internal::GetCapturedStderr();
    ASSERT_TRUE(s.ok()) << err;
    sleptBefore_ = clock().totalSleptMs();
    box_.clearCalls();
  }
  void TearDown() override {
    io().setFaultHook(nullptr);
    process::setOwnExecutablePathForTesting("");
  }

  static test::FakeClock& clock() { return dynamic_cast<test::FakeClock&>(io().clock()); }
  std::uint64_t slept() const { return clock().totalSleptMs() - sleptBefore_; }

  // Below the channel root, '/'-separated.
  std::string channel(std::string_view rel = "") const {
    return box_.userRel("AppData/Local/" + std::string(kId) + "/stable" + (rel.empty() ? "" : "/") +
                        std::string(rel));
  }
  bool registered() const { return box_.regQuery(kKey).find("QuietUninstallString") != std::string::npos; }
  int callsContaining(std::string_view text) const {
    int n = 0;
    for (const std::string& c : box_.calls()) n += c.find(text) != std::string::npos;
    return n;
  }

  IntegrationSandbox box_;
  std::uint64_t sleptBefore_ = 0;
};

}  // namespace tl::test
