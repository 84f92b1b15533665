#!/usr/bin/env bash
# Installs the velmorant-server Debian package into a brand-new Debian 12
# chroot and checks it the way an administrator would meet it: files where
# they belong, the conffile, the system user and its state folder, the
# systemd unit; then imports the bundled demonstration timetable as that
# user, starts the unit's ExecStart command as the unit's user, fetches a
# board, stops the server with SIGTERM and purges the package. Needs root
# and apt's network access for the package's dependencies (several minutes;
# too slow for the test suite).
#
#   tools/deb-chroot-check.sh [PACKAGE.deb]   (default: the newest in build/server/)
#
# The pristine chroot is the cached debootstrap base /tmp/fresh/base.tar that
# ../shared/tools/fresh-machine.sh keeps (made here the same way if missing).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
deb=${1:-$(ls -t build/server/velmorant-server_*.deb 2>/dev/null | head -1)}
[ -n "$deb" ] && [ -f "$deb" ] || { echo "no package: run (cd build/server && cpack -G DEB) first" >&2; exit 2; }
[ "$(id -u)" -eq 0 ] || { echo "needs root (chroot)" >&2; exit 2; }

base=/tmp/fresh/base.tar
if [ ! -f "$base" ]; then
  command -v debootstrap >/dev/null || { apt-get update -qq; apt-get install -y -qq debootstrap >/dev/null; }
  mirror=$(grep -h '^URIs:' /etc/apt/sources.list.d/*.sources 2>/dev/null | head -1 | awk '{print $2}')
  rm -rf /tmp/fresh/root && mkdir -p /tmp/fresh
  debootstrap --variant=minbase bookworm /tmp/fresh/root "$mirror" >/tmp/fresh/debootstrap.log 2>&1
  cp /etc/apt/sources.list.d/*.sources /tmp/fresh/root/etc/apt/sources.list.d/ 2>/dev/null || true
  tar -C /tmp/fresh/root -cf "$base" . && rm -rf /tmp/fresh/root
fi

run=$(mktemp -d /tmp/fresh/deb.XXXX)
server_pid=""
cleanup() {
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null || true
  for m in dev/pts dev sys proc; do umount "$run/$m" 2>/dev/null || umount -l "$run/$m" 2>/dev/null || true; done
  # Deleting through a mount still attached would empty this machine's own /dev.
  if grep -q " $run/" /proc/mounts; then
    echo "mounts left under $run; not deleting it" >&2
  else
    rm -rf "$run"
  fi
}
trap cleanup EXIT
tar -C "$run" -xf "$base"
cp /etc/resolv.conf "$run/etc/resolv.conf"
printf '127.0.0.1\tlocalhost\n::1\t\tlocalhost ip6-localhost ip6-loopback\n' > "$run/etc/hosts"
for m in proc sys dev dev/pts; do mkdir -p "$run/$m"; mount --bind "/$m" "$run/$m"; done
mkdir -p "$run/srv"
cp "$deb" "$run/srv/"
cp -r tools/feed-demo "$run/srv/feed-demo"
in_root() { chroot "$run" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin DEBIAN_FRONTEND=noninteractive "$@"; }

failures=0
check() {  # check "what" command...
  local what=$1; shift
  if "$@" >/dev/null 2>&1; then echo "ok   $what"; else echo "FAIL $what"; failures=$((failures + 1)); fi
}

echo "== installing $(basename "$deb") into a fresh Debian 12 chroot"
in_root apt-get update -qq >/dev/null 2>&1
in_root apt-get install -y -qq --no-install-recommends "/srv/$(basename "$deb")" >"$run.install.log" 2>&1 ||
  { tail -20 "$run.install.log"; exit 1; }
in_root dpkg-query -W -f='${Package} ${Version} depends on: ${Depends}\n' velmorant-server

echo "== files, user, folders"
check "/usr/bin/velmorant-server is executable" test -x "$run/usr/bin/velmorant-server"
check "/etc/velmorant/station.toml is a conffile" \
  grep -qx /etc/velmorant/station.toml "$run/var/lib/dpkg/info/velmorant-server.conffiles"
check "systemd unit installed" test -f "$run/lib/systemd/system/velmorant-server.service"
check "unit enabled for multi-user.target" \
  test -L "$run/etc/systemd/system/multi-user.target.wants/velmorant-server.service"
user_line=$(in_root getent passwd velmorant || true)
echo "     user: $user_line"
uid=$(cut -d: -f3 <<<"$user_line")
check "system user velmorant (uid below 1000, no login shell)" \
  test -n "$uid" -a "${uid:-1000}" -lt 1000 -a "$(cut -d: -f7 <<<"$user_line")" = /usr/sbin/nologin
check "/var/lib/velmorant/sounds owned by velmorant" \
  test "$(in_root stat -c %U:%G /var/lib/velmorant/sounds)" = velmorant:velmorant
check "/var/lib/velmorant owned by velmorant" test "$(in_root stat -c %U:%G /var/lib/velmorant)" = velmorant:velmorant
in_root stat -c '     %A %U:%G %n' /var/lib/velmorant /var/lib/velmorant/sounds /etc/velmorant/station.toml
exec_line=$(sed -n 's/^ExecStart=//p' "$run/lib/systemd/system/velmorant-server.service")
unit_user=$(sed -n 's/^User=//p' "$run/lib/systemd/system/velmorant-server.service")
echo "     unit: User=$unit_user ExecStart=$exec_line"

echo "== the administrator's first steps: a board in the station file, the timetable imported"
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
sed -i "s/^port = 8020/port = $port/; s/^stop_id = \"CHANGE-ME\"/stop_id = \"TKM-1\"/" "$run/etc/velmorant/station.toml"
in_root runuser -u velmorant -- /usr/bin/velmorant-server import /srv/feed-demo --config /etc/velmorant/station.toml
check "store written by the import, owned by velmorant" \
  test "$(in_root stat -c %U /var/lib/velmorant/timetable.db)" = velmorant

echo "== the unit's ExecStart as $unit_user, on 127.0.0.1:$port"
chroot "$run" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin runuser -u "$unit_user" -- $exec_line \
  >"$run.serve.log" 2>&1 &
server_pid=$!
body=""
for _ in $(seq 1 100); do
  body=$(python3 - "$port" <<'PY' 2>/dev/null || true
import sys, urllib.request
print(urllib.request.urlopen("http://127.0.0.1:%s/api/boards/1/display.txt" % sys.argv[1], timeout=5).read().decode())
PY
)
  [ -n "$body" ] && break
  sleep 0.2
done
echo "$body" | sed 's/^/     | /'
check "board 1 answers with a classic document ending in end" \
  sh -c 'printf "%s\n" "$1" | head -1 | grep -qx "velmorant 2" && printf "%s\n" "$1" | grep -qx end' _ "$body"
# The host's names differ from the chroot's, so the process's uid is
# compared with the chroot user's.
owner=$(ps -o uid= -p "$(pgrep -P "$server_pid" -f velmorant-server | head -1)" 2>/dev/null | tr -d ' ' || true)
echo "     server process uid: ${owner:-?} ($unit_user is $(in_root id -u "$unit_user"))"
check "server runs as $unit_user" test "$owner" = "$(in_root id -u "$unit_user")"
kill -TERM "$(pgrep -P "$server_pid" -f velmorant-server | head -1)" 2>/dev/null || true
for _ in $(seq 1 100); do kill -0 "$server_pid" 2>/dev/null || break; sleep 0.1; done
kill -0 "$server_pid" 2>/dev/null && { echo "     still running 10 s after SIGTERM"; pkill -KILL -P "$server_pid"; }
set +e
wait "$server_pid"
status=$?
set -e
server_pid=""
check "SIGTERM ends the server with exit 0 (got $status)" test "$status" -eq 0

echo "== purge"
in_root apt-get purge -y -qq velmorant-server >/dev/null 2>&1
check "purge removes /etc/velmorant and /var/lib/velmorant" \
  test ! -e "$run/etc/velmorant/station.toml" -a ! -e "$run/var/lib/velmorant"
rm -f "$run.install.log" "$run.serve.log"
echo "$failures failed"
[ "$failures" -eq 0 ]
