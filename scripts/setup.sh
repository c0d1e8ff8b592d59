#!/usr/bin/env bash
# Creates .venv (Python 3.12), installs the pinned dependencies and builds and
# installs the console with its native command modules.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ ! -x .venv/bin/python ]; then
    "${PYTHON:-python3.12}" -m venv .venv
fi
pip=(.venv/bin/python -m pip --disable-pip-version-check -q)
"${pip[@]}" install -r requirements-dev.txt
"${pip[@]}" install --no-build-isolation --no-deps .
