#pragma once
// How a stand-in run ends early. Two kinds, kept apart on purpose: a refusal
// means the caller sent something the real tool would never see from this
// system (drift to be caught), a tool failure is an ordinary failing run that
// the real tool would report too.
#include <stdexcept>
#include <string>

namespace standin {

// Exit status of a refused call, distinct from every real tool's own codes.
inline constexpr int kRefusedExit = 64;

struct Refusal : std::runtime_error {
  explicit Refusal(const std::string& message) : std::runtime_error(message) {}
};

struct ToolFailure : std::runtime_error {
  ToolFailure(int exitCode, const std::string& message)
      : std::runtime_error(message), code(exitCode) {}
  int code;
};

}  // namespace standin
