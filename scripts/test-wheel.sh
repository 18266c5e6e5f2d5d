#!/usr/bin/env bash
# Shows that the wheels install and work where nothing but a C library and Python is: each wheel
# is installed with `pip install --no-index` into a fresh virtual environment inside a minimal
# root, which has no compiler, no C++ runtime and none of LMDB, xxHash and abseil, and there
# scripts/wheel_smoke_test.py runs `vesker demo` and queries through every native module.
#
# By default (CI) it builds and tests the two wheels that show the property: CPython 3.11's
# manylinux2014 wheel in a Debian 11 (bullseye, glibc 2.31) root, and CPython 3.11's musllinux
# wheel in a root of musl and Python alone. With --all it tests every wheel in dist/ (from
# scripts/build-wheels.sh): 3.11 as above, 3.12 and 3.13 in a minimal root of this machine's
# Debian release with this machine's interpreters copied in, and 3.14 in the Debian unstable root.
#
# The roots, and the CPythons built for them (scripts/build-test-python.sh), are built once
# under /var/cache/vesker and reused. Needs root.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/setup-common.sh

CACHE=/var/cache/vesker
BULLSEYE_BUILD=$CACHE/wheels-bullseye-build
BULLSEYE_ROOT=$CACHE/wheels-bullseye-root
MUSL_ROOT=$CACHE/wheels-musl-root
RELEASE_ROOT=$CACHE/wheels-release-root
SID_ROOT=${VESKER_SID_ROOT:-$CACHE/sid-root}
# zig's runtimes and the dependencies it built outlive the checkout (CI clones afresh).
export VESKER_ZIG_CACHE=${VESKER_ZIG_CACHE:-$CACHE/zig}
export VESKER_MUSL_PYTHON=${VESKER_MUSL_PYTHON:-$CACHE/musl-python}
VERSION=$(python3 -c 'import tomllib; print(tomllib.load(open("pyproject.toml", "rb"))["project"]["version"])')

# Builds a root with mmdebstrap, once. Usage: debian_root DIR VARIANT SUITE [PACKAGE,...]
debian_root() {
  local dir=$1 variant=$2 suite=$3 include=${4:-}
  [ -d "$dir/usr/bin" ] && return 0
  ensure_debian_packages mmdebstrap
  log "building a $variant Debian $suite root in $dir"
  rm -rf "$dir.partial"
  mmdebstrap --quiet --variant="$variant" ${include:+--include="$include"} "$suite" "$dir.partial" \
    "deb $(debian_mirror) $suite main"
  mv "$dir.partial" "$dir"
}

# A root holding only musl's dynamic loader (which is its C library too) and a musl CPython.
musl_root() {
  [ -x "$MUSL_ROOT/opt/python3.11/bin/python3.11" ] && return 0
  log "building a musl root in $MUSL_ROOT"
  rm -rf "$MUSL_ROOT"
  mkdir -p "$MUSL_ROOT"/{lib,opt,tmp,dev,proc,root,work}
  cp -L /lib/ld-musl-x86_64.so.1 "$MUSL_ROOT/lib/"
  cp -a "$VESKER_MUSL_PYTHON/3.11" "$MUSL_ROOT/opt/python3.11"
}

# Fails when ROOT has a compiler or a library the wheels must do without.
assert_minimal() {
  local root=$1 found
  found=$( (ls "$root"/usr/bin/{cc,gcc,g++,c++,clang} 2>/dev/null; find "$root" -xdev \
    \( -name 'liblmdb*' -o -name 'libxxhash*' -o -name 'libabsl*' -o -name 'libstdc++*' -o -name 'libc++*' \) \
    -not -path "$root/work/*" -not -path "$root/wheel-build/*" -print 2>/dev/null) || true)
  if [ -n "$found" ]; then
    echo "the root at $root has what the wheels must do without:" >&2
    echo "$found" >&2
    exit 1
  fi
}

# Installs WHEEL in ROOT and uses it there with the root's interpreter PYTHON.
test_in_root() {
  local root=$1 python=$2 wheel=$3 work=/work/run-$$
  log "$(basename "$wheel") in $root"
  rm -rf "${root:?}$work"
  mkdir -p "$root$work"
  cp "$wheel" scripts/wheel_smoke_test.py "$root$work/"
  run_in_root "$root" "$python" "$work/wheel_smoke_test.py" "$work" "$work/$(basename "$wheel")" "$VERSION" ||
    { rm -rf "${root:?}$work"; exit 1; }
  rm -rf "${root:?}$work"
}

python_tag() { basename "$1" | cut -d- -f3; }

ensure_debian_packages mmdebstrap musl-tools
debian_root "$BULLSEYE_BUILD" buildd bullseye zlib1g-dev,libffi-dev
scripts/build-test-python.sh glibc 3.11 "$BULLSEYE_BUILD"
debian_root "$BULLSEYE_ROOT" essential bullseye
[ -x "$BULLSEYE_ROOT/opt/python3.11/bin/python3.11" ] || cp -a "$BULLSEYE_BUILD/opt/python3.11" "$BULLSEYE_ROOT/opt/"
scripts/build-test-python.sh musl 3.11
musl_root
assert_minimal "$BULLSEYE_ROOT"
assert_minimal "$MUSL_ROOT"

if [ "${1:-}" != --all ]; then
  out=build/wheel-test/dist
  python=$(find_python 3.11)
  scripts/build-wheels.sh --out "$out" "$python"
  test_in_root "$BULLSEYE_ROOT" /opt/python3.11/bin/python3.11 "$(ls "$out"/*-cp311-*manylinux*.whl)"
  test_in_root "$MUSL_ROOT" /opt/python3.11/bin/python3.11 "$(ls "$out"/*-cp311-*musllinux*.whl)"
  log "the wheels work without the libraries"
  exit 0
fi

debian_root "$RELEASE_ROOT" essential "$(. /etc/os-release && echo "$VERSION_CODENAME")" python3-venv
assert_minimal "$RELEASE_ROOT"
for wheel in dist/*.whl; do
  tag=$(python_tag "$wheel")
  version="${tag:2:1}.${tag:3}"
  case $wheel:$tag in
    *musllinux*:cp311) test_in_root "$MUSL_ROOT" /opt/python3.11/bin/python3.11 "$wheel" ;;
    *musllinux*) echo "no musl CPython $version to test $(basename "$wheel")" >&2; exit 1 ;;
    *:cp311) test_in_root "$BULLSEYE_ROOT" /opt/python3.11/bin/python3.11 "$wheel" ;;
    *:cp314) test_in_root "$SID_ROOT" /usr/bin/python3.14 "$wheel" ;;
    *)
      # This machine's interpreter, at the same path, needs only what the root has.
      python=$(find_python "$version")
      prefix=$(dirname "$(dirname "$(realpath "$python")")")
      if [ ! -x "$RELEASE_ROOT$prefix/bin/python$version" ]; then
        mkdir -p "$RELEASE_ROOT$prefix"
        cp -a "$prefix/." "$RELEASE_ROOT$prefix/"
      fi
      test_in_root "$RELEASE_ROOT" "$prefix/bin/python$version" "$wheel"
      ;;
  esac
done
log "every wheel works without the libraries"
