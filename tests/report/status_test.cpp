// Status texts and the status block, byte for byte.
#include <gtest/gtest.h>

#include <string>

#include "PrintTemplate.h"

namespace {

const std::string kRows[3] = {
    "<tr><td align=\"left\" valign=\"Top\">Общий статус подписи</td><td "
    "align=\"justify\" valign=\"Top\">",
    "</td></tr><tr><td align=\"left\" valign=\"Top\">Статус проверки "
    "математической корректности</td><td align=\"justify\" valign=\"Top\">",
    "</td></tr><tr><td align=\"left\" valign=\"Top\">Статус проверки "
    "сертификата</td><td align=\"justify\" valign=\"Top\">"};

std::string Block(const std::string& verdict, const std::string& signature,
                  const std::string& certificate) {
  return "<tr><td valign=\"top\">Статус</td><td><table>" + kRows[0] + verdict +
         kRows[1] + signature + kRows[2] + certificate +
         "</td></tr></table></td></tr>";
}

const char kOk[] = "Подпись верна";
const char kFailed[] = "Одна или несколько проверок окончились неудачей";

struct StatusCase {
  bool signatureValid, chainBuilt;
  DWORD signatureError, chainStatus;
  std::string signatureText, certificateText;
  bool overall;
};

TEST(Status, BlockAndChainTexts) {
  const StatusCase cases[] = {
      {true, true, 0, 0, kOk, "Сертификат дей\x63твителен", true},
      {true, true, 0, 0x21, kOk,
       "Сертификат недействителен в данный момент. Корневой сертификат "
       "цепочки не является доверенным.  (00000021)",
       false},
      // A bit without a sentence: only the code.
      {true, true, 0, 0x100, kOk, " (00000100)", false},
      // Every bit with a sentence, in the order they are appended.
      {true, true, 0, 0x010F00FF, kOk,
       "Сертификат недействителен в данный момент. В цепочке сертификатов "
       "время неправильное. Один из сертифкатов в цепочке был аннулирован. "
       "Неверная подпись сертификата. Сертификат сервера не одобрен для "
       "таких соединений. Корневой сертификат цепочки не является "
       "доверенным. Статус аннулирования сертификатов не выяснен. "
       "Циклическая зависимость сертификатов. Один из сертификатов в "
       "цепочке не является доверенным. Цепочка проверки сертификатов "
       "недействительная в данный момент. Цепочка проверки сертификатов не "
       "имеет правильной подписи. Цепочка проверки сертификатов не одобрена "
       "для такого использования. Не удалось загрузить действующий список "
       "отозванных сертификатов.  (010f00ff)",
       false},
      // No chain: the status is an error code.
      {true, false, 0, 0, kOk, "00000000", false},
      {true, false, 0, 0xFFFFFFFF, kOk, "ffffffff", false},
      {true, false, 0, 0x800B0109, kOk,
       "Цепочка сертификатов обработана, но прервана на корневом "
       "сертификате, у которого нет отношений доверия. (800b0109)",
       false},
      // The provider's text loses its line break; unknown codes stand alone.
      {false, true, 0x80090006, 0, "Неправильная подпись. (80090006)",
       "Сертификат дейcтвителен", false},
      {false, true, 0x00ABCDEF, 0, "00abcdef", "Сертификат дейcтвителен",
       false},
      {false, true, 0, 0, "00000000", "Сертификат дейcтвителен", false},
  };
  for (const StatusCase& c : cases) {
    SCOPED_TRACE(c.certificateText);
    _CHECKSIGNRESULT r;
    r.bSignatureValid = c.signatureValid;
    r.bChainBuilt = c.chainBuilt;
    r.dwSignatureError = c.signatureError;
    r.dwChainStatus = c.chainStatus;
    EXPECT_EQ(
        PrintTemplate::HtmlStatus(&r),
        Block(c.overall ? kOk : kFailed, c.signatureText, c.certificateText));
    // Trust bits, once rendered, leave the chain marked as failed.
    EXPECT_EQ(r.bChainBuilt, c.chainBuilt && c.chainStatus == 0);

    _CHECKSIGNRESULT again;
    again.bChainBuilt = c.chainBuilt;
    again.dwChainStatus = c.chainStatus;
    if (!(c.chainBuilt && c.chainStatus == 0)) {
      EXPECT_EQ(PrintTemplate::GetMsgCheckChainStatus(&again),
                c.certificateText);
    }
  }
}

TEST(Status, OtherTexts) {
  _CHECKSIGNRESULT r;
  EXPECT_FALSE(r.bSignatureValid || r.bChainBuilt || r.dwSignatureError ||
               r.dwFindCertError || r.dwChainStatus);
  r.dwFindCertError = 0x80092004;  // CRYPT_E_NOT_FOUND
  r.dwSignatureError = 0xFFFFFFFF;
  EXPECT_EQ(PrintTemplate::GetMsgFindCertificateStatus(&r),
            "Не удается найти объект или свойство. (80092004)");
  EXPECT_EQ(PrintTemplate::GetMsgCheckSignatureStatus(&r), "ffffffff");
  EXPECT_EQ(PrintTemplate::GetMsgCheckCadesStatus(&r), "");
  EXPECT_EQ(PrintTemplate::HtmlStatus(nullptr), "");
}

}  // namespace
