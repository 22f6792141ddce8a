// Watches the streamed message and the temporary files of file signing. The
// calls still go to the real provider and libc unless a test asks the spy to
// stand in for them.
#pragma once

#include <capi/capi.h>

#include <string>
#include <vector>

namespace filesign_spy {

struct Update {
  DWORD size;
  BOOL final;
};

void Reset();
const std::vector<Update>& Updates();
// cbContent of every streamed CryptMsgOpenToEncode, in call order.
const std::vector<DWORD>& OpenedWithContent();
// Every name mkostemp created.
const std::vector<std::string>& Created();
// Updates after the first and before the final one are counted but not
// passed on (a 4 GiB stream is not hashed for real).
void PassOnlyFirstAndFinal(bool on);
// The n-th update (1-based) fails with ERROR_WRITE_FAULT; 0: none.
void FailUpdate(int n);

}  // namespace filesign_spy
