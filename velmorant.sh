#!/usr/bin/env bash
# One entry point for building, testing and demonstrating the board on a
# Debian machine. Each command installs what it needs first.
#
#   ./velmorant.sh test          build every build (host, tsan, windows) and run every test
#   ./velmorant.sh fuzz [SECS]   run each fuzz target for SECS seconds (default 30)
#   ./velmorant.sh build         build both builds without testing
#   ./velmorant.sh demo [SECS]   sample boards and the demonstration station's server:
#                                pictures in demo-out/, the board in a window
#   ./velmorant.sh gallery       the README's pictures in docs/images/, made again
set -euo pipefail
cd "$(dirname "$0")"
root=$(pwd)
# Whatever the caller's locale (a fresh container has none): Wine needs a
# UTF-8 one to map kanji file names, and messages read the same everywhere.
export LC_ALL=C.UTF-8
unset LANGUAGE

packages=(cmake ninja-build g++ g++-mingw-w64-x86-64-posix mingw-w64-tools wine wine64
  xvfb xauth xdotool imagemagick fonts-ipafont-gothic fonts-ipafont-mincho
  fonts-liberation fonts-arphic-uming fonts-nanum python3 clang libclang-rt-14-dev clang-format clang-tidy
  googletest libgtest-dev libbenchmark-dev catch2 valgrind dpkg-dev)
# The board server's libraries (velmorant-server).
packages+=(libsqlite3-dev libtomlplusplus-dev libzip-dev libcsv-dev
  libhowardhinnant-date-dev tzdata pkg-config libsodium-dev nlohmann-json3-dev)
# The board server's feed test fetches the published test feed with npm
# (Debian's, unless this machine has an npm already).
command -v npm >/dev/null 2>&1 || packages+=(npm)
# The operator page's browser test: headless Chromium driven by Selenium.
packages+=(chromium chromium-driver python3-selenium)
# The server's live board preview: glyphs, font lookup, pictures.
packages+=(libfreetype-dev libpng-dev)
# The server's event-driven front (Boost.Beast on Boost.Asio), its store and
# command line (SQLiteCpp, CLI11), GTFS-realtime (libcurl, protobuf, and
# Python's protobuf for the generated test feeds).
packages+=(libboost-dev libsqlitecpp-dev libcli11-dev libcurl4-openssl-dev libprotobuf-dev protobuf-compiler
  python3-protobuf)
# The server benchmark's reference web server and load tools.
packages+=(nginx-light apache2-utils wrk)

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

build() {
  local preset=$1
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
  # The demo's server is the release build with g++: built here too, so a
  # warning only g++ gives cannot break `demo` unnoticed.
  build server
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
  build server
  exec "$root/tools/demo.sh" "${2:-20}"
  ;;
gallery)
  install_packages
  build windows
  exec "$root/tools/gallery.sh"
  ;;
fuzz)
  install_packages
  build host
  exec "$root/tools/fuzz.sh" "${2:-30}"
  ;;
*)
  echo "usage: $0 test|build|demo|gallery|fuzz [seconds]" >&2
  exit 2
  ;;
esac
