#include <CadesF.h>
#include <LibXmlF.h>
#include <TavrixCtrl.h>
#include <capi/capi.h>
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <link.h>

#include <string>
#include <thread>

namespace {

const std::string kOpen = "<?xml version='1.0' encoding='utf-8'?><Error>";
const std::string kClose = "</Error>";

// A code the provider has no text for.
const DWORD kUnknownCode = 0x00012345;
// The code the stand-in CAdES runtime of these tests knows.
const DWORD kCadesCode = 0x80091007;

std::string Find(const std::string& params, const std::string& name) {
  TavrixCtrl ctrl;
  return ctrl.FindParam(params, name);
}

TEST(Params, LinesAreSplitOnlyAtCrLf) {
  EXPECT_EQ(Find("A=a\r\nB=b", "B"), "b");
  EXPECT_EQ(Find("A=a\r\nB=b", "A"), "a");
  EXPECT_EQ(Find("A=a\r\nB=b", "b"), "");
  EXPECT_EQ(Find("A=1\r\n\r\n\r\nB=2", "B"), "2");
  EXPECT_EQ(Find("A=1\r\n\n\r\rB=2\r\n\r\n", "B"), "2");
  EXPECT_EQ(Find("A=1\nB=2", "B"), "");
  EXPECT_EQ(Find("A=1\nB=2", "A"), "1\nB=2");
  EXPECT_EQ(Find("A=1\rB=2", "A"), "1\rB=2");
  EXPECT_EQ(Find("", "A"), "");
  EXPECT_EQ(Find("\r\n\r\n", "A"), "");
}

TEST(Params, NamesAndValuesAreTakenExactly) {
  EXPECT_EQ(Find("=x\r\nK=v=w", "K"), "v=w");
  EXPECT_EQ(Find("=x\r\nK=v=w", ""), "");
  EXPECT_EQ(Find("K=\r\nL=1", "K"), "");
  EXPECT_EQ(Find("K=first\r\nK=second", "K"), "first");
  EXPECT_EQ(Find(" K= v \r\nK=2", "K"), "2");
  EXPECT_EQ(Find(" K= v \r\nK=2", " K"), " v ");
  EXPECT_EQ(Find("no equals here\r\nTspUrl=http://127.0.0.1:1/tsp", "TspUrl"),
            "http://127.0.0.1:1/tsp");
  EXPECT_EQ(Find("TspUrlX=1\r\nTspUrl=2", "TspUrl"), "2");
  EXPECT_EQ(Find("Tsp=1", "TspUrl"), "");
}

TEST(Params, ConstructorsSetTheFrame) {
  TavrixCtrl plain;
  EXPECT_EQ(plain.certArch, nullptr);
  EXPECT_EQ(plain.dwMsgFlags, static_cast<DWORD>(CMSG_DETACHED_FLAG));
  EXPECT_TRUE(plain.tspUrl.empty());
  EXPECT_EQ(plain.cades, nullptr);
  EXPECT_EQ(plain.libXml, nullptr);
  EXPECT_EQ(plain.hProvCurrent, 0u);
  EXPECT_EQ(plain.pCertContextCurrent, nullptr);
  EXPECT_EQ(plain.hMsg, nullptr);
  EXPECT_FALSE(plain.smevMode);
  EXPECT_FALSE(plain.checkRevocation);

  // Only the address is kept: the cache is never touched by the frame.
  TmpCertArhive* cache = reinterpret_cast<TmpCertArhive*>(&plain);
  TavrixCtrl bound(*cache, "HtmlOn=1\r\nTspUrl=http://tsp.test/x\r\n");
  EXPECT_EQ(bound.certArch, cache);
  EXPECT_EQ(bound.tspUrl, "http://tsp.test/x");
  EXPECT_EQ(bound.dwMsgFlags, static_cast<DWORD>(CMSG_DETACHED_FLAG));
}

TEST(Version, IsTheProductVersion) {
  EXPECT_EQ(TavrixCtrl::GetVersion(), "1.0.7.68");
}

TEST(Envelope, WithoutAnErrorCode) {
  TavrixCtrl ctrl;
  SetLastError(0);
  EXPECT_EQ(ctrl.MyHandleError("Сертификат не найден!", false),
            kOpen + "Сертификат не найден!  (0)" + kClose);
  SetLastError(0);
  EXPECT_EQ(ctrl.MyHandleError("Сертификат не найден!", true),
            "Сертификат не найден!  (0)");
}

TEST(Envelope, CodeWithoutTextIsWrittenShort) {
  TavrixCtrl ctrl;
  SetLastError(kUnknownCode);
  EXPECT_EQ(ctrl.MyHandleError("Sign-CryptMsgUpdate", false),
            kOpen + "Sign-CryptMsgUpdate  (12345)" + kClose);
  SetLastError(kUnknownCode);
  EXPECT_EQ(ctrl.MyHandleError("Sign-CryptMsgUpdate", true),
            "Sign-CryptMsgUpdate  (12345)");
}

TEST(Envelope, CodeWithSystemTextHasEightDigits) {
  TavrixCtrl ctrl;
  SetLastError(ERROR_INVALID_PARAMETER);  // 0x57
  EXPECT_EQ(ctrl.MyHandleError("Ошибка в Sign-CryptSignHash", false),
            kOpen + "Ошибка в Sign-CryptSignHash Параметр задан неверно.\r\n " +
                "(00000057)" + kClose);
  SetLastError(NTE_BAD_KEYSET);
  EXPECT_EQ(ctrl.MyHandleError("X", true),
            "X Набор ключей не существует.\r\n (80090016)");
}

TEST(Envelope, ReadsTheCodeBeforeAnythingElse) {
  // The probe and the formatter run after the code is taken: the code in
  // the envelope is the caller's, not whatever they leave behind.
  TavrixCtrl ctrl;
  SetLastError(kUnknownCode);
  const std::string first = ctrl.MyHandleError("a", true);
  EXPECT_EQ(first, "a  (12345)");
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MR_MID_NOT_FOUND))
      << "the failed formatter left its own code";
  SetLastError(kUnknownCode);
  EXPECT_EQ(ctrl.MyHandleError("a", true), first);
}

