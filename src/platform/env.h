#pragma once
// The environment map: built once at start-up, names compared ignoring ASCII
// case. Values of the Windows folder variables given as POSIX absolute paths
// are rewritten to their "Z:" form so every path has one spelling.
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tl::env {

// Builds the process-wide map from the process environment.
void buildFromProcess();
// Replaces the map (tests); the values are taken as given (after the same
// POSIX-path rewriting).
void setForTesting(const std::map<std::string, std::string>& vars);
// Sets or removes one variable of the map (tests).
void setVar(std::string_view name, std::optional<std::string_view> value);
std::optional<std::string> get(std::string_view name);
// The map as an environment block, one "NAME=value" per variable: what a
// child process is given. (The map is built from the process on first use
// when buildFromProcess has not run.)
std::vector<std::string> block();

}  // namespace tl::env
