# shellcheck shell=sh
# What the test PKI makers share, read with "." by each of them: the OpenSSL
# to run, GOST keys from its engine, the digest that goes with the signing
# key's type, and the DER copy of a certificate.
OPENSSL=${OPENSSL:-openssl}

die() { echo "$(basename "$0" .sh): $*" >&2; exit 1; }

gen_key() { # out keytype[:paramset]
  # sh has no local variables: these names stay clear of the callers'.
  gk_type=${2%%:*}
  gk_set=A
  case "$2" in *:*) gk_set=${2#*:} ;; esac
  case "$gk_type" in
    gost2001 | gost2012_256 | gost2012_512) ;;
    *) die "unknown key type $2" ;;
  esac
  "$OPENSSL" genpkey -engine gost -algorithm "$gk_type" \
    -pkeyopt "paramset:$gk_set" -out "$1" 2>/dev/null ||
    die "cannot generate a $2 key"
}

md_for() { # keytype[:paramset]
  case "${1%%:*}" in
    gost2001) echo md_gost94 ;;
    gost2012_256) echo md_gost12_256 ;;
    gost2012_512) echo md_gost12_512 ;;
  esac
}

to_der() { # NAME: NAME.pem gets its copy NAME.der
  "$OPENSSL" x509 -in "$1.pem" -outform DER -out "$1.der"
}
