#!/usr/bin/python3
"""End-to-end run of the plug-in in QtWebKit (tavrix-browser).

Usage: e2e.py --plugin npTavrix.so --certmgr tavrix-certmgr --browser
              tavrix-browser [--page members.html] [--keep]

Makes a GOST test PKI in a temporary folder, installs it for a temporary
provider home, serves the test pages and a file to download from a local web
server, loads the page in the real engine and then checks, outside the page,
what the page could not: every signature it got back verifies with
`openssl cms -verify -engine gost` against its content, hashes match
OpenSSL's, downloaded files are gone after SignFileWeb and a file the page
named that the plug-in did not make is still there.

Exit status 0 pass, 1 fail, 77 skipped (the plug-in has no NPAPI entry
points yet, or the engine cannot run here).
"""

import argparse
import base64
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
SUPPORT = os.path.join(HERE, "..", "support")
DAY = 86400
CA_EXT = ("basicConstraints = critical,CA:TRUE\n"
          "keyUsage = critical,keyCertSign,cRLSign,digitalSignature\n"
          "subjectKeyIdentifier = hash")
EE_EXT = ("basicConstraints = CA:FALSE\n"
          "keyUsage = critical,digitalSignature,nonRepudiation\n"
          "subjectKeyIdentifier = hash\nauthorityKeyIdentifier = keyid")
EKU = "\nextendedKeyUsage = 1.3.6.1.5.5.7.3.2,1.3.6.1.5.5.7.3.4"

# name, subject, not-before, not-after (seconds from now), usage, listing status
CERTS = [
    ("signer", "/C=RU/O=ООО Ромашка/CN=Иванов Иван/SN=Иванов/GN=Иван",
     -DAY, 365 * DAY, True, "ok"),
    ("soon", "/C=RU/CN=Петров Пётр/SN=Петров/GN=Пётр", -DAY, 5 * DAY, False,
     "warn"),
    ("expired", "/C=RU/CN=Сидоров Сидор/SN=Сидоров/GN=Сидор", -730 * DAY,
     -365 * DAY, True, "error"),
]

# name, text, flags, what the signature must carry or cover
SIGN_CASES = [
    ("detached", "Подписываемый текст ✓", 0, "detached"),
    ("attached", "Подписываемый текст ✓", 4, "attached"),
    ("base64", base64.b64encode(b"\x00\x01binary\xff\r\n").decode(), 5,
     "attached"),
    ("nul", "a\u0000b", 0, "detached"),
    ("hash", None, 0x20, "detached"),
]
HASH_CONTENT = "Содержимое, чей хеш подписывается".encode()
XML = "<?xml version='1.0'?><doc  b='2' a=\"1\"><!-- c --><e/>Текст</doc>"
FILE_BODY = ("Договор поставки\n" * 500).encode()


def run(cmd, **kw):
    return subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          **kw)


def openssl(args, data=None):
    return run(["openssl"] + args, input=data)


def gost_hash(data, md):
    r = openssl(["dgst", "-engine", "gost", "-" + md, "-binary"], data)
    if r.returncode != 0:
        raise RuntimeError("openssl dgst: " + r.stderr.decode(errors="replace"))
    return base64.b64encode(r.stdout).decode()


def has_entry_points(plugin):
    r = run(["nm", "-D", "--defined-only", plugin])
    names = {line.split()[-1] for line in r.stdout.decode().splitlines() if line}
    return {"NP_Initialize", "NP_GetMIMEDescription", "NP_Shutdown"} <= names


def sanitized(plugin):
    r = run(["nm", "-D", "--undefined-only", plugin])
    return b"__asan_init" in r.stdout


def runpath(lib):
    out = run(["readelf", "-d", lib]).stdout.decode()
    for line in out.splitlines():
        if "RUNPATH" in line or "RPATH" in line:
            return line.split("[", 1)[1].rstrip("]").split(":")
    return []


class Failures(list):
    def check(self, what, ok, got=""):
        if not ok:
            self.append("%s: %s" % (what, got))
        return ok


