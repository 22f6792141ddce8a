// The demo page's script. Every plug-in member returns one string: base64,
// an XML document, a path, or an Error envelope; this file turns each into
// something a person can read. With ?auto=1 in the address the page walks
// through every step by itself and reports in window.tavrixResult (the
// demo script's browser window prints it).
"use strict";

var MIME = "application/x-tavrix";
var ERROR_PREFIX = "<?xml version='1.0' encoding='utf-8'?><Error>";
var query = parseQuery(location.search);
var api = null;          // the plug-in's script object
var certs = [];          // the listing, parsed
var tour = [];           // lines for the automatic run
var tourFailed = false;

function parseQuery(search) {
  var out = {};
  search.replace(/^\?/, "").split("&").forEach(function (pair) {
    if (!pair) return;
    var i = pair.indexOf("=");
    var k = decodeURIComponent(i < 0 ? pair : pair.slice(0, i));
    out[k] = i < 0 ? "" : decodeURIComponent(pair.slice(i + 1).replace(/\+/g, " "));
  });
  return out;
}

function $(id) { return document.getElementById(id); }

function esc(s) {
  return String(s).replace(/&/g, "&amp;").replace(/</g, "&lt;")
      .replace(/>/g, "&gt;");
}

function isError(result) {
  return typeof result === "string" && result.indexOf("<Error>") >= 0;
}

// The message of an Error envelope, with the XML around it taken away.
function errorText(result) {
  var m = /<Error>([\s\S]*?)<\/Error>/.exec(result);
  return m ? m[1] : result;
}

function base64Bytes(b64) {
  try {
    return atob(String(b64).replace(/\s+/g, "")).length;
  } catch (e) {
    return -1;
  }
}

function hex(b64) {
  try {
    var bin = atob(String(b64).replace(/\s+/g, "")), s = "";
    for (var i = 0; i < bin.length; i++)
      s += ("0" + bin.charCodeAt(i).toString(16)).slice(-2);
    return s;
  } catch (e) {
    return "";
  }
}

function setStatus(cls, html) {
  var el = $("status");
  el.className = "box " + cls;
  el.innerHTML = html;
}

// One call into the plug-in, timed and written to the log. A script error
// (wrong arguments, a vanished element) is caught and shown like an Error.
function call(member, args, shown) {
  var t0 = Date.now(), result, thrown = null;
  try {
    result = api[member].apply(api, args);
  } catch (e) {
    thrown = String(e && e.message ? e.message : e);
  }
  var ms = Date.now() - t0;
  var li = document.createElement("li");
  var what = member + "(" + (shown || args.map(function (a) {
    var s = typeof a === "string" ? JSON.stringify(a) : String(a);
    return s.length > 40 ? s.slice(0, 37) + "…\"" : s;
  }).join(", ")) + ")";
  var summary;
  if (thrown !== null) {
    summary = "ошибка сценария: " + thrown;
    li.className = "bad";
  } else if (isError(result)) {
    summary = "ошибка: " + errorText(result);
    li.className = "bad";
  } else {
    summary = result === undefined || result === null ? "готово" :
        String(result).length > 80 ? String(result).length + " символов" :
        JSON.stringify(String(result));
    li.className = "good";
  }
  li.textContent = what + " — " + ms + " мс — " + summary;
  $("log").appendChild(li);
  return thrown !== null ? ERROR_PREFIX + esc(thrown) + "</Error>" : result;
}

function field(xml, name) {
  var m = new RegExp("<" + name + ">([\\s\\S]*?)</" + name + ">").exec(xml);
  return m ? m[1].replace(/&lt;/g, "<").replace(/&gt;/g, ">") : null;
}

function date(unix) {
  var d = new Date(Number(unix) * 1000);
  return ("0" + d.getDate()).slice(-2) + "." + ("0" + (d.getMonth() + 1)).slice(-2) +
      "." + d.getFullYear();
}

function listCertificates() {
  var params = "NumDaysWarnBeforeCertEnd=14\r\nSecretKeyValidity=366";
  var xml = call("SelectCertificate", ["", params]);
  var sel = $("cert");
  sel.innerHTML = "";
  certs = [];
  if (isError(xml)) {
    $("cert-info").innerHTML = '<span class="bad">Список не получен: ' +
        esc(errorText(xml)) + "</span>";
    return false;
  }
  var re = /<Certificate>([\s\S]*?)<\/Certificate>/g, m;
  while ((m = re.exec(xml)) !== null) {
    var c = {
      subject: field(m[1], "Subject"), serial: field(m[1], "Serial"),
      issuer: field(m[1], "Issuer"), notBefore: field(m[1], "NotBefore"),
      notAfter: field(m[1], "NotAfter"), message: field(m[1], "Message"),
      error: field(m[1], "Error")
    };
    certs.push(c);
    var opt = document.createElement("option");
    opt.value = c.serial;
    opt.textContent = c.subject + " (" + c.serial + ")" +
        (c.error ? " — ключ недействителен" : c.message ? " — скоро истекает" : "");
    sel.appendChild(opt);
  }
  // Offer a usable certificate first.
  for (var i = 0; i < certs.length; i++) {
    if (!certs[i].error) { sel.selectedIndex = i; break; }
  }
  showCertificate();
  return certs.length > 0;
}

