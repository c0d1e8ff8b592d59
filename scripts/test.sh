#!/usr/bin/env bash
# Sets everything up, checks the console with ruff and mypy, then runs every
# test against the installed package and,
# for a full run (no arguments), the end-to-end suite once more at a weekday
# instant inside New York trading hours (libfaketime, when it is installed), so
# a test that reads the wall clock fails at any hour, and the suites that reach
# native code once more under the address and undefined-behaviour sanitizers.
#
# Most tests wait (on child consoles, gateways, sockets), so they run side by
# side in TEST_WORKERS processes (default 6); the sanitizer build and its run go
# on beside the rest, in their own processes, and are reported at the end.
# Exits nonzero when any part fails, and when a run collected no tests at all.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

workers=${TEST_WORKERS:-6}
logs=$(mktemp -d)
sanitizers=
trap '[ -n "$sanitizers" ] && kill "$sanitizers" 2>/dev/null; rm -rf "$logs"' EXIT
failed=()
counted=()

# judge LABEL STATUS: note a run's closing line (how many tests ran) and whether it failed.
judge() {
    local summary
    summary=$(grep -E '(passed|failed|errors?|skipped|no tests ran).* in [0-9.]+s' "$logs/$1.out" | tail -1 || true)
    counted+=("$1: ${summary:-no summary}")
    case $2 in
        0) ;;
        5) failed+=("$1 (no tests ran)") ;;  # a run that tested nothing has not passed
        *) failed+=("$1") ;;
    esac
}

# run_tests LABEL COMMAND...: a pytest run shown as it goes.
run_tests() {
    local label=$1 status=0
    shift
    "$@" 2>&1 | tee "$logs/$label.out" || status=$?
    judge "$label" "$status"
}

full=$(( $# == 0 ))
if (( full )); then
    # The checked build takes a minute or more of compiling: it starts first, then
    # runs its suites with workers of its own while the rest goes on.
    PYTEST_ADDOPTS="-n 2 --dist worksteal ${PYTEST_ADDOPTS:-}" scripts/sanitize.sh >"$logs/sanitizers.out" 2>&1 &
    sanitizers=$!
    .venv/bin/ruff check console || failed+=("ruff")
    .venv/bin/ruff format --check console || failed+=("ruff format")
    .venv/bin/mypy || failed+=("mypy")
fi
run_tests suite .venv/bin/python -m pytest -q -n "$workers" --dist worksteal tests "$@"
if (( full )); then
    if command -v faketime >/dev/null; then
        echo "end-to-end suite again at 2026-12-09 15:07 UTC (a Wednesday, New York market open):"
        run_tests market-hours faketime -f '@2026-12-09 15:07:00' \
            .venv/bin/python -m pytest -q -n "$workers" --dist worksteal tests/e2e
    else
        echo "faketime is not installed (Debian's faketime): the end-to-end suite was not run" \
             "again at a market-hours instant"
    fi
    echo "sanitizer build and suites (scripts/sanitize.sh):"
    status=0
    wait "$sanitizers" || status=$?
    sanitizers=
    cat "$logs/sanitizers.out"
    judge sanitizers "$status"
fi

echo "tests run:"
printf '  %s\n' "${counted[@]}"
if (( ${#failed[@]} )); then
    echo "FAILED: ${failed[*]}" >&2
    exit 1
fi
