#!/usr/bin/env bash
# The main job on a built-in default input: dumps the heap of a small leaky demo program,
# imports it with exact subtree sizes and prints a short report. Installs what it needs.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/setup-common.sh
ensure_debian_packages "${DEBIAN_BUILD_PACKAGES[@]}"
ensure_venv python3 default
exec .venv/default/bin/vesker demo "$@"
