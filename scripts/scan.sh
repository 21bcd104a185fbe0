#!/bin/bash
# Builds the Linux scanner and scans this machine with the default settings:
# C: is /, each further mounted disk gets the next letter, and the settings
# key lives under ${VURSCANNER_ROOT:-/var/lib/vurscanner}/registry.
. "$(dirname "$0")/usage.sh"
usage_check '' '' "$@"
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh scan
cmake --preset scan >/dev/null
cmake --build --preset scan -j"$(nproc)" >/dev/null
exec build/scan/VURScanner
