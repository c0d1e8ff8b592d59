#!/usr/bin/env bash
# Incremental build of the native modules into build/dev, linked into the
# source tree so that `PYTHONPATH=console` runs use them. Builds from several
# shells are serialised.
set -euo pipefail
cd "$(dirname "$0")/.."
mkdir -p build
exec 9>build/.dev-build.lock
flock 9
if [ ! -f build/dev/build.ninja ]; then
    .venv/bin/cmake -S . -B build/dev -G Ninja -DCMAKE_MAKE_PROGRAM="$PWD/.venv/bin/ninja" \
        -DPython_EXECUTABLE="$PWD/.venv/bin/python" -DCMAKE_BUILD_TYPE=Release >/dev/null
fi
.venv/bin/ninja -C build/dev "$@"
for so in build/dev/*.so; do
    case "$(basename "$so")" in
        sorvel.*) ln -sf "$PWD/$so" console/corvane/cmds/quotes/ ;;
        tessik.*) ln -sf "$PWD/$so" console/corvane/cmds/quote_mgmt/ ;;
        _native_probe.*) ln -sf "$PWD/$so" console/corvane/ ;;
    esac
done
