// The crypto controller: one object does the work of one script call and
// returns one string (a result, or an Error envelope).
#pragma once

#include <capi/capi.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <iosfwd>
#include <string>
#include <utility>
#include <vector>

class TmpCertArhive;
class CadesF;
class LibXmlF;

// The stream callback of file signing: writes the encoded message to the
// temporary file (a FILE*) that pvArg points at.
BOOL WINAPI StreamOutputCallback(const void* pvArg, BYTE* pbData, DWORD cbData,
                                 BOOL fFinal);

class TavrixCtrl {
 public:
  TavrixCtrl();
  TavrixCtrl(TmpCertArhive& certArch, std::string params);
  virtual ~TavrixCtrl();

  TavrixCtrl(const TavrixCtrl&) = delete;
  TavrixCtrl& operator=(const TavrixCtrl&) = delete;

  // ---- frame
  std::string FindParam(std::string params, const std::string& paramName) const;
  std::string MyHandleError(std::string message, bool isOnlyText);
  static std::string GetVersion();
  std::string TestCades() const;

  // ---- certificate lookup by name and serial
  std::string CertProvFinder(const std::string& certName);
  PCCERT_CONTEXT FindCertificate(void* hStoreHandle, std::string name,
                                 const CERT_CONTEXT* pSignerCert);
  PCCERT_CONTEXT SelectCertContextOnlyBySerialNum(
      void* hStoreHandle, const std::string& serialText);
  bool IsValidBySerials(const CERT_CONTEXT* pCert, const std::string& serials,
                        const std::string& separator);
  void ConvertSerialNumToBytes(unsigned char* pbSN, unsigned int* cbSN,
                               const std::string& text, int first, int last);

  // ---- certificate selection listing
  std::string SelectCertificate(std::string Name, std::string Params);
  std::string GetXmlFromCertificate(PCCERT_CONTEXT cert, int SecretKeyValidity,
                                    int NumDaysWarnBeforeCertEnd);
  bool IsValidByFilter(std::string whatValid, std::string whereValid,
                       const std::string& separator);
  bool IsValidByFilter(std::string whatValid, std::string whereValid,
                       const std::string& separator, bool noCaseFolding);
  std::string GetNameFromCert(CERT_NAME_BLOB blob, bool isNameX500);
  std::string GetSurAndGivenNamesFromCert(PCCERT_CONTEXT cert);
  std::string GetSubjectSN(PCCERT_CONTEXT cert);
  std::string GetFieldValueFromCertNameString(const std::string& nameString,
                                              const std::string& field);
  // Source of "now" for the expiry arithmetic; time(NULL) unless a test
  // pins the clock.
  static std::time_t (*CurrentTime)();

  // ---- local files
  std::string NormalizeFileNamePath(std::string path);
  std::string LoadFile(const std::string& path);
  std::string LoadFile(std::string path, bool detectBase64);
  std::string SaveFile(std::string path, const char* content, size_t size);
  std::string GetFullTempFileName();

  // ---- remote download
  std::string DownloadFile(std::string url);
  static size_t DownloadWriteCallback(void* ptr, size_t size, size_t nmemb,
                                      void* stream);
  // Connection time-out and stall time of DownloadFile, in seconds, for the
  // whole process; 0 or less restores the built-in 30 s. Tests shorten them.
  static void SetDownloadTimeouts(long connectSec, long stallSec);

  // ---- hashing and XML canonicalisation
  std::string Hash(const std::string& text, const std::string& certName,
                   int flags);
  std::string HashFile(std::string path, const std::string& certName,
                       int flags);
  std::string GetHashInBase64(unsigned int algId, unsigned char* data,
                              unsigned int len);
  std::string CanonicalizeXml(std::string xml);
  // Largest XML text, and most attributes one element may end up with
  // (its own plus the defaults an internal subset may give it), that
  // CanonicalizeXml accepts: libxml2's parse and canonical sort grow faster
  // than linearly in the attributes of one element.
  static const size_t kMaxXmlBytes;
  static const size_t kMaxXmlAttributes;

  // ---- page-given paths and addresses
  // Empty when a text from the page may be used as a path or a URL;
  // otherwise the Error envelope refusing it. A NUL would cut the name short
  // at the system call (so "/x\0" opens "/x"), and other control characters
  // have no place in a name either.
  std::string CheckPagePath(const std::string& text);
  // Records an open file as this call's input: SaveFile then refuses to
  // write over it, whatever name leads there. LoadFile records its files;
  // readers of their own call this with their descriptor.
  void NoteInputFile(int fd);

  // ---- data signing
  std::string Sign(const std::string& text, const std::string& certName,
                   int flags);
  std::string SignCrypt(const std::vector<unsigned char>& data);
  std::string SignHash(const std::vector<unsigned char>& hash);
  std::string SignDigSig(const std::vector<unsigned char>& data);
  // On success oidInfo is the provider's first hash algorithm with a
  // registered object identifier; a provider that lists none is an error.
  std::string FindHashAlgoritmByProvider(PCCRYPT_OID_INFO& oidInfo);
  std::string SignCades(const std::vector<unsigned char>& data,
                        bool withTimeStamp);

  // ---- file and stream signing
  std::string SignFileWeb(std::string path, const std::string& certName,
                          int flags);
  std::string SignStream(std::string path, std::string certName, int flags);
  std::string ProcessMessage(HCRYPTMSG hMsg, std::istream& dataStream);
  // Blocks fed to the message and to file hashes, and the largest result a
  // page can receive as one string (the browser's string length is 32-bit).
  static constexpr size_t kFileBlockSize = 0x100000;
  static constexpr uint64_t kMaxResultLength = 0xFFFFFFFEull;
  // Opens a local file for reading in blocks: a regular file only, never
  // through a link in the temporary namespace. Returns the descriptor, or
  // -1 with the "Error open file" envelope in *envelope.
  int OpenFileToRead(const std::string& path, std::string* envelope);
  // That envelope for the errno of a failed open or read.
  std::string FileReadEnvelope(const std::string& path, int err);
  // Reads until `size` bytes are in or the file ends; the count, or -1.
  static ssize_t ReadBlock(int fd, void* buffer, size_t size);
  // Marks a temporary file just created as the plug-in's own, so that
  // SignFileWeb may remove it after signing.
  static void RememberTempFile(const std::string& path, int fd);
  // The value of a finished hash in base64 on one line; destroys the hash.
  std::string HashValueInBase64(HCRYPTHASH hHash);

  // Members, in the order the controller's design fixes.
  std::string contentBase64;
  std::string signerCertXml;
  TmpCertArhive* certArch = nullptr;
  HCRYPTPROV hProvCurrent = 0;
  PCCERT_CONTEXT pCertContextCurrent = nullptr;
  DWORD dwKeySpec = 0;
  DWORD dwMsgFlags = CMSG_DETACHED_FLAG;
  HCRYPTMSG hMsg = nullptr;
  std::vector<unsigned char> signatureBytes;
  std::vector<unsigned char> dataBytes;
  bool checkRevocation = false;
  std::string tspUrl;
  CadesF* cades = nullptr;
  bool smevMode = false;
  LibXmlF* libXml = nullptr;
  const char* signText = nullptr;
  const char* signCertName = nullptr;

 private:
  // Frees what the certificate lookup acquired for this controller and the
  // cache does not own; called when the controller ends.
  void ReleaseLookup();
  PCCERT_CONTEXT lookupOwnedCert = nullptr;
  HCRYPTPROV lookupOwnedProv = 0;

  // Device and inode of the files this call read (NoteInputFile).
  std::vector<std::pair<unsigned long long, unsigned long long>> inputFiles;
};
