#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <sstream>
#include <random>
#include <string>
#include <vector>

#include "engine/engine_test_util.h"
#include "kit/entry_names.h"
#include "kit/kit_reader.h"
#include "platform/fault_injection.h"
#include "platform/scoped_temp_dir.h"
#include "platform/system_api.h"
#include "platform/test_process.h"
#include "text/terminal_text.h"
#include "text/text_conversion_internal.h"
#include "tools/kittool_lib.h"

extern char** environ;

namespace {

// How often `needle` stands in `text`.
size_t Count(const std::string& text, const std::string& needle) {
  size_t count = 0;
  for (size_t at = text.find(needle); at != std::string::npos;
       at = text.find(needle, at + needle.size())) {
    ++count;
  }
  return count;
}

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
      {{"extract", "kit.efd"}, false, "a kit and a directory"},
      {{"extract", "kit.efd", "dir", "more"}, false, "a kit and a directory"},
      {{"extract", "kit.efd", ""}, false, "not empty"},
      {{"extract", "--force", "kit.efd", "dir"}, false, "unknown option"},
      {{"extract", "kit.efd", "--", "-dir"}, true, ""},
      {{"list", "--version"}, false, "unknown option \"--version\""},
      {{"pack", "src", "-o", "k", "--lang", "en", "--version"},
       false,
       "unknown option \"--version\""},
      {{"extract", "--version", "k", "d"}, false, "unknown option"},
      {{"-V"}, false, "unknown command"},
      {{"-version"}, false, "unknown command"},
      {{"--version=1"}, false, "unknown command"},
      {{"version"}, false, "unknown command"},
      {{"pack", "src", "-o", "k", "--output=j", "--lang", "en"},
       false,
       "the output kit is given twice"},
      {{"pack", "src", "-o", "k", "--level=1", "--level", "2", "--lang", "en"},
       false,
       "--level is given twice"},
      {{"pack", "src", "-o", "k", "--single-language=yes"},
       false,
       "unknown option \"--single-language\""},
      {{"pack", "src", "-o=k", "--lang", "en"},
       false,
       "unknown option \"-o=k\""},
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

// --version is a command of its own when it comes first; after another
// command, or spelt otherwise, it is what any unknown option or command is
// (those cases are in the table above).
TEST(KittoolArgsTest, VersionIsTheFirstArgumentOnly) {
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"--version"},
        std::vector<std::string>{"--version", "list"}}) {
    KittoolOptions options;
    std::string error;
    EXPECT_TRUE(ParseKittoolArgs(args, &options, &error)) << error;
    EXPECT_EQ(KittoolCommand::kVersion, options.command);
  }
}

