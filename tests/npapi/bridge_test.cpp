// The built plug-in driven the way a browser and its page drive it: the
// exported entry points, instance lifecycle, the scriptable object and every
// published member, events, and what happens to hostile or stale calls.

#include <unistd.h>

#include <chrono>
#include <cmath>
#include <fstream>

#include "npapi_test_util.h"
#include "test_support.h"

using namespace npapi_test;
using namespace std::chrono_literals;

namespace {

using BridgeTest = PageTest;

TEST(EntryPoints, ExportsOnlyTheFiveNamesAndKeepsTheProviderFirst) {
  auto syms = tavrix_test::RunCommand(
      "nm -D --defined-only " + tavrix_test::ShellQuote(TAVRIX_PLUGIN_PATH) +
      " | awk '{print $NF}' | sort");
  ASSERT_EQ(syms.exitCode, 0);
  EXPECT_EQ(syms.output,
            "NP_GetMIMEDescription\nNP_GetPluginVersion\nNP_GetValue\n"
            "NP_Initialize\nNP_Shutdown\n");
  auto dyn = tavrix_test::RunCommand(
      "readelf -d " + tavrix_test::ShellQuote(TAVRIX_PLUGIN_PATH));
  EXPECT_NE(dyn.output.find("Library runpath: [/opt/cprocsp/lib/amd64:"),
            std::string::npos)
      << dyn.output;
}

TEST_F(BridgeTest, ModuleAnswersIdentityAndFillsTheTable) {
  auto mime = reinterpret_cast<NP_GetMIMEDescriptionFunc>(
      browser.symbol("NP_GetMIMEDescription"));
  auto version = reinterpret_cast<NP_GetPluginVersionFunc>(
      browser.symbol("NP_GetPluginVersion"));
  auto getValue =
      reinterpret_cast<NP_GetValueFunc>(browser.symbol("NP_GetValue"));
  auto init =
      reinterpret_cast<NP_InitializeFunc>(browser.symbol("NP_Initialize"));
  ASSERT_TRUE(mime && version && getValue && init);
  EXPECT_STREQ(mime(), "application/x-tavrix::Data Signer;");
  EXPECT_STREQ(version(), "1.0.7.68");
  const char* text = nullptr;
  ASSERT_EQ(getValue(nullptr, NPPVpluginNameString, &text), NPERR_NO_ERROR);
  EXPECT_STREQ(text, "Tavrix_x86_64");
  ASSERT_EQ(getValue(nullptr, NPPVpluginDescriptionString, &text),
            NPERR_NO_ERROR);
  EXPECT_STREQ(text, "");
  EXPECT_EQ(getValue(nullptr, NPPVpluginScriptableNPObject, &text),
            NPERR_GENERIC_ERROR);
  EXPECT_EQ(getValue(nullptr, NPPVpluginNameString, nullptr),
            NPERR_INVALID_PARAM);
  EXPECT_EQ(init(nullptr, nullptr), NPERR_INVALID_FUNCTABLE_ERROR);

  const NPPluginFuncs& f = browser.plugin();
  EXPECT_TRUE(f.newp && f.destroy && f.setwindow && f.newstream &&
              f.destroystream && f.asfile && f.writeready && f.write &&
              f.print && f.event && f.urlnotify && f.getvalue && f.setvalue);
  EXPECT_EQ(f.javaClass, nullptr);

  auto& el = Embed();
  ASSERT_EQ(f.getvalue(el.npp(), NPPVpluginNameString, &text), NPERR_NO_ERROR);
  EXPECT_STREQ(text, "Tavrix_x86_64");
  ASSERT_EQ(f.getvalue(el.npp(), NPPVpluginDescriptionString, &text),
            NPERR_NO_ERROR);
  EXPECT_STREQ(text, "Data Signer");
  EXPECT_EQ(f.getvalue(el.npp(), NPPVpluginWindowBool, &text),
            NPERR_GENERIC_ERROR);
  NPWindow window{};
  EXPECT_EQ(f.setwindow(el.npp(), &window), NPERR_NO_ERROR);
  EXPECT_EQ(f.event(el.npp(), nullptr), 0);
  // Not windowless: the plug-in never asked the browser for that.
  EXPECT_TRUE(el.setValues.empty());
}

TEST_F(BridgeTest, UnknownNullAndDestroyedInstancesGetTheirCodes) {
  const NPPluginFuncs& f = browser.plugin();
  char mime[] = "application/x-tavrix";
  EXPECT_EQ(f.newp(mime, nullptr, NP_EMBED, 0, nullptr, nullptr, nullptr),
            NPERR_INVALID_INSTANCE_ERROR);
  NPP_t stranger{};
  auto& el = Embed();
  NPP dead = el.npp();
  ASSERT_EQ(el.destroy(), NPERR_NO_ERROR);
  for (NPP npp : {static_cast<NPP>(nullptr), &stranger, dead}) {
    SCOPED_TRACE(npp == dead ? "destroyed" : npp ? "unknown" : "null");
    NPSavedData* saved = nullptr;
    uint16_t stype = 0;
    NPStream stream{};
    EXPECT_EQ(f.destroy(npp, &saved), NPERR_INVALID_INSTANCE_ERROR);
    EXPECT_EQ(f.setwindow(npp, nullptr), NPERR_INVALID_INSTANCE_ERROR);
    EXPECT_EQ(f.newstream(npp, mime, &stream, false, &stype),
              NPERR_INVALID_INSTANCE_ERROR);
    EXPECT_EQ(f.destroystream(npp, &stream, 0), NPERR_INVALID_INSTANCE_ERROR);
    EXPECT_EQ(f.setvalue(npp, NPNVToolkit, nullptr),
              NPERR_INVALID_INSTANCE_ERROR);
    EXPECT_EQ(f.writeready(npp, &stream), 0);
    EXPECT_EQ(f.event(npp, nullptr), 0);
    f.asfile(npp, &stream, "/tmp/x");
    f.print(npp, nullptr);
    f.urlnotify(npp, "http://x/", 0, nullptr);
    // Without a known instance GetValue answers for the library.
    NPObject* obj = nullptr;
    EXPECT_EQ(f.getvalue(npp, NPPVpluginScriptableNPObject, &obj),
              NPERR_GENERIC_ERROR);
  }
}

TEST_F(BridgeTest, ScriptableObjectIsMadeOnceAndRetainedPerRequest) {
  auto& a = Embed();
  auto& b = Embed();
  NPObject* first = nullptr;
  NPObject* second = nullptr;
  ASSERT_EQ(
      browser.plugin().getvalue(a.npp(), NPPVpluginScriptableNPObject, &first),
      NPERR_NO_ERROR);
  uint32_t refs = first->referenceCount;
  ASSERT_EQ(
      browser.plugin().getvalue(a.npp(), NPPVpluginScriptableNPObject, &second),
      NPERR_NO_ERROR);
  EXPECT_EQ(first, second);
  EXPECT_EQ(second->referenceCount, refs + 1);
  browser.browserFuncs().releaseobject(first);
  browser.browserFuncs().releaseobject(second);
  EXPECT_NE(a.scriptable(), b.scriptable());
  // Two elements, two script objects: "testString" is each one's own.
  ASSERT_TRUE(a.set("testString", Value("a")).ok);
  EXPECT_EQ(b.get("testString").value.str(), "");
}

// Each row: what the page does and what it gets back (the page exception's
// text, or "ok: " and the value).
TEST_F(BridgeTest, PublishedAndBuiltInMembersAsThePageSeesThem) {
  InstallSigner();
  auto& el = Embed();
  const std::string nul("a\0b", 3);
  struct Row {
    std::string what;
    std::function<Result()> run;
    std::string outcome;
  } rows[] = {
      {"GetVersion", [&] { return el.call("GetVersion"); }, "ok: 1.0.7.68"},
      {"version", [&] { return el.get("version"); }, "ok: 1.0.7.68"},
      {"toString", [&] { return el.call("toString"); },
       "ok: <JSAPI-Auto Javascript Object>"},
      {"value", [&] { return el.get("value"); },
       "ok: <JSAPI-Auto Javascript Object>"},
      {"valid", [&] { return el.get("valid"); }, "ok: true"},
      {"testString written", [&] { return el.set("testString", Value(nul)); },
       "ok: undefined"},
      {"testString read", [&] { return el.get("testString"); }, "ok: " + nul},
      {"echo returns its argument", [&] { return el.call("echo", {nul}); },
       "ok: " + nul},
      {"echo of nothing", [&] { return el.call("echo", {}); }, "ok: undefined"},
      {"empty result is a string",
       [&] {
         return el.call("Sign", {"", kSigner, 0, ""});
       },
       "ok: "},
      {"DeleteArchive", [&] { return el.call("DeleteArchive"); },
       "ok: undefined"},
      {"unknown member read", [&] { return el.get("noSuchThing"); },
       "ok: undefined"},
      {"attribute written", [&] { return el.set("mine", Value(7)); },
       "ok: undefined"},
      {"attribute read", [&] { return el.get("mine"); }, "ok: 7"},
      {"unknown member called", [&] { return el.call("noSuchThing"); },
       "TypeError: noSuchThing is not a function"},
      {"unpublished member",
       [&] { return browser.invoke(el.scriptable(), "CreateCertArchive", {}); },
       "The specified member does not exist: CreateCertArchive"},
      {"getLastException", [&] { return el.call("getLastException"); },
       "ok: The specified member does not exist: CreateCertArchive"},
      {"too few arguments",
       [&] {
         return el.call("Sign", {"text", kSigner, 0});
       },
       "Error: Argument 4is not optional."},
      {"too many arguments",
       [&] {
         return el.call("Hash", {"t", kSigner, 0, "x"});
       },
       "Too many arguments, expected 3."},
      {"flags that are no number",
       [&] {
         return el.call("Hash", {"t", kSigner, "abc"});
       },
       "Invalid argument conversion from std::string to long at index 3"},
      {"flags as text",
       [&] {
         return el.call("Hash", {"", kSigner, "12"});
       },
       "ok: "},
      {"assigning a method", [&] { return el.set("Sign", Value("x")); },
       "This property cannot be changed"},
      {"assigning a read-only property",
       [&] { return el.set("version", Value("2")); },
       "Cannot set read-only property version"},
      {"addEventListener with one argument",
       [&] { return el.call("addEventListener", {"echo"}); },
       "Invalid Arguments"},
      {"removeEventListener with four",
       [&] {
         return el.call("removeEventListener", {"echo", 1, true, 2});
       },
       "Invalid Arguments"},
  };
  for (const Row& r : rows) EXPECT_EQ(Outcome(r.run()), r.outcome) << r.what;

  NPObject* obj = el.scriptable();
  EXPECT_TRUE(browser.hasMethod(obj, "toString"));
  EXPECT_FALSE(browser.hasProperty(obj, "toString"));
  // Methods reach the page as callable properties.
  EXPECT_FALSE(browser.hasMethod(obj, "Sign"));
  EXPECT_TRUE(browser.hasProperty(obj, "Sign"));
  EXPECT_TRUE(browser.hasProperty(obj, "addEventListener"));
  EXPECT_FALSE(browser.hasProperty(obj, "style"));
  bool ok = false;
  auto names = browser.enumerate(obj, &ok);
  EXPECT_TRUE(ok);
  for (const char* n : {"Sign", "SignFileWeb", "SelectCertificate", "version",
                        "testString", "mine", "valid"})
    EXPECT_NE(std::find(names.begin(), names.end(), n), names.end()) << n;

  // A signature over 1 KiB of text, twice from the same page.
  const std::string text(1024, 'x');
  for (int i = 0; i < 2; ++i) {
    Result r = el.call("Sign", {text, kSigner, 0, ""});
    ASSERT_TRUE(r.ok) << r.exception;
    EXPECT_EQ(r.value.str().rfind("MII", 0), 0u) << r.value.str();
  }
  Result missing = el.call("Sign", {"t", "nobody at all", 0, ""});
  EXPECT_EQ(missing.value.str().rfind(
                "<?xml version='1.0' encoding='utf-8'?><Error>", 0),
            0u);
}

TEST_F(BridgeTest, OnloadAndEventHandlersReachThePage) {
  using Clock = std::chrono::steady_clock;
  std::vector<std::pair<Clock::time_point, Value>> loads;
  std::vector<Args> echoes, listened;
  browser.defineFunction(
      "pageReady", [&](NPObject*, const Args& a, std::string*) {
        loads.push_back({Clock::now(), a.empty() ? Value() : a[0]});
        return Value();
      });
  browser.defineFunction("onEcho", [&](NPObject*, const Args& a, std::string*) {
    echoes.push_back(a);
    return Value();
  });
  auto start = Clock::now();
  auto& el = Embed({{"onload", "pageReady"},
                    {"onecho", "onEcho"},
                    {"ontest", std::nullopt},
                    {"color", "red"}});
  NPObject* listener =
      browser.newFunction([&](NPObject*, const Args& a, std::string*) {
        listened.push_back(a);
        return Value();
      });
  Value fn = Value::Object(listener);
  browser.browserFuncs().releaseobject(listener);
  ASSERT_TRUE(el.call("addEventListener", {"echo", fn, false}).ok);
  ASSERT_TRUE(el.call("echo", {"one"}).ok);

  EXPECT_TRUE(browser.runUntil([&] { return !loads.empty(); }, 2s));
  browser.runFor(100ms);
  ASSERT_EQ(loads.size(), 1u);
  EXPECT_GE(loads[0].first - start, 250ms);
  // The page's onload gets the element's own script object.
  EXPECT_EQ(loads[0].second.obj(), el.scriptable());
  ASSERT_EQ(echoes.size(), 1u);
  ASSERT_EQ(listened.size(), 1u);
  ASSERT_EQ(echoes[0].size(), 2u);
  EXPECT_EQ(echoes[0][0].str(), "So far, you clicked this many times: ");
  EXPECT_EQ(listened[0][1].number(), echoes[0][1].number());

  ASSERT_TRUE(el.call("removeEventListener", {"echo", fn}).ok);
  ASSERT_TRUE(el.call("echo", {"two"}).ok);
  browser.runFor(50ms);
  EXPECT_EQ(listened.size(), 1u);
  EXPECT_EQ(echoes.size(), 2u);
  EXPECT_EQ(echoes[1][1].number(), echoes[0][1].number() + 1);
}

TEST_F(BridgeTest, EventsOfTwoElementsArriveInTheOrderFired) {
  std::vector<std::pair<std::string, double>> got;
  auto handler = [&](const char* who) {
    return [&got, who](NPObject*, const Args& a, std::string*) {
      got.push_back({who, a.size() > 1 ? a[1].number() : NAN});
      return Value();
    };
  };
  browser.defineFunction("onA", handler("a"));
  browser.defineFunction("onB", handler("b"));
  auto& a = Embed({{"onecho", "onA"}});
  auto& b = Embed({{"onecho", "onB"}});
  for (auto* el : {&a, &b, &a, &b}) ASSERT_TRUE(el->call("echo", {1}).ok);
  browser.runFor(50ms);
  ASSERT_EQ(got.size(), 4u);
  for (size_t i = 0; i < got.size(); ++i) {
    EXPECT_EQ(got[i].first, i % 2 ? "b" : "a") << i;
    EXPECT_EQ(got[i].second, got[0].second + i) << i;
  }
}

TEST_F(BridgeTest, MethodsTakeCallAndApplyLikePageFunctions) {
  auto& el = Embed();
  Value hash = el.get("Hash").value;
  ASSERT_TRUE(hash.isObject());
  NPObject* self = el.scriptable();
  NPObject* args = browser.newArray({Value("t"), Value(kSigner), Value(1)});
  NPObject* tooMany = browser.newObject();  // claims a length it lacks
  browser.setProperty(tooMany, "length", Value(1 << 30));
  Value argsV = Value::Object(args), tooManyV = Value::Object(tooMany);
  browser.browserFuncs().releaseobject(args);
  browser.browserFuncs().releaseobject(tooMany);
  Value versionV = el.get("GetVersion").value;
  NPObject* version = versionV.obj();
  EXPECT_EQ(Outcome(browser.invoke(version, "call", {Value::Object(self)})),
            "ok: 1.0.7.68");
  EXPECT_EQ(Outcome(browser.invoke(version, "apply", {Value::Null()})),
            "ok: 1.0.7.68");
  // The array's elements reach Hash as its three arguments.
  EXPECT_EQ(Outcome(browser.invoke(hash.obj(), "apply",
                                   {Value::Object(self), Value(argsV)}))
                .rfind("ok: ", 0),
            0u);
  EXPECT_EQ(Outcome(browser.invoke(hash.obj(), "apply",
                                   {Value::Object(self), tooManyV})),
            "Too many arguments");
  EXPECT_EQ(
      Outcome(browser.invoke(hash.obj(), "call", {Value::Object(self), "t"})),
      "Error: Argument 2is not optional.");
}

// An engine that evaluates no script text still gets a working element;
// only its onload call is lost.
class NoScriptTest : public PageTest {
 protected:
  bool Load(std::string* error) override {
    browser.browserFuncs().evaluate = [](NPP, NPObject*, NPString*,
                                         NPVariant*) { return false; };
    return PageTest::Load(error);
  }
};

TEST_F(NoScriptTest, ElementWorksWithoutItsHelperScript) {
  int loads = 0;
  browser.defineFunction("pageReady",
                         [&](NPObject*, const Args&, std::string*) {
                           ++loads;
                           return Value();
                         });
  auto& el = Embed({{"onload", "pageReady"}});
  EXPECT_EQ(el.call("GetVersion").value.str(), "1.0.7.68");
  browser.runFor(400ms);
  EXPECT_EQ(loads, 0);
}

TEST_F(BridgeTest, StaleObjectsAndBadArgumentsFailWithoutHarm) {
  auto& a = Embed();
  auto& b = Embed();
  NPObject* obj = a.scriptable();
  const NPClass* cls = obj->_class;
  NPNetscapeFuncs& nf = browser.browserFuncs();
  NPIdentifier sign = nf.getstringidentifier("GetVersion");
  NPVariant res;
  // Arguments the browser should never send.
  EXPECT_FALSE(cls->invoke(obj, sign, nullptr, 2, &res));
  EXPECT_FALSE(cls->invoke(obj, sign, nullptr, 0, nullptr));
  EXPECT_FALSE(cls->getProperty(obj, sign, nullptr));
  EXPECT_FALSE(cls->setProperty(obj, sign, nullptr));
  EXPECT_FALSE(cls->enumerate(obj, nullptr, nullptr));
  NPIdentifier index = nf.getintidentifier(3);
  EXPECT_FALSE(cls->invoke(obj, index, nullptr, 0, &res));

  // Kept by the page past the element's end.
  NPObject* kept = nf.retainobject(obj);
  Value method = a.get("GetVersion").value;
  ASSERT_TRUE(method.isObject());
  ASSERT_EQ(a.destroy(), NPERR_NO_ERROR);
  EXPECT_FALSE(browser.invoke(kept, "toString", {}).ok);
  EXPECT_FALSE(browser.getProperty(kept, "version").ok);
  EXPECT_FALSE(browser.invokeDefault(method.obj(), {}).ok);
  EXPECT_FALSE(browser.hasMethod(kept, "toString"));
  EXPECT_TRUE(browser.enumerate(kept).empty());
  nf.releaseobject(kept);
  method = Value();
  // The other element goes on working.
  EXPECT_EQ(b.call("GetVersion").value.str(), "1.0.7.68");

  // Invalidated by the browser while the element lives.
  NPObject* bobj = b.scriptable();
  bobj->_class->invalidate(bobj);
  EXPECT_FALSE(browser.invoke(bobj, "toString", {}).ok);
}

TEST_F(BridgeTest, ThousandCyclesLeaveNothingBehind) {
  Cycle(50);
  auto rss = [] {
    long pages = 0, resident = 0;
    std::ifstream("/proc/self/statm") >> pages >> resident;
    return resident * sysconf(_SC_PAGESIZE);
  };
  // The delayed-call helpers are the page's own functions; they are
  // counted apart from what the plug-in holds.
  auto pluginObjects = [&] {
    size_t helpers = 0;
    for (const std::string& n : browser.enumerate(browser.window()))
      helpers += n.rfind("__FB_CALL_", 0) == 0;
    return browser.liveObjects() - helpers;
  };
  size_t objects = pluginObjects();
  long before = rss();
  Cycle(1000);
  EXPECT_EQ(pluginObjects(), objects);
  EXPECT_EQ(browser.outstandingBytes(), 0);
#if !defined(__SANITIZE_ADDRESS__)
  // ASan's quarantine holds freed memory back, so only the plain build
  // can judge the resident size.
  EXPECT_LT(rss() - before, 4L << 20);
#else
  (void)before;
#endif
}

}  // namespace