TEST(Envelope, MessageIsInsertedUnchanged) {
  TavrixCtrl ctrl;
  SetLastError(0);
  EXPECT_EQ(ctrl.MyHandleError("<b>&%s%08x", false),
            kOpen + "<b>&%s%08x  (0)" + kClose);
}

TEST(NoCades, ProbeSaysNotInstalledAndNoBindingIsMade) {
  TavrixCtrl ctrl;
  EXPECT_EQ(ctrl.TestCades(), "Не установлен КриптоПРО ЭЦП Runtime!");
  EXPECT_EQ(CadesF::FindCadesDll(), "Не установлен КриптоПРО ЭЦП Runtime!");
  SetLastError(kCadesCode);
  const std::string env = ctrl.MyHandleError("m", true);
  EXPECT_EQ(ctrl.cades, nullptr);
  EXPECT_EQ(env, "m Значение хеша неверно.\r\n (80091007)");
  CadesF unusable;
  EXPECT_EQ(unusable.hCadesDll, nullptr);
  EXPECT_EQ(unusable.FCadesFormatMessage, nullptr);
}

TEST(CadesFull, ProbeSaysOneAndTheBindingResolvesAll) {
  TavrixCtrl ctrl;
  EXPECT_EQ(ctrl.TestCades(), "1");
  CadesF cades;
  EXPECT_NE(cades.hCadesDll, nullptr);
  EXPECT_NE(cades.FCadesMsgIsType, nullptr);
  EXPECT_NE(cades.FCadesFreeVerificationInfo, nullptr);
  EXPECT_NE(cades.FCadesMsgVerifySignature, nullptr);
  EXPECT_NE(cades.FCadesMsgEnhanceSignature, nullptr);
  EXPECT_NE(cades.FCadesMsgOpenToEncode, nullptr);
  EXPECT_NE(cades.FCadesFormatMessage, nullptr);
}

TEST(CadesFull, EnvelopePrefersTheRuntimeText) {
  TavrixCtrl ctrl;
  SetLastError(kCadesCode);
  EXPECT_EQ(
      ctrl.MyHandleError("Ошибка в SignCades-CadesMsgOpenToEncode", false),
      kOpen + "Ошибка в SignCades-CadesMsgOpenToEncode " +
          "Хеш сообщения не совпадает (CAdES). (80091007)" + kClose);
  ASSERT_NE(ctrl.cades, nullptr) << "the binding is kept for later errors";
  CadesF* kept = ctrl.cades;

  // A code the runtime does not know falls back to the system's text.
  SetLastError(NTE_BAD_SIGNATURE);
  EXPECT_EQ(ctrl.MyHandleError("v", true),
            "v Неправильная подпись.\r\n (80090006)");
  SetLastError(kUnknownCode);
  EXPECT_EQ(ctrl.MyHandleError("v", true), "v  (12345)");
  EXPECT_EQ(ctrl.cades, kept);
}

