#!/usr/bin/python3
"""Independent checks of a CAdES message with OpenSSL and python3-asn1crypto.

Usage: cades_check.py --cms MSG.der --ca CA.pem [--content FILE]
                      --level bes|t|xl

bes: `openssl cms -verify -cades` (signature, signing-certificate-v2, chain).
t:   and the signature time stamp with `openssl ts -verify -token_in` over
     the signature value octets.
xl:  and the CAdES-C time stamp over the data RFC 5126 names for it, every
     OCSP response with `openssl ocsp -respin`, and every certificate and
     revocation reference matched by hash to a value in the message.
Prints one line per failed check and exits 1 when any failed.
OPENSSL_CONF must load the gost engine (ts and ocsp take it only so).
"""

import argparse
import os
import subprocess
import sys
import tempfile

from asn1crypto import cms, core, crl, ocsp, x509

MD = {"1.2.643.2.2.9": "md_gost94", "1.2.643.7.1.1.2.2": "md_gost12_256",
      "1.2.643.7.1.1.2.3": "md_gost12_512"}
TS, CREFS, RREFS = ("1.2.840.113549.1.9.16.2." + n for n in ("14", "21", "22"))
CVALS, RVALS, CTS = ("1.2.840.113549.1.9.16.2." + n for n in ("23", "24", "25"))


class OtherHashAlgAndValue(core.Sequence):
    _fields = [("hash_algorithm", cms.DigestAlgorithm),
               ("hash_value", core.OctetString)]


class OtherHash(core.Choice):
    _alternatives = [("sha1_hash", core.OctetString),
                     ("other_hash", OtherHashAlgAndValue)]


class OtherCertID(core.Sequence):
    _fields = [("other_cert_hash", OtherHash),
               ("issuer_serial", cms.IssuerSerial, {"optional": True})]


class CrlIdentifier(core.Sequence):
    _fields = [("crlissuer", x509.Name), ("crl_issued_time", core.UTCTime),
               ("crl_number", core.Integer, {"optional": True})]


class CrlValidatedID(core.Sequence):
    _fields = [("crl_hash", OtherHash),
               ("crl_identifier", CrlIdentifier, {"optional": True})]


class CRLListID(core.Sequence):
    _fields = [("crls", core.SequenceOf, {"spec": CrlValidatedID})]


class OcspIdentifier(core.Sequence):
    _fields = [("ocsp_responder_id", ocsp.ResponderId),
               ("produced_at", core.GeneralizedTime)]


class OcspResponsesID(core.Sequence):
    _fields = [("ocsp_identifier", OcspIdentifier),
               ("ocsp_rep_hash", OtherHash, {"optional": True})]


class OcspListID(core.Sequence):
    _fields = [("ocsp_responses", core.SequenceOf, {"spec": OcspResponsesID})]


class CrlOcspRef(core.Sequence):
    _fields = [("crlids", CRLListID, {"explicit": 0, "optional": True}),
               ("ocspids", OcspListID, {"explicit": 1, "optional": True}),
               ("other_rev", core.Any, {"explicit": 2, "optional": True})]


class CertRefs(core.SequenceOf):
    _child_spec = OtherCertID


class RevRefs(core.SequenceOf):
    _child_spec = CrlOcspRef


class CertValues(core.SequenceOf):
    _child_spec = x509.Certificate


class RevValues(core.Sequence):
    _fields = [("crl_vals", core.SequenceOf,
                {"explicit": 0, "optional": True,
                 "spec": crl.CertificateList}),
               ("ocsp_vals", core.SequenceOf,
                {"explicit": 1, "optional": True,
                 "spec": ocsp.BasicOCSPResponse}),
               ("other", core.Any, {"explicit": 2, "optional": True})]


FAILED = []


def present(value):
    # .native would parse everything below, GOST keys included, which
    # asn1crypto does not know.
    return not isinstance(value, core.Void)


def fail(what):
    FAILED.append(what)
    print("FAIL " + what)


def run(args, tmp, **kw):
    r = subprocess.run(args, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                       cwd=tmp, check=False, **kw)
    return r.returncode, r.stdout.decode(errors="replace")


def write(tmp, name, data):
    path = os.path.join(tmp, name)
    with open(path, "wb") as f:
        f.write(data)
    return path


def digest(tmp, oid, data):
    code, out = run(["openssl", "dgst", "-engine", "gost", "-" + MD[oid],
                     "-binary", "-out", "d", write(tmp, "in", data)], tmp)
    with open(os.path.join(tmp, "d"), "rb") as f:
        return f.read()


