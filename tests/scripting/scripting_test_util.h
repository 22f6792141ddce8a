// Doubles and helpers shared by the script layer's tests.
#pragma once

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "JSAPIAuto.h"
#include "JSObject.h"

namespace scripting_test {

// A page function that records what reaches it instead of calling script.
class RecordingFunction : public FB::JSObject {
 public:
  struct Call {
    std::string method;
    FB::VariantList args;
  };
  void InvokeAsync(const std::string& name,
                   const FB::VariantList& args) override {
    std::lock_guard<std::mutex> lock(mutex_);
    calls_.push_back({name, args});
  }
  std::vector<Call> calls() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return calls_;
  }
  // Not used by the dispatch layer on a handler.
  void getMemberNames(FB::StringVec& names) const override { names.clear(); }
  size_t getMemberCount() const override { return 0; }
  bool HasMethod(const std::string&) const override { return false; }
  bool HasMethodObject(const std::string&) const override { return false; }
  FB::JSAPIPtr GetMethodObject(const std::string& n) override {
    throw FB::invalid_member(n);
  }
  bool HasProperty(const std::string&) const override { return false; }
  FB::variant GetProperty(const std::string& n) override {
    throw FB::invalid_member(n);
  }
  void SetProperty(const std::string& n, const FB::variant&) override {
    throw FB::invalid_member(n);
  }
  void RemoveProperty(const std::string&) override {}
  FB::variant Invoke(const std::string& n, const FB::VariantList&) override {
    throw FB::invalid_member(n);
  }
  using FB::JSAPIImpl::GetProperty;
  using FB::JSAPIImpl::HasProperty;
  using FB::JSAPIImpl::RemoveProperty;
  using FB::JSAPIImpl::SetProperty;

 private:
  mutable std::mutex mutex_;
  std::vector<Call> calls_;
};

// The text of the script error `f` raises; "" when it raises none.
template <class F>
std::string ScriptErrorOf(F f) {
  try {
    f();
  } catch (const FB::script_error& e) {
    return e.what();
  }
  return "";
}

}  // namespace scripting_test