TEST(CadesPartial, ProbeNamesTheMissingCallsInOrder) {
  TavrixCtrl ctrl;
  EXPECT_EQ(ctrl.TestCades(),
            "Необходимо обновить КрипроПро ЭЦП Runtime. Не найдены следующие "
            "методы:CadesMsgEnhanceSignature,CadesFormatMessage");
  CadesF cades;
  EXPECT_EQ(cades.hCadesDll, nullptr) << "incomplete runtime is not usable";
  EXPECT_NE(cades.FCadesMsgIsType, nullptr);
  EXPECT_EQ(cades.FCadesFormatMessage, nullptr);

  SetLastError(kCadesCode);
  EXPECT_EQ(ctrl.MyHandleError("m", true),
            "m Значение хеша неверно.\r\n (80091007)");
  EXPECT_EQ(ctrl.cades, nullptr);
}

TEST(XmlSystem, LoadsAndCanonicalisesWithTheRealLibrary) {
  ASSERT_EQ(LibXmlF::FindDll(), "");
  LibXmlF xml;
  ASSERT_NE(xml.hDll, nullptr);
  const char doc[] = "<a  b=\"1\"   c='2'><x/></a>";
  xml.FxmlInitParser();
  xmlDocPtr parsed =
      xml.FxmlReadMemory(doc, sizeof(doc) - 1, "noname.xml", nullptr, 0);
  ASSERT_NE(parsed, nullptr);
  EXPECT_NE(xml.FxmlDocGetRootElement(parsed), nullptr);
  xmlChar* out = nullptr;
  const int len = xml.FxmlC14NDocDumpMemory(
      parsed, nullptr, XML_C14N_EXCLUSIVE_1_0, nullptr, 0, &out);
  ASSERT_GT(len, 0);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(out), len),
            "<a b=\"1\" c=\"2\"><x></x></a>");
  // The library's own deallocator, read from its exported variable.
  xml.FxmlFree(out);
  xml.FxmlFreeDoc(parsed);
}

TEST(XmlPartial, CheckNamesTheMissingFunctions) {
  EXPECT_EQ(LibXmlF::FindDll(),
            "Необходимо обновить libxml2.so. Не найдены следующие "
            "методы:xmlC14NDocDumpMemory,xmlXPathFreeObject");
  LibXmlF xml;
  EXPECT_EQ(xml.hDll, nullptr);
  EXPECT_EQ(xml.FxmlC14NDocDumpMemory, nullptr);
  EXPECT_NE(xml.FxmlReadMemory, nullptr);
  EXPECT_NE(xml.FxmlFree, nullptr);
}

std::string LoadedFrom(void* handle) {
  struct link_map* map = nullptr;
  if (handle == nullptr || dlinfo(handle, RTLD_DI_LINKMAP, &map) != 0 || !map)
    return "";
  return map->l_name ? map->l_name : "";
}

TEST(XmlVersioned, OnlyTheVersionedNameCountsAsNotInstalled) {
  const std::string result = LibXmlF::FindDll();
  if (result.empty()) {
    const std::string where = LoadedFrom(dlopen("libxml2.so", RTLD_LAZY));
    GTEST_SKIP() << "a system libxml2.so is on the default search path ("
                 << where << ") and no private mount namespace was available";
  }
  EXPECT_EQ(result, "Не установлен libxml2.so!");
  LibXmlF xml;
  EXPECT_EQ(xml.hDll, nullptr);
  EXPECT_EQ(xml.FxmlFree, nullptr);
  // The versioned file is there and loads under its own full name.
  const std::string versioned =
      std::string(FRAME_FAKES_DIR) + "/xml-versioned/libxml2.so.2";
  EXPECT_NE(dlopen(versioned.c_str(), RTLD_LAZY), nullptr) << dlerror();
}

}  // namespace
