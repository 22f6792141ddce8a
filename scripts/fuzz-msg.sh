#!/bin/sh
# Builds the signed-message decoder fuzzer with clang into build-fuzz/ and
# runs it for a bounded time (seconds, default 60). Exits non-zero on a
# finding. Seeds: a few messages made by the OpenSSL GOST engine when it is
# installed, else the fuzzer starts from nothing.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-60}
build="$root/build-fuzz"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DTAVRIX_FUZZ=ON \
  -DTAVRIX_BUILD_TESTS=ON -DTAVRIX_BUILD_BENCH=OFF >/dev/null
ninja -C "$build" -j2 fuzz_msg_decode
corpus="$build/corpus-msg"
mkdir -p "$corpus"
if openssl engine gost >/dev/null 2>&1 && [ -z "$(ls -A "$corpus")" ]; then
  tmp=$(mktemp -d)
  trap 'rm -rf "$tmp"' EXIT
  openssl req -x509 -engine gost -newkey gost2012_256 -pkeyopt paramset:A \
    -nodes -keyout "$tmp/k.pem" -out "$tmp/c.pem" -subj "/CN=fuzz seed" \
    -days 2 >/dev/null 2>&1
  printf 'seed content for the decoder' >"$tmp/data"
  i=0
  for args in "" "-nodetach" "-noattr" "-nodetach -stream" "-noattr -nodetach"; do
    i=$((i + 1))
    # One byte in front: the fuzzer reads it as the piece size.
    { printf '\007'; openssl cms -sign -engine gost -binary -md md_gost12_256 \
        -in "$tmp/data" -signer "$tmp/c.pem" -inkey "$tmp/k.pem" \
        -outform DER $args 2>/dev/null; } >"$corpus/seed$i"
  done
fi
export ASAN_OPTIONS=detect_leaks=1
"$build/bin/fuzz_msg_decode" -max_total_time="$seconds" -max_len=8192 \
  -timeout=10 -rss_limit_mb=1024 "$corpus"