// The built tool asked for its version with an empty home and temporary
// directory and no display: one line, status 0, and nothing written
// anywhere, not even the state directory.
TEST(KittoolVersionTest, PrintsOneLineAndTouchesNothing) {
  ScopedTempDir root;
  for (const char* dir : {"home", "tmp", "work"}) {
    ASSERT_EQ(0, mkdir(root.Path(dir).c_str(), 0755));
  }
  const engine_test::Tree before = engine_test::Snapshot(root.path());
  test_process::Child child;
  child.argv = {KITTOOL_PATH, "--version"};
  child.env = {"HOME=" + root.Path("home"), "TMPDIR=" + root.Path("tmp"),
               "LC_ALL=C.UTF-8"};
  for (const std::string& variable : test_process::Inherited(
           {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS", "PATH"})) {
    child.env.push_back(variable);
  }
  // Both outputs outside the compared tree.
  ScopedTempDir outputs;
  child.stdout_path = outputs.Path("stdout");
  child.stderr_path = outputs.Path("stderr");
  child.work_dir = root.Path("work");
  const test_process::Ended ended =
      test_process::Run(child, std::chrono::seconds(60));
  ASSERT_EQ(0, ended.spawn_error);
  EXPECT_EQ(0, ended.ExitStatus());
  EXPECT_EQ("kittool " + engine_test::ProjectVersion(TQ_SOURCE_DIR) + "\n",
            ReadFile(outputs.Path("stdout")));
  EXPECT_EQ(KittoolVersion(), ReadFile(outputs.Path("stdout")));
  EXPECT_EQ("", ended.err);
  EXPECT_EQ(
      "", engine_test::Difference(before, engine_test::Snapshot(root.path())));
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

// The units of `list` as a WideString; for names that hold lone surrogates
// or NUL units, which a literal cannot.
WideString Units(std::initializer_list<char16_t> list) {
  return WideString(list.begin(), static_cast<uint32_t>(list.size()));
}

TEST(EscapeForTerminalTest, EscapesWhatATerminalActsOn) {
  ASSERT_TRUE(text_internal::UseConverterForTesting("C.UTF-8"));
  const struct {
    const char* what;
    WideString text;
    std::string escaped;
  } cases[] = {
      {"plain", u"dir/file name.cfg", "dir/file name.cfg"},
      {"non-ASCII", u"Ж\u00A0€", "\xD0\x96\xC2\xA0\xE2\x82\xAC"},
      {"surrogate pair", Units({u'a', 0xD83D, 0xDE00}), "a\xF0\x9F\x98\x80"},
      {"backslash", u"sub\\file", "sub\\\\file"},
      // A backslash and an "n" must not read as a newline.
      {"backslash n", u"a\\n", "a\\\\n"},
      {"newline", u"a\nb", "a\\nb"},
      {"named controls", u"\a\b\t\n\v\f\r", "\\a\\b\\t\\n\\v\\f\\r"},
      {"NUL", Units({u'a', 0, u'b'}), "a\\000b"},
      {"other C0", u"\u0001\u001F", "\\001\\037"},
      {"escape", u"\u001B[31mred", "\\033[31mred"},
      {"delete", u"a\u007F", "a\\177"},
      {"C1 as its UTF-8 bytes", u"\u0085\u009F", "\\302\\205\\302\\237"},
      {"invalid bytes", Units({u'x', 0xDC80, 0xDCFF}), "x\\x80\\xff"},
      {"lone surrogates", Units({0xD800, u'y', 0xDC00}),
       "\\xed\\xa0\\x80y\\xed\\xb0\\x80"},
      {"empty", u"", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(c.escaped, EscapeForTerminal(c.text));
  }
  text_internal::RestoreConverterForTesting();
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
  ASSERT_TRUE(CollectTree(RealSystem(), Tree() + "/", &files, &error)) << error;
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
    std::string message_part;
  };
  const Case cases[] = {
      {"backslash", [&] { Make("sub/we\\ird", "x"); }, "backslash"},
      {"symlink to a file",
       [&] {
         Make("real", "x");
         ASSERT_EQ(0, symlink("real", dir_->Path("tree/link").c_str()));
       },
       "symbolic link"},
      {"symlink to a directory",
       [&] {
         Make("d/real", "x");
         ASSERT_EQ(0, symlink("d", dir_->Path("tree/dlink").c_str()));
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
      {"newline", [&] { Make("sub/a\nb", "x"); },
       "/tree/sub/a\\nb\": its path in the kit contains a control "
       "character"},
      {"escape", [&] { Make("\x1b[31mred", "x"); }, "/\\033[31mred\": its"},
      {"delete", [&] { Make("a\x7f", "x"); }, "control character"},
      {"C1 control", [&] { Make("x\xc2\x85", "x"); }, "control character"},
      {"control in a directory's name", [&] { Make("d\tir/f", "x"); },
       "control character"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    dir_ = std::make_unique<ScopedTempDir>();
    c.make();
    std::vector<KitFileSpec> files;
    std::string error;
    EXPECT_FALSE(CollectTree(RealSystem(), Tree(), &files, &error));
    EXPECT_NE(std::string::npos, error.find(c.message_part)) << error;
    // The message names the file without letting its name act.
    EXPECT_EQ(std::string::npos, error.find_first_of("\n\t\x1b")) << error;
  }
  std::vector<KitFileSpec> files;
  std::string error;
  EXPECT_FALSE(
      CollectTree(RealSystem(), dir_->Path("missing"), &files, &error));
  EXPECT_NE(std::string::npos, error.find("missing")) << error;
  Make("plain", "x");
  EXPECT_FALSE(
      CollectTree(RealSystem(), dir_->Path("tree/plain"), &files, &error));
  EXPECT_NE(std::string::npos, error.find("not a directory")) << error;
}

// A relative path of 4096 bytes or more is refused by name, before the
// system's limit on whole paths turns it into "File name too long".
TEST_F(KittoolTreeTest, RefusesPathsOf4096BytesOrMore) {
  // 16 directories of 240 bytes, then a file of 241: 4097 bytes below the
  // tree, whose directory the walker can still open.
  std::string relative_dir;
  for (int i = 0; i < 16; ++i) {
    relative_dir += (i > 0 ? "/" : "") + std::string(240, 'a' + i);
  }
  ASSERT_LT(Tree().size() + 1 + relative_dir.size(), 4095u)
      << "the temporary directory's path is too long for this test";
  std::string path = Tree();
  ASSERT_EQ(0, mkdir(path.c_str(), 0755));
  for (int i = 0; i < 16; ++i) {
    path += "/" + std::string(240, 'a' + i);
    ASSERT_EQ(0, mkdir(path.c_str(), 0755)) << std::strerror(errno);
  }
  // The file's whole path is beyond the system's limit: it is reached from
  // its directory.
  const int dir_fd = open(path.c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_LE(0, dir_fd);
  const std::string name(241, 'z');
  const int fd = openat(dir_fd, name.c_str(), O_WRONLY | O_CREAT, 0600);
  EXPECT_LE(0, fd) << std::strerror(errno);
  close(fd);
  std::vector<KitFileSpec> files;
  std::string error;
  EXPECT_FALSE(CollectTree(RealSystem(), Tree(), &files, &error));
  EXPECT_NE(std::string::npos,
            error.find("/" + name +
                       "\": its path in the kit is 4096 bytes "
                       "or longer"))
      << error;
  // Removing the tree by whole paths could not reach the file.
  unlinkat(dir_fd, name.c_str(), 0);
  close(dir_fd);
}

// The built tool, run as a vendor runs it: an argument vector, no shell.
struct RunResult {
  int status;
  std::string out;
  std::string err;
  long max_rss_kb = 0;  // the child's peak resident memory
  int signal = 0;       // the signal that ended it, if any
};

class KittoolRunTest : public KittoolTreeTest {
 protected:
  // The locale the tool runs in.
  std::string locale_ = "C.UTF-8";

  RunResult Run(const std::vector<std::string>& args,
                const std::string& out_path = "") {
    return Finish(Start(args, KITTOOL_PATH, out_path), out_path);
  }

  // Starts `tool` with `args`; -1 when it cannot be started. Standard output
  // goes to `out_path` (the file "stdout" in the test's directory when
  // empty), standard error to the descriptor `err_fd` or else to the file
  // "stderr". Every signal has its default action in the tool, whatever
  // this process ignores.
  pid_t Start(const std::vector<std::string>& args, const char* tool,
              const std::string& out_path = "", int err_fd = -1) {
    const std::string stdout_path =
        out_path.empty() ? dir_->Path("stdout") : out_path;
    const std::string err_path = dir_->Path("stderr");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, stdout_path.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (err_fd >= 0) {
      posix_spawn_file_actions_adddup2(&actions, err_fd, 2);
    } else {
      posix_spawn_file_actions_addopen(&actions, 2, err_path.c_str(),
                                       O_WRONLY | O_CREAT | O_TRUNC, 0600);
    }
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t all;
    sigfillset(&all);
    posix_spawnattr_setsigdefault(&attributes, &all);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setflags(&attributes,
                             POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
    std::vector<std::string> strings = {tool};
    strings.insert(strings.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& s : strings) argv.push_back(s.data());
    argv.push_back(nullptr);
    // A UTF-8 locale for the non-ASCII texts; TMPDIR for the reader's
    // container and the backups; HOME for the journal pointers (and no
    // XDG_STATE_HOME of the caller's to take them elsewhere).
    std::vector<std::string> env_strings = {"LC_ALL=" + locale_,
                                            "TMPDIR=" + dir_->path(),
                                            "HOME=" + dir_->path()};
    for (char** e = environ; *e; ++e) {
      if (std::strncmp(*e, "LC_ALL=", 7) != 0 &&
          std::strncmp(*e, "TMPDIR=", 7) != 0 &&
          std::strncmp(*e, "HOME=", 5) != 0 &&
          std::strncmp(*e, "XDG_STATE_HOME=", 15) != 0) {
        env_strings.push_back(*e);
      }
    }
    std::vector<char*> envp;
    for (std::string& s : env_strings) envp.push_back(s.data());
    envp.push_back(nullptr);
    pid_t pid;
    const int rc = posix_spawn(&pid, tool, &actions, &attributes, argv.data(),
                               envp.data());
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    EXPECT_EQ(0, rc) << "cannot start " << tool;
    return rc == 0 ? pid : -1;
  }

  // Waits for `pid` and collects its status and output (standard output
  // from the file "stdout" unless it went to `out_path`). A tool killed by
  // a signal has status -1, and the signal in `signal`.
  RunResult Finish(pid_t pid, const std::string& out_path = "") {
    RunResult result{-1, "", ""};
    if (pid == -1) return result;
    int status = 0;
    struct rusage usage {};
    wait4(pid, &status, 0, &usage);
    result.max_rss_kb = usage.ru_maxrss;
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    if (out_path.empty()) result.out = ReadFile(dir_->Path("stdout"));
    result.err = ReadFile(dir_->Path("stderr"));
    return result;
  }

  // A small tree with a nested file, an empty one and non-ASCII names.
  // `reversed` creates the files in the opposite order, which changes the
  // order in which the directories list them.
  void MakeSampleTree(bool reversed = false) {
    const std::function<void()> steps[] = {
        [&] { Make("a.cfg", "alpha", 1500000000, 123456789); },
        [&] { Make("sub/b.cfg", std::string(100000, 'b'), 1400000000); },
        [&] { Make("sub/\xd0\x96.txt", "", 1300000000); },
        [&] { Make("sub/c.cfg", "c", 1300000000); },
    };
    if (reversed) {
      for (int i = 3; i >= 0; --i) steps[i]();
    } else {
      for (const auto& step : steps) step();
    }
  }
  std::vector<std::string> PackArgs(const std::string& kit) {
    return {"pack",
            Tree(),
            "-o",
            kit,
            "--lang",
            "en",
            "--product",
            "Templates",
            "--provider",
            "Maker",
            "--description",
            "doc/readme.html",
            "--lang",
            "ru",
            "--product",
            "\xd0\xa8\xd0\xb0\xd0\xb1\xd0\xbb\xd0\xbe\xd0\xbd\xd1\x8b"};
  }
};

TEST_F(KittoolRunTest, HelpAndBadUsage) {
  RunResult help = Run({"--help"});
  EXPECT_EQ(kExitOk, help.status);
  EXPECT_NE(std::string::npos, help.out.find("kittool pack SOURCE_DIR"));
  EXPECT_EQ("", help.err);
  const std::vector<std::string> bad[] = {
      {},
      {"unpack", "x"},
      {"pack", Tree(), "-o", dir_->Path("k"), "--lang", "en", "--level", "12"},
      {"list"},
      {"extract", "k"},
  };
  for (const std::vector<std::string>& args : bad) {
    RunResult result = Run(args);
    EXPECT_EQ(kExitUsage, result.status) << result.err;
    EXPECT_NE(std::string::npos, result.err.find("kittool: ")) << result.err;
    EXPECT_NE(std::string::npos, result.err.find("--help")) << result.err;
  }
}

TEST_F(KittoolRunTest, PackIsDeterministic) {
  MakeSampleTree();
  RunResult first = Run(PackArgs(dir_->Path("one.efd")));
  ASSERT_EQ(kExitOk, first.status) << first.err;
  EXPECT_NE(std::string::npos, first.out.find("Packed 4 files")) << first.out;
  std::filesystem::remove_all(Tree());
  MakeSampleTree(/*reversed=*/true);
  RunResult second = Run(PackArgs(dir_->Path("two.efd")));
  ASSERT_EQ(kExitOk, second.status) << second.err;
  const std::string kit = ReadFile(dir_->Path("one.efd"));
  EXPECT_EQ(kit, ReadFile(dir_->Path("two.efd")));
  // Different texts give a different kit: the comparison is not vacuous.
  std::vector<std::string> args = PackArgs(dir_->Path("three.efd"));
  args.back() = "other";
  ASSERT_EQ(kExitOk, Run(args).status);
  EXPECT_NE(kit, ReadFile(dir_->Path("three.efd")));
}

TEST_F(KittoolRunTest, PackRefusesWhatAKitCannotHold) {
  struct Case {
    const char* what;
    std::function<void()> make;
    std::string message_part;
  };
  const Case cases[] = {
      {"backslash", [&] { Make("a\\b", "x"); }, "backslash"},
      {"symlink",
       [&] {
         Make("real", "x");
         ASSERT_EQ(0, symlink(dir_->Path("tree/real").c_str(),
                              dir_->Path("tree/link").c_str()));
       },
       "symbolic link"},
      {"kit inside the tree", [&] { Make("real", "x"); }, "inside the tree"},
      {"control character", [&] { Make("a\x1b", "x"); },
       "/a\\033\": its path in the kit contains a control character"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    dir_ = std::make_unique<ScopedTempDir>();
    c.make();
    const std::string kit = std::string(c.what) == "kit inside the tree"
                                ? dir_->Path("tree/kit.efd")
                                : dir_->Path("kit.efd");
    RunResult result = Run(PackArgs(kit));
    EXPECT_EQ(kExitFailure, result.status);
    EXPECT_NE(std::string::npos, result.err.find(c.message_part)) << result.err;
    EXPECT_NE(0, access(kit.c_str(), F_OK));
  }
  dir_ = std::make_unique<ScopedTempDir>();
  RunResult missing = Run(PackArgs(dir_->Path("kit.efd")));
  EXPECT_EQ(kExitFailure, missing.status);
  EXPECT_NE(std::string::npos, missing.err.find("source directory"))
      << missing.err;
}

TEST_F(KittoolRunTest, PackThenListAndVerifyBothLayouts) {
  MakeSampleTree();
  const std::string files =
      "Files: 4 (100006 bytes)\n"
      "  2017-07-14T02:40:00Z                 5  a.cfg\n"
      // The separators are backslashes, which are escaped.
      "  2014-05-13T16:53:20Z            100000  sub\\\\b.cfg\n"
      "  2011-03-13T07:06:40Z                 1  sub\\\\c.cfg\n"
      "  2011-03-13T07:06:40Z                 0  sub\\\\\xd0\x96.txt\n";
  struct Case {
    std::string kit;
    std::vector<std::string> pack_args;
    std::string list;
    std::string layout;
    std::string warning;  // of pack and verify: a description not in the kit
  };
  const std::string table_kit = dir_->Path("table.efd");
  const std::string single_kit = dir_->Path("single.efd");
  const Case cases[] = {
      {table_kit, PackArgs(table_kit),
       "Kit: " + table_kit +
           "\n"
           "Layout: language table, 2 records\n"
           "Language: en\n"
           "  product:     Templates\n"
           "  provider:    Maker\n"
           "  description: doc/readme.html\n"
           "Language: ru\n"
           "  product:     "
           "\xd0\xa8\xd0\xb0\xd0\xb1\xd0\xbb\xd0\xbe\xd0\xbd\xd1\x8b\n"
           "  provider:    \n"
           "  description: \n" +
           files,
       "layout: language table, 2 records",
       "warning: the description \"doc/readme.html\" of language \"en\" names "
       "no file of the kit; the installer cannot offer to open it\n"},
      {single_kit,
       {"pack", Tree(), "--single-language", "--product", "P", "--provider",
        "Q", "--description", "http://example.org/d", "-o", single_kit,
        "--level", "0"},
       "Kit: " + single_kit +
           "\n"
           "Layout: single language (one record, used for every language)\n"
           "Language: en\n"
           "  product:     P\n"
           "  provider:    Q\n"
           "  description: http://example.org/d\n" +
           files,
       "layout: single language",
       "warning: the description \"http://example.org/d\" of language \"en\" "
       "names no file of the kit; the installer cannot offer to open it\n"},
  };
  for (const Case& c : cases) {
    const std::string& kit = c.kit;
    SCOPED_TRACE(kit);
    RunResult pack = Run(c.pack_args);
    ASSERT_EQ(kExitOk, pack.status) << pack.err;
    EXPECT_NE(std::string::npos, pack.out.find(c.warning)) << pack.out;
    RunResult list = Run({"list", kit});
    EXPECT_EQ(kExitOk, list.status) << list.err;
    EXPECT_EQ(c.list, list.out);
    RunResult verify = Run({"verify", kit});
    EXPECT_EQ(kExitOk, verify.status) << verify.err;
    EXPECT_EQ(0u, verify.out.find(kit + ": OK\n")) << verify.out;
    EXPECT_NE(std::string::npos, verify.out.find(c.layout)) << verify.out;
    EXPECT_NE(std::string::npos, verify.out.find(c.warning)) << verify.out;
    EXPECT_EQ(1u, Count(verify.out, "warning")) << verify.out;
  }
  // A description that names a file of the kit, with either separator, is
  // no warning.
  const std::string named = dir_->Path("named.efd");
  for (const char* description : {"sub/b.cfg", "sub\\c.cfg"}) {
    SCOPED_TRACE(description);
    RunResult pack = Run({"pack", Tree(), "--lang", "en", "--description",
                          description, "-o", named});
    ASSERT_EQ(kExitOk, pack.status) << pack.err;
    EXPECT_EQ(0u, Count(pack.out, "warning")) << pack.out;
    RunResult verify = Run({"verify", named});
    EXPECT_EQ(0u, Count(verify.out, "warning")) << verify.out;
  }
}

using engine_test::ScopedTmpdir;

TEST_F(KittoolRunTest, PackedKitExtractsToTheSameBytesAndWholeSecondTimes) {
  MakeSampleTree();
  Make("sub/big", std::string(3000000, 'q') + "end", 1234567890, 987654321);
  ASSERT_EQ(kExitOk, Run(PackArgs(dir_->Path("kit.efd"))).status);
  ScopedTmpdir tmpdir(dir_->path());
  KitReader reader(RealSystem());
  ASSERT_TRUE(reader.Open(WidePath(dir_->Path("kit.efd"))).ok());
  const struct {
    const char* relative;
    int64_t seconds;
  } expected[] = {{"a.cfg", 1500000000},
                  {"sub/b.cfg", 1400000000},
                  {"sub/big", 1234567890},
                  {"sub/c.cfg", 1300000000},
                  {"sub/\xd0\x96.txt", 1300000000}};
  ASSERT_EQ(5u, reader.entries().size());
  for (uint32_t i = 0; i < 5; ++i) {
    SCOPED_TRACE(expected[i].relative);
    std::string name = expected[i].relative;
    std::replace(name.begin(), name.end(), '/', '\\');
    EXPECT_TRUE(reader.entries()[i].name == WidePath(name));
    EXPECT_EQ(FileTimeFromUnixSeconds(expected[i].seconds),
              reader.entries()[i].last_write);
    const std::string out = dir_->Path("out" + std::to_string(i));
    ASSERT_TRUE(reader.ExtractEntry(i, WidePath(out)).ok());
    EXPECT_EQ(ReadFile(Tree() + "/" + expected[i].relative), ReadFile(out));
  }
}

TEST_F(KittoolRunTest, VerifySaysWhatIsWrong) {
  KitSpec spec;
  spec.languages.push_back({u"en", u"P", u"Q", u""});
  spec.files.push_back({u"a", FileTimeFromUnixSeconds(1000), "abc", "", 0});
  const std::string good = DeflateRaw(BuildContainer(spec));
  std::string beyond = BuildContainer(spec);
  beyond[beyond.size() - 3 - 4] = 9;  // size 9 of a 3-byte data area
  KitSpec climbing = spec;
  climbing.files[0].name = u"..\\outside";
  KitSpec fractional = spec;
  fractional.files[0].last_write += 5000000;
  // A stream long enough that the inflater reads ahead of its end.
  KitSpec large = spec;
  std::mt19937 random(5);
  large.files[0].data.resize(3 << 20);
  for (char& byte : large.files[0].data) byte = static_cast<char>(random());
  const std::string large_kit = DeflateRaw(BuildContainer(large));
  struct Case {
    const char* what;
    std::string kit;  // "<none>": no file
    int status;
    const char* message_part;
  };
  const Case cases[] = {
      {"missing", "<none>", kExitFailure, "cannot open the kit"},
      {"empty", "", kExitFailure, "is empty"},
      {"not deflate", std::string("\xff\xff\xff\xff not a kit"), kExitFailure,
       "not a valid raw deflate stream"},
      {"truncated", good.substr(0, good.size() / 2), kExitFailure, "truncated"},
      {"entry beyond the end", DeflateRaw(beyond), kExitFailure,
       "tables are damaged"},
      {"name climbing out", DeflateRaw(BuildContainer(climbing)), kExitFailure,
       "tables are damaged"},
      {"trailing bytes", good + "junk", kExitOk,
       "note: 4 bytes after the end of the deflate stream"},
      {"one byte after a large stream", large_kit + "x", kExitOk,
       "note: 1 bytes after the end"},
      {"nine bytes after a large stream", large_kit + "123456789", kExitOk,
       "note: 9 bytes after the end"},
      {"sub-second time", DeflateRaw(BuildContainer(fractional)), kExitOk,
       "warning: \"a\" has a time with a sub-second part"},
      {"good", good, kExitOk, ": OK"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string kit = dir_->Path("kit.efd");
    unlink(kit.c_str());
    if (c.kit != "<none>") {
      ASSERT_TRUE(WriteFile(kit, c.kit));
    }
    RunResult result = Run({"verify", kit});
    EXPECT_EQ(c.status, result.status);
    EXPECT_NE(
        std::string::npos,
        (c.status == kExitOk ? result.out : result.err).find(c.message_part))
        << result.out << result.err;
    if (c.status != kExitOk) {
      EXPECT_EQ(kExitFailure, Run({"list", kit}).status);
    }
  }
}

// Writes a kit with `names` (each one byte, time 0) and one language
// record to the test's directory; returns its path.
std::string WriteKitWithNames(const ScopedTempDir& dir,
                              const std::vector<WideString>& names,
                              const LanguageRecord& language = {u"en", u"P",
                                                                u"Q", u""}) {
  KitSpec spec;
  spec.languages.push_back(language);
  for (const WideString& name : names) {
    spec.files.push_back({name, FileTimeFromUnixSeconds(0), "x", "", 0});
  }
  const std::string kit = dir.Path("names.efd");
  EXPECT_TRUE(WriteFile(kit, DeflateRaw(BuildContainer(spec))));
  return kit;
}

// A kit's texts can neither fake a line of the listing nor reach the
// terminal as control sequences.
TEST_F(KittoolRunTest, ListEscapesTheKitsTexts) {
  const std::string kit = WriteKitWithNames(
      *dir_,
      {u"evil\n  1970-01-01T00:00:00Z                 1  fake",
       u"\u001B[2Jcleared", Units({u'b', u'a', u'd', 0xDCFF}), u"sub\\ok"},
      {u"en\n", u"P\u001B]0;title\a", u"Q\r", u"d\\e"});
  RunResult list = Run({"list", kit});
  EXPECT_EQ(kExitOk, list.status) << list.err;
  const std::string line = "  1970-01-01T00:00:00Z                 1  ";
  EXPECT_EQ("Kit: " + kit +
                "\n"
                "Layout: language table, 1 record\n"
                "Language: en\\n\n"
                "  product:     P\\033]0;title\\a\n"
                "  provider:    Q\\r\n"
                "  description: d\\\\e\n"
                "Files: 4 (4 bytes)\n" +
                line + "evil\\n" + line + "fake\n" + line +
                "\\033[2Jcleared\n" + line + "bad\\xff\n" + line +
                "sub\\\\ok\n",
            list.out);
}

TEST_F(KittoolRunTest, VerifyReportsNamesThatCannotBeInstalled) {
  // 16 components of 255 bytes: 4095 bytes, the longest path there is.
  WideString longest;
  std::string longest_escaped;
  for (int i = 0; i < 16; ++i) {
    if (i > 0) {
      longest.push_back(u'\\');
      longest_escaped += "\\\\";
    }
    for (int j = 0; j < 255; ++j) longest.push_back(u'c');
    longest_escaped += std::string(255, 'c');
  }
  WideString too_long = WideString(u"\\") + longest;
  WideString long_component;
  for (int j = 0; j < 256; ++j) long_component.push_back(u'c');
  struct Case {
    const char* what;
    std::vector<WideString> names;
    std::string err;  // empty: the kit passes
  };
  const Case cases[] = {
      {"empty",
       {u"ok", u""},
       "kittool: entry 2, \"\", is empty: it has no path component\n"},
      {"separators only",
       {u"ok", u"\\\\"},
       "kittool: entry 2, \"\\\\\\\\\", is empty: it has no path component\n"},
      {"trailing separator",
       {u"ok", u"dir\\"},
       "kittool: entry 2, \"dir\\\\\", ends in a separator, so it names a "
       "directory, not a file\n"},
      {"dot component",
       {u"ok", u"a\\.\\ok"},
       "kittool: entry 2, \"a\\\\.\\\\ok\", has a \".\" or \"..\" "
       "component\n"},
      {"component over 255 bytes",
       {u"ok", long_component},
       "kittool: entry 2, \"" + std::string(256, 'c') +
           "\", has a component longer than 255 bytes\n"},
      {"4096 bytes",
       {u"ok", too_long},
       "kittool: entry 2, \"\\\\" + longest_escaped +
           "\", is 4096 bytes or longer\n"},
      {"4095 bytes", {u"ok", longest}, ""},
      {"newline",
       {u"ok", u"a\nb"},
       "kittool: entry 2, \"a\\nb\", contains a control character\n"},
      {"escape",
       {u"ok", u"\u001B[31m"},
       "kittool: entry 2, \"\\033[31m\", contains a control character\n"},
      {"C1 control",
       {u"ok", u"x\u0085"},
       "kittool: entry 2, \"x\\302\\205\", contains a control character\n"},
      {"the same name twice",
       {u"a", u"b", u"a"},
       "kittool: entries 1, \"a\", and 3, \"a\", install to the same file\n"},
      {"doubled and leading separators",
       {u"x\\y", u"\\x\\\\y"},
       "kittool: entries 1, \"x\\\\y\", and 2, \"\\\\x\\\\\\\\y\", install to "
       "the same file\n"},
      {"slash and backslash",
       {u"x/y", u"x\\y"},
       "kittool: entries 1, \"x/y\", and 2, \"x\\\\y\", install to the same "
       "file\n"},
      {"names that differ in case only", {u"Read.me", u"read.me"}, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string kit = WriteKitWithNames(*dir_, c.names);
    RunResult verify = Run({"verify", kit});
    EXPECT_EQ(c.err, verify.err);
    EXPECT_EQ(c.err.empty() ? kExitOk : kExitFailure, verify.status);
    const std::string head =
        c.err.empty()
            ? kit + ": OK\n"
            : kit +
                  ": FAILED: 1 problem with the entries' names, listed on "
                  "standard error\n";
    EXPECT_EQ(0u, verify.out.find(head)) << verify.out;
    // The rest of the report follows as for a good kit.
    EXPECT_NE(std::string::npos,
              verify.out.find("  files: " + std::to_string(c.names.size())))
        << verify.out;
  }
  // Every problem is reported, in the order of the entries.
  const std::string kit =
      WriteKitWithNames(*dir_, {u"a\tb", u"x", u".\\x", u"x", u"c\\"});
  RunResult verify = Run({"verify", kit});
  EXPECT_EQ(kExitFailure, verify.status);
  EXPECT_EQ(
      "kittool: entry 1, \"a\\tb\", contains a control character\n"
      "kittool: entry 3, \".\\\\x\", has a \".\" or \"..\" component\n"
      "kittool: entry 5, \"c\\\\\", ends in a separator, so it names a "
      "directory, not a file\n"
      "kittool: entries 2, \"x\", and 4, \"x\", install to the same file\n",
      verify.err);
  EXPECT_EQ(0u, verify.out.find(kit + ": FAILED: 4 problems")) << verify.out;
}

// A report cut short by a full disk must not pass for a whole one, however
// early the write failed.
TEST_F(KittoolRunTest, AReportThatCannotBeWrittenFails) {
  if (access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full";
  MakeSampleTree();
  const std::string small = dir_->Path("small.efd");
  ASSERT_EQ(kExitOk, Run(PackArgs(small)).status);
  // A listing far larger than the tool's output buffer.
  std::vector<WideString> names;
  for (int i = 0; i < 3000; ++i) {
    names.push_back(WidePath("dir\\file" + std::to_string(10000 + i)));
  }
  const std::string big = WriteKitWithNames(*dir_, names);
  const struct {
    std::vector<std::string> args;
    const char* report;
  } cases[] = {
      {{"list", small}, "the listing"},  {{"list", big}, "the listing"},
      {{"verify", small}, "the report"}, {{"--help"}, "the usage"},
      {{"--version"}, "the version"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args[0] + " " + c.args.back());
    RunResult result = Run(c.args, "/dev/full");
    EXPECT_EQ(kExitFailure, result.status);
    EXPECT_EQ(std::string("kittool: cannot write ") + c.report + ": " +
                  std::strerror(ENOSPC) + "\n",
              result.err);
  }
  // Where there is room, the big listing arrives whole.
  RunResult list = Run({"list", big});
  EXPECT_EQ(kExitOk, list.status) << list.err;
  EXPECT_EQ(3007, std::count(list.out.begin(), list.out.end(), '\n'));
  EXPECT_EQ(list.out.size() - 15, list.out.find("dir\\\\file12999\n"));
}

TEST_F(KittoolRunTest, PackStreamsFilesLargerThanItsMemory) {
  Make("small", "s");
  const std::string big = dir_->Path("tree/sparse");
  const int fd = open(big.c_str(), O_WRONLY | O_CREAT, 0600);
  ASSERT_LE(0, fd);
  ASSERT_EQ(0, ftruncate(fd, 256 << 20));  // sparse: no disk, all zeros
  close(fd);
  RunResult pack = Run(PackArgs(dir_->Path("kit.efd")));
  ASSERT_EQ(kExitOk, pack.status) << pack.err;
  // 256 MiB went through a tool that stayed far smaller.
  EXPECT_LT(pack.max_rss_kb, 64 * 1024);
  RunResult list = Run({"list", dir_->Path("kit.efd")});
  EXPECT_NE(std::string::npos, list.out.find(" 268435456  sparse\n"))
      << list.out;
}

// extract: the installer's engine behind a terminal.
class KittoolExtractTest : public KittoolRunTest {
 protected:
  void SetUp() override {
    MakeSampleTree();
    kit_ = dir_->Path("kit.efd");
    ASSERT_EQ(kExitOk, Run(PackArgs(kit_)).status);
    out_ = dir_->Path("out dir \"$x\"");
  }
  // What is left in the temporary directory (the test's own directory)
  // besides the test's files.
  std::vector<std::string> Leftovers() {
    std::vector<std::string> found =
        engine_test::BackupDirectories(dir_->path());
    for (const auto& entry :
         std::filesystem::directory_iterator(dir_->path())) {
      const std::string name = entry.path().filename();
      if (name.compare(0, 3, "edf") == 0) found.push_back(name);
    }
    return found;
  }
  std::string kit_;
  std::string out_;
};

TEST_F(KittoolExtractTest, InstallsThenFindsEverythingUpToDate) {
  RunResult first = Run({"extract", kit_, out_});
  ASSERT_EQ(kExitOk, first.status) << first.err;
  EXPECT_NE(std::string::npos, first.out.find(": 4 copied, 0 up to date\n"))
      << first.out;
  // Not a terminal: one line per entry.
  EXPECT_EQ("0% " + out_ + "/a.cfg\n25% " + out_ + "/sub/b.cfg\n50% " + out_ +
                "/sub/c.cfg\n75% " + out_ + "/sub/\xd0\x96.txt\n",
            first.err);
  const engine_test::Tree installed = engine_test::Snapshot(out_);
  for (const char* name : {"a.cfg", "sub/b.cfg", "sub/c.cfg"}) {
    EXPECT_EQ(ReadFile(Tree() + "/" + name), installed.at(name).content)
        << name;
  }
  EXPECT_EQ(1500000000, installed.at("a.cfg").mtime_sec);
  EXPECT_EQ(std::vector<std::string>{}, Leftovers());

  RunResult second = Run({"extract", kit_, out_});
  ASSERT_EQ(kExitOk, second.status) << second.err;
  EXPECT_NE(std::string::npos, second.out.find(": 0 copied, 4 up to date\n"))
      << second.out;
  const engine_test::Tree again = engine_test::Snapshot(out_);
  EXPECT_EQ("", engine_test::Difference(installed, again));
  for (const auto& [path, node] : installed) {
    EXPECT_EQ(node.inode, again.at(path).inode) << path;
  }
}

TEST_F(KittoolExtractTest, FailureLeavesTheDirectoryAsItWas) {
  struct Case {
    const char* what;
    std::function<void()> make;  // the kit is kit_ unless replaced
    const char* message_part;
  };
  const Case cases[] = {
      {"a directory where the kit has a file",
       [&] { Make("../out dir \"$x\"/a.cfg/mine", "user data"); },
       "is in the way"},
      {"damaged kit",
       [&] {
         const std::string kit = ReadFile(kit_);
         ASSERT_TRUE(WriteFile(kit_, kit.substr(0, kit.size() - 40)));
       },
       "the kit is damaged"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_EQ(kExitOk, Run(PackArgs(kit_)).status);
    std::filesystem::remove_all(out_);
    Make("../out dir \"$x\"/sub/c.cfg", "older", 1000000000);
    c.make();
    const engine_test::Tree before = engine_test::Snapshot(out_);
    RunResult result = Run({"extract", kit_, out_});
    EXPECT_EQ(kExitFailure, result.status);
    EXPECT_NE(std::string::npos, result.err.find(c.message_part)) << result.err;
    EXPECT_NE(std::string::npos,
              result.err.find("; \"" + out_ + "\" is unchanged\n"))
        << result.err;
    EXPECT_EQ("", engine_test::Difference(before, engine_test::Snapshot(out_)));
    EXPECT_EQ(std::vector<std::string>{}, Leftovers());
  }
  RunResult missing = Run({"extract", dir_->Path("none.efd"), out_});
  EXPECT_EQ(kExitFailure, missing.status);
  EXPECT_NE(std::string::npos, missing.err.find("does not exist"))
      << missing.err;
}

// A link to a directory outside planted anywhere in the directory (at its
// top level, at a deeper one, as one of the kit's files) never lets a byte
// out: the tool names the link, and both places are as they were.
TEST_F(KittoolExtractTest, ALinkLeadingOutsideLetsNothingOut) {
  const std::string outside = dir_->Path("outside");
  const struct {
    const char* at;    // below the directory
    std::string text;  // the link's text
  } cases[] = {
      {"sub", "../outside"},
      {"sub", outside},
      {"a.cfg", outside + "/a.cfg"},
      {"sub/c.cfg", "../../outside/c.cfg"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.at) + " -> " + c.text);
    std::filesystem::remove_all(out_);
    std::filesystem::remove_all(outside);
    Make("../outside/a.cfg", "not yours", 1000000000);
    Make("../outside/c.cfg", "not yours either", 1000000000);
    Make("../out dir \"$x\"/sub/keep.cfg", "mine", 1000000000);
    const std::string at = out_ + "/" + c.at;
    std::filesystem::remove_all(at);
    ASSERT_EQ(0, symlink(c.text.c_str(), at.c_str()));
    const engine_test::Tree out_before = engine_test::Snapshot(out_);
    const engine_test::Tree outside_before = engine_test::Snapshot(outside);
    RunResult result = Run({"extract", kit_, out_});
    EXPECT_EQ(kExitFailure, result.status);
    EXPECT_NE(std::string::npos,
              result.err.find("\"" + at + "\" is a link that leads outside"))
        << result.err;
    EXPECT_EQ("", engine_test::Difference(out_before,
                                          engine_test::Snapshot(out_)));
    EXPECT_EQ("", engine_test::Difference(outside_before,
                                          engine_test::Snapshot(outside)));
    EXPECT_EQ(std::vector<std::string>{}, Leftovers());
  }
  // A link that stays inside is followed.
  std::filesystem::remove_all(out_);
  Make("../out dir \"$x\"/real/keep.cfg", "mine", 1000000000);
  ASSERT_EQ(0, symlink("real", (out_ + "/sub").c_str()));
  RunResult inside = Run({"extract", kit_, out_});
  EXPECT_EQ(kExitOk, inside.status) << inside.err;
  EXPECT_EQ("c", ReadFile(out_ + "/real/c.cfg"));
}

// A stop signal while the job is known to be half done: the tool held after
// its second entry waits for the signal.
TEST_F(KittoolExtractTest, StopSignalsRollBack) {
  for (const int signal_number : {SIGTERM, SIGINT, SIGHUP, SIGQUIT}) {
    SCOPED_TRACE(strsignal(signal_number));
    std::filesystem::remove_all(out_);
    Make("../out dir \"$x\"/sub/b.cfg", "older", 1000000000);
    const engine_test::Tree before = engine_test::Snapshot(out_);
    const pid_t pid =
        Start({"--hold-at", "1", "extract", kit_, out_}, KITTOOL_HELD_PATH);
    ASSERT_NE(-1, pid);
    // The line of the second entry appears once the first is installed.
    const std::string held_line = "25% " + out_ + "/sub/b.cfg\n";
    while (ReadFile(dir_->Path("stderr")).find(held_line) ==
           std::string::npos) {
      int status;
      ASSERT_EQ(0, waitpid(pid, &status, WNOHANG)) << "ended too early";
      usleep(1000);
    }
    EXPECT_TRUE(std::filesystem::exists(out_ + "/a.cfg"));
    ASSERT_EQ(0, kill(pid, signal_number));
    RunResult result = Finish(pid);
    EXPECT_EQ(kExitFailure, result.status);
    EXPECT_NE(std::string::npos, result.err.find("kittool: cancelled; \"" +
                                                 out_ + "\" is unchanged\n"))
        << result.err;
    EXPECT_EQ("", engine_test::Difference(before, engine_test::Snapshot(out_)));
    EXPECT_EQ(std::vector<std::string>{}, Leftovers());
  }
}

// A reader of the progress that goes away (a closed pipe on standard error)
// does not end the job half-way: the writes fail and the job goes on.
TEST_F(KittoolExtractTest, ClosedStandardErrorDoesNotStopTheJob) {
  int fds[2];
  ASSERT_EQ(0, pipe(fds));
  close(fds[0]);  // no reader: every write fails with EPIPE, or SIGPIPE
  // Held at an entry it never reaches, the tool writes each line as soon as
  // the entry is posted, while the job runs.
  const pid_t pid = Start({"--hold-at", "1000", "extract", kit_, out_},
                          KITTOOL_HELD_PATH, "", fds[1]);
  close(fds[1]);
  RunResult result = Finish(pid);
  EXPECT_EQ(0, result.signal) << strsignal(result.signal);
  EXPECT_EQ(kExitOk, result.status);
  EXPECT_NE(std::string::npos, result.out.find(": 4 copied, 0 up to date\n"))
      << result.out;
  const engine_test::Tree installed = engine_test::Snapshot(out_);
  for (const char* name : {"a.cfg", "sub/b.cfg", "sub/c.cfg"}) {
    EXPECT_EQ(ReadFile(Tree() + "/" + name), installed.at(name).content)
        << name;
  }
}

// The paths in the progress lines and in the reason for a failure hold
// names from the kit, so they are escaped too.
TEST_F(KittoolExtractTest, ProgressAndFailuresShowNamesEscaped) {
  // A byte that is not valid UTF-8, which the engine still installs.
  const std::string kit =
      WriteKitWithNames(*dir_, {Units({u'b', 0xDCFF}), u"sub\\ok"});
  RunResult first = Run({"extract", kit, out_});
  ASSERT_EQ(kExitOk, first.status) << first.err;
  EXPECT_EQ("0% " + out_ + "/b\\xff\n50% " + out_ + "/sub/ok\n", first.err);
  EXPECT_EQ("x", ReadFile(out_ + "/b\xff"));

  const std::string other = dir_->Path("other");
  std::filesystem::create_directories(other + "/b\xff/mine");
  RunResult blocked = Run({"extract", kit, other});
  EXPECT_EQ(kExitFailure, blocked.status);
  EXPECT_NE(std::string::npos,
            blocked.err.find("\"" + other + "/b\\xff\" is in the way"))
      << blocked.err;
  EXPECT_EQ(std::string::npos, blocked.err.find('\xff')) << blocked.err;
}

// Every call of a command goes through the system passed in: a fault there
// reaches the vendor with its reason and the file it hit, and leaves
// nothing behind.
TEST_F(KittoolExtractTest, FaultsOfThePassedSystemAreToldWithTheirReason) {
  engine_test::ScopedTmpdir tmpdir(dir_->path());
  engine_test::ScopedHome home(dir_->path());
  // Without a checksum file, whose name holds the kit's.
  const std::string plain = WriteKitWithNames(*dir_, {u"a"});
  const std::string listing = dir_->Path("listing");
  const struct {
    const char* what;
    std::vector<std::string> args;
    std::string fragment;  // of the path the fault hits
    SysOpSet ops;
    int error;
    std::string err_part;
  } cases[] = {
      {"a file of the directory cannot be written",
       {"extract", kit_, out_},
       "/sub/b.cfg",
       Ops(SysOp::kWrite, SysOp::kCopyFileRange),
       ENOSPC,
       "cannot write \"" + out_ + "/sub/b.cfg\": " + std::strerror(ENOSPC) +
           "; \"" + out_ + "\" is unchanged\n"},
      {"the kit cannot be read",
       {"list", plain},
       plain,
       Ops(SysOp::kRead),
       EIO,
       "the kit \"" + plain + "\" cannot be read: " + std::strerror(EIO)},
      {"the tree cannot be listed",
       {"pack", Tree(), "-o", dir_->Path("other.efd"), "--lang", "en"},
       Tree() + "/sub",
       Ops(SysOp::kOpenDir),
       EACCES,
       "cannot read the directory \"" + Tree() +
           "/sub\": " + std::strerror(EACCES)},
      {"the listing cannot be written",
       {"list", plain},
       listing,
       Ops(SysOp::kWrite),
       EIO,
       "kittool: cannot write the listing: " + std::string(std::strerror(EIO)) +
           "\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::filesystem::remove_all(out_);
    FaultInjectingSystem system;
    system.FailPath(c.fragment, c.error, c.ops);
    const int fd = system.Open(listing.c_str(),
                               O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    ASSERT_LE(0, fd);
    std::ostringstream err;
    int status;
    {
      DescriptorOutput buffer(system, fd);
      std::ostream out(&buffer);
      status = KittoolMain(system, c.args, out, err);
    }
    system.Close(fd);
    EXPECT_EQ(kExitFailure, status);
    EXPECT_NE(std::string::npos, err.str().find(c.err_part)) << err.str();
    EXPECT_FALSE(std::filesystem::exists(out_));
    EXPECT_FALSE(std::filesystem::exists(dir_->Path("other.efd")));
    EXPECT_EQ(std::vector<std::string>{}, Leftovers());
  }
}

bool HaveLocale(const char* name) {
  const locale_t locale = newlocale(LC_ALL_MASK, name, nullptr);
  if (locale != nullptr) freelocale(locale);
  return locale != nullptr;
}

// verify refuses exactly what extract (the installer's engine) refuses, in
// the locale it runs in, and names the entry and, for the locale, which.
TEST_F(KittoolRunTest, VerifyReportsWhatSetupRefuses) {
  const struct {
    const char* what;
    const char* locale;
    std::vector<WideString> names;
    std::string err;  // empty: the kit passes and installs
  } cases[] = {
      {"a file and a directory of one name", "C.UTF-8",
       {u"a", u"a\\b.txt", u"c"},
       "kittool: entries 1, \"a\", and 2, \"a\\\\b.txt\", need \"a\" both as "
       "a file and as a directory\n"},
      {"a directory before the file", "C.UTF-8",
       {u"d\\e\\f", u"d\\e"},
       "kittool: entries 1, \"d\\\\e\\\\f\", and 2, \"d\\\\e\", need \"d/e\" "
       "both as a file and as a directory\n"},
      {"a lone high surrogate", "C.UTF-8",
       {u"ok", Units({u'c', 0xD800})},
       "kittool: entry 2, \"c\\uD800\", holds a UTF-16 surrogate without its "
       "pair"},
      {"a lone low surrogate", "de_DE.iso88591",
       {u"ok", Units({0xDFFF, u'x'})},
       "kittool: entry 2, \"\\uDFFFx\", holds a UTF-16 surrogate"},
      {"bytes that spell other text", "C.UTF-8",
       {Units({u'd', 0xDCC3, 0xDC9F})},
       "kittool: entry 1, \"d\\xc3\\x9f\", holds bytes that are not valid "
       "text"},
      {"a name the locale cannot spell", "de_DE.iso88591",
       {u"ok", u"D\u041F"},
       "kittool: entry 2, \"D\\u041F\", cannot be written in this locale's "
       "file-name encoding (ISO-8859-1, locale \"de_DE.iso88591\")"},
      {"a pair, names the locale can spell", "de_DE.iso88591",
       {u"\u00e9t\u00e9", u"sub\\b"},
       ""},
      {"a pair of surrogates, a byte", "C.UTF-8",
       {Units({u'p', 0xD83D, 0xDE00}), Units({u'b', 0xDCFF}), u"a\\b"},
       ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    if (!HaveLocale(c.locale)) {
      ADD_FAILURE() << "locale " << c.locale << " missing (scripts/setup-machine)";
      continue;
    }
    locale_ = c.locale;
    std::filesystem::remove_all(dir_->Path("out"));
    const std::string kit = WriteKitWithNames(*dir_, c.names);
    RunResult verify = Run({"verify", kit});
    RunResult extract = Run({"extract", kit, dir_->Path("out")});
    if (c.err.empty()) {
      EXPECT_EQ(kExitOk, verify.status) << verify.err;
      EXPECT_EQ("", verify.err);
      EXPECT_EQ(kExitOk, extract.status) << extract.err;
      continue;
    }
    // One line, naming the entries.
    EXPECT_EQ(0u, verify.err.find(c.err)) << verify.err;
    EXPECT_EQ(1, std::count(verify.err.begin(), verify.err.end(), '\n'))
        << verify.err;
    EXPECT_EQ(kExitFailure, verify.status);
    EXPECT_EQ(kExitFailure, extract.status) << extract.err;
    EXPECT_NE(std::string::npos, extract.err.find("nothing was installed"))
        << extract.err;
    EXPECT_FALSE(std::filesystem::exists(dir_->Path("out")));
  }
}

// Every failure names the path and the system's reason; advice only where
// it helps.
TEST_F(KittoolRunTest, MessagesNameThePathAndGiveOnlyTrueAdvice) {
  const std::string dir = dir_->Path("a dir");
  ASSERT_EQ(0, mkdir(dir.c_str(), 0755));
  const std::string is_dir = std::strerror(EISDIR);
  const std::string advice = "UTF-8 locale";
  const struct {
    const char* what;
    const char* locale;
    std::vector<WideString> names;  // empty: the kit is `dir`
    std::vector<std::string> args;
    std::string part;     // in standard error
    std::string absent;   // not in standard error
  } cases[] = {
      {"list of a directory", "C.UTF-8", {}, {"list", dir},
       "\"" + dir + "\" cannot be read: " + is_dir, "temporary"},
      {"extract of a directory", "C.UTF-8", {}, {"extract", dir, "t"},
       "\"" + dir + "\" cannot be read: " + is_dir, "temporary"},
      {"verify of a directory", "C.UTF-8", {}, {"verify", dir},
       "\"" + dir + "\": " + is_dir, "error 87"},
      {"bytes that spell other text, UTF-8", "C.UTF-8",
       {Units({u'd', 0xDCC3, 0xDC9F})}, {"extract"},
       "is not a valid file name", advice},
      {"a lone surrogate, UTF-8", "C.UTF-8", {Units({u'c', 0xD800})},
       {"extract"}, "is not a valid file name", advice},
      {"a lone surrogate, ISO-8859-1", "de_DE.iso88591",
       {Units({u'c', 0xD800})}, {"extract"}, "is not a valid file name",
       advice},
      {"a name ISO-8859-1 cannot spell", "de_DE.iso88591", {u"D\u041F"},
       {"extract"},
       "the name \"" + dir_->Path("out") +
           "/D\\u041F\" cannot be written in this locale's file-name "
           "encoding (ISO-8859-1); no name is ever changed, so nothing was "
           "installed (a UTF-8 locale holds it)",
       "error"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    if (!HaveLocale(c.locale)) {
      ADD_FAILURE() << "locale " << c.locale << " missing (scripts/setup-machine)";
      continue;
    }
    locale_ = c.locale;
    std::vector<std::string> args = c.args;
    if (!c.names.empty()) {
      args.push_back(WriteKitWithNames(*dir_, c.names));
      args.push_back(dir_->Path("out"));
    }
    RunResult result = Run(args);
    EXPECT_EQ(kExitFailure, result.status);
    EXPECT_NE(std::string::npos, result.err.find(c.part)) << result.err;
    EXPECT_EQ(std::string::npos, result.err.find(c.absent)) << result.err;
  }
  // No container in the temporary directory: which, and why.
  engine_test::ScopedTmpdir tmpdir(dir);
  const std::string kit = WriteKitWithNames(*dir_, {u"a"});
  FaultInjectingSystem system;
  system.FailPath(dir, EACCES, Ops(SysOp::kOpen));
  std::ostringstream out;
  std::ostringstream err;
  EXPECT_EQ(kExitFailure, KittoolMain(system, {"list", kit}, out, err));
  EXPECT_NE(std::string::npos,
            err.str().find("\"" + dir + "\" to inflate the kit into: " +
                           std::strerror(EACCES)))
      << err.str();
}

// A pack stopped while it writes leaves the old kit, or none, and no part
// file; it ends as a cancelled extract does.
TEST_F(KittoolRunTest, PackStoppedBySignalLeavesTheOldKit) {
  Make("big", std::string(3 << 20, 'b'));
  const std::string kit = dir_->Path("kit.efd");
  for (const int signal_number : {SIGINT, SIGHUP, SIGTERM}) {
    for (const bool old_kit : {true, false}) {
      SCOPED_TRACE(std::string(strsignal(signal_number)) +
                   (old_kit ? ", old kit" : ", no kit"));
      unlink(kit.c_str());
      if (old_kit) {
        ASSERT_TRUE(WriteFile(kit, "old kit"));
      }
      // Each read of the tree's file is slow: the signal comes while the
      // kit is half written.
      const pid_t pid = Start({"--slow-reads", "/tree/big", "pack", Tree(),
                               "-o", kit, "--lang", "en"},
                              KITTOOL_HELD_PATH);
      ASSERT_NE(-1, pid);
      const auto part_files = [&] {
        std::vector<std::string> found;
        for (const auto& entry :
             std::filesystem::directory_iterator(dir_->path())) {
          const std::string name = entry.path().filename();
          if (name.find(".part") != std::string::npos) found.push_back(name);
        }
        return found;
      };
      while (part_files().empty()) {
        int status;
        ASSERT_EQ(0, waitpid(pid, &status, WNOHANG)) << "ended too early";
        usleep(1000);
      }
      ASSERT_EQ(0, kill(pid, signal_number));
      RunResult result = Finish(pid);
      EXPECT_EQ(0, result.signal) << strsignal(result.signal);
      EXPECT_EQ(kExitFailure, result.status);
      EXPECT_EQ("kittool: cancelled; \"" + kit + "\" is unchanged\n",
                result.err);
      EXPECT_EQ(std::vector<std::string>{}, part_files());
      if (old_kit) {
        EXPECT_EQ("old kit", ReadFile(kit));
      } else {
        EXPECT_FALSE(std::filesystem::exists(kit));
      }
      EXPECT_FALSE(std::filesystem::exists(kit + ".sha256"));
    }
  }
}

}  // namespace
