#!/usr/bin/env python3
"""The plug-in's cost in the real engine (QtWebKit under Xvfb), beside the
test browser host in the same run.

Usage: bench_page.py --build BUILD_DIR [--file-mib 256] [--reloads 100]

- 10,000 GetVersion calls from page script: microseconds per call (the
  median of 10 batches of 1,000, the engine's clock being coarse);
- Sign of a 1 KiB text from the page (10 batches of 50) beside bench_bridge's
  page-call and direct figures through the test host;
- SignFileWeb detached of a downloaded file: the browser's peak RSS with
  the signature beside a run that only downloads the file;
- the bench page reloaded N times: RSS after each reload, beside the same
  reloads of the page making one call and of a page without the plug-in
  (the engine's own growth).
"""

import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
import urllib.parse

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(ROOT, "tests", "browser"))
import e2e  # noqa: E402  (its PKI and server set-up)


def browse(build, work, env, url, extra=()):
    result = os.path.join(work, "result.json")
    if os.path.exists(result):
        os.remove(result)
    cmd = [os.path.join(ROOT, "tools", "browser", "tavrix-browser"),
           "--plugin-dir", os.path.join(work, "plugins"), "--timeout", "600",
           "--result-json", result] + list(extra) + [url]
    r = subprocess.run(cmd, env=env, stdout=subprocess.PIPE,
                       stderr=subprocess.STDOUT)
    if not os.path.exists(result):
        raise RuntimeError("browser: " + r.stdout.decode(errors="replace"))
    with open(result, encoding="utf-8") as f:
        out = json.load(f)
    if out.get("status") != "done":
        raise RuntimeError("page: %s" % out.get("text"))
    return out


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", required=True)
    ap.add_argument("--file-mib", type=int, default=256)
    ap.add_argument("--reloads", type=int, default=100)
    a = ap.parse_args()
    build = os.path.abspath(a.build)
    work = tempfile.mkdtemp(prefix="tavrix-bench-page-")
    env = dict(os.environ, HOME=os.path.join(work, "home"),
               TAVRIX_PROVIDER_HOME=os.path.join(work, "provider"),
               XDG_RUNTIME_DIR=os.path.join(work, "run"))
    for d in ("home", "run", "plugins", "www"):
        os.makedirs(os.path.join(work, d), mode=0o700)
    www = os.path.join(work, "www")
    server = None
    try:
        server = subprocess.Popen(
            [sys.executable, os.path.join(e2e.SUPPORT, "httpd.py"), "--dir",
             www], stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        base = "http://127.0.0.1:%d" % int(server.stdout.readline())
        _, certs = e2e.make_pki(work, os.path.join(build, "bin",
                                                   "tavrix-certmgr"), env, base)
        serial = certs[0]["serial"]
        os.symlink(os.path.join(build, "lib", "npTavrix.so"),
                   os.path.join(work, "plugins", "npTavrix.so"))
        shutil.copy(os.path.join(HERE, "page", "bench.html"), www)
        with open(os.path.join(www, "plain.html"), "w") as f:
            f.write("<!DOCTYPE html><p>no plug-in</p><script>"
                    "window.tavrixResult = {status: 'done'};</script>")
        with open(os.path.join(www, "big.bin"), "wb") as f:
            block = os.urandom(1 << 20)
            for _ in range(a.file_mib):
                f.write(block)

        def url(**cfg):
            cfg.update(serial=serial, fileUrl=base + "/big.bin")
            return base + "/bench.html#" + urllib.parse.quote(json.dumps(cfg))

        calls = browse(build, work, env, url(mode="calls"))
        fetch = browse(build, work, env, url(mode="download"))
        sign = browse(build, work, env, url(mode="sign"))
        reload = browse(build, work, env, url(mode="calls"),
                        ["--reload", str(a.reloads)])
        idle = browse(build, work, env, url(mode="idle"),
                      ["--reload", str(a.reloads)])
        plain = browse(build, work, env, base + "/plain.html",
                       ["--reload", str(a.reloads)])
        host = subprocess.run(
            [os.path.join(build, "bin", "bench_bridge"),
             "--benchmark_filter=GetVersion_Page|GetVersion_Direct|"
             "Sign1KiB_Page|Sign1KiB_Direct", "--benchmark_repetitions=3",
             "--benchmark_report_aggregates_only=true"],
            env=env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)

        print("GetVersion from page script, 10,000 calls, median batch: %.2f us"
              % calls["getVersionUs"])
        print("Sign 1 KiB from page script, 500 calls, median batch:     %.1f us"
              % calls["signUs"])
        print("test host (bench_bridge, cpu time):")
        for line in host.stdout.decode().splitlines():
            if "_median" in line:
                print("  " + line)
        print("browser peak RSS, download only of %d MiB: %d KiB"
              % (a.file_mib, fetch["peak_rss_kib"]))
        print("browser peak RSS, download + SignFileWeb:   %d KiB (growth %d KiB)"
              % (sign["peak_rss_kib"],
                 sign["peak_rss_kib"] - fetch["peak_rss_kib"]))
        for what, run in (("bench page", reload), ("page with one call", idle),
                          ("page without plug-in", plain)):
            rss = run.get("reload_rss_kib", [])
            if rss:
                print("RSS over %d reloads of the %s: first %d KiB, tenth %d "
                      "KiB, last %d KiB" % (len(rss), what, rss[0],
                                            rss[min(9, len(rss) - 1)], rss[-1]))
        return 0
    finally:
        if server:
            server.stdin.close()
            server.wait(10)
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
