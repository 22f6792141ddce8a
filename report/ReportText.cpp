#include "ReportText.h"

#include <utf8.h>

#include <cstdint>
#include <iterator>
#include <string>

namespace report_text {

std::string Html(const std::string& text) {
  std::string valid;
  utf8::replace_invalid(text.begin(), text.end(), std::back_inserter(valid),
                        0xFFFD);
  std::string out;
  out.reserve(valid.size());
  auto it = valid.begin();
  while (it != valid.end()) {
    uint32_t cp = utf8::unchecked::next(it);
    switch (cp) {
      case '&':
        out += "&amp;";
        continue;
      case '<':
        out += "&lt;";
        continue;
      case '>':
        out += "&gt;";
        continue;
      default:
        break;
    }
    if ((cp < 0x20 && cp != '\t' && cp != '\n' && cp != '\r') || cp == 0xFFFE ||
        cp == 0xFFFF)
      cp = 0xFFFD;
    utf8::unchecked::append(cp, std::back_inserter(out));
  }
  return out;
}

}  // namespace report_text
