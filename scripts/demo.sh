#!/bin/bash
# The main job: installs what is needed, builds the plug-in, installs it with
# the stand-in provider (and the CAdES runtime, where built) into a demo
# prefix (build-demo/prefix), makes a demo GOST PKI in a demo provider
# folder (build-demo/demo-home, made afresh each run, so the user's own
# certificates are never touched), starts the local demo services (a web server with the demo
# page and a file to download; a time-stamp service where one is built), and
# opens the demo page in tavrix-browser, a small QtWebKit window: on the
# user's display when there is one, else under Xvfb. The page signs and
# hashes by itself (?auto=1); its report is printed here and a screenshot is
# written to build-demo/demo.png.
#
#   scripts/demo.sh            as above
#   scripts/demo.sh --no-deps  skip installing packages
#   scripts/demo.sh --stay     keep the window open (the default on a display
#                              with a terminal); --close closes it at once
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

deps=1
stay=auto
for arg in "$@"; do
  case "$arg" in
    --no-deps) deps=0 ;;
    --stay) stay=1 ;;
    --close) stay=0 ;;
    -h|--help) sed -n '2,16p' "$0"; exit 0 ;;
    *) echo "demo.sh: unknown option $arg" >&2; exit 2 ;;
  esac
done

if [ "$deps" -eq 1 ]; then bash scripts/install-deps.sh; fi

build=$root/build-demo
prefix=$build/prefix
plugins=$prefix/lib/mozilla/plugins
# A build of its own, without tests, installed into the demo prefix: the
# installed files carry the prefix's RUNPATH, as a user's install would.
cmake -S . -B "$build" -G "Unix Makefiles" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTAVRIX_BUILD_TESTS=OFF -DTAVRIX_BUILD_BENCH=OFF \
  -DCMAKE_INSTALL_PREFIX="$prefix" -DTAVRIX_PLUGIN_INSTALL_DIR="$plugins" \
  >/dev/null
cmake --build "$build" -j2 --target install >"$build/install.log" 2>&1 ||
  { tail -40 "$build/install.log"; echo "demo.sh: the build failed" >&2; exit 1; }
echo "== installed into $prefix =="
readelf -d "$plugins/npTavrix.so" | sed -n 's/.*RUNPATH.*\[\(.*\)\]/   npTavrix.so RUNPATH: \1/p'

# The demo services: the page and a file to sign, from a local web server on
# a port the kernel chooses; they stop when this script ends.
www=$build/www
rm -rf "$www"
mkdir -p "$www"
cp "$prefix/share/tavrix/demo/"* "$www/"
printf 'Договор № 17 от %s\nСтороны договорились о поставке 100 единиц товара.\n' \
  "$(date +%d.%m.%Y)" >"$www/dogovor.txt"
pids=()
cleanup() { for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; }
trap cleanup EXIT
exec 3< <(exec python3 tests/support/httpd.py --dir "$www" --no-stdin)
pids+=($!)
read -r -t 10 port <&3 || { echo "demo.sh: the web server did not start" >&2; exit 1; }
base=http://127.0.0.1:$port
tsp=""
tsapki=""
tsa=tests/support/tsa.py
if [ -f "$tsa" ]; then
  exec 4< <(exec python3 "$tsa" --no-stdin)
  pids+=($!)
  if read -r -t 20 tsaport <&4 && read -r -t 20 _ tsapki <&4; then
    tsp=http://127.0.0.1:$tsaport/
  else
    echo "demo.sh: the time-stamp service did not start; CAdES will fail"
  fi
fi


# A demo PKI made afresh for every run in a demo provider folder: a root in
# ROOT and a user under it whose certificate names a CRL on the demo web
# server (its port is new each run), so that the CAdES-X Long Type 1
# signature can carry the evidence of the whole chain; the time-stamp
# service's own root joins ROOT too.
export TAVRIX_PROVIDER_HOME=$build/demo-home
certmgr=$prefix/bin/tavrix-certmgr
echo "== making a demo PKI in $TAVRIX_PROVIDER_HOME =="
rm -rf "$TAVRIX_PROVIDER_HOME"
pki=$build/demo-pki
rm -rf "$pki"
mkdir -p "$pki"
openssl genpkey -engine gost -algorithm gost2012_256 -pkeyopt paramset:A \
  -out "$pki/root.key" 2>/dev/null
