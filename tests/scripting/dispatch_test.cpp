// Script values and member dispatch, through the calls the browser bridge
// makes: Invoke, GetProperty, SetProperty, FireEvent.

#include <atomic>
#include <cmath>
#include <limits>
#include <thread>

#include "scripting_test_util.h"

using FB::variant;
using FB::VariantList;
using scripting_test::RecordingFunction;
using scripting_test::ScriptErrorOf;

namespace {

// How a conversion turned out: the value as text, or "!from>to" for a
// bad_variant_cast naming both types.
template <class T>
std::string Convert(const variant& v) {
  try {
    T t = v.convert_cast<T>();
    if constexpr (std::is_same_v<T, std::string>) {
      return t;
    } else {
      return std::to_string(t);
    }
  } catch (const FB::bad_variant_cast& e) {
    return "!" + e.from + ">" + e.to;
  }
}

TEST(Variant, ConversionsToNumbersAndStrings) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  struct Case {
    variant value;
    std::string asLong, asInt, asUnsigned, asString;
  } cases[] = {
      {"12", "12", "12", "12", "12"},
      {"+7", "7", "7", "7", "+7"},
      {"-3", "-3", "-3", "!std::string>unsigned int", "-3"},
      {"12.9", "12", "12", "12", "12.9"},
      {"abc", "!std::string>long", "!std::string>int",
       "!std::string>unsigned int", "abc"},
      {" 12", "!std::string>long", "!std::string>int",
       "!std::string>unsigned int", " 12"},
      {std::string("12\0", 3), "!std::string>long", "!std::string>int",
       "!std::string>unsigned int", std::string("12\0", 3)},
      {"", "!std::string>long", "!std::string>int", "!std::string>unsigned int",
       ""},
      {"9223372036854775808", "!std::string>long", "!std::string>int",
       "!std::string>unsigned int", "9223372036854775808"},
      {4294967297.0, "4294967297", "!double>int", "!double>unsigned int",
       "4294967297"},
      {1e20, "!double>long", "!double>int", "!double>unsigned int", "1e+20"},
      {nan, "!double>long", "!double>int", "!double>unsigned int", "NaN"},
      {-2.5, "-2", "-2", "!double>unsigned int", "-2.5"},
      {0.1, "0", "0", "0", "0.1"},
      {true, "1", "1", "1", "true"},
      {int64_t(-1), "-1", "-1", "!long>unsigned int", "-1"},
      {uint64_t(18446744073709551615ull), "!unsigned long>long",
       "!unsigned long>int", "!unsigned long>unsigned int",
       "18446744073709551615"},
      {L"42", "42", "42", "42", "42"},
      {std::wstring(L"\u041f\u0440\u0438"), "!std::wstring>long",
       "!std::wstring>int", "!std::wstring>unsigned int",
       "\xd0\x9f\xd1\x80\xd0\xb8"},
      {variant(), "!FB::FBVoid>long", "!FB::FBVoid>int",
       "!FB::FBVoid>unsigned int", "!FB::FBVoid>std::string"},
      {FB::FBNull(), "!FB::FBNull>long", "!FB::FBNull>int",
       "!FB::FBNull>unsigned int", "!FB::FBNull>std::string"},
      {VariantList{1}, "!FB::VariantList>long", "!FB::VariantList>int",
       "!FB::VariantList>unsigned int", "!FB::VariantList>std::string"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value.get_type_name() + " " + c.asString);
    EXPECT_EQ(Convert<long>(c.value), c.asLong);
    EXPECT_EQ(Convert<int>(c.value), c.asInt);
    EXPECT_EQ(Convert<unsigned>(c.value), c.asUnsigned);
    EXPECT_EQ(Convert<std::string>(c.value), c.asString);
  }
  // A code point no UTF-8 can carry fails instead of being dropped.
  EXPECT_EQ(Convert<std::string>(std::wstring(1, wchar_t(0xD800))),
            "!std::wstring>std::string");
  EXPECT_EQ(variant(long(5)).kind(), variant(int64_t(5)).kind());
  EXPECT_EQ(variant(std::string("x")).convert_cast<std::wstring>(), L"x");
}

// A script object with members of the shapes the plug-in uses.
class Sample : public FB::JSAPIAuto {
 public:
  Sample() : FB::JSAPIAuto("sample object") {
    registerMethod("two", FB::make_method(this, &Sample::two));
    registerMethod("four", FB::make_method(this, &Sample::four));
    registerMethod("pass", FB::make_method(this, &Sample::pass));
    registerMethod("none", FB::make_method(this, &Sample::none));
    registerMethod("flag", FB::make_method(this, &Sample::flag));
    registerMethod("opt", FB::make_method(this, &Sample::opt));
    registerProperty("rw",
                     FB::make_property(this, &Sample::getRw, &Sample::setRw));
    registerProperty("ro", FB::make_property(this, &Sample::getRw));
    FB::scoped_zonelock lock(*this, FB::SecurityScope_Private);
    registerMethod("secret", FB::make_method(this, &Sample::none));
  }
  std::string two(std::string a, const std::string& b) { return a + "|" + b; }
  std::string four(const std::string& a, const std::string& b, long f,
                   const std::string& p) {
    return a + b + std::to_string(f) + p;
  }
  variant pass(const variant& v) { return v; }
  void none() { ++calls; }
  bool flag(bool b, int i) { return b && i > 0; }
  long opt(int a, boost::optional<long> b) { return a + (b ? *b : 100); }
  std::string getRw() const { return rw; }
  void setRw(const std::string& v) { rw = v; }
  std::string rw;
  int calls = 0;
};

