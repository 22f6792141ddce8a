#!/usr/bin/env python3
"""An RFC 3161 time-stamp service for tests, bound to 127.0.0.1.

Usage: tsa.py [--dir PKIDIR] [--port N] [--no-stdin]

The first line on stdout is the port it listens on (a free one unless
--port is given). PKIDIR holds the certificates of `make-pki.sh --tsa`
(with their issuers); without --dir a throw-away one is made and its path
printed on the second line as "pki DIR" (its roots are not trusted anywhere
until someone installs them). Each POST of an application/timestamp-query
is answered by `openssl ts -reply -engine gost`, so the token is OpenSSL's.
It stops on SIGTERM or SIGINT, and when its standard input reaches end of
file, unless --no-stdin.

The path chooses the service's behaviour, so one process serves every case:
  /                 a good token from the GOST 2012 TSA (tsa-gost2012_256)
  /gost2001         a good token from the GOST 2001 TSA
  /untrusted        signed by a self-signed TSA certificate
  /noncritical      signed by a TSA certificate whose usage is not critical
  /noess            signed by the right TSA without the signing-certificate
                    attribute that binds the token to its certificate
  /imprint          a token for another imprint
  /nonce            a token for another nonce
  /error            a granted-less answer: status rejection, no token
  /garbage          bytes that are not DER
  /stall            reads the request and never answers
"""

import argparse
import http.server
import os
import shutil
import subprocess
import sys
import tempfile
import threading

from serving import Server, answer, serve

HERE = os.path.dirname(os.path.abspath(__file__))
STOP = threading.Event()
SIGNERS = {
    "": ("tsa-gost2012_256", ["inter-gost2012_256", "root-gost2012_256"],
         "md_gost12_256"),
    "gost2001": ("tsa-gost2001", ["inter-gost2001", "root-gost2001"],
                 "md_gost94"),
    "untrusted": ("tsa-untrusted", [], "md_gost12_256"),
}
# A PKIStatusInfo of "rejection" and nothing else.
REJECTION = bytes.fromhex("3005300302 0102".replace(" ", ""))


def tlv(b, i):
    """(tag, content start, content end) of the DER element at b[i]."""
    tag, n = b[i], b[i + 1]
    i += 2
    if n & 0x80:
        k = n & 0x7F
        n = int.from_bytes(b[i:i + k], "big")
        i += k
    return tag, i, i + n


