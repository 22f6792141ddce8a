// The system logger's entry points are replaced inside this test program, so
// each record the debug log writes can be inspected.
#include <TavrixUtils.h>
#include <gtest/gtest.h>
#include <syslog.h>

#include <cstdarg>
#include <cstdio>
#include <string>
#include <vector>

namespace {
struct Record {
  std::string ident;
  int option = -1;
  int facility = -1;
  int priority = -1;
  std::string format;
  std::string text;
  bool closed = false;
};
std::vector<Record> g_records;
std::string g_ident;
int g_option = -1, g_facility = -1;
}  // namespace

extern "C" void openlog(const char* ident, int option, int facility) {
  g_ident = ident ? ident : "";
  g_option = option;
  g_facility = facility;
}

extern "C" void syslog(int priority, const char* format, ...) {
  Record r;
  r.ident = g_ident;
  r.option = g_option;
  r.facility = g_facility;
  r.priority = priority;
  r.format = format;
  va_list ap;
  va_start(ap, format);
  char buf[4096];
  vsnprintf(buf, sizeof buf, format, ap);
  va_end(ap);
  r.text = buf;
  g_records.push_back(r);
}

extern "C" void closelog(void) {
  if (!g_records.empty()) g_records.back().closed = true;
}

namespace {

TEST(DebugLog, OneDebugRecordPerCallWrittenLiterally) {
  g_records.clear();
  TavrixUtils::ODebug("Sign: 100% готово %s %n %x");
  TavrixUtils::ODebug("FindParam: TspUrl=");
  ASSERT_EQ(g_records.size(), 2u);
  const Record& r = g_records[0];
  EXPECT_EQ(r.ident, "npTavrix.so");
  EXPECT_EQ(r.option, LOG_PID);
  EXPECT_EQ(r.facility & ~LOG_FACMASK, 0) << "no stray bits";
  EXPECT_EQ(r.facility, 0) << "the default facility stays in force";
  EXPECT_EQ(r.priority, LOG_DEBUG);
  EXPECT_EQ(r.format, "%s");
  EXPECT_EQ(r.text, "Sign: 100% готово %s %n %x");
  EXPECT_TRUE(r.closed);
  EXPECT_EQ(g_records[1].text, "FindParam: TspUrl=");
}

}  // namespace
