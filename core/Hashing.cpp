// GOST R 34.11-94 hashes of texts, base64 data and files, optionally after
// exclusive XML canonicalisation through the run-time libxml2 binding.

#include <dlfcn.h>
#include <errno.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "LibXmlF.h"
#include "TavrixCtrl.h"
#include "TavrixUtils.h"
#include "base64.h"

namespace {

const char kErrorPrefix[] = "<?xml version='1.0' encoding='utf-8'?><Error>";
const int kFlagBase64 = 0x01;
const int kFlagC14n = 0x02;

// Parser functions beyond the binding's fixed table. A parser context of our
// own lets the canonicalisation refuse external entities and the external
// DTD for this one parse, without touching libxml2's process-wide defaults
// (the browser may be using the library too).
struct ContextApi {
  decltype(&::xmlNewParserCtxt) newCtxt = nullptr;
  decltype(&::xmlCtxtReadMemory) readMemory = nullptr;
  decltype(&::xmlFreeParserCtxt) freeCtxt = nullptr;
};

// Log lines show data texts only in part: a file's content arrives here
// whole (a 100 MB file is 137 MB of base64), and copying it into a log
// record would double the memory the call needs and flood the system log.
std::string LogText(const std::string& text) {
  const size_t kShown = 1024;
  if (text.size() <= kShown) return text;
  return text.substr(0, kShown) + "... (" + toString(text.size()) + " bytes)";
}

// Per-parse state reached through the context's _private pointer.
struct GuardState {
  entityDeclSAXFunc entityDecl = nullptr;
};

// Declarations of external entities are dropped before the parser can
// record them, so no reference can make it fetch a file or a URL. Internal
// entities pass through and are still substituted.
void GuardedEntityDecl(void* ctx, const xmlChar* name, int type,
                       const xmlChar* publicId, const xmlChar* systemId,
                       xmlChar* content) {
  if (type == XML_EXTERNAL_GENERAL_PARSED_ENTITY ||
      type == XML_EXTERNAL_GENERAL_UNPARSED_ENTITY ||
      type == XML_EXTERNAL_PARAMETER_ENTITY) {
    TavrixUtils::ODebug(
        std::string("CanonicalizeXml: external entity ignored: ") +
        reinterpret_cast<const char*>(name));
    return;
  }
  auto* parser = static_cast<xmlParserCtxtPtr>(ctx);
  auto* state = static_cast<GuardState*>(parser->_private);
  if (state != nullptr && state->entityDecl != nullptr)
    state->entityDecl(ctx, name, type, publicId, systemId, content);
}

// The parser's complaints go to our log instead of the browser's standard
// error, where libxml2 would print them by default.
void LogParserError(void*, xmlErrorPtr error) {
  if (error == nullptr || error->message == nullptr) return;
  std::string message = error->message;
  while (!message.empty() && message.back() == '\n') message.pop_back();
  TavrixUtils::ODebug("CanonicalizeXml: parser line " + toString(error->line) +
                      ": " + message);
}

// What the attributes of the text may cost the parser, in one linear pass:
// the most attributes one start tag carries ("=" signs outside quoted
// values), the default values an internal subset declares (quoted texts in
// its declarations: an upper bound, since any element may be given all of
// them) and the number of start tags. Comments, CDATA sections and
// processing instructions are skipped.
struct AttributeLoad {
  size_t mostInOneTag = 0;
  size_t declaredDefaults = 0;
  size_t tags = 0;
};

AttributeLoad MeasureAttributes(const std::string& xml) {
  AttributeLoad load;
  const size_t n = xml.size();
  auto skipPast = [&](size_t from, const char* end) {
    const size_t at = xml.find(end, from);
    return at == std::string::npos ? n : at + std::strlen(end);
  };
  for (size_t i = 0; i < n;) {
    if (xml[i] != '<') {
      ++i;
      continue;
    }
    if (xml.compare(i, 4, "<!--") == 0) {
      i = skipPast(i + 4, "-->");
    } else if (xml.compare(i, 9, "<![CDATA[") == 0) {
      i = skipPast(i + 9, "]]>");
    } else if (xml.compare(i, 2, "<?") == 0) {
      i = skipPast(i + 2, "?>");
    } else {
      // A start tag, an end tag or a declaration: up to its '>' outside
      // quotes (a declaration's internal subset nests in brackets).
      size_t count = 0, depth = 0;
      char quote = 0;
      for (++i; i < n; ++i) {
        const char c = xml[i];
        if (quote != 0) {
          if (c == quote) quote = 0;
        } else if (c == '"' || c == '\'') {
          quote = c;
          if (depth > 0) ++load.declaredDefaults;
        } else if (c == '[') {
          ++depth;
        } else if (c == ']' && depth > 0) {
          --depth;
        } else if (c == '=' && depth == 0) {
          ++count;
        } else if (c == '>' && depth == 0) {
          ++i;
          break;
        }
      }
      load.mostInOneTag = std::max(load.mostInOneTag, count);
      ++load.tags;
    }
  }
  return load;
}

}  // namespace

