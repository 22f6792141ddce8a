#!/bin/sh
# Builds the GOST PKI the chain tests use, with OpenSSL's GOST engine and
# "openssl ca" databases kept beside it, so that certificates can be revoked
# and CRLs and OCSP answers made for it afterwards (make-pki.sh throws its
# databases away).
#
#   make-chain-pki.sh OUTDIR CRL_URL OCSP_URL UNREACHABLE_URL STALL_URL
#
# Leaves NAME.pem / NAME.der / NAME.key for every certificate, the
# intermediate's CRL as www/inter.crl (DER) and its database in inter/.
set -eu
OUT=$1 CRL_URL=$2 OCSP_URL=$3 DEAD_URL=$4 STALL_URL=$5
# shellcheck source=pki-common.sh
. "$(dirname "$0")/pki-common.sh"
KEYTYPE=gost2012_256
MD=$(md_for $KEYTYPE)
cd "$OUT"
mkdir -p www

key() { gen_key "$1.key" $KEYTYPE; }

cat > ext.cnf <<CNF
[ root ]
basicConstraints = critical,CA:TRUE
keyUsage = critical,keyCertSign,cRLSign
subjectKeyIdentifier = hash
[ ca ]
basicConstraints = critical,CA:TRUE
keyUsage = critical,keyCertSign,cRLSign,digitalSignature
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
[ notca ]
basicConstraints = critical,CA:FALSE
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
[ plain ]
basicConstraints = CA:FALSE
keyUsage = digitalSignature,nonRepudiation
extendedKeyUsage = emailProtection,clientAuth
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
[ codesign ]
basicConstraints = CA:FALSE
extendedKeyUsage = codeSigning
authorityKeyIdentifier = keyid
[ crl ]
basicConstraints = CA:FALSE
extendedKeyUsage = emailProtection
authorityKeyIdentifier = keyid
crlDistributionPoints = URI:$CRL_URL
[ ocsp ]
basicConstraints = CA:FALSE
extendedKeyUsage = emailProtection
authorityKeyIdentifier = keyid
authorityInfoAccess = OCSP;URI:$OCSP_URL
[ dead ]
basicConstraints = CA:FALSE
authorityKeyIdentifier = keyid
crlDistributionPoints = URI:$DEAD_URL
[ stall ]
basicConstraints = CA:FALSE
authorityKeyIdentifier = keyid
crlDistributionPoints = URI:$STALL_URL
[ stallmany ]
basicConstraints = CA:FALSE
authorityKeyIdentifier = keyid
crlDistributionPoints = URI:$STALL_URL?1,URI:$STALL_URL?2,URI:$STALL_URL?3
authorityInfoAccess = OCSP;URI:$STALL_URL?ocsp
[ responder ]
basicConstraints = CA:FALSE
extendedKeyUsage = OCSPSigning
authorityKeyIdentifier = keyid
CNF

cadb() { # name days
  mkdir -p "$1"
  : > "$1/index.txt"
  echo 1000 > "$1/serial"
  echo 1000 > "$1/crlnumber"
  cat > "$1.cnf" <<CNF
[ ca ]
default_ca = this
[ this ]
dir = $OUT/$1
database = \$dir/index.txt
serial = \$dir/serial
crlnumber = \$dir/crlnumber
new_certs_dir = \$dir
default_md = $MD
default_days = $2
default_crl_days = 7
policy = any
unique_subject = no
copy_extensions = none
[ any ]
commonName = supplied
CNF
}

issue() { # ca name subject section [startdate enddate]
  key "$2"
  "$OPENSSL" req -engine gost -new -key "$2.key" -subj "$3" -out "$2.csr" \
    2>/dev/null
  dates=""
  if [ $# -ge 6 ]; then dates="-startdate $5 -enddate $6"; fi
  # shellcheck disable=SC2086
  "$OPENSSL" ca -engine gost -batch -config "$1.cnf" -cert "$1.pem" \
    -keyfile "$1.key" -in "$2.csr" -out "$2.pem" -extfile ext.cnf \
    -extensions "$4" -notext $dates >/dev/null 2>&1
  to_der "$2"
}

selfsign() { # name subject section
  key "$1"
  "$OPENSSL" req -engine gost -x509 -new -key "$1.key" -subj "$2" -days 60 \
    "-$MD" -config ext.cnf -extensions "$3" -out "$1.pem" 2>/dev/null \
    || "$OPENSSL" req -engine gost -x509 -new -key "$1.key" -subj "$2" \
       -days 60 "-$MD" -extensions "$3" -config /dev/null -out "$1.pem"
  to_der "$1"
}

# ext.cnf has no [req] section: give req one through a combined file.
{ printf '[ req ]\ndistinguished_name = dn\n[ dn ]\n'; cat ext.cnf; } > req.cnf
mv req.cnf ext.cnf

selfsign root "/CN=Chain Test Root" root
cadb root 50
issue root inter "/CN=Chain Test Intermediate" ca
cadb inter 20
issue inter good "/CN=Chain Good" plain
issue inter codesign "/CN=Chain Code Signer" codesign
issue inter expired "/CN=Chain Expired" plain 20200101000000Z 20210101000000Z
issue inter crlgood "/CN=Chain CRL Good" crl
issue inter crlrevoked "/CN=Chain CRL Revoked" crl
issue inter ocspgood "/CN=Chain OCSP Good" ocsp
issue inter ocsprevoked "/CN=Chain OCSP Revoked" ocsp
issue inter dead "/CN=Chain Dead Point" dead
issue inter stall "/CN=Chain Stalled Point" stall
issue inter stallmany "/CN=Chain Stalled Points" stallmany
issue inter responder "/CN=Chain OCSP Responder" responder
issue root notca "/CN=Chain Not A CA" notca
cadb notca 20
issue notca undernotca "/CN=Chain Under Not A CA" plain
selfsign lonely "/CN=Chain Lonely Self-Signed" root

"$OPENSSL" ca -engine gost -batch -config inter.cnf -cert inter.pem \
  -keyfile inter.key -revoke crlrevoked.pem >/dev/null 2>&1
"$OPENSSL" ca -engine gost -batch -config inter.cnf -cert inter.pem \
  -keyfile inter.key -revoke ocsprevoked.pem >/dev/null 2>&1
"$OPENSSL" ca -engine gost -batch -config inter.cnf -cert inter.pem \
  -keyfile inter.key -gencrl -out inter.crl.pem >/dev/null 2>&1
"$OPENSSL" crl -in inter.crl.pem -outform DER -out www/inter.crl
echo ok
