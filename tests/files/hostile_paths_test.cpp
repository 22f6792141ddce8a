// Paths as a hostile page passes them: control characters, names that lead
// back to the input file, other spellings of /tmp, megabytes of "file:///".

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <random>
#include <string>
#include <vector>

#include "TavrixCtrl.h"
#include "files_helpers.h"
#include "test_support.h"

using files_test::Exists;
using files_test::ReadAll;
using files_test::WriteAll;

namespace {

const std::string kPrefix = "<?xml version='1.0' encoding='utf-8'?><Error>";
const std::string kRefused = kPrefix + "Недопустимый символ в пути или адресе ";
// Installed by the hashing tests' environment in this program.
const std::string kSigner = "Files Hash Signer";

bool Refused(const std::string& r) { return r.rfind(kRefused, 0) == 0; }

TEST(PagePaths, ControlCharactersAreRefusedBeforeAnyFileIsTouched) {
  tavrix_test::TempDir dir;
  const std::string victim = dir.File("bashrc");
  WriteAll(victim, "precious");
  int held = open(victim.c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(held, 0);
  const std::string viaFd = "/proc/self/fd/" + std::to_string(held);

  const std::vector<std::string> names = {
      victim + std::string(1, '\0'),
      viaFd + std::string(1, '\0'),
      victim + std::string("\0.txt", 5),
      "file://" + victim + std::string(1, '\0'),
      victim + "\n",
      dir.File("a\rb"),
      dir.File("tab\there"),
      victim + "\x7f",
  };
  for (const std::string& name : names) {
    SCOPED_TRACE(testing::PrintToString(name));
    TavrixCtrl hash, load, save, fetch;
    EXPECT_TRUE(Refused(hash.HashFile(name, kSigner, 0)));
    EXPECT_TRUE(Refused(load.LoadFile(name, false)));
    EXPECT_TRUE(Refused(save.SaveFile(name, "owned", 5)));
    EXPECT_TRUE(Refused(fetch.DownloadFile("http://127.0.0.1:1/" + name)));
    EXPECT_EQ(ReadAll(victim), "precious");
  }
  EXPECT_FALSE(Exists(victim + ".hash"));
  close(held);
  // Ordinary names with non-ASCII letters and blanks still work.
  const std::string fine = dir.File("Документ 1.txt");
  WriteAll(fine, "abc");
  TavrixCtrl ok;
  EXPECT_EQ(ok.HashFile(fine, kSigner, 0), fine + ".hash");
}

TEST(PagePaths, ACallNeverWritesOverTheFileItRead) {
  tavrix_test::TempDir dir;
  const std::string input = dir.File("doc.txt");
  // The ".hash" name leads back to the input: a link, or a second name.
  for (int kind = 0; kind < 2; ++kind) {
    WriteAll(input, "the input");
    unlink((input + ".hash").c_str());
    const int made = kind == 0
                         ? symlink(input.c_str(), (input + ".hash").c_str())
                         : link(input.c_str(), (input + ".hash").c_str());
    ASSERT_EQ(made, 0);
    TavrixCtrl ctrl;
    std::string r = ctrl.HashFile(input, kSigner, 0);
    EXPECT_EQ(r, kPrefix + "Error open file to write 5" + input + ".hash" +
                     "</Error>")
        << kind;
    EXPECT_EQ(ReadAll(input), "the input") << kind;
  }
}

// Builds a folder shared like /tmp (everyone may write, sticky bit) inside
// the test's own folder, with a victim outside it.
TEST(PagePaths, SharedFoldersAreJudgedByTheFolderNotBySpelling) {
  tavrix_test::TempDir dir;
  const std::string victim = dir.File("victim");
  WriteAll(victim, "precious");
  const std::string shared = dir.File("shared");
  ASSERT_EQ(mkdir(shared.c_str(), 0700), 0);
  ASSERT_EQ(chmod(shared.c_str(), 01777), 0);
  ASSERT_EQ(symlink(victim.c_str(), (shared + "/planted").c_str()), 0);
  ASSERT_EQ(symlink(shared.c_str(), dir.File("alias").c_str()), 0);

  TavrixCtrl ctrl;
  // Our temporary names, and the planted link, under several spellings.
  std::string temp = ctrl.GetFullTempFileName();
  ASSERT_EQ(temp.rfind("/tmp/npX_", 0), 0u);
  ASSERT_EQ(unlink(temp.c_str()), 0);
  ASSERT_EQ(symlink(victim.c_str(), temp.c_str()), 0);
  const std::string base = temp.substr(5);
  const std::vector<std::string> spellings = {
      temp,
      "/tmp//" + base,
      "/tmp/./" + base,
      "//tmp/" + base,
      "/tmp/../tmp/" + base,
      "file:///tmp/./" + base,
      shared + "/planted",
      shared + "/./planted",
      dir.File("alias/planted"),
  };
  for (const std::string& path : spellings) {
    SCOPED_TRACE(path);
    TavrixCtrl save, load;
    EXPECT_EQ(save.SaveFile(path, "owned", 5).rfind(kPrefix, 0), 0u);
    EXPECT_EQ(load.LoadFile(path, false).rfind(kPrefix, 0), 0u);
    EXPECT_EQ(ReadAll(victim), "precious");
  }
  unlink(temp.c_str());
  // Our own files there are written as before.
  EXPECT_EQ(ctrl.SaveFile(dir.File("alias/mine"), "x", 1),
            dir.File("alias/mine"));
  EXPECT_EQ(ReadAll(shared + "/mine"), "x");
}

// The removal of "file:///" as the page's addresses have always had it:
// the first occurrence again and again, each leaving its last slash.
std::string NormalizedSlowly(std::string path) {
  for (size_t at = path.find("file:///"); at != std::string::npos;
       at = path.find("file:///"))
    path.erase(at, 7);
  return path;
}

TEST(PagePaths, FileAddressesNormaliseInLinearTimeWithTheSameResults) {
  const std::vector<std::string> pieces = {"file:", "/",    "//", "///",
                                           "f",     "ile:", "x",  "file:///"};
  std::mt19937 rng(7);
  TavrixCtrl ctrl;
  for (int i = 0; i < 3000; ++i) {
    std::string path;
    for (int k = rng() % 12; k >= 0; --k) path += pieces[rng() % pieces.size()];
    ASSERT_EQ(ctrl.NormalizeFileNamePath(path), NormalizedSlowly(path)) << path;
  }
  for (const std::string& unit :
       {std::string("file:///"), std::string("file:file:///")}) {
    std::string huge;
    while (huge.size() < (2u << 20)) huge += unit;
    auto start = std::chrono::steady_clock::now();
    std::string out = ctrl.NormalizeFileNamePath(huge + "x");
    const double took =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start)
            .count();
    EXPECT_LT(took, 1.0);
    std::printf("NormalizeFileNamePath of %zu bytes: %.3f s\n", huge.size(),
                took);
  }
}

}  // namespace
