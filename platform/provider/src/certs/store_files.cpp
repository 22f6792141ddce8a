// The system stores' folders: listing and reading certificate files without
// trusting what else may have been put there, writing them atomically, and
// a cache of parsed files shared by every open.
//
// Every CertOpenStore of a system store lists its folder again, so a file
// added, replaced or removed by another process is seen at the next open.
// Reading and parsing each file again on every open is what made opening
// the user's store cost more than the signature it was opened for; the cache
// keeps each file's parse under the file's identity (device, inode, size,
// modification and change times to the nanosecond, and its path) and uses
// it only while lstat still reports that identity. The store's own writes
// rename a fresh file into place (a new inode); a file rewritten in place
// changes its times. Only the parse is shared: contexts and their properties
// are made per store.
#include "certs/store_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>

#include "base/c_boundary.h"
#include "base/provider_home.h"
#include "text/text.h"

namespace tavrix::provider::certs::files {
namespace {

// No certificate comes anywhere near this size.
constexpr size_t kMaxFile = 16u << 20;

bool SafeStoreName(const std::string& n) {
  if (n.empty() || n.size() > 64) return false;
  for (char ch : n)
    if (!isalnum(static_cast<unsigned char>(ch)) && ch != '_' && ch != '-')
      return false;
  return true;
}

struct Identity {
  dev_t dev = 0;
  ino_t ino = 0;
  off_t size = 0;
  timespec mtime{};
  timespec ctime{};

  explicit Identity(const struct stat& st)
      : dev(st.st_dev),
        ino(st.st_ino),
        size(st.st_size),
        mtime(st.st_mtim),
        ctime(st.st_ctim) {}
  bool operator==(const Identity& o) const {
    return dev == o.dev && ino == o.ino && size == o.size &&
           mtime.tv_sec == o.mtime.tv_sec && mtime.tv_nsec == o.mtime.tv_nsec &&
           ctime.tv_sec == o.ctime.tv_sec && ctime.tv_nsec == o.ctime.tv_nsec;
  }
};

struct Cached {
  Identity id;
  Parsed parsed;
};

// Path -> the parse of the file last seen there. Entries of files no longer
// listed are dropped when their folder is listed again.
class ParseCache {
 public:
  Parsed Find(const std::string& path, const Identity& id) {
    std::lock_guard<std::mutex> g(mu_);
    auto it = entries_.find(path);
    if (it == entries_.end() || !(it->second.id == id)) return nullptr;
    return it->second.parsed;
  }
  void Put(const std::string& path, const Identity& id, Parsed p) {
    std::lock_guard<std::mutex> g(mu_);
    auto it = entries_.find(path);
    if (it != entries_.end())
      it->second = Cached{id, std::move(p)};
    else
      entries_.emplace(path, Cached{id, std::move(p)});
  }
  // Drops the entries under `dir` whose file name is not in `names`
  // (sorted).
  void Prune(const std::string& dir, const std::vector<std::string>& names) {
    const std::string prefix = dir + "/";
    std::lock_guard<std::mutex> g(mu_);
    for (auto it = entries_.lower_bound(prefix);
         it != entries_.end() &&
         it->first.compare(0, prefix.size(), prefix) == 0;) {
      const std::string name = it->first.substr(prefix.size());
      if (std::binary_search(names.begin(), names.end(), name))
        ++it;
      else
        it = entries_.erase(it);
    }
  }

