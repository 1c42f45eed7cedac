#!/usr/bin/env bash
# Installs the Debian packages the build, tests and demo need, when missing.
# One line per step; a step that fails shows its whole output.
set -euo pipefail
pkgs=(cmake ninja-build g++ clang libclang-rt-14-dev pkg-config
      libzstd-dev libxxhash-dev libssl-dev libcurl4-openssl-dev nlohmann-json3-dev
      googletest libgtest-dev libgmock-dev zstd python3 tar openssl ca-certificates)
missing=()
for p in "${pkgs[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  echo "packages: all ${#pkgs[@]} present"
  exit 0
fi

sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)

source "$(dirname "$0")/quiet-step.sh"

step "packages: updating the package lists" "${sudo_cmd[@]}" apt-get update -qq
step "packages: installing ${missing[*]}" "${sudo_cmd[@]}" env DEBIAN_FRONTEND=noninteractive \
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
