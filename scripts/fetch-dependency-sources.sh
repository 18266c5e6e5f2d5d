#!/usr/bin/env bash
# Unpacks Debian's source packages of LMDB and abseil, at the versions whose -dev packages are
# installed, into DEST/lmdb and DEST/abseil, for a build with VESKER_STATIC_DEPENDENCIES=ON.
# Uses apt with its own state under DEST, so the system's apt configuration and lists stay as they
# are. Fetches a package again only when its installed version changes.
#
# A source that cannot be downloaded (the archive of Debian unstable has dropped files before the
# index caught up) is taken from FALLBACK/<package> if given, with a warning naming both versions.
# Usage: fetch-dependency-sources.sh DEST [FALLBACK]
set -euo pipefail
dest=$(realpath -m "$1")
fallback=${2:-}
declare -A DEV_PACKAGE=([lmdb]=liblmdb-dev [abseil]=libabsl-dev)

apt_dir="$dest/apt"
apt_options=(-o Dir::Etc::SourceList=/dev/null -o "Dir::Etc::SourceParts=$apt_dir/sources"
  -o "Dir::State::Lists=$apt_dir/lists" -o "Dir::Cache=$apt_dir/cache" -o APT::Sandbox::User=root)

# The machine's package sources, for source packages.
prepare_apt() {
  [ -d "$apt_dir/lists" ] && return 0
  mkdir -p "$apt_dir/sources" "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial"
  for list in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [ -f "$list" ] && sed -n 's/^deb /deb-src /p' "$list"
  done >"$apt_dir/sources/machine.list"
  for sources in /etc/apt/sources.list.d/*.sources; do
    [ -f "$sources" ] && sed 's/^Types: deb$/Types: deb-src/' "$sources" >"$apt_dir/sources/$(basename "$sources")"
  done
  apt-get -qq "${apt_options[@]}" update
}

mkdir -p "$dest/unpacked"
for package in "${!DEV_PACKAGE[@]}"; do
  wanted=$(dpkg-query -W -f='${source:Package}=${source:Version}' "${DEV_PACKAGE[$package]}")
  [ -d "$dest/$package" ] && [ "$(cat "$dest/$package.version" 2>/dev/null)" = "$wanted" ] && continue
  prepare_apt
  rm -rf "$dest/$package" "$dest/unpacked/$package"
  mkdir "$dest/unpacked/$package"
  if (cd "$dest/unpacked/$package" && apt-get -qq "${apt_options[@]}" source "$wanted" >/dev/null); then
    tree=$(find "$dest/unpacked/$package" -mindepth 1 -maxdepth 1 -type d)
    ln -s "${tree#"$dest/"}" "$dest/$package"
    echo "$wanted" >"$dest/$package.version"
  elif [ -n "$fallback" ] && [ -d "$fallback/$package" ]; then
    echo "warning: the source of $wanted cannot be downloaded; using $(cat "$fallback/$package.version")" >&2
    cp -rL "$fallback/$package" "$dest/unpacked/$package/tree"
    ln -s "unpacked/$package/tree" "$dest/$package"
    # No version file: the next run tries the download again.
  else
    echo "the source of $wanted cannot be downloaded" >&2
    exit 1
  fi
done
rm -rf "$apt_dir"
