#!/usr/bin/env bash
# Drives tools/wine-prefix.sh against a stand-in Wine whose "reg add" fails
# a given number of times: a set-up whose first writes fail must retry and
# end with every value in place; one that keeps failing must stop with the
# failing command and Wine's message, and leave the prefix unmarked.
#
#   wine_prefix_check.sh SOURCE_DIR
set -u
source_dir=${1:?usage: wine_prefix_check.sh SOURCE_DIR}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/bin"
# The stand-in keeps its registry as KEY|NAME|TYPE|DATA lines in the prefix.
cat >"$work/bin/wine" <<'FAKE'
#!/usr/bin/env bash
store=$WINEPREFIX/fake.reg
[ "$1" = reg ] || exit 0
case $2 in
query)
  awk -F'|' -v k="$3" '$1 == k { found = 1; v = $4
      if ($3 == "REG_DWORD") v = sprintf("0x%x", v)
      printf "    %s    %s    %s\r\n", $2, $3, v }
    END { exit !found }' "$store" 2>/dev/null || { echo "reg: Unable to find the specified registry key"; exit 1; }
  ;;
add)
  left=$(cat "$WINEPREFIX/failures" 2>/dev/null || echo 0)
  if [ "$left" -gt 0 ]; then
    echo $((left - 1)) >"$WINEPREFIX/failures"
    echo "err:fake: the server went away" >&2
    exit 1
  fi
  echo "$3|$5|$7|$9" >>"$store"
  ;;
esac
FAKE
printf '#!/bin/sh\n[ "$1" = --init ] && echo x >"$WINEPREFIX/user.reg" && echo x >"$WINEPREFIX/system.reg"\nexit 0\n' \
  >"$work/bin/wineboot"
printf '#!/bin/sh\nexit 0\n' >"$work/bin/wineserver"
chmod +x "$work/bin/"*

failed=0
check() {
  if eval "$1"; then echo "ok: $2"; else echo "FAIL: $2"; failed=1; fi
}

# Two failed writes: retried, all nine values there, prefix marked ready.
mkdir -p "$work/flaky" && echo 2 >"$work/flaky/failures"
PATH=$work/bin:$PATH "$source_dir/tools/wine-prefix.sh" start "$work/flaky" >"$work/flaky.out" 2>&1
rc=$?
check '[ $rc -eq 0 ]' "a set-up whose first writes fail succeeds ($(cat "$work/flaky.out"))"
check '[ "$(sort -u "$work/flaky/fake.reg" | wc -l)" -eq 9 ]' "every value written once in the end"
check 'grep -q "ShowCrashDialog|REG_DWORD|0" "$work/flaky/fake.reg"' "the crash dialog is off"
check '[ -f "$work/flaky/.velmorant-ready" ]' "the prefix is marked ready"

# Writes that always fail: the command and Wine's message, no ready mark.
mkdir -p "$work/broken" && echo 1000 >"$work/broken/failures"
PATH=$work/bin:$PATH "$source_dir/tools/wine-prefix.sh" start "$work/broken" >"$work/broken.out" 2>&1
rc=$?
check '[ $rc -ne 0 ]' "a set-up whose writes keep failing fails"
check 'grep -Fq "wine reg add '\''HKCU\Software\Wine\Fonts\Replacements'\'' /v '\''MS Gothic'\''" "$work/broken.out"' \
  "the failing command is named"
check 'grep -q "the server went away" "$work/broken.out"' "Wine's own message is shown"
check '[ ! -f "$work/broken/.velmorant-ready" ]' "the prefix is not marked ready"
exit $failed
