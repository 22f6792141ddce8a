// Where the stand-in provider keeps its per-user state, and how its files
// there are read.
#pragma once

#include <capi/wintypes.h>
#include <sys/stat.h>

#include <cstdint>
#include <string>
#include <vector>

namespace tavrix::provider {

// The per-user folder: $TAVRIX_PROVIDER_HOME when set and not empty, else
// $XDG_DATA_HOME/tavrix-provider, else <home>/.local/share/tavrix-provider
// with <home> from $HOME or, when that is unset, the password database.
CAPI_EXPORT std::string ProviderHome();

// Creates `path` and its missing parents with the given mode; true when the
// folder exists afterwards.
CAPI_EXPORT bool EnsureDirectory(const std::string& path, unsigned mode);

// Opens `name` (relative to `dirfd`, or AT_FDCWD) for reading only when it is
// a regular file, without following a final symbolic link and without
// blocking: anyone who can write to the user's folder could plant a FIFO
// there and hang every caller. -1 with errno set otherwise (EINVAL for a
// file that is not regular); `st` receives the file's status.
CAPI_EXPORT int OpenRegularFile(int dirfd, const std::string& name,
                                struct stat* st);

// Reads all of an open file whose size `st` gives; false when that is more
// than `max` bytes or the file changed size while read.
CAPI_EXPORT bool ReadOpenFile(int fd, const struct stat& st, size_t max,
                              std::vector<uint8_t>* out);

// Both of the above for a path; empty files are read as empty.
CAPI_EXPORT bool ReadRegularFile(const std::string& path, size_t max,
                                 std::vector<uint8_t>* out);

// Creates `path` for writing, replacing a leftover of the same name but never
// writing through a link or into a FIFO placed there. -1 on failure.
CAPI_EXPORT int CreateFreshFile(const std::string& path, unsigned mode);

// One warning line to the system log, under the host's log identity.
CAPI_EXPORT void LogWarning(const std::string& text);

}  // namespace tavrix::provider
