// Signing of local files of any size: the file is fed to a streamed CMS (or
// CAdES) message in blocks, the message writes its encoding to a temporary
// file, and the signature goes back to the page as base64.
//
// The temporary output file loses its name as soon as it is created, so the
// encoded message (which, attached, holds the whole file) exists only behind
// our descriptor and disappears with it on every path, a crash included. The
// input file is removed afterwards only when the plug-in made it itself (a
// download); a page cannot have any other file removed.

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ext/stdio_filebuf.h>
#include <istream>
#include <string>
#include <vector>

#include "CadesF.h"
#include "SignerSetup.h"
#include "TavrixCtrl.h"
#include "TavrixUtils.h"
#include "TempFiles.h"
#include "base64.h"

namespace {

const char kErrorPrefix[] = "<?xml version='1.0' encoding='utf-8'?><Error>";
const DWORD kCertEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
// The provider's own message flag, as the data signing passes it.
const DWORD kMsgProviderFlag = 0x200;

const int kFlagCades = 0x02;
const int kFlagAttached = 0x04;
const int kFlagXml = 0x08;
const int kFlagNoTimeStampCheck = 0x10;

// Windows codes the CryptoAPI headers do not name.
const DWORD kErrorDiskFull = 112;      // ERROR_DISK_FULL
const DWORD kErrorFileTooLarge = 223;  // ERROR_FILE_TOO_LARGE

// What an attached message adds to its content at most: the signer's
// certificate, the signer info and the headers. Generous, so the check
// before signing never lets through a result that turns out too long.
const uint64_t kAttachedOverhead = 1 << 20;

// Read back and encoded in whole lines: 57 bytes make one 76-character line,
// so the pieces join with a line break between them.
const size_t kEncodeChunk = 57 * 16384;

// Length of the base64 text of n bytes in 76-character lines joined by
// CR LF.
uint64_t Base64Length(uint64_t n) {
  const uint64_t chars = (n + 2) / 3 * 4;
  return chars + (chars == 0 ? 0 : (chars - 1) / 76 * 2);
}

std::string Shown(const std::string& text) {
  const size_t kShown = 256;
  if (text.size() <= kShown) return text;
  return text.substr(0, kShown) + "... (" + toString(text.size()) + " chars)";
}

// The encoded message, read back from the temporary file and encoded piece
// by piece into a text of the final size: no second whole copy.
bool ReadBackBase64(int fd, std::string* out) {
  struct stat st;
  if (fstat(fd, &st) != 0) return false;
  const uint64_t size = static_cast<uint64_t>(st.st_size);
  out->clear();
  out->reserve(Base64Length(size));
  std::vector<char> chunk(kEncodeChunk);
  uint64_t offset = 0;
  while (offset < size) {
    const size_t want =
        static_cast<size_t>(std::min<uint64_t>(chunk.size(), size - offset));
    size_t got = 0;
    while (got < want) {
      ssize_t n = pread(fd, chunk.data() + got, want - got,
                        static_cast<off_t>(offset + got));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      got += static_cast<size_t>(n);
    }
    if (offset != 0) *out += "\r\n";
    *out += base64::encoding(chunk.data(), got, true);
    offset += got;
  }
  return true;
}

}  // namespace

BOOL WINAPI StreamOutputCallback(const void* pvArg, BYTE* pbData, DWORD cbData,
                                 BOOL fFinal) {
  TavrixUtils::ODebug("StreamOutputCallback: cbData=" + toString(cbData) +
                      " fFinal=" + toString(fFinal));
  FILE* file = static_cast<FILE*>(const_cast<void*>(pvArg));
  size_t written = 0;
  if (file != nullptr && (pbData != nullptr || cbData == 0)) {
    errno = 0;
    written = cbData == 0 ? 0 : fwrite(pbData, 1, cbData, file);
  }
  if (file != nullptr && written == cbData) {
    TavrixUtils::ODebug("StreamOutputCallback: returned true.");
    return TRUE;
  }
  // The reason (a full file system, say) goes to the update that fails.
  SetLastError(tavrix_ctrl::WinErrorFromErrno(errno, ERROR_WRITE_FAULT));
  TavrixUtils::ODebug("StreamOutputCallback: returned false.");
  return FALSE;
}

void TavrixCtrl::RememberTempFile(const std::string& path, int fd) {
  TempFiles::Remember(path, fd);
}

std::string TavrixCtrl::FileReadEnvelope(const std::string& path, int err) {
  SetLastError(tavrix_ctrl::WinErrorFromErrno(err, ERROR_READ_FAULT));
  return std::string(kErrorPrefix) + "Error open file " +
         toString(GetLastError()) + path + "</Error>";
}

