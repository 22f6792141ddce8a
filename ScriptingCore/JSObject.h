// A page-side object held by native code: a function, an array, a DOM
// object. The browser bridge implements it over the browser's objects.
#pragma once

#include <string>

#include "JSAPIImpl.h"

namespace FB {

class JSObject : public JSAPIImpl {
 public:
  // Calls the object's method `name` (an empty name: the object itself, as
  // a function) later, on the browser's main thread. May be called from any
  // thread; this is how events reach the page.
  virtual void InvokeAsync(const std::string& name,
                           const VariantList& args) = 0;
  // Two wrappers of the same page object answer the same identity, so a
  // handler can be removed through another wrapper of it.
  virtual const void* getEventId() const { return this; }
};

}  // namespace FB
