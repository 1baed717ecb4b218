#!/usr/bin/env bash
# Builds Keepwall, prepares a sandbox system root (./sandbox, or $KEEPWALL_ROOT) with the
# example settings stored and activated and some traffic counted, and starts the application
# on it. Without a display it runs the same steps headless and prints what the monitor shows.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake --preset dev
cmake --build --preset dev -j "$(nproc)"
root="${KEEPWALL_ROOT:-$PWD/sandbox}"
mkdir -p "$root"
# The sandbox root: the emulated platform commands, network preferences, logs, and a demo
# administrator (your login name, password "keepwall") known only inside it.
build/bin/kw-sandbox "$root"
export KEEPWALL_ROOT="$root"

# wallctl makes root changes; in a sandbox, a user namespace stands in for root.
as_root=()
[ "$(id -u)" -eq 0 ] || as_root=(unshare -r --)
run() { echo "\$ wallctl $*"; "${as_root[@]}" build/bin/wallctl "$@"; }
serve() { "${as_root[@]}" build/bin/kw-serve-config "$@"; }

echo "\$ wallctl store    (served examples/settings.plist)"
serve --store examples/settings.plist -- build/bin/wallctl store
run list
run activate
# Some traffic through the sandbox's packet filter, so the monitor's counters are not all zero.
"${as_root[@]}" "$root/sbin/ipfw" inject - >/dev/null <<'PACKETS'
in via en0 tcp 203.0.113.9:40000 -> 10.0.0.1:22 syn
out via en0 tcp 10.0.0.1:22 -> 203.0.113.9:40000 syn,ack
in via en0 tcp 203.0.113.9:40000 -> 10.0.0.1:22 ack len 1400
in via en0 udp 198.51.100.7:5353 -> 10.0.0.1:9999
in via en0 tcp 198.51.100.7:41000 -> 10.0.0.1:8080 syn
out via en0 udp 10.0.0.1:5000 -> 192.0.2.53:53
PACKETS

if [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; then
  echo "Starting Keepwall on $root"
  echo "Open Window > Firewall Monitor, click the lock and sign in as $(id -un) with the password \"keepwall\"."
  exec build/bin/keepwall --monitor
fi

echo "No display is available, so Keepwall's windows cannot open; the headless demo follows."
run show 0
run generate 0
echo "\$ ipfw -at list    (what the monitor shows: the sandbox's kernel rules and their counters)"
"${as_root[@]}" "$root/sbin/ipfw" -at list
