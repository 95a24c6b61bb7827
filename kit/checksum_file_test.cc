#include "kit/checksum_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "kit/kit_writer.h"
#include "platform/scoped_temp_dir.h"
#include "platform/test_process.h"

namespace {

// printf hello | sha256sum
const std::string kHex =
    "2cf24dba5fb0a30e26e83b2ac5b9e29e1b161e5c1fa7425e73043362938b9824";
const std::string kUpper =
    "2CF24DBA5FB0A30E26E83B2AC5B9E29E1B161E5C1FA7425E73043362938B9824";
const std::string kKit = "tqkt.efd";

// The real sha256sum, run in `dir`; its output lands in dir/out.
test_process::Ended RunSha256sum(const ScopedTempDir& dir,
                                 const std::vector<std::string>& args) {
  test_process::Child child;
  child.argv = {"/usr/bin/sha256sum"};
  child.argv.insert(child.argv.end(), args.begin(), args.end());
  child.env = {"PATH=/usr/bin:/bin", "LC_ALL=C"};
  child.stderr_path = dir.Path("err");
  child.stdout_path = dir.Path("out");
  child.work_dir = dir.path();
  return test_process::Run(child, std::chrono::seconds(20));
}

// Files called as the cases' kits (and one other file), each holding
// "hello", so that sha256sum -c can check the same texts.
class ChecksumFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* name : {"tqkt.efd", "a\\b.efd", "new\nline.efd",
                             "c\rr.efd", "x (1).efd", "other.efd"}) {
      ASSERT_TRUE(WriteFile(dir_.Path(name), "hello")) << name;
    }
  }

  ScopedTempDir dir_;
};

