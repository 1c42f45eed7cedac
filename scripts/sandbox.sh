#!/usr/bin/env bash
# A miniature Windows for running the program by hand.
#
#   scripts/sandbox.sh [FOLDER]           starts a shell in it
#   scripts/sandbox.sh --print [FOLDER]   prints its variables instead, for
#                                         eval "$(scripts/sandbox.sh --print)"
#
# Builds build/setup and the stand-ins, then makes FOLDER (default:
# <build>/sandbox) a Windows of its own: Windows/System32 with the stand-ins
# (reg.exe, powershell.exe, schtasks.exe, cmd.exe, ping.exe) and their state,
# the user's folders under Users/me (Desktop, AppData\Local with Temp,
# AppData\Roaming), and the demo's two installers in Downloads/. The shell
# has SystemRoot, LOCALAPPDATA, USERPROFILE, APPDATA, TEMP and TMP set to it,
# SANDBOX set to its folder and the stand-ins on PATH. A FOLDER made earlier
# keeps what was installed there; remove it to start afresh.
#
# BUILD_DIR chooses the build folder (default: build).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build}

print=0
if [ "${1:-}" = "--print" ]; then
  print=1
  shift
fi
if [ $# -gt 1 ] || [[ "${1:-}" == -* ]]; then
  sed -n '2,7p' "$0" | sed 's/^# \{0,1\}//' >&2
  exit 2
fi
folder=$(realpath -m "${1:-$build/sandbox}")

# Everything but the variables goes to standard error, so --print can be eval'd.
BUILD_DIR=$build bash scripts/build-setup.sh >&2
TL_BUILD_DIR="$(pwd)/$build" python3 scripts/sandbox.py "$folder"

if [ $print -eq 1 ]; then
  cat "$folder/env.sh"
  exit 0
fi
cat >&2 <<EOF
sandbox: $folder (the demo's installers are in Downloads/; 'exit' leaves)
EOF
cd "$folder"
TL_SANDBOX_SHELL=1 exec bash --rcfile "$folder/env.sh" -i
