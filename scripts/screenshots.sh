#!/usr/bin/env bash
# Makes screenshots of the real Keepwall windows under Xvfb into docs/screenshots/: the monitor
# locked, the authentication panel, the monitor with live counters after signing in as the
# sandbox's demo administrator, and the configuration window's pages and filter sheet.
set -euo pipefail
cd "$(dirname "$0")/.."
# KEEPWALL_BUILD names a build folder that is already built; without it the dev build is made.
if [ -z "${KEEPWALL_BUILD:-}" ]; then
  bash scripts/deps.sh
  cmake --preset dev >/dev/null
  cmake --build --preset dev -j "$(nproc)" >/dev/null
fi
bin="${KEEPWALL_BUILD:-build}/bin"
export bin
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
  "$bin"/kw-sandbox "$KEEPWALL_ROOT" >/dev/null
  as_root=(); [ "$(id -u)" -eq 0 ] || as_root=(unshare -r --)
  "${as_root[@]}" "$bin"/kw-serve-config --store examples/settings.plist -- "$bin"/wallctl store >/dev/null
  "${as_root[@]}" "$bin"/wallctl activate >/dev/null
  "${as_root[@]}" "$bin"/wallctl enable-log >/dev/null
  "${as_root[@]}" "$KEEPWALL_ROOT/sbin/ipfw" inject - >/dev/null <<PACKETS
in via en0 tcp 203.0.113.9:40000 -> 10.0.0.1:22 syn
out via en0 tcp 10.0.0.1:22 -> 203.0.113.9:40000 syn,ack
in via en0 tcp 203.0.113.9:40000 -> 10.0.0.1:22 ack len 1400
in via en0 udp 198.51.100.7:5353 -> 10.0.0.1:9999
in via en0 tcp 198.51.100.7:41000 -> 10.0.0.1:8080 syn
PACKETS
'
# The sandbox has no name server: its lookup and whois commands are stand-ins that answer from
# the sandbox's hosts file, so the network tools window shows real command output.
printf '127.0.0.1\tlocalhost\n10.0.0.1\tkeepwall.sandbox\n192.0.2.7\tgateway.sandbox\n' >"$root/etc/hosts"
rm -f "$root/usr/bin/nslookup" "$root/usr/bin/whois"
mkdir -p "$root/usr/bin"
cat >"$root/usr/bin/nslookup" <<'STANDIN'
#!/bin/sh
root=$(cd "$(dirname "$0")/../.." && pwd)
address=$(awk -v n="$1" '$2 == n { print $1; exit }' "$root/etc/hosts")
echo "Server:		127.0.0.1"
echo "Address:	127.0.0.1#53"
echo
if [ -z "$address" ]; then echo "** server can't find $1: NXDOMAIN"; exit 1; fi
echo "Name:	$1"
echo "Address: $address"
STANDIN
cat >"$root/usr/bin/whois" <<'STANDIN'
#!/bin/sh
echo "% No whois server is reachable from the sandbox."
echo "% Query: $3 (server $2)"
STANDIN
chmod 755 "$root/usr/bin/nslookup" "$root/usr/bin/whois"

Xvfb "$display" -screen 0 1280x800x24 -nolisten tcp >/dev/null 2>&1 &
xvfb_pid=$!
export DISPLAY="$display"
for _ in $(seq 50); do xdpyinfo >/dev/null 2>&1 && break; sleep 0.1; done

export XDG_CONFIG_HOME="$work/config" XDG_RUNTIME_DIR="$work/run"
mkdir -p "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"
KEEPWALL_ROOT="$root" "$bin"/keepwall --monitor >"$work/keepwall.log" 2>&1 &
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

# The stored settings window and the interface editor.
xdotool windowfocus --sync "$config" key ctrl+shift+s
settings=$(window "Stored Settings")
sleep 1
shot "$settings" stored-settings.png
xdotool windowunmap --sync "$settings"
xdotool windowfocus --sync "$config" key ctrl+shift+i
interfaces=$(window "Interfaces for")
sleep 1
shot "$interfaces" interface-editor.png
xdotool windowunmap --sync "$interfaces"

# The firewall log: the current entries, then the archive.
xdotool windowfocus --sync "$config" key ctrl+shift+g
log=$(window "Firewall Log")
sleep 2
shot "$log" log-current.png
xdotool windowfocus --sync "$log" key ctrl+shift+a
sleep 2
xdotool key ctrl+Page_Down
sleep 1
shot "$log" log-archive.png
xdotool windowunmap --sync "$log"

# The setup assistant's pages, walked with its default buttons.
xdotool windowfocus --sync "$config" key ctrl+shift+a
assistant=$(window "Firewall Setup Assistant")
for page in 1 2 3 4; do
  sleep 1
  shot "$assistant" "assistant-$page.png"
  # Continue, at the sheet's lower right.
  [ "$page" -lt 4 ] && xdotool windowfocus --sync "$assistant" mousemove --window "$assistant" 580 440 click 1
done
# From the last page, on to the IP sharing page (its "Set Up IP Sharing…" button).
xdotool windowfocus --sync "$assistant" mousemove --window "$assistant" "${ASSISTANT_SHARING_X:-120}" "${ASSISTANT_SHARING_Y:-420}" click 1
sleep 1
shot "$assistant" assistant-5.png
xdotool windowfocus --sync "$assistant" key Escape
sleep 0.5

# The syntax checker on the expert text: clean first, then with a mistyped rule added.
xdotool windowfocus --sync "$config" key ctrl+k
checker=$(window "Syntax Checker")
sleep 1
# Allow editing (the check box at the window's lower left), then type at the end of the text.
xdotool windowfocus --sync "$checker" mousemove --window "$checker" 16 541 click 1
sleep 0.3
xdotool mousemove --window "$checker" 300 300 click 1 key ctrl+End
xdotool type --delay 10 'add 64000 alow ip from any to any'
xdotool key Return
xdotool type --delay 10 'add 64010 deny tcp from any to any 99999'
xdotool key Return ctrl+k
sleep 1.5
# Choosing the second message selects its rule line.
xdotool mousemove --window "$checker" 120 422 click 1
sleep 0.5
shot "$checker" syntax-checker.png
xdotool windowunmap --sync "$checker"

# The network tools: a lookup and a whois query.
xdotool windowfocus --sync "$config" key ctrl+shift+l
tools=$(window "Network Tools")
sleep 0.8
xdotool windowfocus --sync "$tools" type --delay 10 gateway.sandbox
xdotool key Return
sleep 1
xdotool key Tab Tab Tab
xdotool type --delay 10 example.org
xdotool key Return
sleep 1
shot "$tools" network-tools.png

# Test a Packet from the configuration window: SSH from outside to this host.
xdotool windowfocus --sync "$config" key ctrl+shift+t
tester=$(window "Test a Packet")
sleep 0.8
xdotool mousemove --window "$tester" 260 134 click 1
xdotool type --delay 10 203.0.113.9
xdotool mousemove --window "$tester" 490 134 click 1
xdotool type --delay 10 40000
xdotool mousemove --window "$tester" 490 162 click 1
xdotool type --delay 10 22
xdotool mousemove --window "$tester" 108 189 click 1
xdotool mousemove --window "$tester" 508 257 click 1
sleep 1.5
shot "$tester" test-a-packet.png
xdotool windowunmap --sync "$tester"

