#!/bin/bash
# The main job, for now from the command line: installs what is needed,
# builds the plug-in, makes a demo GOST certificate in a demo provider folder
# (build/demo-home, so the user's own certificates are never touched), and
# drives the plug-in's controller with it: the certificate listing a page
# receives, and a GOST R 34.11-94 hash checked against OpenSSL's GOST engine.
# The browser page demo comes with the NPAPI layer.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
cmake -S . -B build -G "Unix Makefiles" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTAVRIX_BUILD_BENCH=OFF
cmake --build build -j2 --target npTavrix tavrix-check tavrix-certmgr

export TAVRIX_PROVIDER_HOME="$PWD/build/demo-home"
if ! ./build/bin/tavrix-certmgr list --store MY 2>/dev/null | grep -q "Демо"; then
  echo "== making a demo certificate in $TAVRIX_PROVIDER_HOME =="
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
  openssl genpkey -engine gost -algorithm gost2012_256 -pkeyopt paramset:A \
    -out "$work/demo.key" 2>/dev/null
  openssl req -engine gost -new -x509 -utf8 -md_gost12_256 -days 365 \
    -key "$work/demo.key" -out "$work/demo.pem" \
    -subj "/C=RU/O=Tavrix Demo/SN=Пользователь/GN=Демо/CN=Демо Пользователь" \
    -addext "extendedKeyUsage=clientAuth,emailProtection" 2>/dev/null
  ./build/bin/tavrix-certmgr import --cert "$work/demo.pem" --key "$work/demo.key"
fi

text="Привет, мир!"
echo
echo "== tavrix-check =="
./build/bin/tavrix-check --list --hash "$text" --cert "Демо"
echo
echo "== the same hash from OpenSSL's GOST engine =="
printf '%s' "$text" | openssl dgst -engine gost -md_gost94 -binary 2>/dev/null |
  base64
echo
echo "Built: build/lib/npTavrix.so"
echo "The page demo (a browser calling the plug-in) comes with the NPAPI layer."
