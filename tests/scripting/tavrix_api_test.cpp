// The page-facing script object, called as the browser bridge calls it, with
// its crypto members run end to end on the provider and a test certificate.

#include <dlfcn.h>
#include <unistd.h>

#include "TavrixAPI.h"
#include "TmpCertArhive.h"
#include "base64.h"
#include "capi_spy.h"
#include "files_helpers.h"
#include "scripting_test_util.h"
#include "test_support.h"

using FB::variant;
using FB::VariantList;
using scripting_test::RecordingFunction;
using scripting_test::ScriptErrorOf;

namespace {

const std::string kPrefix = "<?xml version='1.0' encoding='utf-8'?><Error>";
const std::string kSubject = "Script API Signer";

class ApiEnv : public ::testing::Environment {
 public:
  void SetUp() override {
    auto& pki = tavrix_test::TestPki::Get();
    const auto& cert = pki.MakeCert("script-api", "gost2012_256",
                                    "/CN=" + kSubject, -3600, 864000, "self");
    ASSERT_TRUE(pki.Install(cert, "MY", true));
  }
};
::testing::Environment* const env =
    ::testing::AddGlobalTestEnvironment(new ApiEnv());

std::shared_ptr<TavrixAPI> NewApi() {
  return std::make_shared<TavrixAPI>(nullptr, nullptr);
}

std::string Str(const variant& v) { return v.convert_cast<std::string>(); }

std::string OpensslHash(const std::string& bytes) {
  tavrix_test::TempDir dir;
  files_test::WriteAll(dir.File("in"), bytes);
  auto r = tavrix_test::RunCommand(
      "openssl dgst -engine gost -md_gost94 -binary " +
      tavrix_test::ShellQuote(dir.File("in")) + " 2>/dev/null");
  EXPECT_EQ(r.exitCode, 0);
  return base64::encoding(r.output.data(), r.output.size(), false);
}

// First in this program: nothing else calls "echo", so the process-wide
// count starts at 0 here.
TEST(TavrixAPI, EchoCountsOverAllObjectsAndReturnsItsArgument) {
  auto a = NewApi();
  auto b = NewApi();
  auto onA = std::make_shared<RecordingFunction>();
  auto onB = std::make_shared<RecordingFunction>();
  a->registerEventMethod("onecho", onA);
  b->SetProperty("onecho", variant(FB::JSObjectPtr(onB)));
  const variant args[] = {variant("text"), variant(2.5),
                          variant(VariantList{1, "x"})};
  EXPECT_EQ(a->Invoke("echo", {args[0]}), args[0]);
  EXPECT_EQ(b->Invoke("echo", {args[1]}), args[1]);
  EXPECT_EQ(a->Invoke("echo", {args[2]}), args[2]);
  const std::string kText = "So far, you clicked this many times: ";
  ASSERT_EQ(onA->calls().size(), 2u);
  ASSERT_EQ(onB->calls().size(), 1u);
  EXPECT_EQ(onA->calls()[0].args, (VariantList{kText, 0}));
  EXPECT_EQ(onB->calls()[0].args, (VariantList{kText, 1}));
  EXPECT_EQ(onA->calls()[1].args, (VariantList{kText, 2}));
  // "echo" with no argument returns undefined.
  EXPECT_TRUE(a->Invoke("echo", {}).empty());

  auto onTest = std::make_shared<RecordingFunction>();
  a->registerEventMethod("ontest", onTest);
  EXPECT_TRUE(a->Invoke("testEvent", {}).empty());
  ASSERT_EQ(onTest->calls().size(), 1u);
  EXPECT_TRUE(onTest->calls()[0].args.empty());
}

TEST(TavrixAPI, PropertiesBuiltinsAndUnpublishedMembers) {
  auto api = NewApi();
  EXPECT_EQ(Str(api->Invoke("toString", {})), "<JSAPI-Auto Javascript Object>");
  EXPECT_EQ(Str(api->Invoke("GetVersion", {})), "1.0.7.68");
  EXPECT_EQ(Str(api->GetProperty("version")), "1.0.7.68");
  EXPECT_EQ(ScriptErrorOf([&] { api->SetProperty("version", "2"); }),
            "Cannot set read-only property version");
  EXPECT_EQ(Str(api->GetProperty("testString")), "");
  api->SetProperty("testString", std::string("a\0b", 3));
  EXPECT_EQ(Str(api->GetProperty("testString")), std::string("a\0b", 3));
  EXPECT_EQ(NewApi()->GetProperty("testString"), variant(""));
  for (const char* hidden :
       {"Verify", "VerifyFile", "CreateCertArchive", "getPlugin"}) {
    EXPECT_TRUE(api->GetProperty(hidden).empty()) << hidden;
    EXPECT_EQ(ScriptErrorOf([&] {
                api->Invoke(hidden, {"a", "b", "c"});
              }),
              std::string("The specified member does not exist: ") + hidden);
  }
  // Reachable from C++ only; the flag string is reset on every call.
  std::string nested = "x";
  EXPECT_EQ(api->Verify("", "", "", nested)
                .rfind("<?xml version='1.0' encoding='utf-8'?><Error>"
                       "Пустая подпись.",
                       0),
            0u);
  EXPECT_EQ(nested, "0");
  nested = "x";
  EXPECT_NE(
      api->VerifyFile("", "/nonexistent/a.p7s", "", nested).find("<Error>"),
      std::string::npos);
  EXPECT_EQ(nested, "0");
  EXPECT_EQ(ScriptErrorOf([&] { api->getPlugin(); }), "The plugin is invalid");
  // Deleting a cache that does not exist does nothing.
  EXPECT_TRUE(api->Invoke("DeleteArchive", {}).empty());
  EXPECT_EQ(api->Archive(), nullptr);
  EXPECT_EQ(ScriptErrorOf([&] {
              api->Invoke("Hash", {"text", kSubject});
            }),
            "Error: Argument 3is not optional.");
}

TEST(TavrixAPI, HashTakesFlagsAsAnyScriptNumber) {
  auto api = NewApi();
  const std::string text = "Подпись документа";
  const std::string expected = OpensslHash(text);
  const std::string asBase64 = base64::encoding(text.data(), text.size(), true);
  struct Case {
    variant data, flags;
    std::string result;  // expected hash, or "error: " + text
  } cases[] = {
      {text, 0, expected},
      {text, "0", expected},
      {text, 0.0, expected},
      {text, false, expected},
      {asBase64, true, expected},
      {asBase64, "1", expected},
      {asBase64, 1.9, expected},
      // Above 32 bits the flags are cut to their low 32: 2^32 + 1 is 1.
      {asBase64, 4294967297.0, expected},
      {text, 4294967296.0, expected},
      {text, 1e20,
       "error: Invalid argument conversion from double to long at index 3"},
      {text, "one",
       "error: Invalid argument conversion from std::string to long at "
       "index 3"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.flags.get_type_name() + " " + c.result);
    std::string got;
    try {
      got = Str(api->Invoke("Hash", {c.data, kSubject, c.flags}));
    } catch (const FB::script_error& e) {
      got = std::string("error: ") + e.what();
    }
    EXPECT_EQ(got, c.result);
  }
  // A certificate that is not there is the controller's envelope, passed on.
  EXPECT_EQ(
      Str(api->Invoke("Hash", {text, "no such subject", 0})).rfind(kPrefix, 0),
      0u);
}

TEST(TavrixAPI, FileListingDownloadAndRuntimeMembersEndToEnd) {
  auto api = NewApi();
  const auto& cert = tavrix_test::TestPki::Get().Cert("script-api");
  std::string listing = Str(api->Invoke("SelectCertificate", {kSubject, ""}));
  EXPECT_NE(listing.find("<Serial>#" + cert.serialHex + "</Serial>"),
            std::string::npos)
      << listing;

  tavrix_test::TempDir dir;
  const std::string content = "file body\r\n\x01\x02";
  files_test::WriteAll(dir.File("doc.bin"), content);
  std::string hashPath =
      Str(api->Invoke("HashFile", {dir.File("doc.bin"), kSubject, 0}));
  EXPECT_EQ(hashPath, dir.File("doc.bin") + ".hash");
  EXPECT_EQ(files_test::ReadAll(dir.File("doc.bin.hash")),
            OpensslHash(content));

  files_test::HttpServer server(dir.path());
  std::string local =
      Str(api->Invoke("DownloadFile", {server.url("/doc.bin")}));
  ASSERT_EQ(local.rfind("/tmp/npX_", 0), 0u) << local;
  EXPECT_EQ(files_test::ReadAll(local), content);
  unlink(local.c_str());

  void* cades = dlopen("libcades.so", RTLD_NOW);
  std::string probe = Str(api->Invoke("TestCades", {}));
  if (cades) {
    dlclose(cades);
    EXPECT_NE(probe.find("Runtime"), 0u);
  } else {
    EXPECT_EQ(probe, "Не установлен КриптоПРО ЭЦП Runtime!");
  }
}

}  // namespace

