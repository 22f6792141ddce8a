#include "SignerSetup.h"

#include <errno.h>

#include <cstring>

namespace tavrix_ctrl {

namespace {
// Windows codes the CryptoAPI headers do not name.
const DWORD kErrorDiskFull = 112;      // ERROR_DISK_FULL
const DWORD kErrorFileTooLarge = 223;  // ERROR_FILE_TOO_LARGE
}  // namespace

SignedEncodeInfo::SignedEncodeInfo(PCCERT_CONTEXT signerCert, HCRYPTPROV prov,
                                   DWORD keySpec, LPCSTR hashOid,
                                   DWORD signerInfoSize) {
  std::memset(&signer, 0, sizeof signer);
  signer.cbSize = signerInfoSize;
  signer.pCertInfo = signerCert->pCertInfo;
  signer.hCryptProv = prov;
  signer.dwKeySpec = keySpec;
  signer.HashAlgorithm.pszObjId = const_cast<LPSTR>(hashOid);
  cert.cbData = signerCert->cbCertEncoded;
  cert.pbData = signerCert->pbCertEncoded;
  std::memset(&info, 0, sizeof info);
  info.cbSize = sizeof info;
  info.cSigners = 1;
  info.rgSigners = &signer;
  info.cCertEncoded = 1;
  info.rgCertEncoded = &cert;
}

DWORD WinErrorFromErrno(int err, DWORD fallback) {
  switch (err) {
    case ENOENT:
      return ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
      return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case ELOOP:
    case EISDIR:
    case EROFS:
    case ETXTBSY:
      return ERROR_ACCESS_DENIED;
    case ENOMEM:
      return ERROR_NOT_ENOUGH_MEMORY;
    case ENAMETOOLONG:
      return ERROR_BAD_PATHNAME;
    case EEXIST:
      return ERROR_FILE_EXISTS;
    case ENOSPC:
    case EDQUOT:
      return kErrorDiskFull;
    case EFBIG:
      return kErrorFileTooLarge;
    default:
      return fallback;
  }
}

}  // namespace tavrix_ctrl
