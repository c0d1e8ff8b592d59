#!/usr/bin/env bash
# Sets everything up, checks the console with ruff and mypy, then runs every
# test against the installed package and,
# for a full run (no arguments), the end-to-end suite once more at a weekday
# instant inside New York trading hours (libfaketime, when it is installed), so
# a test that reads the wall clock fails at any hour, and the suites that reach
# native code once more under the address and undefined-behaviour sanitizers.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
if [ $# -eq 0 ]; then
    .venv/bin/ruff check console
    .venv/bin/ruff format --check console
    .venv/bin/mypy
fi
.venv/bin/python -m pytest -q tests "$@"
if [ $# -eq 0 ]; then
    if command -v faketime >/dev/null; then
        echo "end-to-end suite again at 2026-12-09 15:07 UTC (a Wednesday, New York market open):"
        faketime -f '@2026-12-09 15:07:00' .venv/bin/python -m pytest -q tests/e2e
    else
        echo "faketime is not installed (Debian's faketime): the end-to-end suite was not run" \
             "again at a market-hours instant"
    fi
    scripts/sanitize.sh
fi
