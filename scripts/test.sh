#!/usr/bin/env bash
# Sets everything up, then runs every test against the installed package and,
# for a full run (no arguments), the suites that reach native code once more
# under the address and undefined-behaviour sanitizers.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
.venv/bin/python -m pytest -q tests "$@"
if [ $# -eq 0 ]; then
    scripts/sanitize.sh
fi
