// What the CryptoAPI calls need from the key store beyond its public face.
#pragma once

#include <capi/capi.h>

#include <cstdint>
#include <string>
#include <vector>

namespace tavrix::provider {

// The file of a container; empty for a name no container may have.
std::string ContainerPath(const std::string& container);

// Reads a container's file. False with the last error NTE_BAD_KEYSET_PARAM
// (bad name), NTE_BAD_KEYSET (missing or unreadable) or NTE_KEYSET_ENTRY_BAD
// (not a plausible key file).
bool ReadContainer(const std::string& container, std::vector<uint8_t>* der);

}  // namespace tavrix::provider
