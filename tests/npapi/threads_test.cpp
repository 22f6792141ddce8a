// Calls from threads other than the browser's main thread. The host layer
// is linked into this program, so the test can take the instance's browser
// host from behind the page, as native code of the plug-in would.

#include <ScriptErrors.h>
#include <npapi/npfunctions.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "FactoryBase.h"
#include "NPJavascriptObject.h"
#include "NpapiBrowserHost.h"
#include "Tavrix.h"
#include "TavrixAPI.h"
#include "npapi_test_util.h"

using namespace npapi_test;
using namespace std::chrono_literals;

namespace {

class ThreadTest : public PageTest {
 protected:
  bool Load(std::string* error) override {
    return browser.attach(&NP_Initialize, &NP_Shutdown, error);
  }
  FB::BrowserHostPtr HostOf(testhost::Instance& el) {
    auto* obj = static_cast<FB::Npapi::NPJavascriptObject*>(el.scriptable());
    auto api = std::dynamic_pointer_cast<TavrixAPI>(obj->getAPI());
    return api->getPlugin()->getHost();
  }
};

// The error text a call raises, "" when it raises none.
template <class F>
std::string ErrorOf(F f) {
  try {
    f();
  } catch (const FB::script_error& e) {
    return e.what();
  }
  return "";
}

TEST_F(ThreadTest, SecondThreadReachesMainThreadAndShutdownEndsItsWait) {
  auto& el = Embed();
  FB::BrowserHostPtr host = HostOf(el);
  std::thread::id ranOn;
  browser.defineFunction("where", [&](NPObject*, const Args&, std::string*) {
    ranOn = std::this_thread::get_id();
    return Value("main");
  });

  // On the main thread the call is made at once.
  EXPECT_EQ(host->getDOMWindow()->Invoke("where", {}), FB::variant("main"));
  EXPECT_EQ(browser.pendingAsyncCalls(), 0u);

  std::atomic<bool> done{false};
  FB::variant got;
  std::thread worker([&] {
    got = host->getDOMWindow()->Invoke("where", {});
    done = true;
  });
  EXPECT_TRUE(browser.runUntil([&] { return done.load(); }, 5s));
  worker.join();
  EXPECT_EQ(got, FB::variant("main"));
  EXPECT_EQ(ranOn, std::this_thread::get_id());

  // A waiter whose page goes away before the main thread serves it.
  std::string waited;
  std::thread waiter(
      [&] { waited = ErrorOf([&] { host->evaluateJavaScript("1"); }); });
  while (browser.pendingAsyncCalls() == 0) std::this_thread::sleep_for(1ms);
  auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(el.destroy(), NPERR_NO_ERROR);
  waiter.join();
  EXPECT_EQ(waited, "Shutting down");
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);

  // And one that starts after the end.
  std::string after;
  std::thread late([&] {
    after = ErrorOf([&] { host->getDOMWindow()->GetProperty("x"); });
  });
  late.join();
  EXPECT_EQ(after, "Shutting down");
  host.reset();
  // The dropped call is still in the browser's queue; running it is harmless.
  browser.runFor(20ms);
}

TEST_F(ThreadTest, DelayedInvokeAndEvaluateNeedThePage) {
  auto& el = Embed();
  FB::BrowserHostPtr host = HostOf(el);
  auto window = host->getDOMWindow();
  FB::JSObjectPtr target =
      window->GetProperty("document").convert_cast<FB::JSObjectPtr>();
  ASSERT_TRUE(target);
  // A host of the same element that has not run initJS yet.
  auto fresh = std::make_shared<FB::Npapi::NpapiBrowserHost>(
      FB::Npapi::NpapiPluginModule::Default(), el.npp());
  EXPECT_EQ(fresh->delayedInvoke(10, target, {}), -1);
  fresh->shutdown();
  // The element's own host did: its page function schedules the call.
  EXPECT_GT(host->delayedInvoke(10, target, {}, "noSuchMethod"), 0);
  browser.runFor(30ms);
  EXPECT_EQ(browser.console.size(), 1u);  // the page reports the bad call
  EXPECT_EQ(ErrorOf([&] { host->evaluateJavaScript("unknown text"); }),
            "Error executing JavaScript code");
  // Without a window nothing can be evaluated or found.
  browser.closePage();
  auto orphan = std::make_shared<FB::Npapi::NpapiBrowserHost>(
      FB::Npapi::NpapiPluginModule::Default(), el.npp());
  EXPECT_EQ(ErrorOf([&] { orphan->evaluateJavaScript("1"); }),
            "Cannot find HTML window");
  EXPECT_EQ(ErrorOf([&] { orphan->getDOMDocument(); }),
            "Cannot find HTML window");
  orphan->shutdown();
}

TEST(PluginObject, EventsAreNotHandledAndTheFactoryIsOne) {
  FB::FactoryBasePtr factory = getFactoryInstance();
  EXPECT_EQ(factory, getFactoryInstance());
  FB::PluginCorePtr a = factory->createPlugin("application/x-tavrix");
  FB::PluginCorePtr b = factory->createPlugin("text/anything-at-all");
  ASSERT_TRUE(a && b);
  EXPECT_NE(a, b);
  EXPECT_FALSE(a->isWindowless());
  FB::PluginWindow window;
  FB::PluginEventSource notAWindow;
  FB::MouseDownEvent down;
  FB::MouseUpEvent up;
  FB::MouseMoveEvent move;
  FB::AttachedEvent attached;
  FB::DetachedEvent detached;
  for (FB::PluginEvent* e : std::initializer_list<FB::PluginEvent*>{
           &down, &up, &move, &attached, &detached}) {
    EXPECT_FALSE(a->HandleEvent(e, &window));
    EXPECT_FALSE(a->HandleEvent(e, &notAWindow));
  }
}

}  // namespace