openssl req -engine gost -new -x509 -utf8 -md_gost12_256 -days 3650 \
  -key "$pki/root.key" -out "$pki/root.pem" \
  -subj "/C=RU/O=Tavrix Demo/CN=Демо УЦ" \
  -addext "basicConstraints=critical,CA:TRUE" \
  -addext "keyUsage=critical,keyCertSign,cRLSign" 2>/dev/null
openssl genpkey -engine gost -algorithm gost2012_256 -pkeyopt paramset:A \
  -out "$pki/demo.key" 2>/dev/null
openssl req -engine gost -new -utf8 -key "$pki/demo.key" -out "$pki/demo.csr" \
  -subj "/C=RU/O=Tavrix Demo/SN=Пользователь/GN=Демо/CN=Демо Пользователь" \
  2>/dev/null
printf '%s\n' "basicConstraints=CA:FALSE" \
  "keyUsage=critical,digitalSignature,nonRepudiation" \
  "extendedKeyUsage=clientAuth,emailProtection" \
  "crlDistributionPoints=URI:$base/demo-root.crl" >"$pki/demo.ext"
openssl x509 -engine gost -req -in "$pki/demo.csr" -CA "$pki/root.pem" \
  -CAkey "$pki/root.key" -CAcreateserial -days 365 -md_gost12_256 \
  -extfile "$pki/demo.ext" -out "$pki/demo.pem" 2>/dev/null
: >"$pki/index.txt"
echo 01 >"$pki/crlnumber"
printf '[ca]\ndefault_ca=d\n[d]\ndatabase=%s\ncrlnumber=%s\ndefault_md=md_gost12_256\ndefault_crl_days=30\n' \
  "$pki/index.txt" "$pki/crlnumber" >"$pki/crl.cnf"
openssl ca -engine gost -gencrl -config "$pki/crl.cnf" -cert "$pki/root.pem" \
  -keyfile "$pki/root.key" -out "$pki/root.crl.pem" 2>/dev/null
openssl crl -in "$pki/root.crl.pem" -outform DER -out "$www/demo-root.crl"
"$certmgr" add-root "$pki/root.pem" >/dev/null
"$certmgr" import --cert "$pki/demo.pem" --key "$pki/demo.key" >/dev/null
[ -n "$tsapki" ] && "$certmgr" add-root "$tsapki/root-gost2012_256.pem" >/dev/null

text="Привет, мир!"
echo
echo "== tavrix-check =="
"$prefix/bin/tavrix-check" --list --hash "$text" --cert "Демо"
echo
echo "== the same hash from OpenSSL's GOST engine =="
printf '%s' "$text" | openssl dgst -engine gost -md_gost94 -binary 2>/dev/null |
  base64

if ! nm -D --defined-only "$plugins/npTavrix.so" | grep -qw NP_Initialize; then
  echo
  echo "demo.sh: $plugins/npTavrix.so has no NPAPI entry points yet;"
  echo "the browser page demo needs them and is skipped."
  exit 0
fi

url="$base/index.html?auto=1&file=$base/dogovor.txt&tsp=$tsp"
shot=$build/demo.png
opts=(--plugin-dir "$plugins" --timeout 120 --screenshot "$shot")
if [ "$stay" = auto ]; then
  stay=0
  [ -n "${DISPLAY:-}" ] && [ -t 0 ] && stay=1
fi
[ "$stay" -eq 1 ] && opts+=(--interactive)
echo
where=Xvfb
[ -n "${DISPLAY:-}" ] && where="display $DISPLAY"
echo "== the demo page in tavrix-browser ($where) =="
echo "   $url"
status=0
"$prefix/bin/tavrix-browser" "${opts[@]}" "$url" 2>"$build/browser.log" | grep -v '^plugins:' || status=${PIPESTATUS[0]}
echo
case "$status" in
  0) echo "Every step of the page succeeded." ;;
  1) echo "Some steps of the page failed (shown above)." ;;
  *) echo "The browser window failed (status $status); see $build/browser.log" ;;
esac
echo "Screenshot: $shot"
