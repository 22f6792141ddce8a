#include "world.h"

#include <memory>
#include <stdexcept>

namespace lookup_pki {

namespace {

const char kEeExt[] =
    "basicConstraints = CA:FALSE\n"
    "subjectKeyIdentifier = hash\n"
    "keyUsage = critical,digitalSignature,nonRepudiation";
const char kCaExt[] =
    "basicConstraints = critical,CA:TRUE\n"
    "keyUsage = critical,keyCertSign,cRLSign,digitalSignature\n"
    "subjectKeyIdentifier = hash";

std::string WithUsages(const std::string& usages) {
  return std::string(kEeExt) + "\nextendedKeyUsage = " + usages;
}

World* Build() {
  World* w = new World;
  Pki& p = w->pki;
  w->ca = p.Make("ca", "/C=RU/O=Lookup Test/CN=Lookup Root CA", -730 * kDay,
                 3650 * kDay, "self", kCaExt);
  w->otherCa = p.Make("otherca", "/C=RU/O=Другой УЦ/CN=Second Test CA",
                      -730 * kDay, 3650 * kDay, "self", kCaExt);
  w->ivanov = p.Make(
      "ivanov", "/C=RU/O=Romashka LLC/CN=Иванов Иван/SN=Иванов/GN=Иван", -kDay,
      300 * kDay, "ca", WithUsages("1.3.6.1.5.5.7.3.2,1.2.643.2.2.34.6"));
  w->petrov = p.Make("petrov", "/C=RU/O=Lutik/CN=Petrov Petr/SN=Petrov/GN=Petr",
                     -kDay, 300 * kDay, "otherca", kEeExt);
  w->soon =
      p.Make("soon", "/C=RU/CN=Soon Expiring", -30 * kDay,
             13 * kDay + 23 * 3600, "ca", WithUsages("1.3.6.1.5.5.7.3.1"));
  w->tenHours = p.Make("tenhours", "/C=RU/CN=Ten Hours Left", -30 * kDay,
                       10 * 3600, "ca", kEeExt);
  w->old = p.Make("old", "/C=RU/CN=Old Three Year", -400 * kDay,
                  -400 * kDay + 3 * 365 * kDay, "ca", kEeExt);
  w->future = p.Make("future", "/C=RU/CN=Starts Tomorrow", kDay, 300 * kDay,
                     "ca", kEeExt);
  w->angle = p.Make("angle", "/C=RU/CN=Угол <Тест> & Ко/SN=Угол/GN=Тест", -kDay,
                    300 * kDay, "ca", kEeExt);
  w->inMy = {&w->ivanov, &w->petrov, &w->soon, &w->tenHours,
             &w->old,    &w->future, &w->angle};
  for (const Cert* c : w->inMy) {
    if (!p.AddToMy(*c)) throw std::runtime_error("cannot add " + c->name);
  }
  if (!p.ImportKey(w->ivanov)) throw std::runtime_error("cannot import key");
  return w;
}

}  // namespace

World& TheWorld() {
  // Made on first use; the provider home is removed at program exit.
  static std::unique_ptr<World> world(Build());
  return *world;
}

}  // namespace lookup_pki