def hash_of(tmp, other_hash, data):
    if other_hash.name != "other_hash":
        return False
    h = other_hash.chosen
    return digest(tmp, h["hash_algorithm"]["algorithm"].dotted,
                  data) == h["hash_value"].native


def ts_verify(tmp, name, token, data, ca):
    code, out = run(["openssl", "ts", "-verify", "-token_in", "-in",
                     write(tmp, name + ".tok", token.dump()), "-data",
                     write(tmp, name + ".dat", data), "-CAfile", ca], tmp)
    if code != 0 or "Verification: OK" not in out:
        fail(name + " time stamp: " + out.strip().splitlines()[-1])


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--cms", required=True)
    p.add_argument("--ca", required=True)
    p.add_argument("--content")
    p.add_argument("--level", choices=["bes", "t", "xl"], required=True)
    o = p.parse_args()
    ca = os.path.abspath(o.ca)
    with open(o.cms, "rb") as f:
        raw = f.read()
    with tempfile.TemporaryDirectory() as tmp:
        env = dict(os.environ)
        env.pop("OPENSSL_CONF", None)  # cms takes -engine instead
        args = ["openssl", "cms", "-verify", "-engine", "gost", "-cades",
                "-binary", "-inform", "DER", "-in", os.path.abspath(o.cms),
                "-CAfile", ca, "-out", os.path.join(tmp, "out"),
                "-purpose", "any"]
        if o.content:
            args += ["-content", os.path.abspath(o.content)]
        code, out = run(args, tmp, env=env)
        if code != 0:
            fail("cms -verify -cades: " + out.strip())
        if o.level == "bes":
            return
        sd = cms.ContentInfo.load(raw)["content"]
        si = sd["signer_infos"][0]
        sig = si["signature"].native
        attrs = {a["type"].dotted: a for a in si["unsigned_attrs"]} \
            if present(si["unsigned_attrs"]) else {}
        if TS not in attrs:
            fail("no signature time stamp")
            return
        ts_verify(tmp, "signature", attrs[TS]["values"][0], sig, o.ca)
        if o.level == "t":
            return
        for need in (CREFS, RREFS, CVALS, RVALS, CTS):
            if need not in attrs:
                fail("missing attribute " + need)
                return
        ts_verify(tmp, "CAdES-C", attrs[CTS]["values"][0],
                  sig + attrs[TS].dump() + attrs[CREFS].dump() +
                  attrs[RREFS].dump(), o.ca)
        cvals = CertValues.load(attrs[CVALS]["values"][0].dump())
        certs = [c.dump() for c in cvals] + \
            [c.chosen.dump() for c in sd["certificates"]]
        for i, ref in enumerate(CertRefs.load(attrs[CREFS]["values"][0].dump())):
            if not any(hash_of(tmp, ref["other_cert_hash"], c) for c in certs):
                fail("certificate reference %d matches no value" % i)
        rv = RevValues.load(attrs[RVALS]["values"][0].dump())
        crls = [c.dump() for c in rv["crl_vals"]] \
            if present(rv["crl_vals"]) else []
        ocsps = [b.dump() for b in rv["ocsp_vals"]] \
            if present(rv["ocsp_vals"]) else []
        rrefs = RevRefs.load(attrs[RREFS]["values"][0].dump())
        if len(rrefs) == 0 or not (crls or ocsps):
            fail("no revocation evidence")
        for i, ref in enumerate(rrefs):
            ok = False
            if present(ref["crlids"]):
                ok = all(any(hash_of(tmp, c["crl_hash"], v) for v in crls)
                         for c in ref["crlids"]["crls"])
            if present(ref["ocspids"]):
                ok = all(any(hash_of(tmp, r["ocsp_rep_hash"], v)
                             for v in ocsps)
                         for r in ref["ocspids"]["ocsp_responses"])
            if not ok:
                fail("revocation reference %d matches no value" % i)
        for i, basic in enumerate(ocsps):
            resp = ocsp.OCSPResponse({
                "response_status": "successful",
                "response_bytes": {"response_type": "basic_ocsp_response",
                                   "response": ocsp.BasicOCSPResponse.load(
                                       basic)}})
            code, out = run(["openssl", "ocsp", "-respin",
                             write(tmp, "r%d.der" % i, resp.dump()),
                             "-CAfile", ca, "-no_nonce"], tmp)
            if "Response verify OK" not in out:
                fail("OCSP response %d: %s" % (i, out.strip()))


if __name__ == "__main__":
    main()
    sys.exit(1 if FAILED else 0)
