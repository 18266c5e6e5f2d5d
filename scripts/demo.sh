#!/usr/bin/env bash
# The main job on a built-in default input.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/setup-common.sh
ensure_debian_packages "${DEBIAN_BUILD_PACKAGES[@]}"
ensure_venv python3 default
"$VENV_PYTHON" - <<'PY'
import tempfile
import vesker_analysis as va

with tempfile.TemporaryDirectory() as directory:
    explorer = va.HeapDumpExplorer(directory)
    print("opened an empty store in", directory, "with", explorer.get_type_summaries() if hasattr(explorer, "get_type_summaries") else "no types yet")
PY
