#!/bin/sh
# Builds a throw-away GOST PKI with OpenSSL's GOST engine for the tests.
#
#   make-pki.sh OUTDIR [PARAMSET...]
#       Root CA, intermediate CA and end entities for gost2001, gost2012_256
#       and gost2012_512 (paramset A, plus any extra paramset letters given,
#       e.g. "B" or "C"), and the odd certificates the tests need.
#   make-pki.sh --one OUTDIR NAME KEYTYPE SUBJECT NB_OFFSET NA_OFFSET ISSUER [EXT]
#       One more certificate NAME signed by ISSUER (a NAME already made in
#       OUTDIR, or "self"), valid from now+NB_OFFSET to now+NA_OFFSET seconds.
#       KEYTYPE is gost2001, gost2012_256 or gost2012_512, optionally with
#       ":PARAMSET". EXT is an extension section body (lines "key = value").
#
#   make-pki.sh --tsa OUTDIR
#       Time-stamp service certificates (role "tsa") for tsa.py: tsa-gost2012_256
#       and tsa-gost2001 (critical extendedKeyUsage timeStamping, issued by
#       inter-<keytype>), tsa-noncritical (the same usage, not critical) and
#       tsa-untrusted (self-signed). Issuers missing from OUTDIR are made
#       first, as the full run makes them.
#
# Every certificate NAME leaves NAME.pem, NAME.der, NAME.key (PKCS#8 PEM)
# and NAME.key.der (PKCS#8 DER) in OUTDIR; index.txt lists
#   name<TAB>role<TAB>keytype<TAB>serial-hex<TAB>issuer-name<TAB>subject
set -eu

# shellcheck source=pki-common.sh
. "$(dirname "$0")/pki-common.sh"

stamp() { # offset-seconds -> GeneralizedTime
  t=$(( $(date -u +%s) + $1 ))
  date -u -d "@$t" +%Y%m%d%H%M%SZ
}

# make_cert dir name role keytype subject nb na issuer extbody
make_cert() {
  d=$1 n=$2 role=$3 kt=$4 subj=$5 nb=$6 na=$7 iss=$8 ext=$9
  [ -e "$d/$n.pem" ] && die "$n already exists"
  gen_key "$d/$n.key" "$kt"
  "$OPENSSL" pkey -engine gost -in "$d/$n.key" -outform DER \
    -out "$d/$n.key.der" 2>/dev/null || die "cannot convert key $n"
  serial=$(od -An -N8 -tx1 /dev/urandom | tr -d ' \n' | sed 's/^./4/')
  cfg=$d/.ca-$n.cnf
  work=$d/.ca-$n
  mkdir -p "$work"
  : > "$work/index.txt"
  echo "$serial" > "$work/serial"
  # The issuer's key signs, so its key type picks the digest.
  signkt=$kt
  if [ "$iss" != self ]; then
    signkt=$(awk -F '\t' -v n="$iss" '$1 == n { print $3 }' "$d/index.txt")
    [ -n "$signkt" ] || signkt=$kt
  fi
  if [ "$iss" = self ]; then
    cacert=""
    cakey=$d/$n.key
  else
    [ -e "$d/$iss.pem" ] || die "issuer $iss does not exist"
    cacert=$d/$iss.pem
    cakey=$d/$iss.key
  fi
  cat > "$cfg" <<CNF
[ ca ]
default_ca = tca
[ tca ]
dir = $work
database = $work/index.txt
serial = $work/serial
new_certs_dir = $work
default_md = $(md_for "$signkt")
policy = anything
unique_subject = no
email_in_dn = yes
copy_extensions = none
[ anything ]
commonName = optional
[ req ]
distinguished_name = dn
utf8 = yes
string_mask = utf8only
[ dn ]
[ ext ]
$ext
CNF
  "$OPENSSL" req -engine gost -new -key "$d/$n.key" -subj "$subj" -utf8 \
    -config "$cfg" -out "$work/req.pem" 2>"$work/err" ||
    { cat "$work/err" >&2; die "cannot make the request for $n"; }
  if [ -z "$cacert" ]; then
    set -- -selfsign -keyfile "$cakey"
  else
    set -- -cert "$cacert" -keyfile "$cakey"
  fi
  "$OPENSSL" ca -engine gost -batch -notext -preserveDN -utf8 -config "$cfg" \
    "$@" -in "$work/req.pem" -out "$d/$n.pem" -extfile "$cfg" \
    -extensions ext -startdate "$(stamp "$nb")" -enddate "$(stamp "$na")" \
    >"$work/err" 2>&1 || { cat "$work/err" >&2; die "cannot sign $n"; }
  to_der "$d/$n"
  rm -rf "$work" "$cfg"
  printf '%s\t%s\t%s\t%s\t%s\t%s\n' "$n" "$role" "$kt" \
    "$(echo "$serial" | tr a-f A-F)" "$iss" "$subj" >> "$d/index.txt"
}

