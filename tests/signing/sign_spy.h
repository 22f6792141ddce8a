// Counts the provider calls whose handles a signing call must give back,
// and can make the provider look poorer than it is: no hash algorithms in
// its list, or no registered name for an algorithm. Calls still go to the
// real provider.
#pragma once

#include <capi/capi.h>

#include <vector>

namespace sign_spy {

struct Counts {
  // Handles from CryptAcquireCertificatePrivateKey, and handles passed to
  // CryptReleaseContext (by anyone, the provider included).
  std::vector<HCRYPTPROV> acquired, released;
  int hashes = 0;       // CryptCreateHash successes
  int hashesFreed = 0;  // CryptDestroyHash calls
  int msgs = 0;         // CryptMsgOpenToEncode/ToDecode successes
  int msgsClosed = 0;   // CryptMsgClose calls
};

void Reset();
const Counts& Get();
// How often `h` went to CryptReleaseContext.
int TimesReleased(HCRYPTPROV h);

// PP_ENUMALGS ends at once.
void SetNoAlgorithms(bool on);
// CryptFindOIDInfo finds nothing for algorithm ids outside the hash group
// (the lookups that ask any group).
void SetNoAnyGroupAlgIdEntry(bool on);

}  // namespace sign_spy