// Every text is also checked by the real `sha256sum -c`: the parser takes a
// text exactly when `sha256sum --strict -c` does, and a plain `sha256sum
// -c` differs only where noted.
TEST_F(ChecksumFileTest, TakesWhatSha256sumChecks) {
  enum class Sha256sum {
    kAgrees,
    kPlainWarns,    // plain -c only warns about a line it cannot read
    kChecksOthers,  // checks another file named too, which is there
  };
  const std::string nul("\0", 1);
  const struct {
    const char* what;
    std::string text;
    bool taken;
    Sha256sum sha256sum = Sha256sum::kAgrees;
    std::string name = kKit;
  } cases[] = {
      {"as sha256sum writes it", kHex + "  tqkt.efd\n", true},
      {"binary mark", kHex + " *tqkt.efd\n", true},
      {"no final line feed", kHex + "  tqkt.efd", true},
      {"CRLF", kHex + "  tqkt.efd\r\n", true},
      {"blank lines", "\n\r\n" + kHex + "  tqkt.efd\n\n", true},
      {"one blank", kHex + " tqkt.efd\n", true},
      {"a tab", kHex + "\ttqkt.efd\n", true},
      {"a tab and the binary mark", kHex + "\t*tqkt.efd\n", true},
      {"blanks before", " \t" + kHex + "  tqkt.efd\n", true},
      {"./", kHex + "  ./tqkt.efd\n", true},
      {".//./", kHex + "  .//./tqkt.efd\n", true},
      {"upper case", kUpper + "  tqkt.efd\n", true},
      {"tagged", "SHA256 (tqkt.efd) = " + kHex + "\n", true},
      {"tagged, tight", "SHA256(tqkt.efd)=" + kHex, true},
      {"tagged, tabs, CRLF", "SHA256 (tqkt.efd)\t=\t" + kHex + "\r\n", true},
      {"tagged ./", "SHA256 (./tqkt.efd) = " + kUpper + "\n", true},
      {"escape mark, nothing escaped", "\\" + kHex + "  tqkt.efd\n", true},
      {"escaped, tagged", "\\SHA256 (tqkt.efd) = " + kHex + "\n", true},
      {"comments", "# sums\n" + kHex + "  tqkt.efd\n#", true},
      {"twice", kHex + "  tqkt.efd\n" + kHex + " *tqkt.efd\n", true},
      {"a NUL ends the name", kHex + "  tqkt.efd" + nul + "junk\n", true},
      {"escaped backslash", "\\" + kHex + "  a\\\\b.efd\n", true,
       Sha256sum::kAgrees, "a\\b.efd"},
      {"a backslash unescaped", kHex + "  a\\b.efd\n", true, Sha256sum::kAgrees,
       "a\\b.efd"},
      {"escaped line feed", "\\" + kHex + "  new\\nline.efd\n", true,
       Sha256sum::kAgrees, "new\nline.efd"},
      {"escaped carriage return", "\\" + kHex + "  c\\rr.efd\n", true,
       Sha256sum::kAgrees, "c\rr.efd"},
      {"tagged, parentheses in the name", "SHA256 (x (1).efd) = " + kHex, true,
       Sha256sum::kAgrees, "x (1).efd"},
      {"empty", "", false},
      {"no checksum line", "\n# nothing\n", false},
      {"63 digits", kHex.substr(1) + "  tqkt.efd\n", false},
      {"65 digits", kHex + "0  tqkt.efd\n", false},
      {"not hex", "g" + kHex.substr(1) + "  tqkt.efd\n", false},
      {"another digest", std::string(64, '0') + "  tqkt.efd\n", false},
      {"two digests", kHex + "  tqkt.efd\n0" + kHex.substr(1) + "  tqkt.efd\n",
       false},
      {"a blank after the name", kHex + "  tqkt.efd \n", false},
      {"two carriage returns", kHex + "  tqkt.efd\r\r\n", false},
      {"a blank and a tab", kHex + " \ttqkt.efd\n", false},
      {"a bad escape", "\\" + kHex + "  tqkt\\.efd\n", false},
      {"an escaped NUL", "\\" + kHex + "  tqkt.efd" + nul + "\n", false},
      {"a dangling escape", "\\" + kHex + "  tqkt.efd\\\n", false},
      {"tagged, blank after", "SHA256 (tqkt.efd) = " + kHex + " \n", false},
      {"tagged, lower case", "sha256 (tqkt.efd) = " + kHex + "\n", false},
      {"tagged, two blanks", "SHA256  (tqkt.efd) = " + kHex + "\n", false},
      {"tagged, another algorithm", "MD5 (tqkt.efd) = " + kHex + "\n", false},
      {"unmarked, then marked", kHex + " tqkt.efd\n" + kHex + "  tqkt.efd\n",
       false},
      {"another file, missing", kHex + "  missing.efd\n", false},
      {"a path", kHex + "  sub/tqkt.efd\n", false},
      {"marked, then unmarked", kHex + "  tqkt.efd\n" + kHex + " tqkt.efd\n",
       false, Sha256sum::kPlainWarns},
      {"a line of garbage", "garbage\n" + kHex + "  tqkt.efd\n", false,
       Sha256sum::kPlainWarns},
      {"a line of blanks", "  \n" + kHex + "  tqkt.efd\n", false,
       Sha256sum::kPlainWarns},
      {"an indented comment", " # sums\n" + kHex + "  tqkt.efd\n", false,
       Sha256sum::kPlainWarns},
      {"another file, there", kHex + "  other.efd\n", false,
       Sha256sum::kChecksOthers},
      {"the kit and another file",
       kHex + "  tqkt.efd\n" + kHex + "  other.efd\n", false,
       Sha256sum::kChecksOthers},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::optional<std::string> digest = ParseChecksumFile(c.text, c.name);
    EXPECT_EQ(c.taken, digest == kHex) << digest.value_or("(none)");
    ASSERT_TRUE(WriteFile(dir_.Path("sums"), c.text));
    const bool strict =
        RunSha256sum(dir_, {"--strict", "-c", "sums"}).ExitStatus() == 0;
    const bool plain = RunSha256sum(dir_, {"-c", "sums"}).ExitStatus() == 0;
    EXPECT_EQ(c.taken || c.sha256sum == Sha256sum::kChecksOthers, strict);
    EXPECT_EQ(c.taken || c.sha256sum != Sha256sum::kAgrees, plain);
  }
}

// What sha256sum prints for a file is what it reads back; ChecksumLine
// prints the same, and the parser reads it back for the file's name.
TEST_F(ChecksumFileTest, ChecksumLineIsWhatSha256sumPrints) {
  ASSERT_EQ(0, mkdir(dir_.Path("sub").c_str(), 0755));
  ASSERT_TRUE(WriteFile(dir_.Path("sub/tqkt.efd"), "hello"));
  for (const std::string& path :
       {std::string("tqkt.efd"), std::string("a\\b.efd"),
        std::string("new\nline.efd"), std::string("c\rr.efd"),
        std::string("sub/tqkt.efd"), dir_.Path("x (1).efd")}) {
    SCOPED_TRACE(path);
    ASSERT_EQ(0, RunSha256sum(dir_, {path}).ExitStatus());
    EXPECT_EQ(ReadFile(dir_.Path("out")), ChecksumLine(kHex, path));
    const std::string name = path.substr(path.rfind('/') + 1);
    const std::string line = ChecksumLine(kHex, name);
    EXPECT_EQ(kHex, ParseChecksumFile(line, name).value_or(""));
    ASSERT_TRUE(WriteFile(dir_.Path("sums"), ChecksumLine(kHex, path)));
    EXPECT_EQ(0, RunSha256sum(dir_, {"--strict", "-c", "sums"}).ExitStatus());
  }
}

}  // namespace
