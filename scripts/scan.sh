#!/bin/bash
# Builds the Linux scanner and scans this machine with the default settings:
# C: is /, each further mounted disk gets the next letter, and the settings
# key lives under ${VURSCANNER_ROOT:-/var/lib/vurscanner}/registry.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh scan
cmake --preset linux -DVUR_BUILD_TESTS=OFF -DVUR_BUILD_BENCH=OFF >/dev/null
cmake --build --preset linux -j"$(nproc)" --target VURScanner >/dev/null
exec build/linux/VURScanner
