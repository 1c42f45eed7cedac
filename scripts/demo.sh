#!/usr/bin/env bash
# Builds build/setup and the stand-ins, makes a small sample application,
# packs it as two self-extracting installers (side files, and a block
# appended to the executable), installs both into a miniature Windows
# sandbox, shows what was installed, uninstalls it quietly and shows what is
# left. The steps are in scripts/demo.py.
#
# BUILD_DIR chooses the build folder (default: build).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build}

BUILD_DIR=$build bash scripts/build-setup.sh
TL_BUILD_DIR="$(pwd)/$build" exec python3 scripts/demo.py
