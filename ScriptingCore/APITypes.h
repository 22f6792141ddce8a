// Names shared by every part of the script layer: script values, the
// containers that carry them and the pointers to script objects.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace FB {

class variant;
class JSAPI;
class JSObject;
class BrowserHost;

using VariantList = std::vector<variant>;
using VariantMap = std::map<std::string, variant>;
using StringVec = std::vector<std::string>;

using JSAPIPtr = std::shared_ptr<JSAPI>;
using JSAPIWeakPtr = std::weak_ptr<JSAPI>;
using JSObjectPtr = std::shared_ptr<JSObject>;
using BrowserHostPtr = std::shared_ptr<BrowserHost>;

// Security zones: a member is reachable while the object's current zone is
// at least the zone the member was registered under.
using SecurityZone = int;
enum SecurityScope : int {
  SecurityScope_Public = 0,
  SecurityScope_Protected = 2,
  SecurityScope_Private = 4,
  SecurityScope_Local = 6,
};

}  // namespace FB
