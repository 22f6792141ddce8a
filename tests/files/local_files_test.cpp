// Reading, writing and naming local files.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <regex>
#include <set>
#include <string>

#include "TavrixCtrl.h"
#include "files_helpers.h"
#include "test_support.h"

using files_test::CwdGuard;
using files_test::Exists;
using files_test::FileMode;
using files_test::IsSymlink;
using files_test::ReadAll;
using files_test::WriteAll;

namespace {

const std::string kPrefix = "<?xml version='1.0' encoding='utf-8'?><Error>";

std::string Decode(const std::string& text) {
  return tavrix_test::FromBase64(text);
}

// Removes a temporary name made by a test, whatever is at it.
struct TempName {
  std::string name;
  ~TempName() {
    if (!name.empty()) {
      unlink(name.c_str());
      unlink((name + ".hash").c_str());
    }
  }
};

TEST(NormalizeFileNamePath, FileAddressesBecomeAbsolutePaths) {
  TavrixCtrl ctrl;
  EXPECT_EQ(ctrl.NormalizeFileNamePath("file:///home/u/a.txt"),
            "/home/u/a.txt");
  EXPECT_EQ(ctrl.NormalizeFileNamePath("/home/u/a.txt"), "/home/u/a.txt");
  EXPECT_EQ(ctrl.NormalizeFileNamePath("file:///a/file:///b"), "/a//b");
  EXPECT_EQ(ctrl.NormalizeFileNamePath("fifile:///le:///x"), "fi/le:///x");
  EXPECT_EQ(ctrl.NormalizeFileNamePath("FILE:///x"), "FILE:///x");
  EXPECT_EQ(ctrl.NormalizeFileNamePath("file://host/x"), "file://host/x");
  EXPECT_EQ(ctrl.NormalizeFileNamePath("file:///a%20b"), "/a%20b");
  EXPECT_EQ(ctrl.NormalizeFileNamePath(""), "");
}

TEST(LoadFile, ContentComesBackAsBase64UnlessAlreadyBase64) {
  tavrix_test::TempDir dir;
  TavrixCtrl ctrl;

  WriteAll(dir.File("empty"), "");
  EXPECT_EQ(ctrl.LoadFile(dir.File("empty"), true), "");
  EXPECT_EQ(ctrl.LoadFile(dir.File("empty"), false), "");

  const std::string b64 = "QUJD\r\nREVG\r\nRw==";
  WriteAll(dir.File("b64"), b64);
  EXPECT_EQ(ctrl.LoadFile(dir.File("b64")), b64);
  EXPECT_EQ(ctrl.LoadFile(dir.File("b64"), true), b64);
  std::string twice = ctrl.LoadFile(dir.File("b64"), false);
  EXPECT_EQ(Decode(twice), b64);

  // Any byte outside the base64 set makes the content raw data.
  for (const std::string& raw :
       {std::string("QUJD REVG"), std::string("QUJD\0REVG", 9),
        std::string("QUJD\xD0\x96"), std::string("QUJD-_")}) {
    WriteAll(dir.File("raw"), raw);
    std::string loaded = ctrl.LoadFile(dir.File("raw"), true);
    EXPECT_EQ(Decode(loaded), raw);
    EXPECT_NE(loaded, raw);
  }

  // Binary content of several lines: CR LF every 76 characters, exact bytes.
  std::string binary;
  for (int i = 0; i < 1000; ++i) binary += static_cast<char>(i * 7 % 256);
  WriteAll(dir.File("bin"), binary);
  std::string loaded = ctrl.LoadFile(dir.File("bin"), true);
  ASSERT_EQ(loaded.find("\r\n"), 76u);
  EXPECT_TRUE(Decode(loaded) == binary);

  // A file address names the same file whatever the working folder is.
  for (const char* cwd : {"/", "/tmp"}) {
    CwdGuard guard(cwd);
    EXPECT_TRUE(ctrl.LoadFile("file://" + dir.File("bin"), true) == loaded);
  }
  {
    CwdGuard here(dir.path());
    EXPECT_NE(ctrl.LoadFile("file:///bin", false).find("<Error>"),
              std::string::npos);
  }
}

TEST(LoadFile, UnreadableNamesGiveTheReadEnvelope) {
  tavrix_test::TempDir dir;
  TavrixCtrl ctrl;
  const std::string missing = dir.File("no-such-file");
  std::string result = ctrl.LoadFile(missing);
  // The code's digits run straight into the normalised path.
  std::smatch m;
  ASSERT_TRUE(std::regex_match(
      result, m,
      std::regex(std::regex_replace(kPrefix, std::regex(R"([?.])"), R"(\$&)") +
                 "Error open file ([0-9]+)(/.*)</Error>")))
      << result;
  EXPECT_EQ(m[1].str(), "2");  // file not found
  EXPECT_EQ(m[2].str(), missing);

  // A folder and a FIFO are refused at once instead of read or waited on.
  EXPECT_EQ(ctrl.LoadFile(dir.path()).rfind(kPrefix + "Error open file ", 0),
            0u);
  ASSERT_EQ(mkfifo(dir.File("fifo").c_str(), 0600), 0);
  auto start = std::chrono::steady_clock::now();
  std::string fifo = ctrl.LoadFile(dir.File("fifo"));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_EQ(fifo,
            kPrefix + "Error open file 5" + dir.File("fifo") + "</Error>");
}

TEST(SaveFile, WritesExactlyAndReportsFailures) {
  tavrix_test::TempDir dir;
  TavrixCtrl ctrl;
  const std::string target = dir.File("out.bin");

  std::string first(5000, 'a');
  // The normalised path is returned, not the address as given.
  EXPECT_EQ(ctrl.SaveFile("file://" + target, first.data(), first.size()),
            target);
  EXPECT_TRUE(ReadAll(target) == first);
  // A shorter content replaces the file entirely, zero bytes included.
  std::string second("x\0y", 3);
  EXPECT_EQ(ctrl.SaveFile(target, second.data(), second.size()), target);
  EXPECT_EQ(ReadAll(target), second);
  EXPECT_EQ(ctrl.SaveFile(target, "", 0), target);
  EXPECT_TRUE(Exists(target));
  EXPECT_EQ(ReadAll(target), "");

  const std::string nowhere = dir.File("missing/out.txt");
  EXPECT_EQ(ctrl.SaveFile(nowhere, "abc", 3),
            kPrefix + "Error open file to write 2" + nowhere + "</Error>");
  EXPECT_FALSE(Exists(nowhere));

  // A page-given path keeps ordinary semantics: a link is written through.
  WriteAll(dir.File("real"), "old");
  ASSERT_EQ(symlink(dir.File("real").c_str(), dir.File("link").c_str()), 0);
  EXPECT_EQ(ctrl.SaveFile(dir.File("link"), "new", 3), dir.File("link"));
  EXPECT_EQ(ReadAll(dir.File("real")), "new");
}

TEST(TempFiles, NamesAreFreshPrivateFilesThatLinksCannotRedirect) {
  TavrixCtrl ctrl;
  TempName a{ctrl.GetFullTempFileName()};
  TempName b{ctrl.GetFullTempFileName()};
  for (const TempName* t : {&a, &b}) {
    ASSERT_EQ(t->name.rfind("/tmp/npX_", 0), 0u) << t->name;
    EXPECT_EQ(t->name.size(), std::string("/tmp/npX_XXXXXXXX").size());
    // Created at once, empty, readable by us alone.
    EXPECT_TRUE(Exists(t->name));
    EXPECT_FALSE(IsSymlink(t->name));
    EXPECT_EQ(FileMode(t->name), 0600u);
    EXPECT_EQ(ReadAll(t->name), "");
  }
  EXPECT_NE(a.name, b.name);

  std::set<std::string> many;
  std::vector<TempName> keep(50);
  for (auto& t : keep) {
    t.name = ctrl.GetFullTempFileName();
    many.insert(t.name);
  }
  EXPECT_EQ(many.size(), 50u);

  // Our own temporary file is written in place.
  EXPECT_EQ(ctrl.SaveFile(a.name, "data", 4), a.name);
  EXPECT_EQ(ReadAll(a.name), "data");

  // A link planted at a name in our temporary namespace is not followed: the
  // file it points to stays as it was.
  tavrix_test::TempDir dir;
  WriteAll(dir.File("victim"), "precious");
  ASSERT_EQ(unlink(b.name.c_str()), 0);
  ASSERT_EQ(symlink(dir.File("victim").c_str(), b.name.c_str()), 0);
  std::string refused = ctrl.SaveFile(b.name, "owned", 5);
  EXPECT_EQ(refused.rfind(kPrefix + "Error open file to write ", 0), 0u)
      << refused;
  EXPECT_EQ(ReadAll(dir.File("victim")), "precious");

  // The same for the ".hash" name beside a temporary file, and for a hard
  // link to one of our own files.
  TempName c{ctrl.GetFullTempFileName()};
  ASSERT_EQ(symlink(dir.File("victim").c_str(), (c.name + ".hash").c_str()), 0);
  EXPECT_NE(ctrl.SaveFile(c.name + ".hash", "x", 1).find("<Error>"),
            std::string::npos);
  EXPECT_EQ(ReadAll(dir.File("victim")), "precious");
  ASSERT_EQ(unlink(c.name.c_str()), 0);
  if (link(dir.File("victim").c_str(), c.name.c_str()) == 0) {
    EXPECT_NE(ctrl.SaveFile(c.name, "x", 1).find("<Error>"), std::string::npos);
    EXPECT_EQ(ReadAll(dir.File("victim")), "precious");
  }
}

}  // namespace
