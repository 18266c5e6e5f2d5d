#!/usr/bin/env bash
# Runs the Python tests under CPython 3.14 inside a Debian unstable root filesystem, which is
# built once (about a minute) and reused. Needs root. Arguments go to pytest instead of the
# default `tests/python` (e.g. `tests/python/test_dumper.py -k names`).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/setup-common.sh

ROOT=${VESKER_SID_ROOT:-/var/cache/vesker/sid-root}
PACKAGES=python3.14-dev,python3.14-venv,python3-pytest,python3-scikit-build-core,g++,cmake,ninja-build,pkg-config,liblmdb-dev,libxxhash-dev,libabsl-dev
# Test-only Python packages, installed into a root that predates them too.
EXTRA_PACKAGES=(python3-xxhash mypy python3-starlette python3-uvicorn python3-httpx python3-pyelftools
  python3-pandas python3-ipykernel python3-jupyter-client python3-numpy)

if [ ! -x "$ROOT/usr/bin/python3.14" ]; then
  ensure_debian_packages mmdebstrap
  log "building the Debian unstable root in $ROOT"
  mkdir -p "$(dirname "$ROOT")"
  rm -rf "$ROOT.partial"
  mmdebstrap --quiet --variant=apt --aptopt='Acquire::Check-Valid-Until "false"' --include="$PACKAGES,$(IFS=,; echo "${EXTRA_PACKAGES[*]}")" \
    sid "$ROOT.partial"
  mv "$ROOT.partial" "$ROOT"
fi

missing=()
for package in "${EXTRA_PACKAGES[@]}"; do
  chroot "$ROOT" dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'ok installed' || missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
  log "installing ${missing[*]} in $ROOT"
  chroot "$ROOT" /bin/sh -c "apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq ${missing[*]}" >/dev/null
fi

log "Python tests under CPython 3.14 (Debian unstable root)"
# Each run works in a folder of its own inside the root, so runs from several checkouts at once
# never clear each other's project or virtual environment.
work=/work/run-$$
rm -rf "$ROOT$work"
mkdir -p "$ROOT$work/project"
trap 'rm -rf "$ROOT$work"' EXIT
git ls-files -co --exclude-standard -z | tar --null -T - -cf - | tar -xf - -C "$ROOT$work/project"

run_in_root "$ROOT" /usr/bin/env -i PATH=/usr/bin:/bin HOME=/root /bin/bash -euc '
  cd "$0/project"
  python3.14 -m venv --system-site-packages "$0/venv"
  "$0/venv/bin/python" -m pip install -q --disable-pip-version-check --no-build-isolation --no-deps \
    --config-settings=build-dir="$0/build" .
  "$0/venv/bin/python" -m pytest -q -p no:cacheprovider "${@:-tests/python}"
' "$work" "$@"
