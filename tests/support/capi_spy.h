// Watches the provider and libc calls whose results a test has to account
// for: key acquisitions and releases, certificate frees, hashes and messages
// opened and closed, streamed updates, and temporary files made. Calls still
// go to the real provider and libc unless a test asks the spy to stand in
// for them (a poorer provider, a failing update, a stream not hashed for
// real). Linked into the test programs that watch these calls, never into
// the plug-in.
#pragma once

#include <capi/capi.h>

#include <string>
#include <vector>

namespace capi_spy {

struct Update {
  DWORD size;
  BOOL final;
};

struct Calls {
  // CryptAcquireCertificatePrivateKey calls, and the handles of those that
  // succeeded.
  int acquireCalls = 0;
  std::vector<HCRYPTPROV> acquired;
  // Handles passed to CryptReleaseContext, by anyone (the provider
  // included), in call order.
  std::vector<HCRYPTPROV> released;
  // Contexts passed to CertFreeCertificateContext, in call order.
  std::vector<PCCERT_CONTEXT> freed;
  int hashes = 0;       // CryptCreateHash successes
  int hashesFreed = 0;  // CryptDestroyHash calls
  int msgs = 0;         // CryptMsgOpenToEncode/ToDecode successes
  int msgsClosed = 0;   // CryptMsgClose calls
  std::vector<Update> updates;
  // cbContent of every streamed CryptMsgOpenToEncode, in call order.
  std::vector<DWORD> streamed;
  // Every name mkostemp created.
  std::vector<std::string> created;
};

// Forgets every call and turns every stand-in off.
void Reset();
const Calls& Get();
int TimesFreed(PCCERT_CONTEXT ctx);
int TimesReleased(HCRYPTPROV h);

// PP_ENUMALGS ends at once.
void SetNoAlgorithms(bool on);
// CryptFindOIDInfo finds nothing for algorithm ids outside the hash group
// (the lookups that ask any group).
void SetNoAnyGroupAlgIdEntry(bool on);
// Updates after the first and before the final one are counted but not
// passed on (a 4 GiB stream is not hashed for real).
void PassOnlyFirstAndFinal(bool on);
// The n-th update (1-based) fails with ERROR_WRITE_FAULT; 0: none.
void FailUpdate(int n);

}  // namespace capi_spy
