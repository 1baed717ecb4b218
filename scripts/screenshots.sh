#!/usr/bin/env bash
# Makes screenshots of the real Keepwall windows under Xvfb into docs/screenshots/: the monitor
# locked, the authentication panel, the monitor with live counters after signing in as the
# sandbox's demo administrator, and the configuration window's pages and filter sheet.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake --preset dev >/dev/null
cmake --build --preset dev -j "$(nproc)" >/dev/null
out=docs/screenshots
mkdir -p "$out"
work=$(mktemp -d)
display=":$((90 + RANDOM % 9))"
cleanup() {
  [ -n "${app_pid:-}" ] && kill "$app_pid" 2>/dev/null || true
  [ -n "${xvfb_pid:-}" ] && kill "$xvfb_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

root="$work/sandbox"
KEEPWALL_ROOT="$root" bash -c '
  set -e
  build/bin/kw-sandbox "$KEEPWALL_ROOT" >/dev/null
  as_root=(); [ "$(id -u)" -eq 0 ] || as_root=(unshare -r --)
  "${as_root[@]}" build/bin/kw-serve-config --store examples/settings.plist -- build/bin/wallctl store >/dev/null
  "${as_root[@]}" build/bin/wallctl activate >/dev/null
  "${as_root[@]}" "$KEEPWALL_ROOT/sbin/ipfw" inject - >/dev/null <<PACKETS
in via en0 tcp 203.0.113.9:40000 -> 10.0.0.1:22 syn
out via en0 tcp 10.0.0.1:22 -> 203.0.113.9:40000 syn,ack
in via en0 tcp 203.0.113.9:40000 -> 10.0.0.1:22 ack len 1400
in via en0 udp 198.51.100.7:5353 -> 10.0.0.1:9999
in via en0 tcp 198.51.100.7:41000 -> 10.0.0.1:8080 syn
PACKETS
'

Xvfb "$display" -screen 0 1280x800x24 -nolisten tcp >/dev/null 2>&1 &
xvfb_pid=$!
export DISPLAY="$display"
for _ in $(seq 50); do xdpyinfo >/dev/null 2>&1 && break; sleep 0.1; done

export XDG_CONFIG_HOME="$work/config" XDG_RUNTIME_DIR="$work/run"
mkdir -p "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"
KEEPWALL_ROOT="$root" build/bin/keepwall --monitor >"$work/keepwall.log" 2>&1 &
app_pid=$!

window() { xdotool search --sync --onlyvisible --name "$1" | head -n 1; }
shot() { import -window "$1" "$out/$2"; echo "$out/$2"; }

monitor=$(window "Firewall Monitor")
sleep 1.5
shot "$monitor" monitor-locked.png

# Sign in as a person would: Allow Changes (Ctrl+L), the demo administrator's password.
xdotool windowfocus --sync "$monitor" key ctrl+l
panel=$(window "Authenticate")
sleep 0.8
shot "$panel" authentication-panel.png
xdotool windowfocus --sync "$panel" type --delay 20 keepwall
xdotool key Return
sleep 3
shot "$monitor" monitor.png

# The configuration window's pages and the filter sheet, reached with the keyboard.
xdotool windowunmap --sync "$monitor"
config=$(window "Configuration: ")
xdotool windowfocus --sync "$config" key ctrl+1
sleep 1
shot "$config" configuration-quick.png
xdotool key ctrl+n
sheet=$(window "Service Filter")
sleep 0.8
shot "$sheet" filter-sheet.png
xdotool windowfocus --sync "$sheet" key Escape
sleep 0.5
xdotool windowfocus --sync "$config" key ctrl+3
sleep 1
shot "$config" configuration-ip-sharing.png
xdotool key ctrl+2
sleep 1
shot "$config" configuration-expert.png
