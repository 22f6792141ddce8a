#!/usr/bin/env python3
"""Every exported CryptoAPI definition of the provider is guarded.

Usage: check-guards.py SRC_DIR... [--fix]

A definition is "RET WINAPI Name(...) try { ... } CAPI_GUARD(...)" (or
CAPI_GUARD_VOID), so no C++ exception reaches a C caller. Lists the
definitions that are not; --fix rewrites them with the failure value that
fits their return type. The generated weak fall-backs only set the last
error and are left out.
"""

import os
import re
import sys

FAIL_BY_TYPE = {
    "BOOL": "FALSE", "DWORD": "0", "ALG_ID": "0", "void": None,
}
# Where 0 or null would read as success, the failure value is spelled out.
FAIL_BY_NAME = {
    "CertVerifyTimeValidity": "1",  # "not valid (after)", never "valid"
    "LocalFree": "hMem",            # LocalFree returns the handle on failure
}


def blank_comments_and_strings(text):
    """Same length, with comments and literals blanked, for matching."""
    out = list(text)
    i, n = 0, len(text)
    while i < n:
        c = text[i]
        if text.startswith("//", i):
            j = text.find("\n", i)
            j = n if j < 0 else j
        elif text.startswith("/*", i):
            j = text.find("*/", i + 2)
            j = n if j < 0 else j + 2
        elif c in "\"'":
            j = i + 1
            while j < n and text[j] != c:
                j += 2 if text[j] == "\\" else 1
            i, j = i + 1, min(j, n)  # the quotes themselves stay
        else:
            i += 1
            continue
        for k in range(i, j):
            if out[k] != "\n":
                out[k] = " "
        i = j + 1 if c in "\"'" else j
    return "".join(out)


def match(code, i, open_c, close_c):
    depth = 0
    for k in range(i, len(code)):
        if code[k] == open_c:
            depth += 1
        elif code[k] == close_c:
            depth -= 1
            if depth == 0:
                return k
    raise ValueError("unbalanced")


def definitions(code):
    """(name, return type, body start, body end, guarded) per definition."""
    for m in re.finditer(r"\bWINAPI\s+\**\s*([A-Za-z_][A-Za-z0-9_]*)\s*\(",
                         code):
        close = match(code, m.end() - 1, "(", ")")
        k = close + 1
        while code[k].isspace():
            k += 1
        has_try = code.startswith("try", k) and not code[k + 3].isalnum()
        if has_try:
            k += 3
            while code[k].isspace():
                k += 1
        if code[k] != "{":
            continue  # a declaration
        end = match(code, k, "{", "}")
        start = max(code.rfind(c, 0, m.start()) for c in ";{}") + 1
        head = code[start:m.start()]
        head = re.sub(r'extern\s+"[^"]*"|CAPI_EXPORT|__attribute__\s*\(\(.*?\)\)',
                      " ", head)
        rtype = " ".join(head.split())
        tail = code[end + 1:end + 200].lstrip()
        guarded = has_try and tail.startswith("CAPI_GUARD")
        yield m.group(1), rtype, k, end, guarded, code[:start].rstrip()


def fail_value(name, rtype):
    if name in FAIL_BY_NAME:
        return FAIL_BY_NAME[name]
    if rtype in FAIL_BY_TYPE:
        return FAIL_BY_TYPE[rtype]
    if rtype == "LONG":
        raise ValueError("no failure value for " + name)
    return "nullptr"  # handles and pointers


def main():
    dirs = [a for a in sys.argv[1:] if a != "--fix"]
    fix = "--fix" in sys.argv[1:]
    missing, count = [], 0
    walks = [w for d in dirs for w in os.walk(d)]
    for root, _, files in walks:
        for f in sorted(files):
            if not f.endswith(".cpp"):
                continue
            path = os.path.join(root, f)
            text = open(path, encoding="utf-8").read()
            if "#define WEAK __attribute__((weak))" in text:
                continue  # the generated fall-backs
            code = blank_comments_and_strings(text)
            edits = []
            for name, rtype, body, end, guarded, _ in definitions(code):
                count += 1
                if guarded:
                    continue
                missing.append("%s: %s" % (path, name))
                value = fail_value(name, rtype)
                guard = (" CAPI_GUARD_VOID" if value is None else
                         " CAPI_GUARD(%s)" % value)
                edits.append((end + 1, guard))
                edits.append((body, "try "))
            if fix and edits:
                for pos, s in sorted(edits, reverse=True):
                    text = text[:pos] + s + text[pos:]
                if '#include "base/c_boundary.h"' not in text:
                    text = re.sub(r'(#include [<"][^\n]*\n)',
                                  r'\1#include "base/c_boundary.h"\n', text,
                                  count=1)
                open(path, "w", encoding="utf-8").write(text)
    for line in missing:
        print("not guarded:", line)
    print("%d exported definitions, %d not guarded" % (count, len(missing)))
    if count < 50:
        print("too few definitions found: the scan is broken")
        return 1
    return 1 if missing and not fix else 0


if __name__ == "__main__":
    sys.exit(main())
