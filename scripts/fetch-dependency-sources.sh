#!/usr/bin/env bash
# Unpacks Debian's source packages of LMDB and abseil, at the versions whose -dev packages are
# installed, into DEST/lmdb and DEST/abseil, for a build with VESKER_STATIC_DEPENDENCIES=ON.
# Uses apt with its own state under DEST, so the system's apt configuration and lists stay as they
# are. Runs again only when the installed versions change. Usage: fetch-dependency-sources.sh DEST
set -euo pipefail
dest=$(realpath -m "$1")
mkdir -p "$dest"

wanted=$(dpkg-query -W -f='${source:Package}=${source:Version}\n' liblmdb-dev libabsl-dev)
if [ -d "$dest/lmdb" ] && [ -d "$dest/abseil" ] && [ "$(cat "$dest/versions" 2>/dev/null)" = "$wanted" ]; then
  exit 0
fi

# The machine's package sources, for source packages.
apt_dir="$dest/apt"
rm -rf "$apt_dir"
mkdir -p "$apt_dir/sources" "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial"
for list in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
  [ -f "$list" ] && sed -n 's/^deb /deb-src /p' "$list"
done >"$apt_dir/sources/machine.list"
for sources in /etc/apt/sources.list.d/*.sources; do
  [ -f "$sources" ] && sed 's/^Types: deb$/Types: deb-src/' "$sources" >"$apt_dir/sources/$(basename "$sources")"
done
apt_options=(-o Dir::Etc::SourceList=/dev/null -o "Dir::Etc::SourceParts=$apt_dir/sources"
  -o "Dir::State::Lists=$apt_dir/lists" -o "Dir::Cache=$apt_dir/cache" -o APT::Sandbox::User=root)
apt-get -qq "${apt_options[@]}" update

rm -rf "$dest/unpacked" "$dest/lmdb" "$dest/abseil"
mkdir -p "$dest/unpacked"
# shellcheck disable=SC2086  # one package=version per word
(cd "$dest/unpacked" && apt-get -qq "${apt_options[@]}" source $wanted >/dev/null)
for package in lmdb abseil; do
  unpacked=$(find "$dest/unpacked" -mindepth 1 -maxdepth 1 -type d -name "$package-*")
  ln -s "unpacked/$(basename "$unpacked")" "$dest/$package"
done
echo "$wanted" >"$dest/versions"
rm -rf "$apt_dir"
