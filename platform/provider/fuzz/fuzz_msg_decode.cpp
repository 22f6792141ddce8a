// Feeds arbitrary bytes to the signed-message decoder: whole, in pieces
// whose size the input chooses, and streamed; then reads back whatever a
// caller would. Any crash, over-read or leak is a finding.
#include <capi/capi.h>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace {

constexpr DWORD kEnc = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

BOOL WINAPI Sink(const void*, BYTE*, DWORD, BOOL) { return TRUE; }

void ReadBack(HCRYPTMSG m) {
  static const DWORD kParams[] = {CMSG_CONTENT_PARAM,
                                  CMSG_BARE_CONTENT_PARAM,
                                  CMSG_ENCODED_MESSAGE,
                                  CMSG_SIGNER_COUNT_PARAM,
                                  CMSG_CERT_COUNT_PARAM,
                                  CMSG_SIGNER_INFO_PARAM,
                                  CMSG_CMS_SIGNER_INFO_PARAM,
                                  CMSG_SIGNER_CERT_INFO_PARAM,
                                  CMSG_CERT_PARAM,
                                  CMSG_SIGNER_AUTH_ATTR_PARAM,
                                  CMSG_SIGNER_UNAUTH_ATTR_PARAM,
                                  CMSG_INNER_CONTENT_TYPE_PARAM};
  for (DWORD p : kParams) {
    for (DWORD i = 0; i < 2; ++i) {
      DWORD n = 0;
      if (!CryptMsgGetParam(m, p, i, nullptr, &n)) continue;
      std::vector<uint64_t> buf(n / 8 + 1);
      CryptMsgGetParam(m, p, i, buf.data(), &n);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const size_t piece = 1 + data[0] % 64;
  ++data;
  --size;
  for (int mode = 0; mode < 3; ++mode) {
    CMSG_STREAM_INFO stream{CMSG_INDEFINITE_LENGTH, &Sink, nullptr};
    HCRYPTMSG m =
        CryptMsgOpenToDecode(kEnc, mode == 2 ? CMSG_DETACHED_FLAG : 0, 0, 0,
                             nullptr, mode == 1 ? &stream : nullptr);
    if (!m) return 0;
    bool ok = true;
    if (mode == 0) {
      ok = CryptMsgUpdate(m, data, static_cast<DWORD>(size), TRUE);
    } else {
      for (size_t at = 0; ok && at < size; at += piece) {
        size_t n = size - at < piece ? size - at : piece;
        ok =
            CryptMsgUpdate(m, data + at, static_cast<DWORD>(n), at + n == size);
      }
    }
    if (ok) ReadBack(m);
    CryptMsgClose(m);
  }
  return 0;
}
