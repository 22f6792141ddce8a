// Prints what the plug-in would find on this machine. Exit status 0 when the
// version could be reported, whatever the probes say: a missing CAdES
// runtime is a fact about the machine, not a failure of the check.
#include <LibXmlF.h>
#include <TavrixCtrl.h>

#include <cstring>
#include <iostream>

int main(int argc, char** argv) {
  if (argc > 1 && (std::strcmp(argv[1], "-h") == 0 ||
                   std::strcmp(argv[1], "--help") == 0)) {
    std::cout << "Usage: tavrix-check\n"
                 "Prints the plug-in version and whether the CAdES runtime "
                 "(libcades.so) and libxml2.so can be loaded.\n";
    return 0;
  }
  if (argc > 1) {
    std::cerr << "tavrix-check: unexpected argument \"" << argv[1]
              << "\" (try --help)\n";
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
  return 0;
}