std::string TavrixCtrl::Hash(const std::string& text,
                             const std::string& certName, int flags) {
  TavrixUtils::ODebug("Hash: tText=" + LogText(text) + " tName=" + certName +
                      " Params=" + toString(flags));
  if (text.empty()) {
    TavrixUtils::ODebug("Hash: tText is empty. exit!");
    return std::string();
  }

  std::string found = CertProvFinder(certName);
  if (found.find(kErrorPrefix) != std::string::npos) return found;

  std::string data;
  if (flags & kFlagBase64) {
    // Decoded in place: file contents arrive here whole.
    data.resize(base64::GetLengthToDecode(text.size()));
    size_t decodedLen = 0;
    base64::decoding(text.data(), text.size(), &data[0], &decodedLen);
    data.resize(decodedLen);
  } else {
    data = text;
  }

  if (flags & kFlagC14n) {
    std::string canonical = CanonicalizeXml(data);
    if (canonical.find(kErrorPrefix) != std::string::npos) return canonical;
    data.swap(canonical);
    TavrixUtils::ODebug("Hash: c14n=" + LogText(data));
  }

  // The provider's length is 32-bit; no page or file gets near that, but a
  // truncated length would hash the wrong bytes.
  if (data.size() > UINT_MAX) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return MyHandleError("Ошибка в GetHashInBase64-CryptHashData", false);
  }
  std::string hashBase64 = GetHashInBase64(
      CALG_GR3411,
      reinterpret_cast<unsigned char*>(data.empty() ? nullptr : &data[0]),
      static_cast<unsigned int>(data.size()));
  TavrixUtils::ODebug("Hash: hashBase64=" + hashBase64);
  return hashBase64;
}

std::string TavrixCtrl::GetHashInBase64(unsigned int algId, unsigned char* data,
                                        unsigned int len) {
  HCRYPTHASH hHash = 0;
  if (!CryptCreateHash(hProvCurrent, algId, 0, 0, &hHash))
    return MyHandleError("Ошибка в GetHashInBase64-CryptCreateHash", false);
  if (!CryptHashData(hHash, data, len, 0)) {
    // The envelope is made before the hash is destroyed so that it carries
    // the failed call's last error.
    std::string err =
        MyHandleError("Ошибка в GetHashInBase64-CryptHashData", false);
    CryptDestroyHash(hHash);
    return err;
  }
  return HashValueInBase64(hHash);
}

std::string TavrixCtrl::HashValueInBase64(HCRYPTHASH hHash) {
  auto failWith = [&](const char* message) {
    std::string err = MyHandleError(message, false);
    CryptDestroyHash(hHash);
    return err;
  };

  DWORD hashLen = 0;
  DWORD lenSize = sizeof(hashLen);
  if (!CryptGetHashParam(hHash, HP_HASHSIZE, reinterpret_cast<BYTE*>(&hashLen),
                         &lenSize, 0))
    return failWith("Ошибка в GetHashInBase64-CryptGetHashParam size");
  TavrixUtils::ODebug("GetHashInBase64: HashLen=" + toString(hashLen));

  auto* value = static_cast<BYTE*>(malloc(hashLen > 0 ? hashLen : 1));
  if (value == nullptr) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return failWith("Ошибка в GetHashInBase64-malloc");
  }
  if (!CryptGetHashParam(hHash, HP_HASHVAL, value, &hashLen, 0)) {
    std::string err =
        failWith("Ошибка в GetHashInBase64-CryptGetHashParam val");
    free(value);
    return err;
  }
  std::string result =
      base64::encoding(reinterpret_cast<const char*>(value), hashLen, false);
  free(value);

  if (!CryptDestroyHash(hHash))
    return MyHandleError("Ошибка в GetHashInBase64-CryptDestroyHash", false);
  return result;
}

