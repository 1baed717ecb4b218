#!/usr/bin/env bash
# Builds Keepwall and runs wallctl on a sandbox system root (./sandbox, or $KEEPWALL_ROOT):
# stores the example settings through the message port as the application does, then lists,
# shows and generates them.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake --preset dev
cmake --build --preset dev -j "$(nproc)"
root="${KEEPWALL_ROOT:-$PWD/sandbox}"
mkdir -p "$root"
# The sandbox root: the emulated platform commands, network preferences, logs.
build/bin/kw-sandbox "$root"
export KEEPWALL_ROOT="$root"
run() { echo "\$ wallctl $*"; build/bin/wallctl "$@"; }

# wallctl makes root changes; in a sandbox, a user namespace stands in for root.
if [ "$(id -u)" -ne 0 ]; then
  run() { echo "\$ wallctl $*"; unshare -r -- build/bin/wallctl "$@"; }
  serve() { unshare -r -- build/bin/kw-serve-config "$@"; }
else
  serve() { build/bin/kw-serve-config "$@"; }
fi

echo "\$ wallctl store    (served examples/settings.plist)"
serve --store examples/settings.plist -- build/bin/wallctl store
run list
run show 0
run generate 0
run generate 1
run activate
echo "\$ ipfw -at list    (the sandbox's kernel rules after activation)"
if [ "$(id -u)" -ne 0 ]; then unshare -r -- "$root/sbin/ipfw" -at list; else "$root/sbin/ipfw" -at list; fi
