#!/usr/bin/env bash
# Sets everything up, then asks the console for the latest 100 daily bars of AAPL.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
status=0
.venv/bin/corvane sorvel AAPL day 100 || status=$?
echo "corvane exited with status $status"
