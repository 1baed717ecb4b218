#!/usr/bin/env bash
# Starts the built keepwall on a fresh sandbox root, waits for its windows, quits it through its
# own Quit command, and fails on a non-zero exit or any sanitizer report.
set -euo pipefail
bin="$1"
root=$(mktemp -d)
log=$(mktemp)
trap 'rm -rf "$root" "$log"' EXIT
"$bin/kw-sandbox" "$root" >/dev/null
mkdir -p "${XDG_RUNTIME_DIR:-/tmp}" && chmod 700 "${XDG_RUNTIME_DIR:-/tmp}" 2>/dev/null || true
status=0
KEEPWALL_ROOT="$root" timeout 60 "$bin/keepwall" --monitor --quit-after 1500 2>"$log" || status=$?
cat "$log"
if [ "$status" -ne 0 ]; then
  echo "keepwall exited with status $status"
  exit 1
fi
if grep -qE 'ERROR: (Address|Leak)Sanitizer|runtime error:' "$log"; then
  echo "sanitizer report"
  exit 1
fi
grep -q "Running on 10.4 or higher" "$log"
echo "keepwall started and quit cleanly"
