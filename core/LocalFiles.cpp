// Local files on behalf of the page: addresses to paths, whole-file reads as
// base64, writes of results, and temporary files for downloads.
//
// Files are handled with POSIX descriptors rather than streams: a temporary
// file is created exclusively (mode 0600) so that nobody can plant a link at
// its name, and a name that is not a regular file (a FIFO, a device) is
// refused instead of blocking the browser or reading without end.
//
// What protects a file is decided by the folder it really lives in, not by
// how the page spelled the path: the folder is opened first and the file
// opened relative to it. In a folder that everyone may write to and that
// has the sticky bit (/tmp, where our temporary files live) a link at the
// last component is never followed, and only our own file with one name is
// written over; anywhere else a page-given path keeps the usual semantics.

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "SignerSetup.h"
#include "TavrixCtrl.h"
#include "TavrixUtils.h"
#include "base64.h"

namespace {

const char kErrorPrefix[] = "<?xml version='1.0' encoding='utf-8'?><Error>";
const char kTempTemplate[] = "/tmp/npX_XXXXXXXX";

std::string FileEnvelope(const char* what, const std::string& path) {
  return std::string(kErrorPrefix) + what + toString(GetLastError()) + path +
         "</Error>";
}

int OpenAtRetrying(int dirFd, const char* name, int flags, mode_t mode) {
  int fd;
  do {
    fd = openat(dirFd, name, flags, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

// Opens `path` through its real folder. `shared` tells whether that folder
// is a shared, sticky one; there the last component is opened without
// following a link and created readable by us alone.
int OpenInRealFolder(const std::string& path, int flags, mode_t mode,
                     bool* shared) {
  *shared = false;
  const size_t slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? "."
                             : slash == 0               ? "/"
                                                        : path.substr(0, slash);
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  if (name.empty() || name == "." || name == "..") {
    // The path names a folder itself; open it as given (and fail on it).
    return OpenAtRetrying(AT_FDCWD, path.c_str(), flags, mode);
  }
  int dirFd = OpenAtRetrying(AT_FDCWD, folder.c_str(),
                             O_PATH | O_DIRECTORY | O_CLOEXEC, 0);
  if (dirFd < 0) return -1;
  struct stat st;
  if (fstat(dirFd, &st) == 0 && (st.st_mode & S_ISVTX) &&
      (st.st_mode & S_IWOTH)) {
    *shared = true;
    flags |= O_NOFOLLOW;
    mode = 0600;
  }
  int fd = OpenAtRetrying(dirFd, name.c_str(), flags, mode);
  int err = errno;
  close(dirFd);
  errno = err;
  return fd;
}

}  // namespace

std::string TavrixCtrl::NormalizeFileNamePath(std::string path) {
  // The slash after "file://" starts the file's absolute path, so it stays:
  // dropping it too would make the path relative to whatever folder the
  // browser was started from, and open some other file or none.
  //
  // One pass: an occurrence is removed as soon as its last character is
  // copied, and the slash left behind may complete an earlier one, so the
  // result is that of removing the first occurrence again and again, in
  // linear time (a page may pass megabytes of "file:///").
  static const char prefix[] = "file:///";
  const size_t n = sizeof(prefix) - 1;
  std::string out;
  out.reserve(path.size());
  for (char c : path) {
    out.push_back(c);
    while (c == '/' && out.size() >= n &&
           out.compare(out.size() - n, n, prefix) == 0) {
      out.erase(out.size() - n, n - 1);
    }
  }
  TavrixUtils::ODebug("NormalizeFileNamePath: NormalizedPath=" + out);
  return out;
}

std::string TavrixCtrl::LoadFile(const std::string& path) {
  return LoadFile(path, true);
}

std::string TavrixCtrl::LoadFile(std::string path, bool detectBase64) {
  TavrixUtils::ODebug("LoadFile: Path=" + path);
  std::string refused = CheckPagePath(path);
  if (!refused.empty()) return refused;
  path = NormalizeFileNamePath(path);

  auto fail = [&](int err) {
    SetLastError(tavrix_ctrl::WinErrorFromErrno(err, ERROR_READ_FAULT));
    std::string envelope = FileEnvelope("Error open file ", path);
    TavrixUtils::ODebug("LoadFile:" + envelope);
    return envelope;
  };

  // O_NONBLOCK keeps a FIFO from holding the call in open(); it is refused
  // just below anyway.
  bool shared = false;
  int fd =
      OpenInRealFolder(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC, 0, &shared);
  if (fd < 0) return fail(errno);
  struct stat st;
  if (fstat(fd, &st) != 0) {
    int err = errno;
    close(fd);
    return fail(err);
  }
  if (!S_ISREG(st.st_mode)) {
    close(fd);
    return fail(S_ISDIR(st.st_mode) ? EISDIR : EACCES);
  }

  // One spare byte so the content can be read as a terminated text.
  std::vector<char> buffer(static_cast<size_t>(st.st_size) + 1, '\0');
  size_t got = 0;
  const size_t want = static_cast<size_t>(st.st_size);
  while (got < want) {
    ssize_t n = read(fd, buffer.data() + got, want - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      int err = errno;
      close(fd);
      return fail(err);
    }
    if (n == 0) break;  // the file shrank: take what is there
    got += static_cast<size_t>(n);
  }
  NoteInputFile(fd);
  close(fd);
  buffer[got] = '\0';

  if (detectBase64 && base64::IsBase64(buffer.data(), got)) {
    TavrixUtils::ODebug("LoadFile: Base64");
    return std::string(buffer.data(), got);
  }
  TavrixUtils::ODebug("LoadFile: NotBase64");
  return base64::encoding(buffer.data(), got);
}

std::string TavrixCtrl::SaveFile(std::string path, const char* content,
                                 size_t size) {
  // The content itself stays out of the log: it may be a document's.
  TavrixUtils::ODebug("SaveFile:  Path=" + path +
                      " contentSize=" + toString(size));
  std::string refused = CheckPagePath(path);
  if (!refused.empty()) return refused;
  path = NormalizeFileNamePath(path);

  auto fail = [&](const char* what, int err, DWORD fallback) {
    SetLastError(tavrix_ctrl::WinErrorFromErrno(err, fallback));
    std::string envelope = FileEnvelope(what, path);
    TavrixUtils::ODebug("SaveFile: " + envelope);
    return envelope;
  };

  // A page-given path keeps the usual semantics (links are followed, the
  // umask decides the mode) except in a shared sticky folder such as /tmp:
  // there a link is never followed and a file that somebody else owns or
  // that has other names (a hard link planted to one of our own files) is
  // not written. Nor is a file this call read as its input, under whatever
  // name. The checks come before truncation so a refused file is left as it
  // was. O_NONBLOCK keeps a FIFO without a reader from holding the call.
  bool shared = false;
  int fd = OpenInRealFolder(path, O_WRONLY | O_CREAT | O_CLOEXEC | O_NONBLOCK,
                            0666, &shared);
  if (fd < 0)
    return fail("Error open file to write ", errno, ERROR_ACCESS_DENIED);
  struct stat st;
  if (fstat(fd, &st) != 0) {
    int err = errno;
    close(fd);
    return fail("Error open file to write ", err, ERROR_ACCESS_DENIED);
  }
  if (shared &&
      (!S_ISREG(st.st_mode) || st.st_uid != geteuid() || st.st_nlink != 1)) {
    close(fd);
    return fail("Error open file to write ", EACCES, ERROR_ACCESS_DENIED);
  }
  for (const auto& input : inputFiles) {
    if (input.first == static_cast<unsigned long long>(st.st_dev) &&
        input.second == static_cast<unsigned long long>(st.st_ino)) {
      close(fd);
      TavrixUtils::ODebug("SaveFile: refused, the target is this call's input");
      return fail("Error open file to write ", EACCES, ERROR_ACCESS_DENIED);
    }
  }
  if (S_ISREG(st.st_mode) && ftruncate(fd, 0) != 0) {
    int err = errno;
    close(fd);
    return fail("Error open file to write ", err, ERROR_ACCESS_DENIED);
  }
  // Whatever accepted the open (a FIFO with a reader, a device) is written
  // to in the ordinary blocking way.
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);

  size_t done = 0;
  while (content != nullptr && done < size) {
    ssize_t n = write(fd, content + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      int err = n < 0 ? errno : EIO;
      close(fd);
      return fail("Error write to file ", err, ERROR_WRITE_FAULT);
    }
    done += static_cast<size_t>(n);
  }
  // Delayed write errors (a full disk over NFS, say) show up at close.
  if (close(fd) != 0 && errno != EINTR)
    return fail("Error write to file ", errno, ERROR_WRITE_FAULT);
  return path;
}

std::string TavrixCtrl::GetFullTempFileName() {
  // The file is created here, exclusively and readable by us alone, so the
  // name cannot be taken over between now and the caller's write.
  char name[sizeof(kTempTemplate)];
  std::memcpy(name, kTempTemplate, sizeof(kTempTemplate));
  int fd = mkostemp(name, O_CLOEXEC);
  if (fd < 0) {
    SetLastError(tavrix_ctrl::WinErrorFromErrno(errno, ERROR_ACCESS_DENIED));
    TavrixUtils::ODebug("GetFullTempFileName: no name, errno=" +
                        toString(errno));
    return std::string();
  }
  RememberTempFile(name, fd);
  close(fd);
  TavrixUtils::ODebug(std::string("GetFullTempFileName: ") + name);
  return name;
}

std::string TavrixCtrl::CheckPagePath(const std::string& text) {
  for (size_t i = 0; i < text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c < 0x20 || c == 0x7F) {
      TavrixUtils::ODebug("CheckPagePath: refused, character " + toString(c) +
                          " at " + toString(i));
      SetLastError(ERROR_BAD_PATHNAME);
      return MyHandleError("Недопустимый символ в пути или адресе", false);
    }
  }
  return std::string();
}

void TavrixCtrl::NoteInputFile(int fd) {
  struct stat st;
  if (fstat(fd, &st) != 0) return;
  inputFiles.emplace_back(static_cast<unsigned long long>(st.st_dev),
                          static_cast<unsigned long long>(st.st_ino));
}
