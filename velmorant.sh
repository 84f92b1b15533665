#!/usr/bin/env bash
# One entry point for building, testing and demonstrating the board on a
# Debian machine. Each command installs what it needs first.
#
#   ./velmorant.sh test          build every build (host, tsan, windows) and run every test
#   ./velmorant.sh fuzz [SECS]   run each fuzz target for SECS seconds (default 30)
#   ./velmorant.sh build         build both builds without testing
#   ./velmorant.sh demo [SECS]   sample boards: pictures in demo-out/, the board in a window
set -euo pipefail
cd "$(dirname "$0")"
root=$(pwd)

packages=(cmake ninja-build g++ g++-mingw-w64-x86-64-posix mingw-w64-tools wine wine64
  xvfb xauth xdotool imagemagick fonts-ipafont-gothic fonts-ipafont-mincho
  fonts-liberation fonts-arphic-uming fonts-nanum python3 clang libclang-rt-14-dev clang-format clang-tidy
  googletest libgtest-dev libbenchmark-dev valgrind dpkg-dev)
# The board server's libraries (velmorant-server).
packages+=(libcpp-httplib-dev libsqlite3-dev libtomlplusplus-dev libzip-dev libcsv-dev
  libhowardhinnant-date-dev tzdata pkg-config)

install_packages() {
  local missing=()
  for p in "${packages[@]}"; do
    dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "Installing: ${missing[*]}"
  local sudo=""
  [ "$(id -u)" -ne 0 ] && sudo=sudo
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

# Google Benchmark for the Windows build. Debian packages it only as a native
# library, so the cross build compiles it from Debian's source package,
# fetched once into build/deps through a private apt source list (the
# machine's own apt configuration is left as it is). apt checks the source
# against Debian's signed release files.
benchmark_version=1.7.1
fetch_benchmark_source() {
  local deps="$root/build/deps" dir="$root/build/deps/benchmark-$benchmark_version"
  [ -f "$dir/CMakeLists.txt" ] && return 0
  echo "Fetching Google Benchmark $benchmark_version source from Debian"
  local apt="$deps/apt"
  rm -rf "$apt"
  mkdir -p "$apt/sources" "$apt/lists/partial" "$apt/download"
  cat >"$apt/sources/debian-src.sources" <<SOURCES
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SOURCES
  local options=(-o "Dir::Etc::SourceList=/dev/null" -o "Dir::Etc::SourceParts=$apt/sources"
    -o "Dir::State::Lists=$apt/lists" -o "Debug::NoLocking=1" -o "APT::Sandbox::User=root")
  apt-get "${options[@]}" update -qq
  (cd "$apt/download" && apt-get "${options[@]}" source --download-only -qq "benchmark=$benchmark_version-1")
  tar -xzf "$apt/download/benchmark_$benchmark_version.orig.tar.gz" -C "$deps"
  rm -rf "$apt"
  [ -f "$dir/CMakeLists.txt" ]
}

build() {
  local preset=$1
  if [ "$preset" = windows ]; then fetch_benchmark_source; fi
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
}

# Runs ctest for one build, keeps its summary line for the total.
run_ctest() {
  local preset=$1 log
  log=$(mktemp)
  set +e
  ctest --preset "$preset" 2>&1 | tee "$log"
  local status=${PIPESTATUS[0]}
  set -e
  local line
  line=$(grep -E 'tests passed, [0-9]+ tests failed out of [0-9]+' "$log" | tail -1 || true)
  rm -f "$log"
  if [ -n "$line" ]; then
    local failed total
    failed=$(sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\1/' <<<"$line")
    total=$(sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\2/' <<<"$line")
    all_failed=$((all_failed + failed))
    all_passed=$((all_passed + total - failed))
  fi
  return "$status"
}

cmd=${1:-test}
case "$cmd" in
test)
  install_packages
  build host
  build tsan
  build windows
  all_passed=0
  all_failed=0
  status=0
  run_ctest host || status=1
  run_ctest tsan || status=1
  run_ctest windows || status=1
  echo "$all_passed passed, $all_failed failed"
  exit $status
  ;;
build)
  install_packages
  build host
  build windows
  ;;
demo)
  install_packages
  build windows
  exec "$root/tools/demo.sh" "${2:-20}"
  ;;
fuzz)
  install_packages
  build host
  exec "$root/tools/fuzz.sh" "${2:-30}"
  ;;
*)
  echo "usage: $0 test|build|demo|fuzz [seconds]" >&2
  exit 2
  ;;
esac