int TavrixCtrl::OpenFileToRead(const std::string& path, std::string* envelope) {
  auto fail = [&](int err) {
    *envelope = FileReadEnvelope(path, err);
    return -1;
  };
  // A zero byte would end the name early and open some other file; no file
  // has such a name.
  if (path.empty() || path.find('\0') != std::string::npos) return fail(ENOENT);
  // O_NONBLOCK keeps a FIFO from holding the call in open(); only regular
  // files are read.
  int flags = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
  if (TempFiles::InNamespace(path)) flags |= O_NOFOLLOW;
  int fd;
  do {
    fd = open(path.c_str(), flags);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return fail(errno);
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    const int err = S_ISDIR(st.st_mode) ? EISDIR : EACCES;
    close(fd);
    return fail(err);
  }
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  return fd;
}

ssize_t TavrixCtrl::ReadBlock(int fd, void* buffer, size_t size) {
  size_t got = 0;
  while (got < size) {
    ssize_t n = read(fd, static_cast<char*>(buffer) + got, size - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  return static_cast<ssize_t>(got);
}

std::string TavrixCtrl::SignFileWeb(std::string path,
                                    const std::string& certName, int flags) {
  TavrixUtils::ODebug("SignFileWeb: Path=" + path);
  std::string result = SignStream(path, certName, flags);
  // Whatever the result, a temporary file of ours (a download) goes; any
  // other file the page named stays where it is.
  TempFiles::RemoveIfOurs(NormalizeFileNamePath(path));
  return result;
}

std::string TavrixCtrl::SignStream(std::string path, std::string certName,
                                   int flags) {
  TavrixUtils::ODebug("SignStream: Cert=" + certName +
                      " Params=" + toString(flags) + " Path=" + path);
  path = NormalizeFileNamePath(path);

  std::string envelope;
  const int inFd = OpenFileToRead(path, &envelope);
  if (inFd < 0) {
    TavrixUtils::ODebug("SignStream:" + envelope);
    return envelope;
  }
  // The stream owns the descriptor from here on.
  __gnu_cxx::stdio_filebuf<char> inBuf(inFd, std::ios::in | std::ios::binary,
                                       1 << 16);
  std::istream input(&inBuf);
  struct stat st;
  if (fstat(inFd, &st) != 0) return FileReadEnvelope(path, errno);
  const uint64_t size = static_cast<uint64_t>(st.st_size);

  // An attached signature carries the file; one the page could not receive
  // as a string is refused before anything is done.
  const bool attached = (flags & kFlagAttached) != 0;
  if (attached && Base64Length(size + kAttachedOverhead) > kMaxResultLength) {
    SetLastError(kErrorFileTooLarge);
    return MyHandleError(
        "Ошибка в SignStream-File too large for an attached signature", false);
  }

  std::string found = CertProvFinder(certName);
  if (found.find(kErrorPrefix) != std::string::npos) return found;

  dwMsgFlags = attached ? 0 : CMSG_DETACHED_FLAG;
  if (flags & kFlagXml) smevMode = true;

  const bool cadesMode = (flags & kFlagCades) != 0;
  if (cadesMode) {
    if (cades == nullptr && CadesF::FindCadesDll() == "1") cades = new CadesF();
    if (cades == nullptr || cades->hCadesDll == nullptr)
      return MyHandleError("Не найдена библиотека cades.dll", false);
    if ((flags & kFlagNoTimeStampCheck) == 0 && tspUrl.empty())
      return MyHandleError("Адрес штампов времени пустой!", false);
  }

  PCCRYPT_OID_INFO hashInfo = nullptr;
  std::string r = FindHashAlgoritmByProvider(hashInfo);
  if (r.find("<Error>") != std::string::npos) return r;

  tavrix_ctrl::SignedEncodeInfo encode(
      pCertContextCurrent, hProvCurrent, dwKeySpec, hashInfo->pszOID,
      offsetof(CMSG_SIGNER_ENCODE_INFO, SignerId));
  CMSG_SIGNED_ENCODE_INFO& signedInfo = encode.info;

  // Created exclusively with mode 0600 from the template, then unnamed at
  // once.
  std::string outName;
  const int outFd = TempFiles::Create(&outName);
  if (outFd < 0) {
    SetLastError(tavrix_ctrl::WinErrorFromErrno(errno, ERROR_ACCESS_DENIED));
    return MyHandleError("Ошибка в SignStream-CreateFile", false);
  }
  FILE* out = nullptr;
  if (!TempFiles::RemoveIfOurs(outName) ||
      (out = fdopen(outFd, "w+b")) == nullptr) {
    SetLastError(tavrix_ctrl::WinErrorFromErrno(errno, ERROR_ACCESS_DENIED));
    std::string err = MyHandleError("Ошибка в SignStream-CreateFile", false);
    close(outFd);
    TempFiles::RemoveIfOurs(outName);
    return err;
  }
  struct OutCloser {
    FILE* file;
    ~OutCloser() { fclose(file); }
  } outCloser{out};
  // Unbuffered: a write that fails (a full file system) fails in the
  // callback, inside the update that caused it, not later unnoticed.
  setvbuf(out, nullptr, _IONBF, 0);
  TavrixUtils::ODebug("SignStream: output " + outName +
                      " size=" + toString(size));

  CMSG_STREAM_INFO streamInfo;
  // A size that does not fit the record streams with indefinite lengths;
  // only a detached message gets here with one (attached ones are refused
  // above long before).
  streamInfo.cbContent = size < CMSG_INDEFINITE_LENGTH
                             ? static_cast<DWORD>(size)
                             : CMSG_INDEFINITE_LENGTH;
  streamInfo.pfnStreamOutput = StreamOutputCallback;
  streamInfo.pvArg = out;

  HCRYPTMSG msg = nullptr;
  CADES_ENCODE_INFO cadesInfo;
  if (cadesMode) {
    std::memset(&cadesInfo, 0, sizeof cadesInfo);
    cadesInfo.dwSize = sizeof cadesInfo;
    cadesInfo.pSignedEncodeInfo = &signedInfo;
    msg = cades->FCadesMsgOpenToEncode(kCertEncoding, dwMsgFlags, &cadesInfo,
                                       nullptr, &streamInfo);
  } else {
    msg = CryptMsgOpenToEncode(kCertEncoding, dwMsgFlags | kMsgProviderFlag,
                               CMSG_SIGNED, &signedInfo, nullptr, &streamInfo);
  }
  if (msg == nullptr)
    return MyHandleError("Ошибка в CryptMsgOpenToEncode", false);

  std::string processed = ProcessMessage(msg, input);
  inBuf.close();
  CryptMsgClose(msg);
  if (processed.find("<Error>") != std::string::npos) return processed;

  std::string signature;
  if (!ReadBackBase64(fileno(out), &signature)) {
    SetLastError(tavrix_ctrl::WinErrorFromErrno(errno, ERROR_READ_FAULT));
    return MyHandleError("Ошибка в SignStream-ReadFile", false);
  }
  if (signature.size() > kMaxResultLength) {
    SetLastError(kErrorFileTooLarge);
    return MyHandleError(
        "Ошибка в SignStream-File too large for an attached signature", false);
  }
  TavrixUtils::ODebug("SignStream: signatureBase64=" + Shown(signature));
  return signature;
}

std::string TavrixCtrl::ProcessMessage(HCRYPTMSG hMsg,
                                       std::istream& dataStream) {
  TavrixUtils::ODebug("ProcessMessage: hMsg=" + toString(hMsg) +
                      " dataStream=" + toString(&dataStream));
  // Sizes are counted in 64 bits; only each block fits the provider's
  // 32-bit length.
  dataStream.seekg(0, std::ios::end);
  const std::streamoff end = dataStream.tellg();
  dataStream.seekg(0, std::ios::beg);
  if (end < 0 || !dataStream) {
    SetLastError(ERROR_READ_FAULT);
    return MyHandleError("Ошибка в ProcessMessage-ReadFile", false);
  }
  const uint64_t size = static_cast<uint64_t>(end);
  if (size == 0) {
    SetLastError(ERROR_HANDLE_EOF);
    return MyHandleError(
        "Ошибка в ProcessMessage-Cannot encode zero length data", false);
  }

  DWORD block = static_cast<DWORD>(std::min<uint64_t>(size, kFileBlockSize));
  BYTE* buffer = static_cast<BYTE*>(malloc(block));
  if (buffer == nullptr) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return MyHandleError("Ошибка в ProcessMessage-malloc(dwSize)", false);
  }
  uint64_t remaining = size;
  while (remaining != 0) {
    TavrixUtils::ODebug("ProcessMessage: dwSize=" + toString(block));
    dataStream.read(reinterpret_cast<char*>(buffer), block);
    if (static_cast<uint64_t>(dataStream.gcount()) != block) {
      // The file shrank or could not be read: signing what is left of the
      // buffer would sign bytes that are not the file's.
      free(buffer);
      SetLastError(ERROR_READ_FAULT);
      return MyHandleError("Ошибка в ProcessMessage-ReadFile", false);
    }
    const BOOL final = remaining <= block ? TRUE : FALSE;
    if (!CryptMsgUpdate(hMsg, buffer, block, final)) {
      std::string err =
          MyHandleError("Ошибка в ProcessMessage-CryptMsgUpdate", false);
      free(buffer);
      return err;
    }
    remaining -= block;
    if (remaining < block) block = static_cast<DWORD>(remaining);
  }
  free(buffer);
  return std::string();
}
