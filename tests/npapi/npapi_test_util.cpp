#include "npapi_test_util.h"

#include "test_support.h"

namespace npapi_test {

const char kMime[] = "application/x-tavrix";
const char kSigner[] = "Bridge Signer";

void InstallSigner() {
  static bool done = [] {
    auto& pki = tavrix_test::TestPki::Get();
    const auto& cert =
        pki.MakeCert("bridge", "gost2012_256", std::string("/CN=") + kSigner,
                     -3600, 864000, "self");
    return pki.Install(cert, "MY", true);
  }();
  ASSERT_TRUE(done);
}

bool PageTest::Load(std::string* error) {
  return browser.load(TAVRIX_PLUGIN_PATH, error);
}

void PageTest::SetUp() {
  std::string error;
  ASSERT_TRUE(Load(&error)) << error;
}

void PageTest::TearDown() {
  elements.clear();
  browser.clearTimers();
  browser.closePage();
  EXPECT_EQ(browser.shutdown(), NPERR_NO_ERROR);
  EXPECT_EQ(browser.liveObjects(), 0u) << "objects left alive";
  EXPECT_EQ(browser.outstandingBytes(), 0) << "browser memory not given back";
  std::string log;
  for (const std::string& v : browser.violationLog()) log += v + "\n";
  EXPECT_EQ(browser.violations(), 0u) << log;
}

testhost::Instance& PageTest::Embed(const Params& params) {
  elements.push_back(
      std::make_unique<testhost::Instance>(browser, kMime, params));
  EXPECT_EQ(elements.back()->create(), NPERR_NO_ERROR);
  return *elements.back();
}

void PageTest::Cycle(int steps) {
  for (int i = 0; i < steps; ++i) {
    testhost::Instance el(browser, kMime, {{"onload", "pageReady"}});
    ASSERT_EQ(el.create(), NPERR_NO_ERROR);
    ASSERT_EQ(el.call("GetVersion").value.str(), "1.0.7.68");
    ASSERT_EQ(el.destroy(), NPERR_NO_ERROR);
  }
}

std::string Outcome(const Result& r) {
  if (!r.ok) return r.exception.empty() ? "failed" : r.exception;
  return "ok: " + (r.value.isString() ? r.value.str() : r.value.debug());
}

}  // namespace npapi_test
