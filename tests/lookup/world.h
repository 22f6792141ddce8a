// The certificates every test of this program works with, made once.
#pragma once

#include "lookup_pki.h"

namespace lookup_pki {

const int64_t kDay = 86400;

struct World {
  Pki pki;
  Cert ca;        // issuer of most certificates
  Cert otherCa;   // a second issuer
  Cert ivanov;    // usages, private key present
  Cert petrov;    // no usages, no private key, issued by otherCa
  Cert soon;      // 13 days 23 hours left
  Cert tenHours;  // 10 hours left
  Cert old;       // issued 400 days ago, valid for three years
  Cert future;    // valid from tomorrow
  Cert angle;     // "<", ">" and "&" in the subject
  std::vector<const Cert*> inMy;  // every certificate of the personal store
};

World& TheWorld();

}  // namespace lookup_pki