def make_pki(work, certmgr, env, base):
    pki = os.path.join(work, "pki")
    mk = os.path.join(SUPPORT, "make-pki.sh")
    one = ["sh", mk, "--one", pki]
    r = run(one + ["root", "gost2012_256", "/C=RU/O=E2E/CN=Корневой УЦ E2E",
                   str(-2 * 365 * DAY), str(10 * 365 * DAY), "self", CA_EXT])
    if r.returncode:
        raise RuntimeError(r.stderr.decode())
    certs = []
    for name, subj, nb, na, eku, status in CERTS:
        # A revocation source for every signer, so that CAdES-X Long Type 1
        # can carry evidence for the whole chain.
        r = run(one + [name, "gost2012_256", subj, str(nb), str(na), "root",
                       EE_EXT + (EKU if eku else "") +
                       "\ncrlDistributionPoints = URI:%s/root.crl" % base])
        if r.returncode:
            raise RuntimeError(r.stderr.decode())
        r = run([certmgr, "import", "--cert", os.path.join(pki, name + ".pem"),
                 "--key", os.path.join(pki, name + ".key")], env=env)
        if r.returncode:
            raise RuntimeError("certmgr: " + r.stderr.decode())
        serial = run(["openssl", "x509", "-noout", "-serial", "-in",
                      os.path.join(pki, name + ".pem")]).stdout.decode()
        with open(os.path.join(pki, name + ".der"), "rb") as f:
            der = base64.b64encode(f.read()).decode()
        certs.append({"name": name, "serial": serial.strip().split("=")[1].upper(),
                      "eku": eku, "status": status, "der": der})
    run([certmgr, "add-root", os.path.join(pki, "root.pem")], env=env)
    make_crl(pki, os.path.join(work, "www", "root.crl"))
    return pki, certs


def make_crl(pki, out):
    db = os.path.join(pki, "crl-db.txt")
    open(db, "w").close()
    with open(os.path.join(pki, "crl-number"), "w") as f:
        f.write("01\n")
    cnf = os.path.join(pki, "crl.cnf")
    with open(cnf, "w") as f:
        f.write("[ca]\ndefault_ca = d\n[d]\ndatabase = %s\ncrlnumber = %s\n"
                "default_md = md_gost12_256\ndefault_crl_days = 7\n"
                % (db, os.path.join(pki, "crl-number")))
    pem = os.path.join(pki, "root.crl.pem")
    for cmd in (["openssl", "ca", "-engine", "gost", "-gencrl", "-config", cnf,
                 "-cert", os.path.join(pki, "root.pem"),
                 "-keyfile", os.path.join(pki, "root.key"), "-out", pem],
                ["openssl", "crl", "-in", pem, "-outform", "DER", "-out", out]):
        r = run(cmd)
        if r.returncode:
            raise RuntimeError(r.stderr.decode())


