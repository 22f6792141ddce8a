#include "TavrixAPI.h"

#include <exception>

#include "TavrixCtrl.h"
#include "TmpCertArhive.h"

std::atomic<int32_t> TavrixAPI::echoCount{0};

namespace {

// The short Error envelope: an exception escaped the controller, so there is
// no provider error to report, only the exception's own text.
std::string ShortEnvelope(const std::exception& e) {
  return std::string("<?xml version='1.0' encoding='utf-8'?><Error>") +
         e.what() + "</Error>";
}

// Runs one operation on a fresh controller, which is destroyed on every
// path; a standard exception becomes the short Error envelope.
template <class Make, class Op>
std::string Guarded(Make make, Op op) {
  try {
    std::unique_ptr<TavrixCtrl> ctrl = make();
    return op(*ctrl);
  } catch (const std::exception& e) {
    return ShortEnvelope(e);
  }
}

std::unique_ptr<TavrixCtrl> DefaultCtrl() {
  return std::make_unique<TavrixCtrl>();
}

}  // namespace

TavrixAPI::TavrixAPI(const std::shared_ptr<Tavrix>& plugin,
                     const FB::BrowserHostPtr& host)
    : FB::JSAPIAuto("<JSAPI-Auto Javascript Object>"),
      plugin(plugin),
      host(host) {
  using FB::make_method;
  using FB::make_property;
  registerMethod("echo", make_method(this, &TavrixAPI::echo));
  registerMethod("testEvent", make_method(this, &TavrixAPI::testEvent));
  registerMethod("Sign", make_method(this, &TavrixAPI::Sign));
  registerMethod("SignFileWeb", make_method(this, &TavrixAPI::SignFileWeb));
  registerMethod("SelectCertificate",
                 make_method(this, &TavrixAPI::SelectCertificate));
  registerMethod("GetVersion", make_method(this, &TavrixAPI::GetVersion));
  registerMethod("DownloadFile", make_method(this, &TavrixAPI::DownloadFile));
  registerMethod("TestCades", make_method(this, &TavrixAPI::TestCades));
  registerMethod("DeleteArchive", make_method(this, &TavrixAPI::DeleteArchive));
  registerMethod("Hash", make_method(this, &TavrixAPI::Hash));
  registerMethod("HashFile", make_method(this, &TavrixAPI::HashFile));
  registerProperty("testString", make_property(this, &TavrixAPI::get_testString,
                                               &TavrixAPI::set_testString));
  registerProperty("version", make_property(this, &TavrixAPI::get_version));
}

TavrixAPI::~TavrixAPI() = default;

std::shared_ptr<Tavrix> TavrixAPI::getPlugin() {
  std::shared_ptr<Tavrix> p = plugin.lock();
  if (!p) throw FB::script_error("The plugin is invalid");
  return p;
}

FB::variant TavrixAPI::echo(const FB::variant& msg) {
  int32_t n = echoCount.fetch_add(1);
  FireEvent("onecho", FB::VariantList{
                          FB::variant("So far, you clicked this many times: "),
                          FB::variant(n)});
  return msg;
}

void TavrixAPI::testEvent() { FireEvent("ontest", FB::VariantList()); }

void TavrixAPI::CreateCertArchive() {
  if (!archive) archive = std::make_unique<TmpCertArhive>();
}

std::string TavrixAPI::Sign(const std::string& text,
                            const std::string& certName, long flags,
                            const std::string& params) {
  CreateCertArchive();
  return Guarded([&] { return std::make_unique<TavrixCtrl>(*archive, params); },
                 [&](TavrixCtrl& c) {
                   return c.Sign(text, certName, static_cast<int>(flags));
                 });
}

std::string TavrixAPI::SignFileWeb(const std::string& path,
                                   const std::string& certName, long flags,
                                   const std::string& params) {
  CreateCertArchive();
  return Guarded([&] { return std::make_unique<TavrixCtrl>(*archive, params); },
                 [&](TavrixCtrl& c) {
                   return c.SignFileWeb(path, certName,
                                        static_cast<int>(flags));
                 });
}

std::string TavrixAPI::SelectCertificate(const std::string& name,
                                         const std::string& params) {
  return Guarded(DefaultCtrl, [&](TavrixCtrl& c) {
    return c.SelectCertificate(name, params);
  });
}

// The next three have no envelope of their own: an exception reaches the
// page as a script error.
std::string TavrixAPI::GetVersion() {
  TavrixCtrl ctrl;
  return ctrl.GetVersion();
}

std::string TavrixAPI::DownloadFile(const std::string& url) {
  TavrixCtrl ctrl;
  return ctrl.DownloadFile(url);
}

std::string TavrixAPI::TestCades() {
  TavrixCtrl ctrl;
  return ctrl.TestCades();
}

void TavrixAPI::DeleteArchive() { archive.reset(); }

std::string TavrixAPI::Hash(const std::string& text,
                            const std::string& certName, long flags) {
  return Guarded(DefaultCtrl, [&](TavrixCtrl& c) {
    return c.Hash(text, certName, static_cast<int>(flags));
  });
}

std::string TavrixAPI::HashFile(const std::string& path,
                                const std::string& certName, long flags) {
  return Guarded(DefaultCtrl, [&](TavrixCtrl& c) {
    return c.HashFile(path, certName, static_cast<int>(flags));
  });
}

std::string TavrixAPI::get_testString() { return testString; }

void TavrixAPI::set_testString(const std::string& value) { testString = value; }

std::string TavrixAPI::get_version() { return GetVersion(); }
