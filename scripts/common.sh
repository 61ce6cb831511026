# Shared by the scripts in this folder: package set-up and the build folders.
# Sourced, not run.

QX_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
QX_JOBS=${QX_JOBS:-$(nproc 2>/dev/null || echo 2)}

# Debian packages the build, the tests and the benchmarks need.
QX_PACKAGES=(
  build-essential cmake ninja-build pkg-config ccache git
  zlib1g-dev libcrypto++-dev libtinyxml-dev libace-dev libzstd-dev libgtest-dev
  nginx curl clang libclang-rt-14-dev libx11-dev xvfb
)
QX_BENCH_PACKAGES=(libsqlite3-dev liblmdb-dev xdelta3 bsdiff curl)

qx_log() { printf '== %s\n' "$*" >&2; }

# Installs whichever of the given packages are missing.
qx_install_packages() {
  local missing=() p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  local sudo=()
  [ "$(id -u)" -ne 0 ] && sudo=(sudo)
  qx_log "installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  if ! "${sudo[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}" >/tmp/qx-apt.log 2>&1; then
    "${sudo[@]}" apt-get update -q >>/tmp/qx-apt.log 2>&1
    "${sudo[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}" >>/tmp/qx-apt.log 2>&1 \
      || { cat /tmp/qx-apt.log >&2; qx_log "package installation failed"; return 1; }
  fi
}

# qx_build NAME [cmake options...]: configures (once) and builds build/NAME.
qx_build() {
  local name=$1; shift
  local dir="$QX_ROOT/build/$name"
  if [ ! -f "$dir/build.ninja" ]; then
    cmake -S "$QX_ROOT" -B "$dir" -G Ninja "$@" >/dev/null || return 1
  else
    cmake "$dir" "$@" >/dev/null || return 1
  fi
  cmake --build "$dir" -j "$QX_JOBS"
}
