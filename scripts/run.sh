#!/usr/bin/env bash
# Installs what is missing, builds, and starts the shell with the bundled deck.
# Without a display it runs under a virtual X server instead, saves a
# screenshot once the deck has loaded, says where, and quits cleanly.
#
#   scripts/run.sh --after STEP   (always under a virtual X server) runs the
#   executable STEP once the deck has loaded, with DISPLAY set and JAUNVEL_WINDOW
#   the shell's window id, and takes the screenshot when it has finished: a
#   picture of the deck after a scripted step (a show opened, a dialog shown).
set -euo pipefail
step=""
if [ "${1:-}" = "--after" ]; then
  [ -x "${2:-}" ] || { echo "--after needs an executable step: ${2:-}" >&2; exit 2; }
  step=$(realpath "$2")
  shift 2
fi
cd "$(dirname "$0")/.."

scripts/setup.sh
cmake -S . -B build >/dev/null
cmake --build build -j"$(nproc 2>/dev/null || echo 2)" --target jaunvel

if [ "${1:-}" != "--inside-virtual-display" ]; then
  if [ -z "$step" ] && { [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; }; then
    exec build/bin/jaunvel
  fi
  exec xvfb-run -a -s "-screen 0 1920x1080x24" "$0" ${step:+--after "$step"} --inside-virtual-display
fi

export GSETTINGS_BACKEND=memory NO_AT_BRIDGE=1
screenshot="$PWD/build/jaunvel-screenshot.png"
rm -f "$screenshot"

build/bin/jaunvel &
shell=$!
trap 'kill -TERM $shell 2>/dev/null || true' EXIT
started=$(date +%s%N)

# The window, then the server answering the deck page.
window=$(timeout 20 xdotool search --sync --onlyvisible --name '^Jaunvel$' | head -1)
for _ in $(seq 150); do
  if node -e "require('http').get('http://localhost:4177/', r => process.exit(r.statusCode === 200 ? 0 : 1)).on('error', () => process.exit(1))"; then
    break
  fi
  kill -0 $shell 2>/dev/null || { echo "The shell ended before the deck was served." >&2; exit 1; }
  sleep 0.2
done
# The shell's last scheduled load is 3 s after start; give the page a second more to draw.
remaining=$(( 4000 - ( $(date +%s%N) - started ) / 1000000 ))
[ "$remaining" -gt 0 ] && sleep "$(awk "BEGIN { print $remaining / 1000 }")"

if [ -n "$step" ]; then
  JAUNVEL_WINDOW=$window "$step" || { echo "The step $step failed." >&2; exit 1; }
fi

import -window root "$screenshot"
echo "Screenshot of the deck: $screenshot"

kill -TERM $shell
trap - EXIT
wait $shell
