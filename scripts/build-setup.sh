#!/usr/bin/env bash
# Builds only what running the program needs: build/setup and the stand-ins
# it starts (no tests, no benchmarks). One line per step; a step that fails
# shows its whole output.
#
# BUILD_DIR chooses the build folder (default: build); arguments are passed
# to the configure step (e.g. -DTL_DEV_TOOLS=ON).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/quiet-step.sh
build=${BUILD_DIR:-build}

bash scripts/setup-deps.sh
step "build: configuring $build" cmake -S . -B "$build" -G Ninja "$@"
step "build: building setup and the stand-ins" cmake --build "$build" --target setup
