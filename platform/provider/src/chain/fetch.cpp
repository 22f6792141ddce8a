#include "chain/fetch.h"

#include <curl/curl.h>

#include <mutex>

#include "x509/certificate.h"

namespace tavrix::provider::chain {

namespace {

struct Sink {
  Bytes* out;
  bool too_large = false;
};

size_t Write(char* p, size_t size, size_t count, void* arg) {
  Sink* s = static_cast<Sink*>(arg);
  size_t n = size * count;
  if (s->out->size() + n > kMaxFetchBytes) {
    s->too_large = true;
    return 0;  // makes curl abort the transfer
  }
  s->out->insert(s->out->end(), p, p + n);
  return n;
}

}  // namespace

FetchResult HttpFetch(const std::string& url, const Bytes* post_body,
                      const char* content_type, unsigned timeout_ms,
                      Bytes* out) {
  out->clear();
  if (!x509::HasHttpScheme(url) ||
      url.find_first_of(" \r\n\t") != std::string::npos)
    return FetchResult::kBadUrl;
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
  CURL* c = curl_easy_init();
  if (!c) return FetchResult::kOffline;
  if (timeout_ms == 0) timeout_ms = 1;
  Sink sink{out};
  curl_slist* headers = nullptr;
  curl_easy_setopt(c, CURLOPT_URL, url.c_str());
  curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(timeout_ms));
  curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, static_cast<long>(timeout_ms));
#if LIBCURL_VERSION_NUM >= 0x075500
  curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(c, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
#else
  curl_easy_setopt(c, CURLOPT_PROTOCOLS, CURLPROTO_HTTP | CURLPROTO_HTTPS);
  curl_easy_setopt(c, CURLOPT_REDIR_PROTOCOLS,
                   CURLPROTO_HTTP | CURLPROTO_HTTPS);
#endif
  curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(c, CURLOPT_MAXREDIRS, 3L);
  curl_easy_setopt(c, CURLOPT_MAXFILESIZE_LARGE,
                   static_cast<curl_off_t>(kMaxFetchBytes));
  curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, Write);
  curl_easy_setopt(c, CURLOPT_WRITEDATA, &sink);
  // Revocation data must come from the server named, never from a proxy
  // picked up from the environment that may not be there.
  curl_easy_setopt(c, CURLOPT_NOPROXY, "*");
  if (post_body) {
    std::string ct = std::string("Content-Type: ") +
                     (content_type ? content_type : "application/octet-stream");
    headers = curl_slist_append(headers, ct.c_str());
    curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(c, CURLOPT_POSTFIELDS, post_body->data());
    curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE_LARGE,
                     static_cast<curl_off_t>(post_body->size()));
  }
  CURLcode rc = curl_easy_perform(c);
  long status = 0;
  curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status);
  curl_easy_cleanup(c);
  curl_slist_free_all(headers);
  if (sink.too_large || rc == CURLE_FILESIZE_EXCEEDED) {
    out->clear();
    return FetchResult::kTooLarge;
  }
  if (rc != CURLE_OK || status != 200) {
    out->clear();
    return FetchResult::kOffline;
  }
  return FetchResult::kOk;
}

}  // namespace tavrix::provider::chain