 private:
  std::mutex mu_;
  std::map<std::string, Cached> entries_;
};

// Left to the process's end on purpose: a store may be opened from a static
// destructor.
ParseCache& Cache() {
  static auto* cache = new ParseCache();
  return *cache;
}

// The parse of `dir`/`name`, from the cache while the file is unchanged.
// Null for anything but a readable regular file holding a certificate.
Parsed LoadOne(int dirfd, const std::string& dir, const std::string& name) {
  const std::string path = dir + "/" + name;
  struct stat st;
  // lstat first: a hit needs no open at all, and a link is never followed.
  if (fstatat(dirfd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
      !S_ISREG(st.st_mode))
    return nullptr;
  if (Parsed hit = Cache().Find(path, Identity(st))) return hit;
  int fd = OpenRegularFile(dirfd, name, &st);
  if (fd < 0) return nullptr;
  std::vector<BYTE> data;
  bool ok = ReadOpenFile(fd, st, kMaxFile, &data);
  close(fd);
  if (!ok || data.empty()) return nullptr;
  Parsed p;
  {
    KeepLastError keep;  // a skipped file is not the caller's failure
    p = ParseCertificate(data.data(), static_cast<DWORD>(data.size()), false);
  }
  if (p) Cache().Put(path, Identity(st), p);
  return p;
}

}  // namespace

bool StoreFolder(DWORD flags, const std::string& rawName, std::string* dir) {
  DWORD location = flags & 0x00FF0000;
  if (location != CERT_SYSTEM_STORE_CURRENT_USER)
    return Fail(location ? ERROR_NOT_SUPPORTED : E_INVALIDARG);
  if (flags & CERT_STORE_DELETE_FLAG) return Fail(ERROR_CALL_NOT_IMPLEMENTED);
  if (!SafeStoreName(rawName)) return Fail(E_INVALIDARG);
  std::string name = rawName;
  for (char& ch : name)
    ch = static_cast<char>(toupper(static_cast<unsigned char>(ch)));
  std::string home = ProviderHome();
  if (home.empty()) return Fail(ERROR_FILE_NOT_FOUND);
  *dir = home + "/stores/" + name;
  struct stat st;
  bool exists = stat(dir->c_str(), &st) == 0 && S_ISDIR(st.st_mode);
  if (!exists) {
    if (flags & CERT_STORE_OPEN_EXISTING_FLAG)
      return Fail(ERROR_FILE_NOT_FOUND);
    if (!EnsureDirectory(home, 0700) || !EnsureDirectory(*dir, 0700))
      return Fail(ERROR_ACCESS_DENIED);
  } else if (flags & CERT_STORE_CREATE_NEW_FLAG) {
    return Fail(ERROR_FILE_EXISTS);
  }
  return TRUE;
}

bool Load(const std::string& dir,
          std::vector<std::pair<std::string, Parsed>>* out) {
  DIR* d = opendir(dir.c_str());
  if (!d) return false;
  std::vector<std::string> names;
  while (struct dirent* e = readdir(d)) {
    std::string n = e->d_name;
    if (n.size() > 4 && n[0] != '.' && n.compare(n.size() - 4, 4, ".cer") == 0)
      names.push_back(n);
  }
  std::sort(names.begin(), names.end());
  const int fd = dirfd(d);
  for (const std::string& n : names)
    if (Parsed p = LoadOne(fd, dir, n)) out->emplace_back(n, std::move(p));
  closedir(d);
  Cache().Prune(dir, names);
  return true;
}

std::string FileName(const ParsedCert& c) {
  std::vector<BYTE> h = x509::Sha1(c.encoded().data(), c.encoded().size());
  return text::HexLower(h.data(), h.size()) + ".cer";
}

bool Save(const std::string& dir, const std::string& name,
          const std::vector<BYTE>& data) {
  std::string tmp = dir + "/." + name + ".tmp";
  int fd = CreateFreshFile(tmp, 0644);
  if (fd < 0) return false;
  size_t off = 0;
  while (off < data.size()) {
    ssize_t w = write(fd, data.data() + off, data.size() - off);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) break;
    off += static_cast<size_t>(w);
  }
  bool ok = off == data.size() && fsync(fd) == 0;
  ok = close(fd) == 0 && ok;
  if (ok) ok = rename(tmp.c_str(), (dir + "/" + name).c_str()) == 0;
  if (!ok) unlink(tmp.c_str());
  return ok;
}

bool Remove(const std::string& dir, const std::string& name) {
  std::string path = dir + "/" + name;
  if (unlink(path.c_str()) == 0 || errno == ENOENT) return true;
  return Fail(errno == EACCES || errno == EPERM ? ERROR_ACCESS_DENIED
                                                : CRYPT_E_FILE_ERROR);
}

}  // namespace tavrix::provider::certs::files
