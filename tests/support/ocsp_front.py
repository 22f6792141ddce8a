#!/usr/bin/env python3
"""An OCSP responder for tests, bound to 127.0.0.1.

Usage: ocsp_front.py --port N -- OPENSSL-OCSP-ARGS...

With --port 0 a free port is taken and printed alone on the first line.

`openssl ocsp -port` listens on every interface; this front listens on the
loopback address only and answers each POSTed request by running
`openssl ocsp OPENSSL-OCSP-ARGS -reqin REQ -respout RESP` once, so the answer
still comes from OpenSSL's own responder code. It prints
"waiting for OCSP client connections" when it is ready and stops on SIGTERM
or when its standard input reaches end of file.
"""

import argparse
import http.server
import os
import signal
import socketserver
import subprocess
import sys
import tempfile
import threading


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    ocsp_args = []

    def log_message(self, fmt, *args):
        pass

    def do_POST(self):
        length = int(self.headers.get("Content-Length", "0") or "0")
        if length <= 0 or length > 1 << 20:
            self.send_error(400)
            return
        request = self.rfile.read(length)
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
                body = f.read()
        self.send_response(200)
        self.send_header("Content-Type", "application/ocsp-response")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)


class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True
    allow_reuse_address = True


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("ocsp_args", nargs=argparse.REMAINDER)
    opts = parser.parse_args()
    Handler.ocsp_args = [a for a in opts.ocsp_args if a != "--"]
    server = Server(("127.0.0.1", opts.port), Handler)
    if opts.port == 0:
        print(server.server_address[1], flush=True)
    signal.signal(signal.SIGTERM, lambda *_: threading.Thread(
        target=server.shutdown).start())

    def watch_stdin():
        try:
            while sys.stdin.buffer.read(4096):
                pass
        except OSError:
            pass
        server.shutdown()

    threading.Thread(target=watch_stdin, daemon=True).start()
    print("waiting for OCSP client connections", flush=True)
    server.serve_forever()


if __name__ == "__main__":
    main()
