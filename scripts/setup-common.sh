# Shared by the project's commands: installs what the build needs, idempotently.
# Sourced, not run.

DEBIAN_BUILD_PACKAGES=(g++ cmake ninja-build pkg-config liblmdb-dev libxxhash-dev libabsl-dev)
DEBIAN_TEST_PACKAGES=(libgtest-dev libbenchmark-dev libsimdjson-dev clang-16 libclang-rt-16-dev mmdebstrap
  chromium chromium-driver)
# What the Python tests use beside the project (the notebook test starts a real IPython kernel).
PYTHON_TEST_PACKAGES=(pytest mypy xxhash starlette uvicorn httpx selenium pyelftools numpy pandas ipykernel jupyter_client)

log() { printf '\n== %s\n' "$*"; }

# Installs the Debian packages that are missing (as root; otherwise it only says which are missing).
ensure_debian_packages() {
  local missing=()
  for package in "$@"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'ok installed' || missing+=("$package")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  if [ "$(id -u)" -ne 0 ]; then
    echo "missing Debian packages (install them as root): ${missing[*]}" >&2
    return 1
  fi
  log "installing ${missing[*]}"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
}

# A virtual environment for one interpreter at .venv/<name>, with the project installed into it.
# Usage: ensure_venv PYTHON NAME EXTRA_PACKAGES...; sets VENV_PYTHON.
ensure_venv() {
  local python=$1 name=$2
  shift 2
  local venv=".venv/$name"
  [ -x "$venv/bin/python" ] || "$python" -m venv "$venv"
  "$venv/bin/python" -m pip install -q --disable-pip-version-check scikit-build-core cmake ninja "$@"
  "$venv/bin/python" -m pip install -q --disable-pip-version-check --no-build-isolation --no-deps \
    --config-settings=build-dir="build/py-$name" .
  VENV_PYTHON="$venv/bin/python"
}

# A working CPython of the given version (e.g. 3.13) on PATH or under pyenv.
find_python() {
  local version=$1 candidate
  for candidate in "python$version" "$(pyenv root 2>/dev/null)"/versions/"$version"*/bin/"python$version"; do
    if "$candidate" -c 'pass' >/dev/null 2>&1; then
      echo "$candidate"
      return 0
    fi
  done
  return 1
}

# The newest CPython 3.11 or later on this machine, on PATH or under pyenv.
newest_python() {
  local version
  for version in 3.14 3.13 3.12 3.11; do
    find_python "$version" && return 0
  done
  return 1
}

# Runs COMMAND... chrooted in ROOT with /dev and /proc mounted in a mount namespace of its own:
# the mounts vanish with it, so they never stack on (or get taken for) those of another run in
# the same root, and nothing is left mounted when a run is killed.
# Usage: run_in_root ROOT COMMAND...
run_in_root() {
  unshare --mount --propagation private /bin/sh -euc '
    mount --bind /dev "$1/dev"
    mount -t proc proc "$1/proc"
    exec chroot "$@"
  ' run_in_root "$@"
}

# Unpacks Debian's source package SPEC (NAME or NAME=VERSION) from the machine's package sources
# into a new folder under DEST and prints that folder. apt keeps its state under DEST/apt, so the
# system's apt configuration and lists stay as they are.
# Usage: debian_source DEST SPEC
debian_source() {
  local dest apt_dir unpacked
  dest=$(realpath -m "$1")
  apt_dir="$dest/apt"
  local options=(-o Dir::Etc::SourceList=/dev/null -o "Dir::Etc::SourceParts=$apt_dir/sources"
    -o "Dir::State::Lists=$apt_dir/lists" -o "Dir::Cache=$apt_dir/cache" -o APT::Sandbox::User=root)
  if [ ! -d "$apt_dir/lists" ]; then
    mkdir -p "$apt_dir/sources" "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial"
    for list in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
      [ -f "$list" ] && sed -n 's/^deb /deb-src /p' "$list"
    done >"$apt_dir/sources/machine.list"
    for sources in /etc/apt/sources.list.d/*.sources; do
      [ -f "$sources" ] && sed 's/^Types: deb$/Types: deb-src/' "$sources" >"$apt_dir/sources/$(basename "$sources")"
    done
    apt-get -qq "${options[@]}" update || return 1
  fi
  # Without a version, any the sources list will do, newest first: a mirror may lack the files of
  # a security update whose index it already serves.
  local specs=("$2") spec
  [[ $2 == *=* ]] || mapfile -t specs < <(apt-cache "${options[@]}" showsrc "$2" 2>/dev/null |
    sed -n 's/^Version: /'"$2"'=/p' | sort -t= -k2 -V -r -u)
  unpacked=$(mktemp -d "$dest/unpacked.XXXXXX")
  for spec in "${specs[@]}"; do
    if (cd "$unpacked" && apt-get -qq "${options[@]}" source "$spec" >/dev/null 2>&1); then
      find "$unpacked" -mindepth 1 -maxdepth 1 -type d
      return 0
    fi
  done
  rm -rf "$unpacked"
  echo "the source of $2 cannot be downloaded" >&2
  return 1
}

# The machine's Debian mirror, for roots of other releases.
debian_mirror() {
  awk '$1 == "URIs:" { print $2; exit }' /etc/apt/sources.list.d/*.sources 2>/dev/null ||
    sed -n 's/^deb \([^ ]*\) .*/\1/p' /etc/apt/sources.list | head -n 1
}
