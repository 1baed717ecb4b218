#!/usr/bin/env bash
# Builds the release benchmarks and prints their figures. Not part of the tests.
#   bash bench/run.sh            every benchmark
#   bash bench/run.sh rules      only the named ones (rules, syntax, logarchive, ipfw)
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc)" >/dev/null
bin=build-release/bin
want=("$@")
wanted() { [ ${#want[@]} -eq 0 ] || [[ " ${want[*]} " == *" $1 "* ]]; }

if wanted rules && [ -x "$bin/bench-rules" ]; then
  echo "== rule generation (32 interfaces x 500 filters)"
  "$bin/bench-rules"
  # The whole command: wallctl generate on a sandbox root holding that setting.
  root=$(mktemp -d)
  trap 'rm -rf "$root"' EXIT
  mkdir -p "$root/Library/Preferences/SystemConfiguration"
  "$bin/bench-rules" --no-nft --runs 1 --write-document "$root/Library/Preferences/SystemConfiguration/com.wallworks.keepwall.plist" >/dev/null
  as_root=()
  [ "$(id -u)" -eq 0 ] || as_root=(unshare -r --)
  KEEPWALL_ROOT="$root" "${as_root[@]}" "$bin/wallctl" generate 0 >/dev/null # warm the page cache
  best=999999
  for _ in 1 2 3 4 5 6 7 8 9 10; do
    start=$(date +%s%N)
    KEEPWALL_ROOT="$root" "${as_root[@]}" "$bin/wallctl" generate 0 >/dev/null
    t=$(( ($(date +%s%N) - start) / 1000 ))
    (( t < best )) && best=$t
  done
  printf 'wallctl generate (whole command, best of 10): %d.%03d ms\n' $((best / 1000)) $((best % 1000))
fi

for b in syntax logarchive ipfw monitor; do
  if wanted "$b" && [ -x "$bin/bench-$b" ]; then
    echo "== $b"
    "$bin/bench-$b"
  fi
done
