#!/usr/bin/env bash
# Sets everything up, starts the loopback gateway (generated sample data, no
# network needed), asks the console for the latest 100 daily bars of AAPL
# through it, and stops the gateway again.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

log=$(mktemp)
.venv/bin/corvane-gateway --port 0 >"$log" 2>&1 &
gateway=$!
trap 'kill "$gateway" 2>/dev/null; wait "$gateway" 2>/dev/null; rm -f "$log"' EXIT

port=""
for _ in $(seq 100); do
    port=$(sed -n 's/^corvane-gateway listening on 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$log")
    [ -n "$port" ] && break
    sleep 0.1
done
if [ -z "$port" ]; then
    echo "the loopback gateway did not start:" >&2
    cat "$log" >&2
    exit 1
fi

.venv/bin/corvane --port "$port" sorvel AAPL day 100