function chosen() {
  return certs[$("cert").selectedIndex] || null;
}

function showCertificate() {
  var c = chosen();
  if (!c) {
    $("cert-info").innerHTML = certs.length ? "" :
        '<span class="bad">В личном хранилище нет сертификатов. Установите свой: ' +
        "<code>tavrix-certmgr import --pfx файл.pfx</code></span>";
    return;
  }
  var html = "<b>Владелец:</b> " + esc(c.subject) + "<br><b>Издатель:</b> " +
      esc(c.issuer) + "<br><b>Серийный номер:</b> " + esc(c.serial) +
      "<br><b>Ключ действует:</b> с " + date(c.notBefore) + " по " + date(c.notAfter);
  if (c.message) html += '<br><span class="warn">' + esc(c.message).replace(/\n/g, "<br>") + "</span>";
  if (c.error) html += '<br><span class="bad">' + esc(c.error) + "</span>";
  $("cert-info").innerHTML = html;
}

var MODES = {
  0: {name: "отсоединённая подпись CMS",
      means: "Подпись CMS (SignedData) без самого текста: для проверки нужны и текст, и подпись."},
  4: {name: "присоединённая подпись CMS",
      means: "Подпись CMS (SignedData), внутри которой лежит и подписанный текст."},
  2: {name: "подпись CAdES-X Long Type 1",
      means: "Подпись CAdES с меткой времени (RFC 3161) от службы TSP, сертификатами и " +
          "сведениями о статусе: её можно проверить и после окончания срока сертификата."}
};

function params() {
  var tsp = $("tsp").value.trim();
  return tsp ? "TspUrl=" + tsp : "";
}

function showResult(out, title, result, means) {
  var box = $(out);
  if (isError(result)) {
    box.innerHTML = '<div class="bad"><b>' + esc(title) + ": ошибка.</b><br>" +
        esc(errorText(result)) + "</div>";
    return false;
  }
  var bytes = base64Bytes(result);
  box.innerHTML = '<div class="good"><b>' + esc(title) + ": готово</b> (" +
      (bytes >= 0 ? bytes + " байт, " : "") + "в base64 " + String(result).length +
      " символов).<br>" + esc(means) + "</div><pre>" + esc(result) + "</pre>";
  return true;
}

function needCert(out) {
  var c = chosen();
  if (!c) $(out).innerHTML = '<div class="bad">Сначала выберите сертификат (п. 1).</div>';
  return c;
}

function signText(mode) {
  var c = needCert("sign-out");
  if (!c) return false;
  var text = $("text").value;
  if (!text) {
    $("sign-out").innerHTML = '<div class="bad">Введите текст для подписи.</div>';
    return false;
  }
  var m = MODES[mode];
  if (mode === 2 && !params()) {
    $("sign-out").innerHTML = '<div class="bad">Для CAdES-X Long Type 1 укажите адрес службы меток времени.</div>';
    return false;
  }
  var r = call("Sign", [text, c.serial, mode, params()]);
  return showResult("sign-out", "Текст, " + m.name, r, m.means);
}

// DownloadFile always answers with a path; whether the bytes arrived shows
// only when the file is used.
function download(out) {
  var url = $("file-url").value.trim();
  if (!url) {
    $(out).innerHTML = '<div class="bad">Укажите адрес файла.</div>';
    return null;
  }
  var path = call("DownloadFile", [url]);
  if (isError(path) || !path) {
    $(out).innerHTML = '<div class="bad">Файл не скачан: ' + esc(errorText(path || "пустой ответ")) + "</div>";
    return null;
  }
  return path;
}

function signFile() {
  var c = needCert("file-out");
  if (!c) return false;
  var path = download("file-out");
  if (!path) return false;
  var r = call("SignFileWeb", [path, c.serial, 0, params()]);
  var ok = showResult("file-out", "Файл " + path, r,
      "Отсоединённая подпись CMS файла; скачанный временный файл удалён после подписи.");
  return ok;
}

function hashText() {
  var c = needCert("hash-out");
  if (!c) return false;
  var text = $("text").value;
  var r = call("Hash", [text, c.serial, 0]);
  if (isError(r)) return showResult("hash-out", "Хеш текста", r, "");
  $("hash-out").innerHTML = '<div class="good"><b>Хеш текста ГОСТ Р 34.11-94</b><br>base64: <code>' +
      esc(r) + "</code><br>hex: <code>" + hex(r) + "</code></div>";
  return true;
}

