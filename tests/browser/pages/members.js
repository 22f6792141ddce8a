// Calls every published member of the plug-in from a real page and checks
// what comes back. The test driver writes config.json beside this page (the
// certificates it installed, the file to download, hashes it expects) and
// checks the signatures this page hands back in window.tavrixResult with
// OpenSSL. A failure names the member and what came back.
"use strict";

var VERSION = "1.0.7.68";
var ERR = "<?xml version='1.0' encoding='utf-8'?><Error>";
var cfg = (function () {
  var x = new XMLHttpRequest();
  x.open("GET", "config.json", false);
  x.send(null);
  return JSON.parse(x.responseText);
})();
var failures = [], passed = 0, out = {signatures: {}, files: {}, hashes: {}, values: {}};
var onloadCalls = [], echoEvents = [];
var p1 = document.getElementById("p1"), p2 = document.getElementById("p2");

function show(v) {
  var s;
  try { s = typeof v === "string" ? JSON.stringify(v) : String(v); } catch (e) { s = "?"; }
  return s.length > 200 ? s.slice(0, 200) + "…" : s;
}

function check(member, ok, got, wanted) {
  if (ok) { passed++; return true; }
  failures.push(member + ": " + (wanted ? "expected " + wanted + ", " : "") + "got " + show(got));
  return false;
}

// A call that must succeed; a script error becomes a failure of the member.
function call(member, obj, args) {
  try {
    return obj[member].apply(obj, args);
  } catch (e) {
    failures.push(member + ": threw " + show(e && e.message || e));
    return undefined;
  }
}

// A call that must raise a script error whose text contains `text`.
function throwsWith(what, fn, text) {
  try {
    var r = fn();
    return check(what, false, r, "a script error containing " + show(text));
  } catch (e) {
    var msg = String(e && e.message || e);
    return check(what, !text || msg.indexOf(text) >= 0, "error " + msg,
                 "a script error containing " + show(text));
  }
}

function isBase64(s) {
  return typeof s === "string" && s.length > 0 && /^[A-Za-z0-9+\/=\r\n]+$/.test(s);
}

function certCount(xml) {
  return (String(xml).match(/<Certificate>/g) || []).length;
}

function testListing() {
  var all = call("SelectCertificate", p1, ["", ""]);
  check("SelectCertificate(all)", String(all).indexOf("<?xml version='1.0' encoding='utf-8'?><Certificates>") === 0 &&
        certCount(all) === cfg.certs.length, all, cfg.certs.length + " certificates");
  cfg.certs.forEach(function (c) {
    var one = call("SelectCertificate", p1, ["#" + c.serial, ""]);
    check("SelectCertificate(#" + c.name + ")", certCount(one) === 1 &&
          one.indexOf("<Serial>#" + c.serial + "</Serial>") >= 0, one, "only " + c.name);
    var st = c.status === "error" ? "<Error>Срок действия закрытого ключа истек.</Error>" :
        c.status === "warn" ? "<Message>Срок действия закрытого ключа заканчивается.\nДо окончания срока действия осталось " : null;
    check("SelectCertificate(#" + c.name + ") status", st ? one.indexOf(st) >= 0 :
          one.indexOf("<Message>") < 0 && one.indexOf("<Error>") < 0, one, st || "no warning");
  });
  var bySubject = call("SelectCertificate", p1, [cfg.subjectFilter, ""]);
  check("SelectCertificate(subject filter)", certCount(bySubject) === 1 &&
        bySubject.indexOf(cfg.signer.serial) >= 0, bySubject, "the signer only");
  var byOid = call("SelectCertificate", p1, ["", "FilterOID=1.3.6.1.5.5.7.3.4, 9.9.9"]);
  check("SelectCertificate(FilterOID)", certCount(byOid) === cfg.certs.filter(function (c) {
    return c.eku; }).length, byOid, "the certificates with e-mail protection");
  var warnEarly = call("SelectCertificate", p1, ["#" + cfg.signer.serial, "NumDaysWarnBeforeCertEnd=400"]);
  check("SelectCertificate(NumDaysWarnBeforeCertEnd)", warnEarly.indexOf("<Message>") >= 0, warnEarly, "a warning");
}

