"""What the test servers here share: a threaded HTTP server and a loop that
runs it until SIGTERM, SIGINT or the end of standard input (the parent
closed the pipe or died)."""

import http.server
import signal
import socketserver
import sys
import threading


class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True
    allow_reuse_address = True


def answer(handler, body, ctype):
    """A 200 answer of `body` (bytes) with its type and length."""
    handler.send_response(200)
    handler.send_header("Content-Type", ctype)
    handler.send_header("Content-Length", str(len(body)))
    handler.end_headers()
    handler.wfile.write(body)


def serve(server, stopping=None, watch_stdin=True, poll_interval=0.5):
    """Serves until told to stop; `stopping` (a threading.Event) is set first,
    so that handlers waiting on it return."""

    def stop(*_):
        if stopping is not None:
            stopping.set()
        threading.Thread(target=server.shutdown, daemon=True).start()

    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)
    if watch_stdin:
        def watch():
            try:
                while sys.stdin.buffer.read(4096):
                    pass
            except OSError:
                pass
            stop()
        threading.Thread(target=watch, daemon=True).start()
    server.serve_forever(poll_interval=poll_interval)
