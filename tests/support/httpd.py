#!/usr/bin/env python3
"""A small threaded HTTP server for tests, bound to 127.0.0.1.

Usage: httpd.py [--dir FOLDER] [--port N] [--no-stdin]

The first line on stdout is the port it listens on (a free one unless
--port is given). It stops on SIGTERM or SIGINT, and when its standard input
reaches end of file (the parent closed the pipe or died), unless --no-stdin.

Paths:
  /status/<code>[?body=TEXT]  answers <code> with the body TEXT (default
                              "status <code>\\n")
  /redirect?to=URL[&code=N]   answers N (default 302) with Location: URL and
                              the body "redirect\\n"
  /stall                      reads the request and never answers
  /stall?body=N               sends the headers of a 1 MiB response and N
                              body bytes ("x"), then goes quiet
  /slow?bytes=N&delay=S[&chunk=C]
                              sends N body bytes, C (default 1) every S
                              seconds
  anything else               a file of the served folder (GET and HEAD)
"""

import argparse
import http.server
import os
import threading
import urllib.parse

from serving import Server, serve

STOP = threading.Event()


class Handler(http.server.SimpleHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, fmt, *args):  # keep test output readable
        pass

    def _send(self, code, body, headers=()):
        data = body.encode("utf-8") if isinstance(body, str) else body
        self.send_response(code)
        self.send_header("Content-Type", "text/plain; charset=utf-8")
        self.send_header("Content-Length", str(len(data)))
        for name, value in headers:
            self.send_header(name, value)
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(data)

    def _stall_forever(self):
        # Held until the server stops or the client goes away.
        self.close_connection = True
        while not STOP.wait(0.2):
            try:
                if self.connection.recv(1, 0x40) == b"":  # MSG_DONTWAIT
                    return
            except BlockingIOError:
                continue
            except OSError:
                return

    def _route(self):
        url = urllib.parse.urlsplit(self.path)
        query = urllib.parse.parse_qs(url.query)
        parts = url.path.strip("/").split("/")
        if parts[0] == "status" and len(parts) == 2 and parts[1].isdigit():
            code = int(parts[1])
            body = query.get("body", ["status %d\n" % code])[0]
            self._send(code, body)
            return True
        if parts[0] == "redirect" and len(parts) == 1:
            target = query.get("to", ["/"])[0]
            code = int(query.get("code", ["302"])[0])
            self._send(code, "redirect\n", [("Location", target)])
            return True
        if parts[0] == "stall" and len(parts) == 1:
            if "body" in query:
                count = int(query["body"][0])
                self.send_response(200)
                self.send_header("Content-Type", "application/octet-stream")
                self.send_header("Content-Length", str(1 << 20))
                self.end_headers()
                self.wfile.write(b"x" * count)
                self.wfile.flush()
            self._stall_forever()
            return True
        if parts[0] == "slow" and len(parts) == 1:
            count = int(query.get("bytes", ["10"])[0])
            delay = float(query.get("delay", ["0.1"])[0])
            chunk = max(1, int(query.get("chunk", ["1"])[0]))
            self.send_response(200)
            self.send_header("Content-Type", "application/octet-stream")
            self.send_header("Content-Length", str(count))
            self.end_headers()
            sent = 0
            try:
                while sent < count:
                    if STOP.wait(delay):
                        break
                    n = min(chunk, count - sent)
                    self.wfile.write(b"s" * n)
                    self.wfile.flush()
                    sent += n
            except OSError:  # the client gave up
                self.close_connection = True
            return True
        return False

    def do_GET(self):
        if not self._route():
            super().do_GET()

    def do_HEAD(self):
        if not self._route():
            super().do_HEAD()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--dir", default=os.getcwd())
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--no-stdin", action="store_true")
    args = parser.parse_args()

    def handler(*a, **kw):
        return Handler(*a, directory=args.dir, **kw)

    server = Server(("127.0.0.1", args.port), handler)
    print(server.server_address[1], flush=True)
    serve(server, STOP, watch_stdin=not args.no_stdin, poll_interval=0.1)
    server.server_close()


if __name__ == "__main__":
    main()
