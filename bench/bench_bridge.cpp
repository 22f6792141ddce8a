// What the browser bridge adds to a call: the same script-object members
// called the way a page calls them (through the test browser host, the
// built npTavrix.so and its NPAPI object) and directly on a TavrixAPI
// object of this program (the member dispatch alone). "page" runs what a
// script engine runs for `p.Member(...)` on a plug-in object: HasMethod,
// HasProperty, GetProperty of the method object, then InvokeDefault on it;
// "invoke" is one NPN_Invoke.
#include <benchmark/benchmark.h>

#include <iostream>
#include <memory>
#include <string>

#include "TavrixAPI.h"
#include "test_support.h"
#include "testhost.h"

namespace {

const char kSigner[] = "Bridge Bench Signer";
const std::string kText(1024, 'a');

struct Page {
  testhost::Browser browser;
  std::unique_ptr<testhost::Instance> element;
  NPObject* obj = nullptr;
};

Page& ThePage() {
  static Page* page = [] {
    auto& pki = tavrix_test::TestPki::Get();
    const auto& cert =
        pki.MakeCert("bench-bridge", "gost2012_256",
                     std::string("/CN=") + kSigner, -3600, 864000, "self");
    if (!pki.Install(cert, "MY", true)) std::abort();
    auto* p = new Page;
    std::string error;
    if (!p->browser.load(TAVRIX_PLUGIN_PATH, &error)) {
      std::cerr << error << std::endl;
      std::abort();
    }
    p->element = std::make_unique<testhost::Instance>(p->browser,
                                                      "application/x-tavrix");
    if (p->element->create() != NPERR_NO_ERROR) std::abort();
    p->obj = p->element->scriptable();
    return p;
  }();
  return *page;
}

std::shared_ptr<TavrixAPI> TheApi() {
  static auto api = std::make_shared<TavrixAPI>(nullptr, nullptr);
  return api;
}

void Expect(bool ok, benchmark::State& state, const char* what) {
  if (!ok) state.SkipWithError(what);
}

void BM_GetVersion_Page(benchmark::State& state) {
  Page& p = ThePage();
  for (auto _ : state) {
    testhost::Result r = p.element->call("GetVersion");
    Expect(r.ok && r.value.str() == "1.0.7.68", state, "GetVersion failed");
  }
}

void BM_GetVersion_Invoke(benchmark::State& state) {
  Page& p = ThePage();
  for (auto _ : state) {
    testhost::Result r = p.browser.invoke(p.obj, "GetVersion", {});
    Expect(r.ok && r.value.str() == "1.0.7.68", state, "GetVersion failed");
  }
}

void BM_GetVersion_Direct(benchmark::State& state) {
  auto api = TheApi();
  for (auto _ : state) {
    FB::variant v = api->Invoke("GetVersion", {});
    Expect(v.convert_cast<std::string>() == "1.0.7.68", state,
           "GetVersion failed");
  }
}

void BM_Sign1KiB_Page(benchmark::State& state) {
  Page& p = ThePage();
  testhost::Args args{kText, kSigner, 0, ""};
  for (auto _ : state) {
    testhost::Result r = p.element->call("Sign", args);
    Expect(r.ok && r.value.str().rfind("MII", 0) == 0, state, "Sign failed");
  }
}

void BM_Sign1KiB_Invoke(benchmark::State& state) {
  Page& p = ThePage();
  testhost::Args args{kText, kSigner, 0, ""};
  for (auto _ : state) {
    testhost::Result r = p.browser.invoke(p.obj, "Sign", args);
    Expect(r.ok && r.value.str().rfind("MII", 0) == 0, state, "Sign failed");
  }
}

void BM_Sign1KiB_Direct(benchmark::State& state) {
  auto api = TheApi();
  FB::VariantList args{kText, std::string(kSigner), 0, std::string()};
  for (auto _ : state) {
    FB::variant v = api->Invoke("Sign", args);
    Expect(v.convert_cast<std::string>().rfind("MII", 0) == 0, state,
           "Sign failed");
  }
}

}  // namespace

BENCHMARK(BM_GetVersion_Page)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_GetVersion_Invoke)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_GetVersion_Direct)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Sign1KiB_Page)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Sign1KiB_Invoke)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Sign1KiB_Direct)->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
