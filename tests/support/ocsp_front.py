#!/usr/bin/env python3
"""An OCSP responder for tests, bound to 127.0.0.1.

Usage: ocsp_front.py --port N -- OPENSSL-OCSP-ARGS...
       ocsp_front.py --port N --replay FILE

With --port 0 a free port is taken and printed alone on the first line.

`openssl ocsp -port` listens on every interface; this front listens on the
loopback address only and answers each POSTed request by running
`openssl ocsp OPENSSL-OCSP-ARGS -reqin REQ -respout RESP` once, so the answer
still comes from OpenSSL's own responder code. With --replay it answers every
request with the bytes of FILE, as a replaying attacker would. It prints
"waiting for OCSP client connections" when it is ready and stops on SIGTERM
or when its standard input reaches end of file.
"""

import argparse
import http.server
import os
import subprocess
import tempfile

from serving import Server, answer, serve


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    ocsp_args = []
    replay = None

    def log_message(self, fmt, *args):
        pass

    def do_POST(self):
        length = int(self.headers.get("Content-Length", "0") or "0")
        if length <= 0 or length > 1 << 20:
            self.send_error(400)
            return
        request = self.rfile.read(length)
        if self.replay is not None:
            with open(self.replay, "rb") as f:
                self._answer(f.read())
            return
        with tempfile.TemporaryDirectory() as tmp:
            req = os.path.join(tmp, "req.der")
            resp = os.path.join(tmp, "resp.der")
            with open(req, "wb") as f:
                f.write(request)
            done = subprocess.run(
                ["openssl", "ocsp"] + self.ocsp_args +
                ["-reqin", req, "-respout", resp],
                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                timeout=30, check=False)
            if done.returncode != 0 or not os.path.exists(resp):
                self.send_error(500)
                return
            with open(resp, "rb") as f:
                self._answer(f.read())

    def _answer(self, body):
        answer(self, body, "application/ocsp-response")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--replay")
    parser.add_argument("ocsp_args", nargs=argparse.REMAINDER)
    opts = parser.parse_args()
    Handler.replay = opts.replay
    Handler.ocsp_args = [a for a in opts.ocsp_args if a != "--"]
    server = Server(("127.0.0.1", opts.port), Handler)
    if opts.port == 0:
        print(server.server_address[1], flush=True)
    print("waiting for OCSP client connections", flush=True)
    serve(server)


if __name__ == "__main__":
    main()
