#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/scoped_temp_dir.h"
#include "tools/kittool_lib.h"

extern char** environ;

namespace {

struct ParseCase {
  std::vector<std::string> args;
  bool ok;
  std::string error_part;  // for failures
};

TEST(KittoolArgsTest, UsageErrors) {
  const ParseCase cases[] = {
      {{}, false, "no command"},
      {{"frobnicate"}, false, "unknown command"},
      {{"pack", "-o", "k.efd", "--lang", "en"}, false, "source directory"},
      {{"pack", "src", "--lang", "en"}, false, "-o KIT"},
      {{"pack", "src", "-o"}, false, "needs a value"},
      {{"pack", "src", "-o", "k", "--lang", "en", "--level", "10"},
       false,
       "0 to 9"},
      {{"pack", "src", "-o", "k", "--lang", "en", "--level=x"},
       false,
       "0 to 9"},
      {{"pack", "src", "-o", "k"}, false, "at least one --lang"},
      {{"pack", "src", "-o", "k", "--product", "P", "--lang", "en"},
       false,
       "--product comes before any --lang"},
      {{"pack", "src", "-o", "k", "--lang", "en", "--lang", "EN"},
       false,
       "given twice"},
      {{"pack", "src", "-o", "k", "--lang", "en", "--provider", "a",
        "--provider", "b"},
       false,
       "--provider is given twice for language \"en\""},
      {{"pack", "src", "-o", "k", "--single-language", "--lang", "en"},
       false,
       "exclude each other"},
      {{"pack", "src", "other", "-o", "k", "--lang", "en"},
       false,
       "one too many"},
      {{"pack", "src", "-o", "k", "--lang", "en", "--colour"},
       false,
       "unknown option"},
      {{"list"}, false, "needs a kit"},
      {{"verify", "a", "b"}, false, "one too many"},
      {{"list", "-x"}, false, "unknown option"},
      {{"pack", "src", "-o", "k", "--lang", "en"}, true, ""},
      {{"pack", "--single-language", "src", "-o", "k"}, true, ""},
      {{"list", "--", "-odd-name.efd"}, true, ""},
  };
  for (const ParseCase& c : cases) {
    std::string joined;
    for (const std::string& arg : c.args) joined += arg + " ";
    SCOPED_TRACE(joined);
    KittoolOptions options;
    std::string error;
    EXPECT_EQ(c.ok, ParseKittoolArgs(c.args, &options, &error)) << error;
    if (!c.ok) {
      EXPECT_NE(std::string::npos, error.find(c.error_part)) << error;
    }
  }
}

TEST(KittoolArgsTest, PackRecordsCollectTheirOwnTexts) {
  KittoolOptions options;
  std::string error;
  ASSERT_TRUE(
      ParseKittoolArgs({"pack", "--level", "9", "--lang", "en", "--product",
                        "P", "--provider", "V", "--description", "d.html",
                        "tree", "--lang=ru", "--product=П", "-o", "out.efd"},
                       &options, &error))
      << error;
  EXPECT_EQ(KittoolCommand::kPack, options.command);
  EXPECT_EQ("tree", options.source_dir);
  EXPECT_EQ("out.efd", options.output);
  EXPECT_EQ(9, options.level);
  EXPECT_FALSE(options.single_language);
  ASSERT_EQ(2u, options.languages.size());
  EXPECT_EQ("en", options.languages[0].language);
  EXPECT_EQ("P", options.languages[0].product);
  EXPECT_EQ("V", options.languages[0].provider);
  EXPECT_EQ("d.html", options.languages[0].description);
  EXPECT_EQ("ru", options.languages[1].language);
  EXPECT_EQ("П", options.languages[1].product);
  EXPECT_EQ("", options.languages[1].provider);

  KittoolOptions single;
  ASSERT_TRUE(
      ParseKittoolArgs({"pack", "t", "--product", "P", "--single-language",
                        "-o", "k", "--provider", "V"},
                       &single, &error))
      << error;
  EXPECT_TRUE(single.single_language);
  EXPECT_EQ(6, single.level);
  ASSERT_EQ(1u, single.languages.size());
  EXPECT_EQ("P", single.languages[0].product);
  EXPECT_EQ("V", single.languages[0].provider);

  for (const std::vector<std::string>& help :
       {std::vector<std::string>{"--help"},
        {"-h"},
        {"pack", "--help"},
        {"verify", "-h"}}) {
    KittoolOptions asked;
    EXPECT_TRUE(ParseKittoolArgs(help, &asked, &error));
    EXPECT_EQ(KittoolCommand::kHelp, asked.command);
  }
}

TEST(KittoolTimeTest, FormatsUtc) {
  const struct {
    FileTime time;
    const char* text;
  } cases[] = {
      {0, "1601-01-01T00:00:00Z"},
      {FileTimeFromUnixSeconds(0), "1970-01-01T00:00:00Z"},
      {FileTimeFromUnixSeconds(-1), "1969-12-31T23:59:59Z"},
      {FileTimeFromUnixSeconds(951827696), "2000-02-29T12:34:56Z"},
      {FileTimeFromUnixSeconds(4102444800), "2100-01-01T00:00:00Z"},
      {FileTimeFromUnixSeconds(1700000000) + 1234567,
       "2023-11-14T22:13:20.1234567Z"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.text, FormatFileTime(c.time));
}

class KittoolTreeTest : public ::testing::Test {
 protected:
  std::string Make(const std::string& relative, const std::string& bytes,
                   int64_t seconds = 1500000000, long nanoseconds = 0) {
    std::string path = dir_->Path("tree/" + relative);
    for (size_t slash = path.find('/', dir_->path().size() + 1);
         slash != std::string::npos; slash = path.find('/', slash + 1)) {
      mkdir(path.substr(0, slash).c_str(), 0755);
    }
    EXPECT_TRUE(WriteFile(path, bytes));
    const struct timespec times[2] = {{seconds, nanoseconds},
                                      {seconds, nanoseconds}};
    EXPECT_EQ(0, utimensat(AT_FDCWD, path.c_str(), times, 0));
    return path;
  }
  std::string Tree() { return dir_->Path("tree"); }

  std::unique_ptr<ScopedTempDir> dir_ = std::make_unique<ScopedTempDir>();
};

TEST_F(KittoolTreeTest, FilesAreSortedByPathWithBackslashNamesAndWholeSeconds) {
  Make("b", "b");
  Make("a/z", "az", 1600000000, 999999999);  // sub-second part dropped
  Make("a.txt", "");
  Make("a0", "0");
  Make("A", "upper");
  Make("deep/er/still/x", "x");
  mkdir(dir_->Path("tree/empty_dir").c_str(), 0755);
  std::vector<KitFileSpec> files;
  std::string error;
  ASSERT_TRUE(CollectTree(Tree() + "/", &files, &error)) << error;
  // Byte order of the "/" paths: "A" < "a.txt" < "a/z" < "a0" < "b".
  const char16_t* names[] = {u"A",  u"a.txt", u"a\\z",
                             u"a0", u"b",     u"deep\\er\\still\\x"};
  ASSERT_EQ(6u, files.size());
  for (size_t i = 0; i < files.size(); ++i) {
    EXPECT_TRUE(files[i].name == names[i]) << i;
    EXPECT_TRUE(files[i].data.empty());
  }
  EXPECT_EQ(Tree() + "/a/z", files[2].source_path);
  EXPECT_EQ(2u, files[2].size);
  EXPECT_EQ(FileTimeFromUnixSeconds(1600000000), files[2].last_write);
  EXPECT_EQ(0u, files[2].last_write % 10000000);
  EXPECT_EQ(5u, files[0].size);
  EXPECT_EQ(0u, files[1].size);
}

TEST_F(KittoolTreeTest, RefusesWhatAKitCannotHold) {
  struct Case {
    const char* what;
    std::function<void()> make;
    const char* message_part;
  };
  const Case cases[] = {
      {"backslash", [&] { Make("sub/we\\ird", "x"); }, "backslash"},
      {"symlink to a file",
       [&] {
         Make("real", "x");
         symlink("real", dir_->Path("tree/link").c_str());
       },
       "symbolic link"},
      {"symlink to a directory",
       [&] {
         Make("d/real", "x");
         symlink("d", dir_->Path("tree/dlink").c_str());
       },
       "symbolic link"},
      {"fifo",
       [&] {
         Make("x", "x");
         mkfifo(dir_->Path("tree/pipe").c_str(), 0600);
       },
       "neither a regular file"},
      {"invalid text in the name", [&] { Make("bad\xff", "x"); },
       "not valid text"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    dir_ = std::make_unique<ScopedTempDir>();
    c.make();
    std::vector<KitFileSpec> files;
    std::string error;
    EXPECT_FALSE(CollectTree(Tree(), &files, &error));
    EXPECT_NE(std::string::npos, error.find(c.message_part)) << error;
  }
  std::vector<KitFileSpec> files;
  std::string error;
  EXPECT_FALSE(CollectTree(dir_->Path("missing"), &files, &error));
  EXPECT_NE(std::string::npos, error.find("missing")) << error;
  Make("plain", "x");
  EXPECT_FALSE(CollectTree(dir_->Path("tree/plain"), &files, &error));
  EXPECT_NE(std::string::npos, error.find("not a directory")) << error;
}

}  // namespace
