#!/bin/sh
# Builds the libFuzzer targets with clang into build-fuzz/ and runs each for a
# bounded time (seconds, default 60): the signed-message decoder and the
# certificate/name/extension/CRL decoders, and the CAdES verifier and type
# test over decoded messages. Exits non-zero on a finding.
# Seeds are made with OpenSSL's GOST engine when it is installed; the corpus
# folders grow from run to run.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-60}
build="$root/build-fuzz"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DTAVRIX_FUZZ=ON \
  -DTAVRIX_BUILD_TESTS=ON -DTAVRIX_BUILD_BENCH=OFF >/dev/null
ninja -C "$build" -j2 fuzz_msg_decode fuzz_cert_decode fuzz_cades_verify

msg_corpus="$build/corpus-msg"
cert_corpus="$build/corpus-cert"
cades_corpus="$build/corpus-cades"
mkdir -p "$msg_corpus" "$cert_corpus" "$cades_corpus"
if openssl engine gost >/dev/null 2>&1 &&
   { [ -z "$(ls -A "$msg_corpus")" ] || [ -z "$(ls -A "$cert_corpus")" ] ||
     [ -z "$(ls -A "$cades_corpus")" ]; }; then
  tmp=$(mktemp -d)
  trap 'rm -rf "$tmp"' EXIT
  openssl req -x509 -engine gost -newkey gost2012_256 -pkeyopt paramset:A \
    -nodes -keyout "$tmp/k.pem" -out "$tmp/c.pem" -utf8 \
    -subj "/C=RU/O=Ромашка/SN=Иванов/GN=Иван/CN=Иванов Иван" \
    -addext "extendedKeyUsage=clientAuth,emailProtection" \
    -days 2 >/dev/null 2>&1
  openssl x509 -in "$tmp/c.pem" -outform DER -out "$cert_corpus/cert.der"
  printf 'seed content for the decoder' >"$tmp/data"
  i=0
  for args in "" "-nodetach" "-noattr" "-nodetach -stream" "-noattr -nodetach"; do
    i=$((i + 1))
    # One byte in front: the message fuzzer reads it as the piece size.
    { printf '\007'; openssl cms -sign -engine gost -binary -md md_gost12_256 \
        -in "$tmp/data" -signer "$tmp/c.pem" -inkey "$tmp/k.pem" \
        -outform DER $args 2>/dev/null; } >"$msg_corpus/seed$i"
  done
  # CAdES-BES, attached and detached, for the verifier.
  for args in "-nodetach" ""; do
    i=$((i + 1))
    openssl cms -sign -engine gost -binary -cades -md md_gost12_256 \
      -in "$tmp/data" -signer "$tmp/c.pem" -inkey "$tmp/k.pem" \
      -outform DER $args -out "$cades_corpus/seed$i" 2>/dev/null || true
  done
  # A revocation list of the same issuer.
  mkdir -p "$tmp/ca"
  : >"$tmp/ca/index.txt"
  echo 01 >"$tmp/ca/crlnumber"
  cat >"$tmp/ca.cnf" <<CNF
[ ca ]
default_ca = d
[ d ]
database = $tmp/ca/index.txt
crlnumber = $tmp/ca/crlnumber
default_md = md_gost12_256
default_crl_days = 2
CNF
  openssl ca -engine gost -gencrl -config "$tmp/ca.cnf" -cert "$tmp/c.pem" \
    -keyfile "$tmp/k.pem" -out "$tmp/crl.pem" >/dev/null 2>&1 &&
    openssl crl -in "$tmp/crl.pem" -outform DER -out "$cert_corpus/crl.der"
fi

# An X Long Type 1 seed made by the runtime's tests, with its trust anchor
# and the time-stamp authority's intermediate for the fuzzer's own store.
seeds="$root/platform/cades/fuzz/seeds"
[ -e "$cades_corpus/xlong.der" ] || cp "$seeds/xlong.der" "$cades_corpus/"
mkdir -p "$build/cades-home"
export FUZZ_CADES_TRUST="$seeds" FUZZ_CADES_HOME="$build/cades-home"

export ASAN_OPTIONS=detect_leaks=1
"$build/bin/fuzz_msg_decode" -max_total_time="$seconds" -max_len=8192 \
  -timeout=10 -rss_limit_mb=1024 "$msg_corpus"
"$build/bin/fuzz_cert_decode" -max_total_time="$seconds" -max_len=4096 \
  -timeout=10 -rss_limit_mb=1024 "$cert_corpus"
"$build/bin/fuzz_cades_verify" -max_total_time="$seconds" -max_len=16384 \
  -timeout=10 -rss_limit_mb=1024 "$cades_corpus"
