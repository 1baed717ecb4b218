#!/usr/bin/env bash
# Builds Keepwall and runs wallctl on a sandbox system root (./sandbox): stores a sample
# setting, then lists, shows and generates it.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake --preset dev
cmake --build --preset dev -j "$(nproc)"
root="${KEEPWALL_ROOT:-$PWD/sandbox}"
mkdir -p "$root"
export KEEPWALL_ROOT="$root"
build/bin/kw-demo-settings "$root"
run() { echo "\$ wallctl $*"; build/bin/wallctl "$@"; }
run list
run show 0
run generate 0
