#!/usr/bin/env bash
# Builds Keepwall with AddressSanitizer and UndefinedBehaviorSanitizer and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake --preset asan-ubsan
cmake --build --preset asan-ubsan -j "$(nproc)"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
ctest --preset asan-ubsan -j "$(nproc)"

# The Debian package as it ships: a release build of only what it holds (no tests, no
# benchmarks), packaged and checked in a throw-away root (file list, modes, owners, the setuid
# starter, dependencies, the installed wallctl's usage).
cmake -S . -B build-package -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
  -DBUILD_TESTING=OFF -DKEEPWALL_BENCH=OFF -DKEEPWALL_WERROR=OFF
cmake --build build-package -j "$(nproc)" --target keepwall wallctl kw-check kw-authexec KWSecurity pam_kwsandbox
bash scripts/check-package.sh build-package release app
