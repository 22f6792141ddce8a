// Where the stand-in provider keeps its per-user state.
#pragma once

#include <capi/wintypes.h>

#include <string>

namespace tavrix_provider {

// The per-user folder: $TAVRIX_PROVIDER_HOME when set and not empty, else
// $XDG_DATA_HOME/tavrix-provider, else $HOME/.local/share/tavrix-provider.
CAPI_EXPORT std::string ProviderHome();

// Creates `path` and its missing parents with the given mode; true when the
// folder exists afterwards.
CAPI_EXPORT bool EnsureDirectory(const std::string& path, unsigned mode);

}  // namespace tavrix_provider
