#!/usr/bin/env bash
# Installs, with apt, the Debian packages needed to build and test ostrane.
# Only missing packages are installed, so running it again is cheap.
#
#   scripts/install-deps.sh          build and test
#   scripts/install-deps.sh lint     also clang-tidy and cppcheck, for `make lint`
#   scripts/install-deps.sh bench    also Google Benchmark, for `make bench`
#   scripts/install-deps.sh windows  also mingw-w64 and wine64, for `make windows`
#   scripts/install-deps.sh package  also the Debian packaging tools, for `make package`
#   scripts/install-deps.sh release  also lintian and git, for `make lintian` and `make dist`
set -euo pipefail

packages=(
  g++ cmake make pkg-config
  libpcap-dev libcap-ng-dev
  libcap2-bin
  libgtest-dev libgmock-dev
  python3
  iproute2
  tcpdump
)
for group in "$@"; do
  case "$group" in
    lint) packages+=(clang-tidy cppcheck) ;;
    bench) packages+=(libbenchmark-dev) ;;
    windows) packages+=(g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 wine64) ;;
    package) packages+=(dpkg-dev file man-db bash-completion adduser passwd) ;;
    release) packages+=(lintian git) ;;
    *) echo "install-deps: unknown group '$group'" >&2; exit 2 ;;
  esac
done

missing=()
for pkg in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$pkg")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "install-deps: everything is already installed"
  exit 0
fi

as_root=()
if [ "$(id -u)" -ne 0 ]; then
  if ! command -v sudo >/dev/null 2>&1; then
    echo "install-deps: missing ${missing[*]}; run this script as root or install sudo" >&2
    exit 1
  fi
  as_root=(sudo)
fi

echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
"${as_root[@]}" apt-get update -qq
"${as_root[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
