// Prints what the plug-in would find on this machine, and drives the
// controller the way the script object will: the certificate listing and a
// GOST R 34.11-94 hash. Exit status 0 when the version could be reported,
// whatever the probes say: a missing CAdES runtime is a fact about the
// machine, not a failure of the check. A listing or hash that comes back as
// an Error envelope makes the status 1.
#include <LibXmlF.h>
#include <TavrixCtrl.h>

#include <cstring>
#include <iostream>
#include <string>

namespace {

const char kUsage[] =
    "Usage: tavrix-check [--list] [--hash TEXT [--cert NAME]]\n"
    "Prints the plug-in version and whether the CAdES runtime (libcades.so)\n"
    "and libxml2.so can be loaded.\n"
    "  --list         the certificate listing of the personal store, as a\n"
    "                 page receives it\n"
    "  --hash TEXT    the GOST R 34.11-94 hash of TEXT in base64, made with\n"
    "                 the provider of the certificate NAME (a fragment of its\n"
    "                 subject or \"#\" and its serial; default: the first)\n";

bool IsError(const std::string& result) {
  return result.find("<Error>") != std::string::npos;
}

}  // namespace

int main(int argc, char** argv) {
  bool list = false;
  bool hash = false;
  std::string text;
  std::string cert;
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
    } else {
      std::cerr << "tavrix-check: unexpected argument \"" << arg
                << "\" (try --help)\n";
      return 2;
    }
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
