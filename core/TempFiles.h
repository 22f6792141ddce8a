// Temporary files this plug-in made itself. A page names files by path, and
// the plug-in removes the files it downloaded once they are signed; it must
// never remove anything else. So every temporary file is recorded when it is
// created, by name and by identity (device and inode), and removal checks
// that the name still holds that very file.
#pragma once

#include <string>

namespace TempFiles {

// The fixed template of every temporary name.
extern const char kTemplate[];

// True for names in the temporary namespace: they sit in a folder everyone
// can write to, so links there are never followed.
bool InNamespace(const std::string& path);

// Records the file just created at `path`, open as `fd`, as one of ours.
void Remember(const std::string& path, int fd);

// Creates a fresh temporary file from the template: exclusively, mode 0600,
// close-on-exec, and records it. Returns the descriptor and sets *name, or
// returns -1 with errno set.
int Create(std::string* name);

// True when `path` is a recorded name that still holds our file: the same
// device and inode, a regular file owned by us with one link, reached
// without following a link.
bool IsOurs(const std::string& path);

// Removes `path` when IsOurs(path); every other file stays where it is.
// Returns true when the file was removed. The name is forgotten once it no
// longer holds our file.
bool RemoveIfOurs(const std::string& path);

}  // namespace TempFiles