TEST(Dispatch, ArgumentCountsConversionsAndResults) {
  auto s = std::make_shared<Sample>();
  struct Case {
    std::string method;
    VariantList args;
    std::string result;  // the result as a string, or "error: " + text
  } cases[] = {
      {"two", {"a", "b"}, "a|b"},
      {"two", {"a"}, "error: Error: Argument 2is not optional."},
      {"two", {}, "error: Error: Argument 1is not optional."},
      {"two", {"a", "b", "c"}, "error: Too many arguments, expected 2."},
      {"two", {1, 2.5}, "1|2.5"},
      {"two",
       {"a", VariantList()},
       "error: Invalid argument conversion from FB::VariantList to "
       "std::string at index 2"},
      {"four", {"a", "b", "12", "p"}, "ab12p"},
      {"four",
       {"a", "b", "abc", "p"},
       "error: Invalid argument conversion from std::string to long at "
       "index 3"},
      {"four", {"a", "b", 3}, "error: Error: Argument 4is not optional."},
      // The first bad argument is the one reported.
      {"four",
       {FB::FBNull(), "b", "x", "p"},
       "error: Invalid argument conversion from FB::FBNull to std::string at "
       "index 1"},
      {"pass", {}, ""},
      {"pass", {"x", "y"}, "error: Too many arguments, expected 1."},
      {"none", {1}, "error: Too many arguments, expected 0."},
      {"flag", {"true", "3"}, "true"},
      {"flag", {0, 3}, "false"},
      {"opt", {1}, "101"},
      {"opt", {1, 2}, "3"},
      {"opt", {1, FB::FBNull()}, "101"},
      {"nosuch", {}, "error: The specified member does not exist: nosuch"},
      {"secret", {}, "error: The specified member does not exist: secret"},
      {"toString", {}, "sample object"},
      {"setAttribute", {"color", "red"}, ""},
      {"getAttribute", {"color"}, "red"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.method);
    std::string got;
    try {
      variant r = s->Invoke(c.method, c.args);
      got = r.empty() ? "" : r.convert_cast<std::string>();
    } catch (const FB::script_error& e) {
      got = std::string("error: ") + e.what();
    }
    EXPECT_EQ(got, c.result);
  }
  EXPECT_EQ(s->calls, 0);  // "none" was only ever rejected
  // A script value comes back unchanged, whatever its kind.
  for (const variant& v :
       {variant(VariantList{1, "x"}), variant(2.5), variant(FB::FBNull())})
    EXPECT_EQ(s->Invoke("pass", {v}), v);
  // A higher zone reaches the protected member.
  FB::scoped_zonelock lock(s, FB::SecurityScope_Local);
  EXPECT_TRUE(s->Invoke("secret", {}).empty());
  EXPECT_EQ(s->calls, 1);
}

TEST(Dispatch, PropertiesAttributesAndReservedNames) {
  auto s = std::make_shared<Sample>();
  s->SetProperty("rw", "hello");
  EXPECT_EQ(s->GetProperty("rw").convert_cast<std::string>(), "hello");
  s->SetProperty("rw", 12);
  EXPECT_EQ(s->rw, "12");
  EXPECT_EQ(ScriptErrorOf([&] { s->SetProperty("rw", VariantList()); }),
            "Could not convert from FB::VariantList to std::string");
  EXPECT_EQ(s->rw, "12");
  EXPECT_EQ(ScriptErrorOf([&] { s->SetProperty("ro", "x"); }),
            "Cannot set read-only property ro");
  EXPECT_EQ(s->GetProperty("value").convert_cast<std::string>(),
            "sample object");
  EXPECT_EQ(s->GetProperty("valid"), variant(true));

  // Unknown names read as undefined and become attributes when written.
  EXPECT_TRUE(s->HasProperty("anything"));
  EXPECT_TRUE(s->GetProperty("anything").empty());
  s->SetProperty("anything", 5);
  EXPECT_EQ(s->GetProperty("anything"), variant(5));
  EXPECT_EQ(s->Invoke("getAttribute", {"anything"}), variant(5));
  s->RemoveProperty("anything");  // removing is not allowed: it stays
  EXPECT_EQ(s->GetProperty("anything"), variant(5));

  s->registerAttribute("fixed", "f", true);
  EXPECT_EQ(ScriptErrorOf([&] { s->SetProperty("fixed", "g"); }),
            "Cannot set read-only property fixed");
  EXPECT_EQ(ScriptErrorOf([&] { s->unregisterAttribute("fixed"); }),
            "Cannot remove read-only property fixed");
  EXPECT_EQ(s->GetProperty("fixed"), variant("f"));

  EXPECT_FALSE(s->HasProperty("style"));
  EXPECT_FALSE(s->HasProperty("two"));
  EXPECT_TRUE(s->HasMethod("two"));
  EXPECT_FALSE(s->HasMethod("secret"));
  // A method read as a property is a callable object, the same each time.
  ASSERT_TRUE(s->HasMethodObject("two"));
  variant m = s->GetProperty("two");
  ASSERT_TRUE(m.is_of_type<FB::JSAPIPtr>());
  EXPECT_EQ(m, s->GetProperty("two"));
  EXPECT_EQ(m.cast<FB::JSAPIPtr>()->Invoke("", {"x", "y"}), variant("x|y"));

  FB::StringVec names = s->getMemberNames();
  for (const char* n : {"two", "rw", "toString", "anything", "fixed"})
    EXPECT_NE(std::find(names.begin(), names.end(), n), names.end()) << n;
  EXPECT_EQ(std::find(names.begin(), names.end(), "secret"), names.end());
}

