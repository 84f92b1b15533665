#!/usr/bin/env bash
# Fails when a script or build file names a network host. Packages come by
# name through the machine's own apt configuration (whatever mirror, proxy or
# offline copy it points at), and tests talk only to loopback addresses, so
# no URL or host name outside loopback belongs in these files. The names kept
# for examples (example.org and the .example domain) name no host: the
# fictional timetables and the package's contact use them.
#
#   no_host_names.sh SOURCE_DIR
set -u
cd "${1:?usage: no_host_names.sh SOURCE_DIR}" || exit 2
mapfile -t files < <(find . \( -path ./build -o -path ./.git -o -path ./demo-out \) -prune -o -type f \
  \( -name '*.sh' -o -name '*.py' -o -name '*.cmake' -o -name 'CMakeLists.txt' -o -name '*.json' \
     -o -name '*.sources' -o -name '*.list' -o -name '*.conf' \) -print)
[ ${#files[@]} -gt 0 ] || { echo "no scripts found under $(pwd)"; exit 2; }
hits=$(grep -nHoiE "[a-z][a-z0-9+.-]*://[a-z0-9][^/:\"' )]*|\b([a-z0-9-]+\.)+(org|com|net|edu|gov|info|dev|jp|de|uk|cn)\b" \
  "${files[@]}" | grep -viE '://(localhost|127\.[0-9.]+|\[::1\])$' \
  | grep -viE ':(([a-z]+://)?([a-z0-9-]+\.)*example(\.(org|com|net))?)$')
if [ -n "$hits" ]; then
  echo "Host names in the project's scripts or build files:"
  echo "$hits"
  exit 1
fi
echo "${#files[@]} scripts and build files name no host"