// Signatures go back to the driver, which verifies them with OpenSSL.
function testSigning() {
  var s = cfg.signer.serial, hashOid = call("Sign", p1, ["", "#" + s, 0x40, ""]);
  check("Sign(0x40)", /^[0-9.]+$/.test(hashOid), hashOid, "a hash OID");
  out.values.hashOid = hashOid;
  cfg.signCases.forEach(function (c) {
    var text = c.text;
    if (c.hashOf) text = cfg.hashes[hashOid] || "";
    var r = call("Sign", p1, [text, "#" + s, c.flags, ""]);
    if (check("Sign(" + c.name + ")", isBase64(r), r, "base64"))
      out.signatures[c.name] = r;
  });
  var xml = call("Sign", p1, [cfg.xml, "#" + s, 8, ""]);
  check("Sign(XML 0x08)", String(xml).indexOf("<?xml version='1.0' encoding='utf-8'?><root><signature algOID='") === 0 &&
        xml.indexOf("<certificate>" + cfg.signer.der + "</certificate></root>") > 0, xml, "the XML result with the certificate");
  out.values.xmlSignature = xml;
  var missing = call("Sign", p1, ["текст", "Нет такого владельца", 0, ""]);
  check("Sign(unknown certificate)", String(missing).indexOf(ERR) === 0, missing, "an Error envelope");
  check("Sign(empty text)", call("Sign", p1, ["", "#" + s, 0, ""]) === "", "", "the empty text");
  var cades = call("Sign", p1, [cfg.cadesText, "#" + s, 2, cfg.tspUrl ? "TspUrl=" + cfg.tspUrl : ""]);
  if (cfg.cades) {
    if (check("Sign(CAdES-X Long Type 1)", isBase64(cades), cades, "base64"))
      out.signatures.cades = cades;
  } else {
    check("Sign(CAdES without the runtime)", String(cades).indexOf("Не найдена библиотека cades.dll") >= 0, cades,
          "the missing-runtime error");
  }
  call("DeleteArchive", p1, []);
  var again = call("Sign", p1, [cfg.signCases[0].text, "#" + s, 0, ""]);
  check("Sign(after DeleteArchive)", isBase64(again), again, "base64");
}

function testFiles() {
  var s = "#" + cfg.signer.serial;
  [0, 4].forEach(function (flags) {
    var path = call("DownloadFile", p1, [cfg.fileUrl]);
    check("DownloadFile", /^\/tmp\/npX_/.test(path), path, "a /tmp/npX_ path");
    var sig = call("SignFileWeb", p1, [path, s, flags, ""]);
    if (check("SignFileWeb(downloaded, " + flags + ")", isBase64(sig), sig, "base64")) {
      out.signatures["file" + flags] = sig;
      out.files["file" + flags] = path;
    }
  });
  var sig = call("SignFileWeb", p1, [cfg.foreignFile, s, 0, ""]);
  out.values.foreignResult = sig;
  var hpath = call("DownloadFile", p1, [cfg.fileUrl]);
  var hashFile = call("HashFile", p1, [hpath, s, 0]);
  check("HashFile", hashFile === hpath + ".hash", hashFile, show(hpath + ".hash"));
  out.files.hashed = hpath;
  out.files.hashFile = hashFile;
  var noFile = call("HashFile", p1, ["/nonexistent/dir/file", s, 0]);
  check("HashFile(missing file)", String(noFile).indexOf(ERR) === 0, noFile, "an Error envelope");
}

function testHashes() {
  var s = "#" + cfg.signer.serial;
  cfg.hashCases.forEach(function (c) {
    var r = call("Hash", p1, [c.text, s, c.flags]);
    check("Hash(" + c.name + ")", r === c.expected, r, show(c.expected));
  });
  check("Hash(empty)", call("Hash", p1, ["", s, 0]) === "", "", "the empty text");
}

function testPlain() {
  [p1, p2].forEach(function (p, i) {
    var who = "p" + (i + 1) + ".";
    var v = call("GetVersion", p, []);
    check(who + "GetVersion", v === VERSION, v, VERSION);
    check(who + "version", p.version === VERSION, p.version, VERSION);
    var cades = call("TestCades", p, []);
    check(who + "TestCades", cfg.cades ? cades === "1" : typeof cades === "string" && cades !== "1" &&
          cades !== "", cades, cfg.cades ? "1" : "a text other than 1");
    check(who + "toString", call("toString", p, []) === "<JSAPI-Auto Javascript Object>", p.toString(),
          "the description");
    check(who + "valid", p.valid === true, p.valid, "true");
  });
  try { p1.version = "0"; } catch (e) { /* read-only: either way it must not change */ }
  check("version (after assignment)", p1.version === VERSION, p1.version, VERSION);
  p1.testString = "проверка\u00a0строки";
  p2.testString = "второй";
  check("testString", p1.testString === "проверка\u00a0строки" && p2.testString === "второй",
        [p1.testString, p2.testString], "each object its own value");
  call("DeleteArchive", p2, []);
  check("DeleteArchive (no cache yet)", true);
  ["Verify", "VerifyFile", "CreateCertArchive", "getPlugin", "archive"].forEach(function (name) {
    var v;
    try { v = p1[name]; } catch (e) { v = "threw " + e; }
    check("reading unpublished " + name, v === undefined || v === null, v, "nothing");
    throwsWith("calling unpublished " + name, function () { return p1[name]("a", "b", "c", "d"); });
  });
  var dyn = "dynamicAttr";
  p1[dyn] = "значение";
  check("dynamic attribute", p1[dyn] === "значение", p1[dyn], "what was written");
}