function hashFile() {
  var c = needCert("hash-out");
  if (!c) return false;
  var path = download("hash-out");
  if (!path) return false;
  var r = call("HashFile", [path, c.serial, 0]);
  if (isError(r)) return showResult("hash-out", "Хеш файла", r, "");
  $("hash-out").innerHTML = '<div class="good"><b>Хеш файла ГОСТ Р 34.11-94</b> записан рядом с файлом: <code>' +
      esc(r) + "</code><br>(скачанный файл: <code>" + esc(path) + "</code>)</div>";
  return true;
}

function about() {
  var v = call("GetVersion", []);
  var prop;
  try { prop = api.version; } catch (e) { prop = "ошибка: " + e; }
  var cades = call("TestCades", []);
  $("about").innerHTML = "Версия плагина: <b>" + esc(v) + "</b> (свойство <code>version</code>: " +
      esc(prop) + ")<br>Библиотека CAdES: " +
      (cades === "1" ? "установлена" : '<span class="warn">не найдена (' + esc(cades) +
       ") — подпись CAdES недоступна</span>");
  return cades;
}

function step(name, ok, detail) {
  var line = (ok ? "[готово] " : "[ошибка] ") + name + (detail ? ": " + detail : "");
  if (!ok) tourFailed = true;
  tour.push(line);
  console.log(line);
}

function textOf(id) {
  return $(id).innerText.replace(/\s+/g, " ").trim().slice(0, 300);
}

function autoTour() {
  var cades = about();
  step("GetVersion / version / TestCades", true, textOf("about"));
  var have = listCertificates();
  step("SelectCertificate", have, certs.length + " сертификат(ов); выбран " +
      (chosen() ? chosen().subject : "—"));
  if (!have) return finishTour();
  [0, 4, 2].forEach(function (mode) {
    var input = document.querySelector('input[name=mode][value="' + mode + '"]');
    input.checked = true;
    if (mode === 2 && cades !== "1") {
      step("Подпись текста, " + MODES[mode].name, false,
          "библиотека CAdES не найдена (TestCades вернул " + cades + ")");
      return;
    }
    var ok = signText(mode);
    step("Подпись текста, " + MODES[mode].name, ok, textOf("sign-out"));
  });
  step("Скачивание и подпись файла", signFile(), textOf("file-out"));
  step("Хеш текста", hashText(), textOf("hash-out"));
  step("Хеш файла", hashFile(), textOf("hash-out"));
  finishTour();
}

function finishTour() {
  window.tavrixResult = {status: tourFailed ? "fail" : "pass", text: tour.join("\n")};
}

function ready(how) {
  if (api) return;
  api = $("tavrix");
  var version;
  try { version = api.GetVersion(); } catch (e) { version = "ошибка: " + e; }
  setStatus("good", "Плагин загружен (" + how + "), версия " + esc(version) + ".");
  $("btn-list").onclick = listCertificates;
  $("cert").onchange = showCertificate;
  $("btn-sign").onclick = function () {
    signText(Number(document.querySelector("input[name=mode]:checked").value));
  };
  $("btn-file").onclick = signFile;
  $("btn-hash-text").onclick = hashText;
  $("btn-hash-file").onclick = hashFile;
  if (query.auto) {
    autoTour();
  } else {
    about();
    listCertificates();
  }
}

// Called by the plug-in itself through the element's "onload" parameter.
function tavrixLoaded(obj) {
  console.log("onload: the plug-in called tavrixLoaded(" + (obj ? typeof obj : obj) + ")");
  // Out of the plug-in's own call before calling into it again.
  window.setTimeout(function () { ready("onload"); }, 0);
}

$("tsp").value = query.tsp || "";
$("file-url").value = query.file || "";

// Without the plug-in the element has no members; say so instead of waiting.
window.setTimeout(function () {
  if (api) return;
  var known = navigator.mimeTypes && navigator.mimeTypes[MIME] &&
      navigator.mimeTypes[MIME].enabledPlugin;
  var el = $("tavrix");
  if (el && typeof el.GetVersion !== "undefined") {
    console.log("the plug-in did not call its onload function in 3 s; going on without it");
    ready("без onload");
    return;
  }
  var why = known ? "браузер знает плагин, но элемент не отвечает" :
      "браузер не нашёл плагин для " + MIME;
  setStatus("bad", "Плагин Tavrix не загружен: " + esc(why) +
      ". Установите <code>npTavrix.so</code> в <code>~/.mozilla/plugins</code> " +
      "или <code>/usr/lib/mozilla/plugins</code> и перезапустите браузер.");
  tour.push("[ошибка] плагин не загружен: " + why);
  console.log("plug-in not loaded: " + why);
  tourFailed = true;
  finishTour();
}, 3000);