std::string TavrixCtrl::HashFile(std::string path, const std::string& certName,
                                 int flags) {
  TavrixUtils::ODebug("HashFile: Cert=" + certName +
                      " Params=" + toString(flags) + " Path=" + path);
  std::string refused = CheckPagePath(path);
  if (!refused.empty()) return refused;
  path = NormalizeFileNamePath(path);

  std::string envelope;
  const int fd = OpenFileToRead(path, &envelope);
  if (fd < 0) return envelope;
  // The ".hash" name may lead back to this very file.
  NoteInputFile(fd);
  struct Closer {
    int fd;
    ~Closer() { close(fd); }
  } closer{fd};
  auto readFailed = [&]() { return FileReadEnvelope(path, errno); };

  // The file goes to the hash in blocks, so memory does not grow with it.
  // Canonicalisation alone needs the whole document; then the bytes are
  // read whole, as they are, and hashed as text.
  std::vector<unsigned char> block(kFileBlockSize);
  ssize_t got = ReadBlock(fd, block.data(), block.size());
  if (got < 0) return readFailed();

  std::string hash;
  if (flags & kFlagC14n) {
    std::string content;
    while (got > 0) {
      content.append(reinterpret_cast<const char*>(block.data()),
                     static_cast<size_t>(got));
      got = ReadBlock(fd, block.data(), block.size());
      if (got < 0) return readFailed();
    }
    hash = Hash(content, certName, flags & ~kFlagBase64);
  } else if (got > 0) {
    std::string found = CertProvFinder(certName);
    if (found.find(kErrorPrefix) != std::string::npos) return found;
    HCRYPTHASH hHash = 0;
    if (!CryptCreateHash(hProvCurrent, CALG_GR3411, 0, 0, &hHash))
      return MyHandleError("Ошибка в GetHashInBase64-CryptCreateHash", false);
    while (got > 0) {
      if (!CryptHashData(hHash, block.data(), static_cast<DWORD>(got), 0)) {
        std::string err =
            MyHandleError("Ошибка в GetHashInBase64-CryptHashData", false);
        CryptDestroyHash(hHash);
        return err;
      }
      got = ReadBlock(fd, block.data(), block.size());
      if (got < 0) {
        const int err = errno;
        CryptDestroyHash(hHash);
        return FileReadEnvelope(path, err);
      }
    }
    hash = HashValueInBase64(hHash);
    TavrixUtils::ODebug("HashFile: hashBase64=" + hash);
  }
  // An empty file gives an empty hash text and an empty hash file, without
  // a certificate lookup.
  if (hash.find("<Error>") != std::string::npos) return hash;

  return SaveFile(path + ".hash", hash.data(), hash.size());
}

const size_t TavrixCtrl::kMaxXmlBytes = 64u << 20;
const size_t TavrixCtrl::kMaxXmlAttributes = 1000;

