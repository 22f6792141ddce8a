// Local files on behalf of the page: addresses to paths, whole-file reads as
// base64, writes of results, and temporary files for downloads.
//
// Files are handled with POSIX descriptors rather than streams: a temporary
// file is created exclusively (mode 0600) so that nobody can plant a link at
// its name, files in our temporary namespace are never opened through a
// symbolic link, and a name that is not a regular file (a FIFO, a device) is
// refused instead of blocking the browser or reading without end.

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "TavrixCtrl.h"
#include "TavrixUtils.h"
#include "base64.h"

namespace {

const char kErrorPrefix[] = "<?xml version='1.0' encoding='utf-8'?><Error>";
const char kTempTemplate[] = "/tmp/npX_XXXXXXXX";
// Every temporary name we hand out begins so; so do the ".hash" files made
// beside them.
const char kTempPrefix[] = "/tmp/npX_";

// The envelopes carry the provider's last error; a failed file call leaves
// its reason in errno only, so it is translated into the nearest Windows
// code first and the page gets a meaningful number.
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
    default:
      return fallback;
  }
}

std::string FileEnvelope(const char* what, const std::string& path) {
  return std::string(kErrorPrefix) + what + toString(GetLastError()) + path +
         "</Error>";
}

bool InTempNamespace(const std::string& path) {
  return path.compare(0, sizeof(kTempPrefix) - 1, kTempPrefix) == 0;
}

int OpenRetrying(const char* path, int flags, mode_t mode) {
  int fd;
  do {
    fd = open(path, flags, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

}  // namespace

std::string TavrixCtrl::NormalizeFileNamePath(std::string path) {
  // The slash after "file://" starts the file's absolute path, so it stays:
  // dropping it too would make the path relative to whatever folder the
  // browser was started from, and open some other file or none.
  static const std::string prefix = "file:///";
  for (size_t at = path.find(prefix); at != std::string::npos;
       at = path.find(prefix)) {
    path.erase(at, prefix.size() - 1);
  }
  TavrixUtils::ODebug("NormalizeFileNamePath: NormalizedPath=" + path);
  return path;
}

std::string TavrixCtrl::LoadFile(const std::string& path) {
  return LoadFile(path, true);
}

std::string TavrixCtrl::LoadFile(std::string path, bool detectBase64) {
  TavrixUtils::ODebug("LoadFile: Path=" + path);
  path = NormalizeFileNamePath(path);

  auto fail = [&](int err) {
    SetLastError(WinErrorFromErrno(err, ERROR_READ_FAULT));
    std::string envelope = FileEnvelope("Error open file ", path);
    TavrixUtils::ODebug("LoadFile:" + envelope);
    return envelope;
  };

  // O_NONBLOCK keeps a FIFO from holding the call in open(); it is refused
  // just below anyway.
  int fd = OpenRetrying(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC, 0);
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
  TavrixUtils::ODebug("SaveFile:  Path=" + path +
                      " contentSize=" + toString(size) + " content=" +
                      (content != nullptr
                           ? std::string(content, std::min<size_t>(size, 1024))
                           : std::string()) +
                      (size > 1024 ? "..." : ""));
  path = NormalizeFileNamePath(path);

  auto fail = [&](const char* what, int err, DWORD fallback) {
    SetLastError(WinErrorFromErrno(err, fallback));
    std::string envelope = FileEnvelope(what, path);
    TavrixUtils::ODebug("SaveFile: " + envelope);
    return envelope;
  };

  // A page-given path keeps the usual semantics (links are followed, the
  // umask decides the mode). Names in our temporary namespace sit in a
  // directory everyone can write to: never follow a link there and never
  // write into a file that somebody else owns or that has other names (a
  // hard link planted to one of our own files). The checks come before
  // truncation so a refused file is left as it was.
  // O_NONBLOCK keeps a FIFO without a reader from holding the call.
  const bool temp = InTempNamespace(path);
  int flags = O_WRONLY | O_CREAT | O_CLOEXEC | O_NONBLOCK;
  mode_t mode = 0666;
  if (temp) {
    flags |= O_NOFOLLOW;
    mode = 0600;
  }
  int fd = OpenRetrying(path.c_str(), flags, mode);
  if (fd < 0)
    return fail("Error open file to write ", errno, ERROR_ACCESS_DENIED);
  struct stat st;
  if (fstat(fd, &st) != 0) {
    int err = errno;
    close(fd);
    return fail("Error open file to write ", err, ERROR_ACCESS_DENIED);
  }
  if (temp &&
      (!S_ISREG(st.st_mode) || st.st_uid != geteuid() || st.st_nlink != 1)) {
    close(fd);
    return fail("Error open file to write ", EACCES, ERROR_ACCESS_DENIED);
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
    SetLastError(WinErrorFromErrno(errno, ERROR_ACCESS_DENIED));
    TavrixUtils::ODebug("GetFullTempFileName: no name, errno=" +
                        toString(errno));
    return std::string();
  }
  RememberTempFile(name, fd);
  close(fd);
  TavrixUtils::ODebug(std::string("GetFullTempFileName: ") + name);
  return name;
}
