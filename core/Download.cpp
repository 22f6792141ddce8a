// Copies a URL into a fresh temporary file with libcurl's easy interface and
// returns the file's name; the page learns whether the transfer worked only
// when it uses the file.
//
// The transfer runs on the browser's main thread, so it is bounded: a
// connection must be made within kConnectSeconds, and a transfer that moves
// less than kLowSpeedBytes (1 KiB) per second on average over
// kLowSpeedSeconds (30 s) is abandoned: a stalled server, one that answers a
// byte and goes quiet, or one that trickles a byte a second to hold the
// browser. No live connection is that slow for that long. There is no cap on
// the total time, so large files from slow but live servers still arrive. Only
// http and https are spoken, for the request and for any redirect, so a page
// cannot make libcurl read local files or talk other protocols; redirects are
// not followed.

#include <curl/curl.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>

// <sys/socket.h>, which curl.h pulls in, has a CMSG_DATA macro of its own;
// the CryptoAPI constant of that name is not needed here.
#undef CMSG_DATA
#include "TavrixCtrl.h"
#include "TavrixUtils.h"

namespace {

const long kConnectSeconds = 30;
const long kLowSpeedBytes = 1024;
const long kLowSpeedSeconds = 30;

long connectSeconds = kConnectSeconds;
long lowSpeedSeconds = kLowSpeedSeconds;

// The name comes from GetFullTempFileName, which created the file
// exclusively; it is opened again without O_CREAT and without following a
// link, and only if it is still our own empty regular file with one name.
FILE* OpenOwnTempFile(const std::string& name) {
  int fd;
  do {
    fd = open(name.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return nullptr;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid() ||
      st.st_nlink != 1 || st.st_size != 0) {
    close(fd);
    return nullptr;
  }
  FILE* file = fdopen(fd, "wb");
  if (file == nullptr) close(fd);
  return file;
}

}  // namespace

void TavrixCtrl::SetDownloadTimeouts(long connectSec, long stallSec) {
  connectSeconds = connectSec > 0 ? connectSec : kConnectSeconds;
  lowSpeedSeconds = stallSec > 0 ? stallSec : kLowSpeedSeconds;
}

size_t TavrixCtrl::DownloadWriteCallback(void* ptr, size_t size, size_t nmemb,
                                         void* stream) {
  // libcurl counts bytes; a short count (a full disk) ends the transfer.
  return fwrite(ptr, 1, size * nmemb, static_cast<FILE*>(stream));
}

std::string TavrixCtrl::DownloadFile(std::string url) {
  // libcurl would take the address only up to a NUL: the page would get
  // some other resource than the one it named.
  std::string refused = CheckPagePath(url);
  if (!refused.empty()) return refused;
  std::string fileName = GetFullTempFileName();
  TavrixUtils::ODebug("DownloadFile: url=" + TavrixUtils::MaskUrl(url) +
                      " file=" + fileName);
  if (fileName.empty()) return fileName;

  // curl_global_init is not thread-safe and need not be repeated; every
  // call of the plug-in comes on the browser's main thread.
  static const CURLcode globalInit = curl_global_init(CURL_GLOBAL_ALL);
  if (globalInit != CURLE_OK) {
    TavrixUtils::ODebug("DownloadFile: curl_global_init=" +
                        toString(static_cast<int>(globalInit)));
    return fileName;
  }

  TavrixUtils::ODebug("DownloadFile: init the curl session");
  CURL* curl = curl_easy_init();
  if (curl == nullptr) {
    TavrixUtils::ODebug("DownloadFile: curl_easy_init failed");
    return fileName;
  }

  TavrixUtils::ODebug("DownloadFile: set URL to get here");
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  // No protocol trace: it would print the request, credentials included, on
  // the browser's standard error.
  curl_easy_setopt(curl, CURLOPT_VERBOSE, 0L);
  curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 1L);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION,
                   &TavrixCtrl::DownloadWriteCallback);
  curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, connectSeconds);
  curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, kLowSpeedBytes);
  curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, lowSpeedSeconds);
  // No signals in a multi-threaded browser process: name resolution time-outs
  // then rely on libcurl's threaded resolver.
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);

  TavrixUtils::ODebug("DownloadFile: Open the file");
  FILE* file = OpenOwnTempFile(fileName);
  if (file != nullptr) {
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, file);
    TavrixUtils::ODebug("DownloadFile: Get it!!!");
    CURLcode res = curl_easy_perform(curl);
    TavrixUtils::ODebug(
        "DownloadFile: perform=" + toString(static_cast<int>(res)) + " " +
        curl_easy_strerror(res));
    TavrixUtils::ODebug("DownloadFile: Close handle");
    fclose(file);
  } else {
    TavrixUtils::ODebug("DownloadFile: cannot open " + fileName +
                        " errno=" + toString(errno));
  }

  TavrixUtils::ODebug("DownloadFile: cleanup curl stuff");
  curl_easy_cleanup(curl);
  return fileName;
}
