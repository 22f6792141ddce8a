// Russian HTML descriptions of certificates and signers, and the texts of a
// verification's outcome, for the signature report.
#pragma once

#include <capi/capi.h>

#include <string>

// The outcome of one signature check. Every field starts at zero.
typedef struct _CHECKSIGNRESULT {
  // The signature check passed; otherwise dwSignatureError says why.
  bool bSignatureValid = false;
  // A chain was built and dwChainStatus holds its CERT_TRUST_* error bits;
  // otherwise dwChainStatus holds the error code of the failed chain call.
  bool bChainBuilt = false;
  DWORD dwSignatureError = 0;
  DWORD dwFindCertError = 0;
  DWORD dwChainStatus = 0;
} CHECKSIGNRESULT, *PCHECKSIGNRESULT;

// Stateless: every member is static. Texts taken from certificates and
// messages are escaped for HTML where they are inserted, so a hostile name
// can neither add markup nor end the CDATA section the report travels in.
class PrintTemplate {
 public:
  PrintTemplate() = delete;

  // ---- certificate description
  // The certificate fragment; empty for a null pointer.
  static std::string ParseCert(CERT_INFO* pCertInfo);
  // The provider's registered name of an object identifier, or empty.
  static std::string OIDtoStr(std::string oid);
  // Upper-case hexadecimal, last byte first, without separators.
  static std::string DumpMem(unsigned char* pb, unsigned int cb);
  // Upper-case hexadecimal; `spaced` puts one blank between bytes, and a
  // positive `lineLength` starts a new line ("\n") after that many bytes.
  static std::string DumpMem(unsigned char* pb, unsigned int cb, bool reverse,
                             bool spaced, int lineLength);
  // The name as text (X.500 form, most significant part first), or empty.
  static std::string GetCertName(CERT_NAME_BLOB* pName);
  // No decoded form of an attribute value is produced: always empty.
  static std::string GetFormatedObject(char* oid, unsigned char* pb,
                                       unsigned int cb);
  // The certificate's signature algorithm and value, or empty when the
  // encoding does not decode.
  static std::string ParseCertSignInfo(unsigned char* pbCertEncoded,
                                       unsigned int cbCertEncoded);

  // ---- signer report
  // The report for signer 0 of the open message (which stays open). Without
  // signer information the bare skeleton comes back, markers and all.
  static std::string GetHTML(void* hMsg, const CERT_CONTEXT*& pSignerCert);
  // The skeleton with its "<!--Status-->" and "<!--SignerInfo-->" markers.
  static std::string HtmlMain();
  static std::string HtmlSignerInfo(CMSG_SIGNER_INFO* pSignerInfo);
  static std::string HtmlSignerCertInfo(CERT_INFO* pCertInfo);
  static std::string HtmlSignerCertSignInfo(unsigned char* pbCertEncoded,
                                            unsigned int cbCertEncoded);
  static std::string HtmlSignerAtts(CMSG_SIGNER_INFO* pSignerInfo);
  // Time-stamp tokens are not described: always "N/A".
  static std::string ParseTS(unsigned char* pb, unsigned int cb);
  // Revocation values are not described: always empty.
  static std::string ParseRevocationValues(unsigned char* pb, unsigned int cb);

  // ---- verification status texts
  // The HTML status block. May clear bChainBuilt (see GetMsgCheckChainStatus).
  static std::string HtmlStatus(_CHECKSIGNRESULT* pResult);
  static std::string GetMsgCheckSignatureStatus(_CHECKSIGNRESULT* pResult);
  static std::string GetMsgFindCertificateStatus(_CHECKSIGNRESULT* pResult);
  // The sentences of the chain's trust error bits; once it has rendered
  // them it clears bChainBuilt, so that a later HtmlStatus of the same
  // record reports the chain as failed.
  static std::string GetMsgCheckChainStatus(_CHECKSIGNRESULT* pResult);
  // Always empty.
  static std::string GetMsgCheckCadesStatus(_CHECKSIGNRESULT* pResult);
};
