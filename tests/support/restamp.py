#!/usr/bin/python3
"""Re-dates a DER OCSP response or CRL made by OpenSSL and signs it again.

Usage: restamp.py ocsp|crl IN OUT KEY [--this S] [--produced S]
                  [--next S | --no-next] [--nonce HEX]

S is seconds relative to now (negative: in the past). KEY is the signer's
private key; the new signature comes from `openssl dgst -engine gost`, so a
re-dated answer is as well signed as the original. This makes answers of
any age without a fake clock.
"""

import argparse
import datetime
import os
import subprocess
import tempfile

from asn1crypto import core, crl, ocsp, x509


def when(offset):
    now = datetime.datetime.now(datetime.timezone.utc).replace(microsecond=0)
    return now + datetime.timedelta(seconds=int(offset))


def sign(tbs, key):
    with tempfile.TemporaryDirectory() as tmp:
        data = os.path.join(tmp, "tbs")
        sig = os.path.join(tmp, "sig")
        with open(data, "wb") as f:
            f.write(tbs)
        subprocess.run(["openssl", "dgst", "-engine", "gost", "-md_gost12_256",
                        "-sign", key, "-out", sig, data], check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        with open(sig, "rb") as f:
            return f.read()


def restamp_ocsp(der, opts):
    resp = ocsp.OCSPResponse.load(der)
    basic = resp["response_bytes"]["response"].parsed
    tbs = basic["tbs_response_data"]
    single = tbs["responses"][0]
    if opts.this is not None:
        single["this_update"] = when(opts.this)
    if opts.produced is not None:
        tbs["produced_at"] = when(opts.produced)
    if opts.no_next:
        single["next_update"] = None
    elif opts.next is not None:
        single["next_update"] = when(opts.next)
    if opts.nonce is not None:
        tbs["response_extensions"] = [{
            "extn_id": "nonce", "critical": False,
            "extn_value": core.OctetString(bytes.fromhex(opts.nonce)).dump()}]
    # Only the signed part is encoded again: the certificates it carries are
    # GOST ones, which this library cannot parse, and they stay as they were.
    basic["tbs_response_data"] = ocsp.ResponseData.load(tbs.dump(force=True))
    basic["signature"] = sign(basic["tbs_response_data"].dump(), opts.key)
    rb = resp["response_bytes"]
    rb["response"] = core.ParsableOctetString(basic.dump())
    resp["response_bytes"] = rb
    return resp.dump()


def restamp_crl(der, opts):
    lst = crl.CertificateList.load(der)
    tbs = lst["tbs_cert_list"]
    if opts.this is not None:
        tbs["this_update"] = x509.Time({"utc_time": when(opts.this)})
    if opts.no_next:
        tbs["next_update"] = None
    elif opts.next is not None:
        tbs["next_update"] = x509.Time({"utc_time": when(opts.next)})
    lst["signature"] = sign(tbs.dump(force=True), opts.key)
    return lst.dump(force=True)


def main():
    p = argparse.ArgumentParser()
    p.add_argument("kind", choices=["ocsp", "crl"])
    p.add_argument("input")
    p.add_argument("output")
    p.add_argument("key")
    p.add_argument("--this", type=int)
    p.add_argument("--produced", type=int)
    p.add_argument("--next", type=int)
    p.add_argument("--no-next", action="store_true")
    p.add_argument("--nonce")
    opts = p.parse_args()
    with open(opts.input, "rb") as f:
        der = f.read()
    out = (restamp_ocsp if opts.kind == "ocsp" else restamp_crl)(der, opts)
    with open(opts.output, "wb") as f:
        f.write(out)


if __name__ == "__main__":
    main()