def der_length(n):
    if n < 0x80:
        return bytes([n])
    b = n.to_bytes((n.bit_length() + 7) // 8, "big")
    return bytes([0x80 | len(b)]) + b


def tweak(query, mode):
    """The query as the misbehaving service pretends to have received it:
    one octet of the imprint or of the nonce changed in place."""
    b = bytearray(query)
    _, start, end = tlv(b, 0)
    _, i, _ = tlv(b, start)                 # version
    i = tlv(b, start)[2]
    _, mi, mi_end = tlv(b, i)               # messageImprint
    if mode == "imprint":
        _, _, alg_end = tlv(b, mi)
        _, h, _ = tlv(b, alg_end)
        b[h] ^= 0xFF
        return bytes(b)
    i = mi_end
    while i < end:
        tag, c, e = tlv(b, i)
        if tag == 0x02 and mode == "nonce":
            b[e - 1] ^= 0x01
            return bytes(b)
        i = e
    return bytes(b)


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    pki = ""
    work = ""
    lock = threading.Lock()

    def log_message(self, fmt, *args):
        pass

    def answer(self, body, ctype="application/timestamp-reply"):
        answer(self, body, ctype)

    def do_POST(self):
        length = int(self.headers.get("Content-Length", "0") or "0")
        if length <= 0 or length > 1 << 16:
            self.send_error(400)
            return
        query = self.rfile.read(length)
        mode = self.path.strip("/").split("?")[0]
        if mode == "stall":
            STOP.wait()
            return
        if mode == "error":
            self.answer(REJECTION)
            return
        if mode == "garbage":
            self.answer(b"\x30\x82\xff\xff not a time-stamp response")
            return
        if self.headers.get("Content-Type") != "application/timestamp-query":
            self.send_error(415)
            return
        signer = SIGNERS.get(mode, SIGNERS[""])
        try:
            query = tweak(query, mode)
        except Exception:  # a query we cannot read: let OpenSSL refuse it
            pass
        body = self.reply(query, *signer)
        if mode == "noncritical":
            body = self.resign(body, "tsa-noncritical", True)
        elif mode == "noess":
            body = self.resign(body, "tsa-gost2012_256", False)
        self.answer(body)

    def resign(self, reply, name, ess):
        """The same TSTInfo signed again by `openssl cms`: with a certificate
        that `openssl ts` itself refuses to sign with (its timeStamping usage
        is not critical), or without the ESS signing-certificate attribute."""
        with tempfile.TemporaryDirectory(dir=self.work) as tmp:
            r, tok, tst, out = (os.path.join(tmp, n)
                                for n in ("r", "tok", "tst", "out"))
            with open(r, "wb") as f:
                f.write(reply)
            steps = [
                ["openssl", "ts", "-reply", "-in", r, "-token_out", "-out",
                 tok],
                ["openssl", "cms", "-verify", "-noverify", "-engine", "gost",
                 "-inform", "DER", "-in", tok, "-binary", "-out", tst],
                ["openssl", "cms", "-sign", "-engine", "gost"] +
                (["-cades"] if ess else []) +
                ["-binary", "-nodetach", "-econtent_type", "1.2.840.113549.1.9.16.1.4",
                 "-in", tst, "-signer", os.path.join(self.pki, name + ".pem"),
                 "-inkey", os.path.join(self.pki, name + ".key"), "-md",
                 "md_gost12_256", "-outform", "DER", "-out", out]]
            for args in steps:
                if subprocess.run(args, stdout=subprocess.DEVNULL,
                                  stderr=subprocess.DEVNULL, timeout=30,
                                  check=False).returncode != 0:
                    return REJECTION
            with open(out, "rb") as f:
                token = f.read()
        status = bytes.fromhex("3003020100")
        body = status + token
        return b"\x30" + der_length(len(body)) + body

    def reply(self, query, name, chain, md):
        with tempfile.TemporaryDirectory(dir=self.work) as tmp:
            q = os.path.join(tmp, "q.tsq")
            r = os.path.join(tmp, "r.tsr")
            with open(q, "wb") as f:
                f.write(query)
            args = ["openssl", "ts", "-reply", "-engine", "gost", "-config",
                    os.path.join(self.work, "tsa.cnf"), "-queryfile", q,
                    "-signer", os.path.join(self.pki, name + ".pem"),
                    "-inkey", os.path.join(self.pki, name + ".key"),
                    "-section", md, "-out", r]
            if chain:
                c = os.path.join(tmp, "chain.pem")
                with open(c, "wb") as out:
                    for n in chain:
                        with open(os.path.join(self.pki, n + ".pem"), "rb") as f:
                            out.write(f.read())
                args += ["-chain", c]
            with self.lock:  # one serial file
                done = subprocess.run(args, stdout=subprocess.DEVNULL,
                                      stderr=subprocess.PIPE, timeout=30,
                                      check=False)
            if done.returncode != 0 or not os.path.exists(r):
                sys.stderr.write(done.stderr.decode(errors="replace"))
                return REJECTION
            with open(r, "rb") as f:
                return f.read()


def write_config(work):
    # The signing digest goes by section: OpenSSL reads its command line
    # before the engine has named the GOST digests.
    sections = "".join(f"""[ {md} ]
serial = {work}/serial
crypto_device = builtin
signer_digest = {md}
default_policy = 1.2.643.100.1.1
digests = md_gost94, md_gost12_256, md_gost12_512
accuracy = secs:1
ordering = no
tsa_name = yes
ess_cert_id_chain = no
ess_cert_id_alg = sha1
""" for md in ("md_gost12_256", "md_gost94"))
    with open(os.path.join(work, "tsa.cnf"), "w") as f:
        f.write("[ tsa ]\ndefault_tsa = md_gost12_256\n" + sections)
    with open(os.path.join(work, "serial"), "w") as f:
        f.write("01\n")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--dir")
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--no-stdin", action="store_true")
    opts = parser.parse_args()
    work = tempfile.mkdtemp(prefix="tsa-")
    pki = opts.dir
    if not pki:
        pki = os.path.join(work, "pki")
        subprocess.run(["sh", os.path.join(HERE, "make-pki.sh"), "--tsa", pki],
                       check=True, stdout=subprocess.DEVNULL)
    write_config(work)
    Handler.pki = pki
    Handler.work = work
    server = Server(("127.0.0.1", opts.port), Handler)
    print(server.server_address[1], flush=True)
    if not opts.dir:
        print("pki " + pki, flush=True)

    try:
        serve(server, STOP, watch_stdin=not opts.no_stdin)
    finally:
        STOP.set()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