TEST(Dispatch, InvalidatedObjectRefusesEverything) {
  auto s = std::make_shared<Sample>();
  variant method = s->GetProperty("two");
  s->invalidate();
  const std::string kGone = "This object is no longer valid";
  EXPECT_EQ(ScriptErrorOf([&] { s->Invoke("two", {"a", "b"}); }), kGone);
  EXPECT_EQ(ScriptErrorOf([&] { s->GetProperty("rw"); }), kGone);
  EXPECT_EQ(ScriptErrorOf([&] { s->SetProperty("rw", "x"); }), kGone);
  EXPECT_EQ(ScriptErrorOf([&] { s->SetProperty("new", "x"); }), kGone);
  EXPECT_EQ(ScriptErrorOf([&] {
              method.cast<FB::JSAPIPtr>()->Invoke("", {"a", "b"});
            }),
            kGone);
  EXPECT_FALSE(s->HasMethod("two"));
  EXPECT_FALSE(s->HasProperty("rw"));
  EXPECT_TRUE(s->getMemberNames().empty());
  // A method object outliving its object fails the same way.
  s.reset();
  EXPECT_EQ(ScriptErrorOf([&] {
              method.cast<FB::JSAPIPtr>()->Invoke("", {"a", "b"});
            }),
            kGone);
}

TEST(Events, HandlersAndAttributeHandlerReceiveEachEventOnce) {
  auto s = std::make_shared<Sample>();
  auto listener = std::make_shared<RecordingFunction>();
  auto attr = std::make_shared<RecordingFunction>();
  auto proxyTarget = std::make_shared<RecordingFunction>();
  auto proxy = std::make_shared<Sample>();
  proxy->registerEventMethod("onping", proxyTarget);
  s->registerProxy(proxy);
  s->registerEventMethod("onping", listener);
  s->registerEventMethod("onping", listener);  // once only
  s->SetProperty("onping", variant(FB::JSObjectPtr(attr)));
  s->FireEvent("onping", {"n", 3});
  for (const auto& r : {listener, attr, proxyTarget}) {
    ASSERT_EQ(r->calls().size(), 1u);
    EXPECT_EQ(r->calls()[0].method, "");
    EXPECT_EQ(r->calls()[0].args, (VariantList{"n", 3}));
  }
  s->unregisterEventMethod("onping", listener);
  proxy.reset();  // a proxy that is gone is skipped
  s->FireEvent("onping", {});
  EXPECT_EQ(listener->calls().size(), 1u);
  EXPECT_EQ(attr->calls().size(), 2u);
  s->invalidate();
  s->FireEvent("onping", {});
  EXPECT_EQ(attr->calls().size(), 2u);
}

// Events fired from a worker thread while the main thread calls members and
// changes the handler table; run under ThreadSanitizer or ASan to see races.
TEST(Events, FiringFromAnotherThreadWhileInvoking) {
  auto s = std::make_shared<Sample>();
  auto handler = std::make_shared<RecordingFunction>();
  s->registerEventMethod("onping", handler);
  const int kFires = 2000;
  std::atomic<bool> go{false};
  std::thread worker([&] {
    while (!go) std::this_thread::yield();
    for (int i = 0; i < kFires; ++i) s->FireEvent("onping", {i});
  });
  go = true;
  auto extra = std::make_shared<RecordingFunction>();
  for (int i = 0; i < 2000; ++i) {
    EXPECT_EQ(s->Invoke("two", {"a", i}), variant("a|" + std::to_string(i)));
    s->SetProperty("rw", i);
    s->SetProperty("attr" + std::to_string(i % 7), i);
    if (i % 2)
      s->registerEventMethod("onping", extra);
    else
      s->unregisterEventMethod("onping", extra);
  }
  worker.join();
  EXPECT_EQ(handler->calls().size(), static_cast<size_t>(kFires));
  for (int i = 0; i < kFires; ++i)
    ASSERT_EQ(handler->calls()[i].args, (VariantList{i}));
}

}  // namespace