std::string TavrixCtrl::CanonicalizeXml(std::string xml) {
  TavrixUtils::ODebug("CanonicalizeXml: enter! xmldoc=" + LogText(xml));

  if (libXml == nullptr) {
    std::string notFound = LibXmlF::FindDll();
    if (!notFound.empty()) {
      TavrixUtils::ODebug("CanonicalizeXml: notFinded=" + notFound);
      return MyHandleError(notFound, false);
    }
    libXml = new LibXmlF();
    TavrixUtils::ODebug("CanonicalizeXml: hLibXml=" + toString(libXml->hDll));
  }
  if (libXml->hDll == nullptr) {
    SetLastError(ERROR_NOT_FOUND);
    return MyHandleError(LibXmlF::FindDll(), false);
  }

  ContextApi api;
  api.newCtxt = reinterpret_cast<decltype(api.newCtxt)>(
      dlsym(libXml->hDll, "xmlNewParserCtxt"));
  api.readMemory = reinterpret_cast<decltype(api.readMemory)>(
      dlsym(libXml->hDll, "xmlCtxtReadMemory"));
  api.freeCtxt = reinterpret_cast<decltype(api.freeCtxt)>(
      dlsym(libXml->hDll, "xmlFreeParserCtxt"));
  if (!api.newCtxt || !api.readMemory || !api.freeCtxt) {
    std::string missing;
    if (!api.newCtxt) missing += "xmlNewParserCtxt,";
    if (!api.readMemory) missing += "xmlCtxtReadMemory,";
    if (!api.freeCtxt) missing += "xmlFreeParserCtxt,";
    missing.pop_back();
    SetLastError(ERROR_NOT_FOUND);
    return MyHandleError(
        "Необходимо обновить libxml2.so. Не найдены следующие методы:" +
            missing,
        false);
  }

  // Only initialisation touches the library's global state; the defaults for
  // external DTDs and entity substitution stay as the process has them, and
  // the options below apply to this parse alone. The parser is not cleaned
  // up afterwards: xmlCleanupParser would pull shared state from under any
  // other user of libxml2 in the browser process.
  libXml->FxmlInitParser();

  // libxml2's duplicate-attribute check and the canonical attribute sort
  // grow with the square of one element's attributes (60,000 of them took
  // 25 s on the browser's main thread), so such texts are refused unparsed.
  // Defaults declared once are added to every element they name, so a small
  // text can make millions of attributes: their total is bounded as well.
  const AttributeLoad load = MeasureAttributes(xml);
  const size_t perElement = load.mostInOneTag + load.declaredDefaults;
  const bool tooMany = perElement > kMaxXmlAttributes ||
                       (load.declaredDefaults > 0 &&
                        load.tags > kMaxXmlAttributes * kMaxXmlAttributes /
                                        load.declaredDefaults);
  if (xml.size() > kMaxXmlBytes || tooMany) {
    TavrixUtils::ODebug("CanonicalizeXml: document over the limits, size=" +
                        toString(xml.size()));
    SetLastError(ERROR_INVALID_DATA);
    return MyHandleError("Некорректный xml документ.", false);
  }

  xmlParserCtxtPtr parser = api.newCtxt();
  if (parser == nullptr || parser->sax == nullptr) {
    if (parser != nullptr) api.freeCtxt(parser);
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return MyHandleError("Некорректный xml документ.", false);
  }
  GuardState state;
  state.entityDecl = parser->sax->entityDecl;
  parser->_private = &state;
  parser->sax->entityDecl = GuardedEntityDecl;
  parser->sax->externalSubset = nullptr;  // the external DTD is never read
  parser->sax->serror = LogParserError;

  // Entities substituted and default attributes of the internal subset
  // added, as before; nothing is fetched from the network either.
  const int options = XML_PARSE_NOENT | XML_PARSE_DTDATTR | XML_PARSE_NONET;
  const int length = static_cast<int>(xml.size());
  xmlDocPtr doc =
      api.readMemory(parser, xml.data(), length, nullptr, "UTF-8", options);
  if (doc == nullptr) {
    TavrixUtils::ODebug("CanonicalizeXml: not UTF-8, trying WINDOWS-1251");
    doc = api.readMemory(parser, xml.data(), length, nullptr, "WINDOWS-1251",
                         options);
  }
  parser->_private = nullptr;
  api.freeCtxt(parser);
  if (doc == nullptr) {
    SetLastError(ERROR_INVALID_DATA);
    return MyHandleError("Некорректный xml документ.", false);
  }

  if (libXml->FxmlDocGetRootElement(doc) == nullptr) {
    libXml->FxmlFreeDoc(doc);
    SetLastError(ERROR_INVALID_DATA);
    return MyHandleError("Ошибка CanonicalizeXml - xmlDocGetRootElement.",
                         false);
  }

  xmlChar* out = nullptr;
  int ret = libXml->FxmlC14NDocDumpMemory(doc, nullptr, XML_C14N_EXCLUSIVE_1_0,
                                          nullptr, 0, &out);
  if (ret < 0) {
    if (out != nullptr) libXml->FxmlFree(out);
    libXml->FxmlFreeDoc(doc);
    SetLastError(ERROR_INVALID_DATA);
    return MyHandleError("Ошибка CanonicalizeXml - xmlC14NDocDumpMemory.",
                         false);
  }
  std::string result;
  if (out != nullptr) {
    result.assign(reinterpret_cast<const char*>(out), static_cast<size_t>(ret));
    libXml->FxmlFree(out);
  }
  TavrixUtils::ODebug("CanonicalizeXml: canonicalize. ret=" + toString(ret));
  libXml->FxmlFreeDoc(doc);
  TavrixUtils::ODebug("CanonicalizeXml: result=" + LogText(result));
  return result;
}
