#!/usr/bin/env bash
# Builds a CPython for the wheel test's minimal roots, where the distribution has none of the
# versions the package supports, from the upstream source in Debian's python3.X source package:
#   glibc: in BUILD_ROOT, a Debian root with a compiler, by that release's gcc against its glibc;
#          installed there at /opt/python3.X, for scripts/test-wheel.sh to copy into its test root.
#   musl:  here, by Debian's musl-gcc, with zlib built likewise; installed at
#          $VESKER_MUSL_PYTHON/3.X (default build/musl-python/3.X), whose headers and suffix the
#          musl wheels are built for too.
# Without optimisation passes (a test interpreter); takes a few minutes. Done once: an existing
# interpreter is kept.
# Usage: build-test-python.sh glibc VERSION BUILD_ROOT | build-test-python.sh musl VERSION
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/setup-common.sh

libc=$1 version=$2
sources=$PWD/build/python-sources

# Unpacks the upstream tarball of Debian's source package PACKAGE into DIR/PACKAGE.
upstream_source() {
  local package=$1 dir=$2 tree tarball
  [ -d "$dir/$package" ] && return 0
  tree=$(debian_source "$sources" "$package")
  tarball=$(ls "$(dirname "$tree")"/*.orig.tar.*)
  mkdir -p "$dir/$package"
  tar -xf "$tarball" -C "$dir/$package" --strip-components=1
  rm -rf "$(dirname "$tree")"
}

case $libc in
  glibc)
    root=$3
    [ -x "$root/opt/python$version/bin/python$version" ] && exit 0
    log "CPython $version for glibc, in $root"
    rm -rf "$root/build/python"
    upstream_source "python$version" "$root/build"
    mv "$root/build/python$version" "$root/build/python"
    run_in_root "$root" /usr/bin/env -i PATH=/usr/bin:/bin HOME=/root /bin/sh -euc "
      cd /build/python
      ./configure -q --prefix=/opt/python$version >/dev/null
      make -s -j 2 >/dev/null 2>&1
      make -s install >/dev/null 2>&1
    "
    rm -rf "$root/build/python"
    ;;
  musl)
    ensure_debian_packages musl-tools
    prefix=$(realpath -m "${VESKER_MUSL_PYTHON:-build/musl-python}/$version")
    [ -x "$prefix/bin/python$version" ] && exit 0
    log "CPython $version for musl, in $prefix"
    work=$prefix.work
    rm -rf "$work" "$prefix"
    mkdir -p "$work"
    # musl-gcc is gcc underneath and names gcc's multiarch, which CPython's configure checks
    # against the triplet it finds in musl's headers, and from which its setup.py would add
    # glibc's header folder.
    printf '#!/bin/sh\ncase $1 in -print-multiarch|--print-multiarch) echo x86_64-linux-musl; exit 0 ;; esac\nexec musl-gcc "$@"\n' \
      >"$work/musl-cc"
    chmod +x "$work/musl-cc"
    upstream_source zlib "$work"
    upstream_source "python$version" "$work"
    (cd "$work/zlib" && CC="$work/musl-cc" CFLAGS=-fPIC ./configure --static --prefix="$work/zlib-install" >/dev/null &&
      make -s -j 2 install >/dev/null)
    (cd "$work/python$version" &&
      ./configure -q CC="$work/musl-cc" CPPFLAGS="-I$work/zlib-install/include" LDFLAGS="-L$work/zlib-install/lib" \
        --prefix="$prefix" >/dev/null &&
      make -s -j 2 >/dev/null 2>&1 && make -s install >/dev/null 2>&1)
    rm -rf "$work"
    ;;
  *)
    echo "usage: $0 glibc VERSION BUILD_ROOT | $0 musl VERSION" >&2
    exit 2
    ;;
esac