CA_EXT='keyUsage = critical,keyCertSign,cRLSign,digitalSignature
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid'
EE_EXT='basicConstraints = CA:FALSE
keyUsage = critical,digitalSignature,nonRepudiation,keyEncipherment
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid'
EKU='extendedKeyUsage = 1.3.6.1.5.5.7.3.2,1.3.6.1.5.5.7.3.4,1.2.643.2.2.34.6'
DAY=86400
YEAR=$((365 * DAY))

if [ "${1:-}" = --one ]; then
  [ $# -ge 8 ] || die "usage: make-pki.sh --one OUTDIR NAME KEYTYPE SUBJECT NB NA ISSUER [EXT]"
  mkdir -p "$2"
  make_cert "$2" "$3" extra "$4" "$5" "$6" "$7" "$8" "${9:-$EE_EXT}"
  exit 0
fi

if [ "${1:-}" = --tsa ]; then
  [ $# -ge 2 ] || die "usage: make-pki.sh --tsa OUTDIR"
  out=$2
  mkdir -p "$out"
  touch "$out/index.txt"
  TSA_EXT='basicConstraints = CA:FALSE
keyUsage = critical,digitalSignature,nonRepudiation
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
extendedKeyUsage = critical,timeStamping'
  for kt in gost2012_256 gost2001; do
    if [ ! -e "$out/inter-$kt.pem" ]; then
      make_cert "$out" "root-$kt" root "$kt" \
        "/C=RU/O=Тестовый УЦ/CN=Корневой УЦ $kt" -$DAY $((10 * YEAR)) self "$CA_EXT"
      make_cert "$out" "inter-$kt" intermediate "$kt" \
        "/C=RU/O=Тестовый УЦ/OU=Выдача/CN=Подчинённый УЦ $kt" -$DAY $((5 * YEAR)) \
        "root-$kt" "$CA_EXT
basicConstraints = critical,CA:TRUE,pathlen:0"
    fi
    make_cert "$out" "tsa-$kt" tsa "$kt" "/C=RU/O=Тестовый УЦ/CN=Служба штампов времени $kt" \
      -$DAY $YEAR "inter-$kt" "$TSA_EXT"
  done
  make_cert "$out" tsa-noncritical tsa gost2012_256 "/C=RU/CN=TSA without critical usage" \
    -$DAY $YEAR inter-gost2012_256 "basicConstraints = CA:FALSE
authorityKeyIdentifier = keyid
extendedKeyUsage = timeStamping"
  make_cert "$out" tsa-untrusted tsa gost2012_256 "/C=RU/CN=Untrusted TSA" \
    -$DAY $YEAR self "basicConstraints = CA:FALSE
extendedKeyUsage = critical,timeStamping"
  exit 0
fi

[ $# -ge 1 ] || die "usage: make-pki.sh OUTDIR [PARAMSET...]"
out=$1
shift
mkdir -p "$out"
: > "$out/index.txt"

for kt in gost2001 gost2012_256 gost2012_512; do
  for ps in A "$@"; do
    if [ "$ps" = A ]; then s=$kt k=$kt; else s=$kt$ps k=$kt:$ps; fi
    make_cert "$out" "root-$s" root "$k" \
      "/C=RU/O=Тестовый УЦ/CN=Корневой УЦ $s" -$DAY $((10 * YEAR)) self "$CA_EXT"
    make_cert "$out" "inter-$s" intermediate "$k" \
      "/C=RU/O=Тестовый УЦ/OU=Выдача/CN=Подчинённый УЦ $s" -$DAY $((5 * YEAR)) \
      "root-$s" "$CA_EXT
basicConstraints = critical,CA:TRUE,pathlen:0"
    make_cert "$out" "user-$s" user "$k" \
      "/C=RU/L=Москва/O=ООО «Ромашка»/CN=Иванов Иван $s/SN=Иванов/GN=Иван Петрович/INN=007712345678/SNILS=12345678901/OGRN=1027700132195/emailAddress=ivanov@example.ru" \
      -$DAY $YEAR "inter-$s" "$EE_EXT
$EKU"
    make_cert "$out" "noeku-$s" user "$k" \
      "/C=RU/O=ООО Лютик/CN=Petrov Petr $s/SN=Petrov/GN=Petr" \
      -$DAY $YEAR "inter-$s" "$EE_EXT"
  done
done

k=gost2012_256
make_cert "$out" expired user $k "/C=RU/CN=Просроченный Сидоров/SN=Сидоров/GN=Сидор" \
  $((-2 * YEAR)) $((-YEAR)) inter-$k "$EE_EXT
$EKU"
make_cert "$out" notyet user $k "/C=RU/CN=Будущий Ёлкин/SN=Ёлкин/GN=Фёдор" \
  $DAY $YEAR inter-$k "$EE_EXT
$EKU"
make_cert "$out" selfsigned selfsigned $k "/C=RU/O=Сам себе УЦ/CN=Самозванец Кузнецов" \
  -$DAY $YEAR self "basicConstraints = CA:FALSE
$EKU"
make_cert "$out" angle user $k "/C=RU/O=ООО <Угол> & Ко/CN=Угловой <Тест> Смирнов/SN=Смирнов/GN=Семён" \
  -$DAY $YEAR inter-$k "$EE_EXT
$EKU"
