#!/usr/bin/env bash
# Builds build/setup and the stand-ins, makes a small sample application,
# packs it as two self-extracting installers (side files, and a block
# appended to the executable), installs both into a miniature Windows
# sandbox, shows what was installed, prepares updates served from a loopback
# server (by patch, and in full when the patch is withheld), applies the
# last one through the update helper, uninstalls it
# quietly and shows what is left. The steps are in scripts/demo.py.
#
# BUILD_DIR chooses the build folder (default: build).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build}

# The patch maker publishes the demo's update as a patch.
BUILD_DIR=$build bash scripts/build-setup.sh -DTL_DEV_TOOLS=ON
cmake --build "$build" --target make_patch >/dev/null
TL_BUILD_DIR="$(pwd)/$build" exec python3 scripts/demo.py