def start_tsa(certmgr, env):
    """The test's own time-stamp service; its root joins the user's ROOT."""
    tsa = subprocess.Popen([sys.executable, os.path.join(SUPPORT, "tsa.py")],
                           stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    port = int(tsa.stdout.readline())
    pki = tsa.stdout.readline().decode().split(" ", 1)[1].strip()
    run([certmgr, "add-root", os.path.join(pki, "root-gost2012_256.pem")],
        env=env)
    return tsa, "http://127.0.0.1:%d/" % port


def verify(failures, what, sig_b64, content, attached, pki, work):
    der = os.path.join(work, "sig.der")
    with open(der, "wb") as f:
        f.write(base64.b64decode("".join(sig_b64.split())))
    args = ["cms", "-verify", "-engine", "gost", "-binary", "-inform", "DER",
            "-in", der, "-CAfile", os.path.join(pki, "root.pem"),
            "-purpose", "any"]
    if not attached:
        cpath = os.path.join(work, "content.bin")
        with open(cpath, "wb") as f:
            f.write(content)
        args += ["-content", cpath]
    r = openssl(args)
    if not failures.check(what + " verifies with openssl cms", r.returncode == 0,
                          r.stderr.decode(errors="replace").strip()[-300:]):
        return
    failures.check(what + " covers its content", r.stdout == content,
                   "openssl gave %d bytes, expected %d" % (len(r.stdout),
                                                           len(content)))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--plugin", required=True)
    ap.add_argument("--certmgr", required=True)
    ap.add_argument("--browser", required=True)
    ap.add_argument("--page", default="members.html")
    ap.add_argument("--keep", action="store_true")
    args = ap.parse_args()

    if not has_entry_points(args.plugin):
        print("SKIP: %s exports no NPAPI entry points (NP_Initialize) yet"
              % args.plugin)
        return 77
    if sanitized(args.plugin):
        print("SKIP: %s is built with AddressSanitizer, which a browser "
              "process without its runtime cannot load" % args.plugin)
        return 77
    for tool in ("xvfb-run", "openssl", "xmllint"):
        if not shutil.which(tool):
            print("SKIP: %s is not installed (scripts/install-deps.sh)" % tool)
            return 77

    work = tempfile.mkdtemp(prefix="tavrix-e2e-")
    env = dict(os.environ, HOME=os.path.join(work, "home"),
               TAVRIX_PROVIDER_HOME=os.path.join(work, "provider"),
               XDG_RUNTIME_DIR=os.path.join(work, "run"))
    for d in ("home", "run", "plugins", "www"):
        os.makedirs(os.path.join(work, d), mode=0o700)
    server = tsa = None
    try:
        www = os.path.join(work, "www")
        server = subprocess.Popen(
            [sys.executable, os.path.join(SUPPORT, "httpd.py"), "--dir", www],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        port = int(server.stdout.readline())
        base = "http://127.0.0.1:%d" % port
        pki, certs = make_pki(work, args.certmgr, env, base)
        signer = certs[0]
        for name in os.listdir(os.path.join(HERE, "pages")):
            shutil.copy(os.path.join(HERE, "pages", name), www)
        with open(os.path.join(www, "file.txt"), "wb") as f:
            f.write(FILE_BODY)
        # Only the plug-in in the folder the engine scans, not its libraries.
        os.symlink(os.path.abspath(args.plugin),
                   os.path.join(work, "plugins", "npTavrix.so"))
        foreign = os.path.join(work, "foreign.txt")
        with open(foreign, "wb") as f:
            f.write("чужой файл\n".encode())


        dirs = [d for d in os.environ.get("LD_LIBRARY_PATH", "").split(":")
                if d] + runpath(args.plugin)
        cades = any(os.path.exists(os.path.join(d, "libcades.so"))
                    for d in dirs)
        # xmllint's --exc-c14n keeps comments; the plug-in's form drops them.
        tsp = os.environ.get("TAVRIX_E2E_TSP", "")
        if cades and not tsp:
            tsa, tsp = start_tsa(args.certmgr, env)
        c14n = run(["xmllint", "--exc-c14n", "-"],
                   input=re.sub(r"<!--.*?-->", "", XML, flags=re.S).encode()
                   ).stdout
        hash_cases = [
            {"name": "text", "text": "Хешируемый текст", "flags": 0,
             "expected": gost_hash("Хешируемый текст".encode(), "md_gost94")},
            {"name": "base64", "text": base64.encodebytes(FILE_BODY).decode(),
             "flags": 1, "expected": gost_hash(FILE_BODY, "md_gost94")},
            {"name": "c14n", "text": XML, "flags": 2,
             "expected": gost_hash(c14n, "md_gost94")},
        ]
        hashes = {"1.2.643.2.2.9": gost_hash(HASH_CONTENT, "md_gost94"),
                  "1.2.643.7.1.1.2.2": gost_hash(HASH_CONTENT, "md_gost12_256")}
        # The hash values go to the page as base64 for flags 0x20|0x01.
        sign_cases = []
        for name, text, flags, _ in SIGN_CASES:
            case = {"name": name, "text": text, "flags": flags}
            if text is None:
                case.update(hashOf=True, flags=flags | 0x01)
            sign_cases.append(case)
        cfg = {"certs": certs, "signer": signer, "subjectFilter": "иВАНОВ",
               "signCases": sign_cases, "hashes": hashes,
               "hashCases": hash_cases, "xml": XML,
               "cadesText": "Текст для CAdES", "cades": cades,
               "tspUrl": tsp,
               "fileUrl": base + "/file.txt", "foreignFile": foreign}
        with open(os.path.join(www, "config.json"), "w", encoding="utf-8") as f:
            json.dump(cfg, f, ensure_ascii=False)

        result_path = os.path.join(work, "result.json")
        cmd = [args.browser, "--plugin-dir", os.path.join(work, "plugins"),
               "--timeout", "120", "--require-mime", "application/x-tavrix",
               "--result-json", result_path,
               "--screenshot", os.path.join(work, "page.png"),
               base + "/" + args.page]
        env.pop("DISPLAY", None)
        r = subprocess.run(cmd, env=env, stdout=subprocess.PIPE,
                           stderr=subprocess.STDOUT, timeout=300)
        log = r.stdout.decode(errors="replace")
        print(log)
        if r.returncode == 4:
            print("FAIL: the engine did not find the plug-in")
            return 1
        if not os.path.exists(result_path):
            print("FAIL: the page reported nothing (browser status %d)"
                  % r.returncode)
            return 1
        with open(result_path, encoding="utf-8") as f:
            result = json.load(f)

        failures = Failures(result.get("failures", []))
        sigs = result.get("signatures", {})
        files = result.get("files", {})
        for name, text, flags, kind in SIGN_CASES:
            if name not in sigs:
                continue  # the page already reported it
            if text is None:
                verify_hash_signature(failures, sigs[name], pki, work)
                continue
            content = (base64.b64decode(text) if flags & 1
                       else text.encode("utf-8"))
            verify(failures, "Sign(%s)" % name, sigs[name], content,
                   kind == "attached", pki, work)
        if "cades" in sigs:
            verify(failures, "Sign(CAdES)", sigs["cades"],
                   cfg["cadesText"].encode(), False, pki, work)
        for key, attached in (("file0", False), ("file4", True)):
            if key in sigs:
                verify(failures, "SignFileWeb(%s)" % key, sigs[key], FILE_BODY,
                       attached, pki, work)
            if key in files:
                failures.check("SignFileWeb removes the downloaded file",
                               not os.path.exists(files[key]), files[key])
        failures.check("SignFileWeb leaves a file it did not make",
                       os.path.exists(foreign), foreign + " is gone")
        foreign_sig = result.get("values", {}).get("foreignResult", "")
        if foreign_sig and "<Error>" not in foreign_sig:
            verify(failures, "SignFileWeb(foreign file)", foreign_sig,
                   "чужой файл\n".encode(), False, pki, work)
        hashed, hash_file = files.get("hashed"), files.get("hashFile")
        if hashed and hash_file and os.path.exists(hash_file):
            with open(hash_file) as f:
                failures.check("HashFile writes the file's hash", f.read() ==
                               gost_hash(FILE_BODY, "md_gost94"), hash_file)
            for p in (hashed, hash_file):
                if os.path.exists(p) and p.startswith("/tmp/npX_"):
                    os.unlink(p)
        elif hash_file:
            failures.check("HashFile writes its file", False, hash_file)

        print("%s; %d checks outside the page failed" %
              (result.get("text", "").splitlines()[0] if result.get("text") else "",
               len(failures) - len(result.get("failures", []))))
        for f in failures:
            print("FAIL " + f)
        if r.returncode not in (0, 1):
            print("FAIL: the browser ended with status %d" % r.returncode)
            return 1
        return 1 if failures else 0
    finally:
        for p in (server, tsa):
            if p:
                p.stdin.close()
                p.wait(10)
        if args.keep:
            print("kept " + work)
        else:
            shutil.rmtree(work, ignore_errors=True)


def verify_hash_signature(failures, sig_b64, pki, work):
    # A signature over a hash stands for a detached signature of any content
    # with that hash: OpenSSL checks it against the content itself.
    verify(failures, "Sign(hash 0x20)", sig_b64, HASH_CONTENT, False, pki, work)


if __name__ == "__main__":
    sys.exit(main())
