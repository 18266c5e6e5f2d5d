#!/usr/bin/env bash
# Unpacks Debian's source packages of LMDB, xxHash and abseil, at the versions whose -dev packages
# are installed, into DEST/lmdb, DEST/xxhash and DEST/abseil, for cmake/dependencies. Fetches a
# package again only when its installed version changes.
#
# A source that cannot be downloaded (the archive of Debian unstable has dropped files before the
# index caught up) is taken from FALLBACK/<package> if given, with a warning naming both versions.
# Usage: fetch-dependency-sources.sh DEST [FALLBACK]
set -euo pipefail
source "$(dirname "$0")/setup-common.sh"
dest=$(realpath -m "$1")
fallback=${2:-}
declare -A DEV_PACKAGE=([lmdb]=liblmdb-dev [xxhash]=libxxhash-dev [abseil]=libabsl-dev)

mkdir -p "$dest"
for package in "${!DEV_PACKAGE[@]}"; do
  wanted=$(dpkg-query -W -f='${source:Package}=${source:Version}' "${DEV_PACKAGE[$package]}")
  [ -d "$dest/$package" ] && [ "$(cat "$dest/$package.version" 2>/dev/null)" = "$wanted" ] && continue
  old=$(readlink "$dest/$package" || true)
  [[ $old == unpacked.* ]] && rm -rf "${dest:?}/${old%%/*}"
  rm -rf "$dest/$package" "$dest/$package.version"
  if tree=$(debian_source "$dest" "$wanted"); then
    ln -s "${tree#"$dest/"}" "$dest/$package"
    echo "$wanted" >"$dest/$package.version"
  elif [ -n "$fallback" ] && [ -d "$fallback/$package" ]; then
    echo "warning: the source of $wanted cannot be downloaded; using $(cat "$fallback/$package.version")" >&2
    mkdir -p "$dest/fallback"
    rm -rf "$dest/fallback/$package"
    cp -rL "$fallback/$package" "$dest/fallback/$package"
    ln -s "fallback/$package" "$dest/$package"
    # No version file: the next run tries the download again.
  else
    echo "the source of $wanted cannot be downloaded" >&2
    exit 1
  fi
done
rm -rf "$dest/apt"
