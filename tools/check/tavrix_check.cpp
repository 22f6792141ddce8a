// Prints what the plug-in would find on this machine, and drives the
// controller the way the script object will: the certificate listing and a
// GOST R 34.11-94 hash. Exit status 0 when the version could be reported,
// whatever the probes say: a missing CAdES runtime is a fact about the
// machine, not a failure of the check. A listing or hash that comes back as
// an Error envelope makes the status 1.
//
// With --verify it is the users' way to check a signature, which pages
// cannot ask for: the verdict in Russian, exit status 0 only for a valid
// signature.
#include <LibXmlF.h>
#include <TavrixCtrl.h>

#include <cstring>
#include <fstream>
#include <iostream>
#include <string>

namespace {

const char kUsage[] =
    "Usage: tavrix-check [--list] [--hash TEXT [--cert NAME]]\n"
    "       tavrix-check --verify SIGNATURE [--data FILE] [--revocation]\n"
    "                    [--html REPORT.html]\n"
    "Prints the plug-in version and whether the CAdES runtime (libcades.so)\n"
    "and libxml2.so can be loaded.\n"
    "  --list         the certificate listing of the personal store, as a\n"
    "                 page receives it\n"
    "  --hash TEXT    the GOST R 34.11-94 hash of TEXT in base64, made with\n"
    "                 the provider of the certificate NAME (a fragment of its\n"
    "                 subject or \"#\" and its serial; default: the first)\n"
    "  --verify SIG   checks the CMS signature in the file SIG (DER or\n"
    "                 base64) and its signer's certificate chain; a detached\n"
    "                 signature needs --data FILE, the signed file. The\n"
    "                 content of an attached signature is written beside it\n"
    "                 (doc.pdf.p7s gives doc.pdf). Exit status 0 only for a\n"
    "                 valid signature\n"
    "  --revocation   also asks the certificate's CRL or OCSP responder\n"
    "                 whether it was revoked\n"
    "  --html FILE    writes the signer report as HTML to FILE\n";

bool IsError(const std::string& result) {
  return result.find("<Error>") != std::string::npos;
}

const char kEnvelopeOpen[] = "<?xml version='1.0' encoding='utf-8'?><Error>";

void ReplaceAll(std::string& s, const std::string& what,
                const std::string& with) {
  for (size_t p = s.find(what); p != std::string::npos;
       p = s.find(what, p + with.size()))
    s.replace(p, what.size(), with);
}

// Text between the first `open` and the next `close`, or empty.
std::string Between(const std::string& s, const std::string& open,
                    const std::string& close) {
  size_t a = s.find(open);
  if (a == std::string::npos) return std::string();
  a += open.size();
  size_t b = s.find(close, a);
  return b == std::string::npos ? std::string() : s.substr(a, b - a);
}

// A status or error text for reading: an embedded Error envelope loses its
// markup, the entities of element texts become characters again.
std::string Readable(std::string text) {
  ReplaceAll(text, kEnvelopeOpen, "");
  ReplaceAll(text, "</Error>", "");
  ReplaceAll(text, "&lt;", "<");
  ReplaceAll(text, "&gt;", ">");
  ReplaceAll(text, "&amp;", "&");
  // The provider's texts end their lines the Windows way.
  ReplaceAll(text, "\r\n", " ");
  ReplaceAll(text, "\n", " ");
  ReplaceAll(text, "  (", " (");
  return text;
}

int VerifyCommand(const std::string& signature, const std::string& data,
                  bool revocation, const std::string& htmlPath) {
  std::string params = revocation ? "CheckRevocation=1" : "CheckRevocation=0";
  if (!htmlPath.empty()) params += "\r\nHtmlOn=1";
  TavrixCtrl ctrl;
  int nested = 0;
  const std::string result = ctrl.VerifyFile(data, signature, params, nested);
  if (result.rfind(kEnvelopeOpen, 0) == 0) {
    std::cout << "Подпись не проверена: " << Readable(result) << "\n";
    return 1;
  }
  const bool valid = result.find(" isValid='1'") != std::string::npos;
  const bool math = result.find(" isMathValid='1'") != std::string::npos;
  std::cout << (valid ? "Подпись действительна." : "Подпись НЕ действительна.")
            << "\n";
  std::cout << "Значение подписи: "
            << (math ? "соответствует данным" : "НЕ соответствует данным")
            << "\n";
  const size_t open = result.find('>', result.find("<Message"));
  const size_t close = result.find("</Message>");
  if (open != std::string::npos && close != std::string::npos)
    std::cout << "Результат проверки: "
              << Readable(result.substr(open + 1, close - open - 1)) << "\n";
  const std::string subject = Between(result, "<Subject>", "</Subject>");
  if (!subject.empty()) {
    std::cout << "Подписал: " << Readable(subject) << "\n";
    std::cout << "Издатель сертификата: "
              << Readable(Between(result, "<Issuer>", "</Issuer>")) << "\n";
    std::cout << "Серийный номер: "
              << Readable(Between(result, "<Serial>", "</Serial>")) << "\n";
  }
  const std::string extracted =
      Between(result, "<ExtractedFilePath>", "</ExtractedFilePath>");
  if (!extracted.empty())
    std::cout << "Подписанные данные записаны в " << Readable(extracted)
              << "\n";
  if (nested == 1)
    std::cout << "Подписанные данные сами являются подписанным сообщением.\n";
  if (!htmlPath.empty()) {
    const std::string html = Between(result, "<Html><![CDATA[", "]]></Html>");
    std::ofstream out(htmlPath, std::ios::binary | std::ios::trunc);
    out << "<!DOCTYPE html><meta charset=\"utf-8\">" << html;
    out.close();
    if (!out) {
      std::cout << "Не удалось записать отчёт в " << htmlPath << "\n";
      return 1;
    }
    std::cout << "Отчёт о подписи: " << htmlPath << "\n";
  }
  return valid ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  bool list = false;
  bool hash = false;
  std::string text;
  std::string cert;
  bool verify = false;
  bool revocation = false;
  std::string signature;
  std::string data;
  std::string htmlPath;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "-h" || arg == "--help") {
      std::cout << kUsage;
      return 0;
    } else if (arg == "--list") {
      list = true;
    } else if (arg == "--hash" && i + 1 < argc) {
      hash = true;
      text = argv[++i];
    } else if (arg == "--cert" && i + 1 < argc) {
      cert = argv[++i];
    } else if (arg == "--verify" && i + 1 < argc) {
      verify = true;
      signature = argv[++i];
    } else if (arg == "--data" && i + 1 < argc) {
      data = argv[++i];
    } else if (arg == "--html" && i + 1 < argc) {
      htmlPath = argv[++i];
    } else if (arg == "--revocation") {
      revocation = true;
    } else {
      std::cerr << "tavrix-check: unexpected argument \"" << arg
                << "\" (try --help)\n";
      return 2;
    }
  }

  if (verify) return VerifyCommand(signature, data, revocation, htmlPath);
  if (!data.empty() || !htmlPath.empty() || revocation) {
    std::cerr << "tavrix-check: --data, --html and --revocation go with "
                 "--verify (try --help)\n";
    return 2;
  }

  TavrixCtrl ctrl;
  const std::string cades = ctrl.TestCades();
  const std::string xml = LibXmlF::FindDll();
  std::cout << "Версия: " << TavrixCtrl::GetVersion() << "\n";
  std::cout << "CAdES runtime (libcades.so): "
            << (cades == "1" ? std::string("найден, все функции на месте")
                             : cades)
            << "\n";
  std::cout << "libxml2.so: "
            << (xml.empty() ? std::string("найдена, все функции на месте")
                            : xml)
            << "\n";

  int status = 0;
  if (list) {
    TavrixCtrl listing;
    const std::string doc = listing.SelectCertificate("", "");
    std::cout << "Сертификаты (SelectCertificate): " << doc << "\n";
    if (IsError(doc)) status = 1;
  }
  if (hash) {
    TavrixCtrl hasher;
    const std::string value = hasher.Hash(text, cert, 0);
    std::cout << "Hash(\"" << text << "\"): " << value << "\n";
    if (IsError(value)) status = 1;
  }
  return status;
}
