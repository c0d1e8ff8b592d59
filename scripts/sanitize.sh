#!/usr/bin/env bash
# Builds both command modules with the address and undefined-behaviour
# sanitizers into build/sanitize and runs the test suites that reach native
# code against that build. Any sanitizer report fails the run.
#
# The interpreter itself is not instrumented, so the sanitizer runtimes are
# preloaded (the modules are not linked to them and still need only the C
# library); pymalloc is switched off so every Python allocation goes through
# the checked malloc; leak checking is off because the interpreter keeps
# memory until exit on purpose.
#
#   scripts/sanitize.sh                 the suites below
#   scripts/sanitize.sh tests/tessik    only these (any pytest arguments)
#   scripts/sanitize.sh -- CMD...       any command against the checked build,
#                                       e.g. -- .venv/bin/python scripts/fuzz.py
set -euo pipefail
cd "$(dirname "$0")/.."
[ -x .venv/bin/python ] || scripts/setup.sh

build=build/sanitize
site=$build/site
suites=(tests/runtime tests/sorvel_decl tests/sorvel_frames tests/sorvel_queries tests/tessik tests/e2e tests/fuzz tests/console/test_cli.py)

# The compiler's own runtime: libasan.so is shipped with g++'s support
# library; a machine without it gets it from Debian when we may install.
runtime_of() {
    local path
    path=$(g++ -print-file-name="$1")
    [ "${path#/}" != "$path" ] && [ -e "$path" ] && readlink -f "$path"
}
asan=$(runtime_of libasan.so || true)
if [ -z "$asan" ] || [ -z "$(runtime_of libubsan.so || true)" ]; then
    gcc_major=$(g++ -dumpversion | cut -d. -f1)
    if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null; then
        echo "sanitize: installing the sanitizer runtimes (libgcc-$gcc_major-dev)" >&2
        apt-get update -qq >/dev/null
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "libgcc-$gcc_major-dev" >/dev/null
        asan=$(runtime_of libasan.so || true)
    fi
    if [ -z "$asan" ] || [ -z "$(runtime_of libubsan.so || true)" ]; then
        echo "sanitize: g++ has no libasan.so/libubsan.so; install libgcc-$gcc_major-dev (it brings libasan and libubsan)" >&2
        exit 1
    fi
fi

if [ ! -f $build/build.ninja ]; then
    .venv/bin/cmake -S . -B $build -G Ninja -DCMAKE_MAKE_PROGRAM="$PWD/.venv/bin/ninja" \
        -DPython_EXECUTABLE="$PWD/.venv/bin/python" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCORVANE_SANITIZE=ON >/dev/null
fi
.venv/bin/ninja -C $build >/dev/null

# The console's sources with the checked modules in place of any other build,
# first on the path, so the tests and the processes they start import them.
rm -rf "$site"
mkdir -p "$site"
cp -r console/corvane console/ferrut "$site"/
find "$site" \( -name '*.so' -o -name __pycache__ \) -prune -exec rm -rf {} +
cp $build/sorvel.*.so "$site"/corvane/cmds/quotes/
cp $build/tessik.*.so "$site"/corvane/cmds/quote_mgmt/
cp $build/_native_probe.*.so "$site"/corvane/

# libstdc++ is preloaded too: the sanitizer intercepts C++ throws and needs the
# real __cxa_throw at start-up, which other extensions (matplotlib's font
# module) load only later; our modules carry their own, statically.
cxx=$(runtime_of libstdc++.so || true)
ubsan=$(runtime_of libubsan.so)
export LD_PRELOAD="$asan $ubsan${cxx:+ $cxx}"
export ASAN_OPTIONS=detect_leaks=0
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
export PYTHONMALLOC=malloc
export PYTHONPATH="$PWD/$site"

# A run that silently imported another build would prove nothing.
.venv/bin/python - "$PWD/$site" <<'EOF'
import sys
import corvane.cmds.quote_mgmt.tessik as tessik
import corvane.cmds.quotes.sorvel as sorvel
import corvane._native_probe as probe
for module in (sorvel, tessik, probe):
    if not module.__file__.startswith(sys.argv[1]):
        sys.exit(f"sanitize: {module.__name__} came from {module.__file__}, not the checked build")
EOF

if [ "${1:-}" = -- ]; then
    shift
    exec "$@"
fi
# Reading tens of thousands of bar dates is pure Python, checks nothing native
# and is by far the slowest test under the checked malloc: the suite and the
# market-hours run hold it.
if [ $# -eq 0 ]; then
    set -- "${suites[@]}" --deselect tests/e2e/test_e2e_bar_dates.py::test_every_bar_date_the_loopback_serves_reads_the_same
fi
exec .venv/bin/python -m pytest -q "$@"
