#!/usr/bin/env bash
# Is ./dev demo heard? Starts a private PulseAudio server (inside the root,
# its socket in a folder under build/), lets ./dev demo find it as it finds a
# desktop's, at $XDG_RUNTIME_DIR/pulse/native, records what the server plays
# and checks that it holds the demo's track. Run on the host:
#
#   tests/demo_heard.sh                 # found at $XDG_RUNTIME_DIR/pulse/native
#   tests/demo_heard.sh --pulse-server  # named by PULSE_SERVER=unix:PATH
#
# Exit status 0 if the track, the sound and its alias were all heard; the
# recording and the logs stay in build/demo-heard.* when they were not.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$here"
mkdir -p build
dir=$(mktemp -d "$here/build/demo-heard.XXXXXX")
server=""
stop_server() {
  [ -n "$server" ] || return 0
  touch "$dir/stop"
  wait "$server" || true
  server=""
}
trap stop_server EXIT

./dev run python tests/demo_heard.py serve "$dir" &
server=$!
until [ -e "$dir/ready" ]; do
  kill -0 "$server" 2>/dev/null || { echo "the PulseAudio server did not start" >&2; exit 1; }
  sleep 0.2
done

# The server is all the demo may find: no other one, no card.
case ${1:-} in
  --pulse-server) found=(PULSE_SERVER="unix:$dir/pulse/native" XDG_RUNTIME_DIR=/nonexistent) ;;
  "") found=(XDG_RUNTIME_DIR="$dir") ;;
  *) echo "usage: tests/demo_heard.sh [--pulse-server]" >&2; exit 2 ;;
esac
env -u PULSE_SERVER -u PULSE_COOKIE "${found[@]}" ./dev demo | tee "$dir/demo.log"
grep -q "plays through PulseAudio" "$dir/demo.log" \
  || { echo "the demo did not play through the server" >&2; exit 1; }
stop_server
./dev run python tests/demo_heard.py check "$dir"
rm -rf "$dir"
