#include "TempFiles.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>

#include "TavrixUtils.h"

namespace TempFiles {

const char kTemplate[] = "/tmp/npX_XXXXXXXX";

namespace {

// Device and inode alone do not tell a file from one made later at the
// same name: a freed inode number is soon given out again. The birth time
// does, where the file system keeps one.
struct Identity {
  dev_t dev;
  ino_t ino;
  bool hasBirth;
  struct statx_timestamp birth;
};

bool BirthOf(int fd, struct statx_timestamp* birth) {
  struct statx sx;
  if (statx(fd, "", AT_EMPTY_PATH, STATX_BTIME, &sx) != 0 ||
      (sx.stx_mask & STATX_BTIME) == 0)
    return false;
  *birth = sx.stx_btime;
  return true;
}

// Pruned of names that no longer hold our files once it grows past this,
// so a page that downloads without ever signing cannot grow it without end.
const size_t kPruneAbove = 4096;

std::mutex& Lock() {
  static std::mutex m;
  return m;
}
std::map<std::string, Identity>& Records() {
  static std::map<std::string, Identity> records;
  return records;
}

class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

enum class Check { kOurs, kGone, kOther };

// Opens the folder and, inside it, the name without following a link, and
// compares what is there with the record. `dirFd` receives the folder so
// the caller can remove the name relative to the same folder.
Check Inspect(const std::string& path, const Identity& id, int* dirFd) {
  *dirFd = -1;
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos || slash + 1 >= path.size())
    return Check::kOther;
  const std::string folder = slash == 0 ? "/" : path.substr(0, slash);
  const std::string base = path.substr(slash + 1);
  int dir = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0) return errno == ENOENT ? Check::kGone : Check::kOther;
  int fd = openat(dir, base.c_str(),
                  O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    const int err = errno;
    close(dir);
    // ELOOP: a link now stands at the name; our file is gone.
    return err == ENOENT || err == ELOOP ? Check::kGone : Check::kOther;
  }
  Fd file(fd);
  struct stat st;
  if (fstat(fd, &st) != 0) {
    close(dir);
    return Check::kOther;
  }
  struct statx_timestamp birth;
  const bool sameBirth =
      !id.hasBirth || (BirthOf(fd, &birth) && birth.tv_sec == id.birth.tv_sec &&
                       birth.tv_nsec == id.birth.tv_nsec);
  if (st.st_dev != id.dev || st.st_ino != id.ino || !sameBirth) {
    close(dir);
    return Check::kGone;
  }
  if (!S_ISREG(st.st_mode) || st.st_uid != geteuid() || st.st_nlink != 1) {
    close(dir);
    return Check::kOther;
  }
  *dirFd = dir;
  return Check::kOurs;
}

void PruneLocked() {
  auto& records = Records();
  for (auto it = records.begin(); it != records.end();) {
    int dir = -1;
    Check c = Inspect(it->first, it->second, &dir);
    if (dir >= 0) close(dir);
    it = c == Check::kGone ? records.erase(it) : std::next(it);
  }
}

}  // namespace

bool InNamespace(const std::string& path) {
  // The template without the trailing X's that mkostemp fills in.
  static const std::string prefix = [] {
    const std::string t = kTemplate;
    return t.substr(0, t.find_last_not_of('X') + 1);
  }();
  return path.compare(0, prefix.size(), prefix) == 0;
}

void Remember(const std::string& path, int fd) {
  struct stat st;
  if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return;
  std::lock_guard<std::mutex> guard(Lock());
  if (Records().size() >= kPruneAbove) PruneLocked();
  Identity id{st.st_dev, st.st_ino, false, {}};
  id.hasBirth = BirthOf(fd, &id.birth);
  Records()[path] = id;
}

int Create(std::string* name) {
  char buffer[sizeof(kTemplate)];
  std::memcpy(buffer, kTemplate, sizeof(kTemplate));
  // mkostemp creates with O_EXCL and mode 0600: a name somebody planted (a
  // link, a file) is never opened, another name is tried instead.
  const int fd = mkostemp(buffer, O_CLOEXEC);
  if (fd < 0) return -1;
  Remember(buffer, fd);
  *name = buffer;
  return fd;
}

bool IsOurs(const std::string& path) {
  std::lock_guard<std::mutex> guard(Lock());
  auto it = Records().find(path);
  if (it == Records().end()) return false;
  int dir = -1;
  const Check c = Inspect(path, it->second, &dir);
  if (dir >= 0) close(dir);
  if (c == Check::kGone) Records().erase(it);
  return c == Check::kOurs;
}

bool RemoveIfOurs(const std::string& path) {
  std::lock_guard<std::mutex> guard(Lock());
  auto it = Records().find(path);
  if (it == Records().end()) {
    TavrixUtils::ODebug("TempFiles: not ours, left in place: " + path);
    return false;
  }
  int dir = -1;
  const Check c = Inspect(path, it->second, &dir);
  bool removed = false;
  if (c == Check::kOurs) {
    // The folder is the one the check looked in. In the sticky /tmp nobody
    // else can rename or remove our file between the check and here.
    const std::string base = path.substr(path.rfind('/') + 1);
    removed = unlinkat(dir, base.c_str(), 0) == 0;
  }
  if (dir >= 0) close(dir);
  if (removed || c == Check::kGone) Records().erase(it);
  TavrixUtils::ODebug(std::string("TempFiles: ") +
                      (removed ? "removed " : "left in place ") + path);
  return removed;
}

}  // namespace TempFiles
