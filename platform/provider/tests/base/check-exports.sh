#!/bin/sh
# Every CryptoAPI call declared in the headers is exported by exactly one of
# libcapi10 and libcapi20.
set -eu
lib10=$1 lib20=$2 headers=$3
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
for h in wintypes.h wincrypt.h gost.h; do cat "$headers/$h"; done |
  tr '\n' ' ' | grep -o 'CAPI_EXPORT[^;]*WINAPI *\**[A-Za-z_0-9]* *(' |
  sed 's/.*WINAPI *\** *//; s/ *($//' | sort -u >"$tmp/declared"
nm -D --defined-only "$lib10" | awk '{print $3}' | sort -u >"$tmp/10"
nm -D --defined-only "$lib20" | awk '{print $3}' | sort -u >"$tmp/20"
declared=$(wc -l <"$tmp/declared")
[ "$declared" -gt 50 ] || { echo "only $declared declarations found"; exit 1; }
status=0
while read -r name; do
  n=$(cat "$tmp/10" "$tmp/20" | grep -cx "$name" || true)
  if [ "$n" -ne 1 ]; then
    echo "$name exported $n times"
    status=1
  fi
done <"$tmp/declared"
echo "$declared declared calls checked"
exit $status
