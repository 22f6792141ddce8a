// The per-user system stores on disk: one DER file per certificate under
// <provider home>/stores/<NAME>/, named after the certificate's SHA-1.
#pragma once

#include <capi/capi.h>

#include <string>
#include <utility>
#include <vector>

#include "certs/certs_internal.h"

namespace tavrix::provider::certs::files {

// The folder of the system store `name` for CertOpenStore's `flags`,
// created unless the flags ask for an existing store; false with the last
// error set otherwise.
bool StoreFolder(DWORD flags, const std::string& name, std::string* dir);

// The certificates of a folder in file name order, each with its file name.
// A damaged, planted (link, FIFO, device) or unreadable file is skipped so
// that it cannot hide the others; false when the folder cannot be listed.
// An unchanged file is parsed once per process (see the .cpp).
bool Load(const std::string& dir,
          std::vector<std::pair<std::string, Parsed>>* out);

// The file name under which `c` is kept.
std::string FileName(const ParsedCert& c);
// Writes `data` as `name` in `dir` atomically (a fresh temporary renamed
// into place); false on any failure, with nothing half written left behind.
bool Save(const std::string& dir, const std::string& name,
          const std::vector<BYTE>& data);
// Removes `name` from `dir`; a file already gone counts as removed. False
// with the last error set otherwise.
bool Remove(const std::string& dir, const std::string& name);

}  // namespace tavrix::provider::certs::files