function testErrors() {
  var cases = [
    ["Sign with 3 arguments", function () { return p1.Sign("a", "b", 0); }, "Error: Argument 4is not optional."],
    ["GetVersion with 1 argument", function () { return p1.GetVersion(1); }, "Too many arguments, expected 0."],
    ["Hash with 4 arguments", function () { return p1.Hash("a", "b", 0, 1); }, "Too many arguments, expected 3."],
    ["assigning to Sign", function () { p1.Sign = 1; return p1.Sign; }, "This property cannot be changed"],
    ["addEventListener with 1 argument", function () { return p1.addEventListener("echo"); }, "Invalid Arguments"]
  ];
  cases.forEach(function (c) {
    // A failed call answers false with the text raised on the object; some
    // engines (WebKit's) then throw their own "Error calling method on
    // NPObject." instead, so the text is checked through getLastException.
    throwsWith(c[0], c[1], "");
    var last = p1.getLastException();
    check("getLastException after " + c[0], String(last).indexOf(c[2]) >= 0, last, show(c[2]));
  });
  check("Sign still callable after the assignment", typeof p1.Sign("", "#" + cfg.signer.serial, 0, "") === "string",
        typeof p1.Sign, "a method");
  // Hostile strings reach the controller whole and come back as errors.
  var nul = call("SelectCertificate", p1, ["\u0000", ""]);
  check("SelectCertificate(NUL)", String(nul).indexOf("<Certificates>") >= 0 || String(nul).indexOf(ERR) === 0,
        nul, "a listing or an Error envelope");
  var bad = call("SignFileWeb", p1, ["/nonexistent/dir/file", "#" + cfg.signer.serial, 0, ""]);
  check("SignFileWeb(missing file)", String(bad).indexOf(ERR) === 0, bad, "an Error envelope");
}

function testEcho(done) {
  var h1 = function (a, b) { echoEvents.push(["p1", a, b]); };
  var h2 = function (a, b) { echoEvents.push(["p2", a, b]); };
  p1.addEventListener("echo", h1, false);
  p2.addEventListener("echo", h2, false);
  var values = ["раз", 42, true];
  var got = [p1.echo(values[0]), p2.echo(values[1]), p1.echo(values[2])];
  check("echo (returns its argument)", got[0] === values[0] && got[1] === values[1] && got[2] === values[2],
        got, show(values));
  window.setTimeout(function () {
    var counts = echoEvents.map(function (e) { return e[0] + ":" + e[2]; }).join(",");
    check("onecho events", counts === "p1:0,p2:1,p1:2" &&
          echoEvents[0][1] === "So far, you clicked this many times: ", echoEvents, "p1:0,p2:1,p1:2");
    p1.removeEventListener("echo", h1, false);
    echoEvents = [];
    p1.echo("x");
    window.setTimeout(function () {
      check("removeEventListener", echoEvents.length === 0, echoEvents, "no event");
      done();
    }, 300);
  }, 500);
}

// Last: an element taken out of the page must give script errors, not crash.
function testRemoved(done) {
  var held = p2;
  held.parentNode.removeChild(held);
  window.setTimeout(function () {
    var r;
    try { r = held.GetVersion(); } catch (e) { r = "error"; }
    check("GetVersion on a removed element", r !== VERSION, r, "a script error or nothing");
    done();
  }, 500);
}

function finish() {
  out.status = failures.length ? "fail" : "pass";
  out.text = passed + " checks passed" + (failures.length ? ", " + failures.length + " failed:\n" +
      failures.join("\n") : "");
  out.failures = failures;
  document.getElementById("out").textContent = out.text;
  window.tavrixResult = out;
}

function run() {
  try {
    check("onload (called once with the script object)", onloadCalls.length === 1 &&
          onloadCalls[0] === VERSION, onloadCalls, "one call");
    testPlain();
    testListing();
    testSigning();
    testHashes();
    testFiles();
    testErrors();
  } catch (e) {
    failures.push("page: " + e);
  }
  testEcho(function () { testRemoved(finish); });
}

function onPluginLoad(obj) {
  var v;
  try { v = obj.GetVersion(); } catch (e) { v = "threw " + e; }
  onloadCalls.push(v);
}

// The plug-in calls onPluginLoad about 250 ms after the element is made;
// waiting longer also shows that it is called only once.
window.setTimeout(function () {
  if (typeof p1.GetVersion === "undefined") {
    failures.push("plug-in: the element has no members (not loaded)");
    finish();
    return;
  }
  run();
}, 1500);
