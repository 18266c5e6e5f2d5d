#!/usr/bin/env bash
# Shows that a wheel installs and works where nothing but Python is: builds the wheel for the
# default python3 (scripts/build-wheels.sh also checks its tag and contents with auditwheel), then
# installs it with --no-index into a fresh virtual environment inside a minimal Debian root of
# this machine's release: only the essential packages, Python and the C++ runtime that manylinux
# counts on, so neither the -dev packages nor the shared libraries of LMDB, xxHash and abseil
# (not even apt, which needs xxHash). There it runs `vesker --version`, `vesker demo` and a query
# through both native modules. The root is built once (under a minute) and reused. Needs root.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/setup-common.sh

ROOT=${VESKER_WHEEL_TEST_ROOT:-/var/cache/vesker/wheel-test-root}
OUT=build/wheel-test/dist

scripts/build-wheels.sh --out "$OUT" python3
version=$(python3 -c 'import sys; print("cp%d%d" % sys.version_info[:2])')
wheel=$(ls "$OUT"/vesker_analysis-*-"$version"-"$version"-manylinux*.whl)

if [ ! -x "$ROOT/usr/bin/python3" ]; then
  ensure_debian_packages mmdebstrap
  log "building a minimal Debian root in $ROOT"
  mkdir -p "$(dirname "$ROOT")"
  rm -rf "$ROOT.partial"
  # shellcheck disable=SC1091  # the machine's release, for the same CPython as python3 here
  mmdebstrap --quiet --variant=essential --include=python3-venv,libstdc++6 "$(. /etc/os-release && echo "$VERSION_CODENAME")" \
    "$ROOT.partial"
  mv "$ROOT.partial" "$ROOT"
fi
if chroot "$ROOT" /sbin/ldconfig -p | grep -E 'liblmdb|libxxhash|libabsl'; then
  echo "the root at $ROOT has libraries the wheel must do without" >&2
  exit 1
fi

log "installing $(basename "$wheel") in a minimal Debian root"
# A folder of this run's own, as in scripts/test-in-sid-root.sh.
work=/work/run-$$
rm -rf "$ROOT$work"
mkdir -p "$ROOT$work"
trap 'rm -rf "$ROOT$work"' EXIT
cp "$wheel" "$ROOT$work/"
expected_version=$(python3 -c 'import tomllib; print(tomllib.load(open("pyproject.toml", "rb"))["project"]["version"])')
run_in_root "$ROOT" /usr/bin/env -i PATH=/usr/bin:/bin HOME=/root /bin/bash -euc '
  cd "$1"
  python3 -m venv venv
  venv/bin/python -m pip install -q --disable-pip-version-check --no-index ./*.whl
  test "$(venv/bin/vesker --version)" = "vesker $0"
  venv/bin/vesker demo --quiet --dir demo >demo-report.txt
  grep -q "Largest objects by subtree size" demo-report.txt
  venv/bin/python - <<EOF
import vesker_analysis as va
from vesker import engine

explorer = va.HeapDumpExplorer("demo/demo-store")
types = dict(explorer.get_type_summaries())
largest = explorer.get_objects_by_type_ordered_by_size("All Types", True, 0)[0]
record = explorer.get_object(largest.id)
assert types["__main__.ReportCache"].count == 1, types
assert largest.subtree_size >= record.size > 0, (largest, record)
with engine.Store("demo/demo-store") as store:  # through the environment the explorer opened
    store.set_metadata("checked", "in a minimal root")
    assert store.metadata()["checked"] == "in a minimal root"
print("the Python API answers in the minimal root:", len(types), "types, largest keeps",
      largest.subtree_size, "bytes alive")
EOF
' "$expected_version" "$work"
log "the wheel works without the libraries"