namespace {

std::string Decode(const std::string& text) {
  return tavrix_test::FromBase64(text);
}

// OpenSSL's verdict on a detached CMS signature of `content`.
bool OpensslVerifies(const std::string& sigB64, const std::string& content) {
  tavrix_test::TempDir dir;
  files_test::WriteAll(dir.File("sig.der"), Decode(sigB64));
  files_test::WriteAll(dir.File("content"), content);
  auto r = tavrix_test::RunCommand(
      "openssl cms -verify -engine gost -binary -inform DER -noverify -in " +
      tavrix_test::ShellQuote(dir.File("sig.der")) + " -content " +
      tavrix_test::ShellQuote(dir.File("content")) + " -out /dev/null 2>&1");
  return r.exitCode == 0 &&
         r.output.find("Verification successful") != std::string::npos;
}

TEST(TavrixAPI, SignReusesTheCachedKeyUntilDeleteArchive) {
  auto api = NewApi();
  const std::string text = "Подписываемый текст";
  capi_spy::Reset();
  EXPECT_EQ(ScriptErrorOf([&] {
              api->Invoke("Sign", {text, kSubject, 0});
            }),
            "Error: Argument 4is not optional.");
  EXPECT_EQ(capi_spy::Get().acquireCalls, 0);
  EXPECT_EQ(api->Archive(), nullptr);

  for (int i = 0; i < 2; ++i) {
    std::string sig = Str(api->Invoke("Sign", {text, kSubject, "0", ""}));
    ASSERT_EQ(sig.find("<Error>"), std::string::npos) << sig;
    EXPECT_TRUE(OpensslVerifies(sig, text));
  }
  EXPECT_EQ(capi_spy::Get().acquireCalls, 1);
  ASSERT_NE(api->Archive(), nullptr);
  EXPECT_EQ(api->Archive()->Size(), 1u);

  api->Invoke("DeleteArchive", {});
  EXPECT_EQ(api->Archive(), nullptr);
  std::string sig = Str(api->Invoke("Sign", {text, kSubject, 0.0, ""}));
  EXPECT_TRUE(OpensslVerifies(sig, text));
  EXPECT_EQ(capi_spy::Get().acquireCalls, 2);
  // Each object has its own cache.
  auto other = NewApi();
  other->Invoke("Sign", {text, kSubject, 0, ""});
  EXPECT_EQ(capi_spy::Get().acquireCalls, 3);
}

TEST(TavrixAPI, SignFileWebSignsADownloadedFileAndRemovesIt) {
  auto api = NewApi();
  tavrix_test::TempDir dir;
  std::string content;
  for (int i = 0; i < 5000; ++i) content += static_cast<char>(i * 7 % 256);
  files_test::WriteAll(dir.File("big.bin"), content);
  files_test::HttpServer server(dir.path());
  std::string local =
      Str(api->Invoke("DownloadFile", {server.url("/big.bin")}));
  ASSERT_EQ(local.rfind("/tmp/npX_", 0), 0u) << local;
  std::string sig =
      Str(api->Invoke("SignFileWeb", {local, kSubject, false, ""}));
  ASSERT_EQ(sig.find("<Error>"), std::string::npos) << sig;
  EXPECT_TRUE(OpensslVerifies(sig, content));
  EXPECT_FALSE(files_test::Exists(local));
  EXPECT_NE(api->Archive(), nullptr);
}

}  // namespace
