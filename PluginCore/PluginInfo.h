// The identity a plug-in library gives the browser; defined by the plug-in.
#pragma once

namespace FB {
const char* pluginName();             // for every MIME type
const char* pluginMimeDescription();  // "type:extensions:description;..."
const char* pluginVersion();
}  // namespace FB
