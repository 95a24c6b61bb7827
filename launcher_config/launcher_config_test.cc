#include "launcher_config/launcher_config.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "launcher_config/launcher_paths.h"
#include "launcher_config/launcher_test_util.h"
#include "platform/fault_injection.h"
#include "platform/scoped_temp_dir.h"
#include "platform/system_api.h"

namespace {

namespace fs = std::filesystem;

class LauncherConfigTest : public ::testing::Test {
 protected:
  // The store that ReadFile makes of `bytes`.
  ConfigStore Parse(const std::string& bytes) {
    EXPECT_TRUE(::WriteFile(dir_.Path("in.cfg"), bytes));
    ConfigStore store;
    LauncherConfig::ReadFile(sys_, dir_.WidePath("in.cfg"), store);
    return store;
  }

  // What WriteFile makes of `store`.
  std::string Written(const ConfigStore& store) {
    EXPECT_TRUE(
        LauncherConfig::WriteFile(sys_, dir_.WidePath("out.cfg"), store).ok());
    return ::ReadFile(dir_.Path("out.cfg"));
  }

  Status Write(const std::string& path, const ConfigStore& store,
               SystemApi& sys = RealSystem()) {
    return LauncherConfig::WriteFile(sys, WidePath(path), store);
  }

  SystemApi& sys_ = RealSystem();
  ScopedTempDir dir_;
};

// ---- Reading lines ---------------------------------------------------------

TEST_F(LauncherConfigTest, LineReader) {
  struct Case {
    std::string bytes;
    std::string store;
  };
  const Case cases[] = {
      {"ConfigurationTemplatesLocation=/a\n"
       "configurationtemplateslocation=/b\n"
       "ConfigurationTemplatesLocation=/A\n",
       "ConfigurationTemplatesLocation=[/a][/b]"},
      {"Key=a=b", "Key=[a=b]"},
      {"Key\nKey\n", "Key=[]"},
      {"\n=\n\n=v\n\n", "=[v]"},
      {"", ""},
      {"K=a\r\nL\r\n", "K=[a\\u000D];L\\u000D=[]"},
      {" Key = v", " Key =[ v]"},
      {"\tA\t=\t1\t", "\\u0009A\\u0009=[\\u00091\\u0009]"},
      {"#c=1\n;d=2\n[s]\n", "#c=[1];;d=[2];[s]=[]"},
      {"A=1\nB=2", "A=[1];B=[2]"},
      {"A=1\nB=2\na=1\nA=2\nb=", "A=[1][2];B=[2][]"},
      // A byte-order mark at the start is no part of the first key; one
      // further on is text like any other.
      {"\xEF\xBB\xBFK=v", "K=[v]"},
      {"K=v\n\xEF\xBB\xBFL=w", "K=[v];\\uFEFFL=[w]"},
      {"K=\xD0\xB6\xF0\x9F\x98\x80", "K=[\\u0436\\uD83D\\uDE00]"},
      // Bytes that are not UTF-8 and NULs are characters of their own.
      {"K=\xFF\xC3(\n", "K=[\\uDCFF\\uDCC3(]"},
      {Bytes("K=a\0b\nL\0=c\n"), "K=[a\\u0000b];L\\u0000=[c]"},
      {Bytes("\0"), "\\u0000=[]"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.store, Dump(Parse(c.bytes))) << Show(FromBytes(c.bytes));
  }
}

TEST_F(LauncherConfigTest, ReadingAddsToWhatTheStoreHas) {
  ConfigStore store = Parse("K=a\n");
  ASSERT_TRUE(::WriteFile(dir_.Path("more.cfg"), "k=A\nk=b\nN=1\n"));
  LauncherConfig::ReadFile(sys_, dir_.WidePath("more.cfg"), store);
  EXPECT_EQ("K=[a][b];N=[1]", Dump(store));
  LauncherConfig::ReadFile(sys_, dir_.WidePath("missing.cfg"), store);
  LauncherConfig::ReadFile(sys_, dir_.WidePath(), store);  // a directory
  EXPECT_EQ("K=[a][b];N=[1]", Dump(store));
}

// Much larger than any block the reader uses, with two-byte characters across
// every block boundary, and enough lines for the indexed merge.
TEST_F(LauncherConfigTest, LargeFileReadsWhole) {
  std::string bytes = "Odd=x";
  std::string long_value;
  while (long_value.size() < (1u << 20)) long_value += "\xD0\xB6";
  bytes += long_value + "\n";
  std::vector<std::pair<std::string, std::string>> lines;
  for (int i = 0; i < 6000; ++i) {
    std::string key = (i % 3 == 0 ? "Key" : "KEY") + std::to_string(i % 50);
    std::string value = "v\xC3" + std::to_string(i % 700) + (i % 2 ? "a" : "A");
    lines.emplace_back(key, value);
    bytes += key + "=" + value + "\n";
  }
  ConfigStore store = Parse(bytes);

  ConfigStore expected;
  LauncherConfig::AddValue(expected, u"Odd", FromBytes("x" + long_value));
  for (const auto& [key, value] : lines) {
    LauncherConfig::AddValue(expected, FromBytes(key), FromBytes(value));
  }
  ASSERT_EQ(51u, expected.size());
  EXPECT_EQ(Dump(expected), Dump(store));
  ASSERT_FALSE(store.empty());
  EXPECT_EQ(long_value.size() / 2 + 1, store[0].values.at(0).length());
}

// ---- Store operations ------------------------------------------------------

TEST_F(LauncherConfigTest, AddFindAndSetValues) {
  ConfigStore store;
  EXPECT_TRUE(LauncherConfig::AddValue(store, u"Key", u"a"));
  EXPECT_FALSE(LauncherConfig::AddValue(store, u"KEY", u"A"));
  EXPECT_TRUE(LauncherConfig::AddValue(store, u"kEy", u"b"));
  EXPECT_TRUE(LauncherConfig::AddValue(store, u"Other", u"1"));
  EXPECT_TRUE(LauncherConfig::AddValue(store, u"Last", u"2"));
  EXPECT_EQ("Key=[a][b];Other=[1];Last=[2]", Dump(store));

  const std::vector<WideString>* values =
      LauncherConfig::FindValues(store, u"KEY");
  ASSERT_NE(nullptr, values);
  EXPECT_EQ((std::vector<std::string>{"a", "b"}), Shown(*values));
  EXPECT_EQ(nullptr, LauncherConfig::FindValues(store, u"Ke"));

  // An existing key keeps its place and spelling.
  LauncherConfig::SetValues(store, u"KEY", {u"z", u"y"});
  EXPECT_EQ("Key=[z][y];Other=[1];Last=[2]", Dump(store));
  // An empty list takes the entry out and leaves an empty one at the end.
  LauncherConfig::SetValues(store, u"other", {});
  EXPECT_EQ("Key=[z][y];Last=[2];other=", Dump(store));
  EXPECT_EQ("Key=z\nKey=y\nLast=2\n", Written(store));
  LauncherConfig::SetValues(store, u"New", {u"n"});
  EXPECT_EQ("Key=[z][y];Last=[2];other=;New=[n]", Dump(store));
}

TEST_F(LauncherConfigTest, CollectValuesTakesMainThenSecondary) {
  LauncherConfig config(sys_, false);
  LauncherConfig::AddValue(config.main_store, u"L", u"/a");
  LauncherConfig::AddValue(config.main_store, u"L", u"/b");
  LauncherConfig::AddValue(config.secondary_store, u"l", u"/B");
  LauncherConfig::AddValue(config.secondary_store, u"l", u"/c");
  LauncherConfig::AddValue(config.secondary_store, u"X", u"/x");
  std::vector<WideString> out = {u"/c"};  // not compared with
  config.CollectValues(u"L", out);
  EXPECT_EQ((std::vector<std::string>{"/c", "/a", "/b", "/c"}), Shown(out));
}

// ---- Writing ---------------------------------------------------------------

TEST_F(LauncherConfigTest, RoundTripGroupsByKey) {
  ConfigStore store = Parse("B=1\r\nA=x\n\nb=2\r\nA=X\nB=1\r\n=v\nC\n=\nA=y=z");
  EXPECT_EQ("B=1\r\nB=2\r\nA=x\nA=y=z\n=v\nC=\n", Written(store));
}

TEST_F(LauncherConfigTest, RewriteKeepsOtherLinesByteForByte) {
  const std::string other = Bytes("Bin=\xFF\xFE\xC3(\x80\n") +
                            Bytes("Nul=a\0b\r\n") +
                            "Text=\xD0\xB6\xF0\x9F\x98\x80\n";
  ConfigStore store = Parse("Loc=/old\n" + other);
  LauncherConfig::SetValues(store, u"loc", {u"/new"});
  EXPECT_EQ("Loc=/new\n" + other, Written(store));
}

TEST_F(LauncherConfigTest, ReplacesThroughLinksAndKeepsThem) {
  fs::create_directories(dir_.Path("real/sub"));
  ASSERT_TRUE(::WriteFile(dir_.Path("real/sub/file"), "old\n"));
  // cfg -> real/hop (absolute), real/hop -> sub/file (relative to real/).
  fs::create_symlink(dir_.Path("real/hop"), dir_.Path("cfg"));
  fs::create_symlink("sub/file", dir_.Path("real/hop"));
  ConfigStore store = Parse("K=v\n");
  EXPECT_TRUE(Write(dir_.Path("cfg"), store).ok());
  EXPECT_TRUE(fs::is_symlink(dir_.Path("cfg")));
  EXPECT_EQ(dir_.Path("real/hop"), fs::read_symlink(dir_.Path("cfg")));
  EXPECT_EQ("sub/file", fs::read_symlink(dir_.Path("real/hop")));
  EXPECT_EQ("K=v\n", ::ReadFile(dir_.Path("real/sub/file")));
  EXPECT_EQ((std::vector<std::string>{"file"}), ListDir(dir_.Path("real/sub")));

  // A dangling link gets the file it names.
  fs::create_symlink("made", dir_.Path("dangling"));
  EXPECT_TRUE(Write(dir_.Path("dangling"), store).ok());
  EXPECT_TRUE(fs::is_symlink(dir_.Path("dangling")));
  EXPECT_EQ("K=v\n", ::ReadFile(dir_.Path("made")));

  fs::create_symlink("loop", dir_.Path("loop"));
  const Status loop = Write(dir_.Path("loop"), store);
  EXPECT_EQ(ELOOP, loop.error());
  EXPECT_EQ(dir_.Path("loop"), loop.path());
}

TEST_F(LauncherConfigTest, KeepsModeAndOwner) {
  const std::string path = dir_.Path("cfg");
  ASSERT_TRUE(::WriteFile(path, "old\n"));
  ASSERT_EQ(0, chmod(path.c_str(), 0640));
  const bool root = geteuid() == 0;
  if (root) {
    ASSERT_EQ(0, chown(path.c_str(), 4321, 8765));
  }
  EXPECT_TRUE(Write(path, Parse("K=v\n")).ok());
  struct stat status;
  ASSERT_EQ(0, stat(path.c_str(), &status));
  EXPECT_EQ(0640u, status.st_mode & 07777);
  if (root) {
    EXPECT_EQ(4321u, status.st_uid);
    EXPECT_EQ(8765u, status.st_gid);
  }
  EXPECT_EQ("K=v\n", ::ReadFile(path));
}

// The same text is not written again: the file keeps its inode and time.
TEST_F(LauncherConfigTest, OnlyAnotherTextIsWritten) {
  const std::string path = dir_.Path("cfg");
  for (const bool same : {true, false}) {
    SCOPED_TRACE(same ? "same text" : "another text");
    ASSERT_TRUE(::WriteFile(path, "A=1\nK=v\n"));
    const struct timespec old_times[2] = {{1000000, 0}, {1000000, 0}};
    ASSERT_EQ(0, utimensat(AT_FDCWD, path.c_str(), old_times, 0));
    struct stat before, after;
    ASSERT_EQ(0, stat(path.c_str(), &before));
    EXPECT_TRUE(Write(path, Parse(same ? "A=1\nK=v\n" : "A=1\nK=w\n")).ok());
    ASSERT_EQ(0, stat(path.c_str(), &after));
    EXPECT_EQ(same, before.st_ino == after.st_ino);
    EXPECT_EQ(same, after.st_mtim.tv_sec == 1000000);
    EXPECT_EQ(same ? "A=1\nK=v\n" : "A=1\nK=w\n", ::ReadFile(path));
  }
}

TEST_F(LauncherConfigTest, NewFileTakesTheUmask) {
  const mode_t saved = umask(022);
  const std::pair<mode_t, mode_t> cases[] = {
      {027, 0640}, {022, 0644}, {077, 0600}, {0, 0666}};
  for (const auto& [mask, mode] : cases) {
    umask(mask);
    const std::string path = dir_.Path("new" + std::to_string(mask));
    EXPECT_TRUE(Write(path, {}).ok());
    struct stat status;
    ASSERT_EQ(0, stat(path.c_str(), &status));
    EXPECT_EQ(mode, status.st_mode & 07777) << "umask " << mask;
    EXPECT_EQ(mask, umask(mask)) << "umask left changed";
  }
  umask(saved);
}

TEST_F(LauncherConfigTest, RefusesWhatCannotBeWritten) {
  const std::string path = dir_.Path("cfg");
  ASSERT_TRUE(::WriteFile(path, "old\n"));
  ConfigStore store = Parse("K=v\n");
  {
    // A file the user may not write (root would be let through by the
    // kernel, so the refusal is injected) stays as it is.
    FaultInjectingSystem faults;
    faults.FailPath(path, EACCES, Ops(SysOp::kOpen));
    const Status refused = Write(path, store, faults);
    EXPECT_EQ(EACCES, refused.error());
    EXPECT_EQ(path, refused.path());
  }
  EXPECT_EQ("old\n", ::ReadFile(path));
  fs::create_directory(dir_.Path("dir"));
  struct Case {
    std::string path;
    int error;
  } cases[] = {
      {dir_.Path("dir"), 0},  // kNotAFile
      {dir_.Path("no/such/cfg"), ENOENT},
      {dir_.Path("cfg/below"), ENOTDIR},
      {"", ENOENT},
  };
  for (const Case& c : cases) {
    const Status refused = Write(c.path, store);
    EXPECT_FALSE(refused.ok()) << c.path;
    EXPECT_EQ(c.error, refused.error()) << c.path;
    if (c.error == 0) {
      EXPECT_EQ(Status::Kind::kNotAFile, refused.kind());
    }
    EXPECT_EQ(c.path, refused.path());
  }
  EXPECT_EQ("old\n", ::ReadFile(path));
  EXPECT_EQ((std::vector<std::string>{"cfg", "dir", "in.cfg"}),
            ListDir(dir_.path()));
}

// Every system call of a rewrite made to fail in turn: either the rewrite
// succeeds (for the calls whose failure changes nothing that matters) or it
// fails with the system's reason, naming the file, and leaves the old file
// as it was. No part file is ever left behind.
TEST_F(LauncherConfigTest, FailedRewriteLeavesOldFile) {
  enum Setup { kExisting, kNew, kLinked };
  const std::string old_text = Bytes("Keep=\xFF\0\n") + "K=old\n";
  ConfigStore store = Parse(old_text);
  LauncherConfig::SetValues(store, u"K", {u"new"});
  const std::string new_text = Bytes("Keep=\xFF\0\n") + "K=new\n";
  fs::create_directory(dir_.Path("w"));
  fs::create_directory(dir_.Path("t"));
  const std::string written = dir_.Path("w/cfg");
  const std::string target = dir_.Path("t/real");

  for (Setup setup : {kExisting, kNew, kLinked}) {
    auto reset = [&] {
      fs::remove(written);
      fs::remove(target);
      if (setup == kExisting) {
        ASSERT_TRUE(::WriteFile(written, old_text));
      }
      if (setup == kLinked) {
        ASSERT_TRUE(::WriteFile(target, old_text));
        fs::create_symlink("../t/real", written);
      }
    };
    const std::string& content_path = setup == kLinked ? target : written;

    reset();
    FaultInjectingSystem faults;
    ASSERT_TRUE(Write(written, store, faults).ok());
    ASSERT_EQ(new_text, ::ReadFile(content_path));
    const std::vector<SysCall> clean = faults.Log();
    size_t create = 0, rename = 0;
    for (size_t i = 0; i < clean.size(); ++i) {
      if (clean[i].op == SysOp::kOpen && (clean[i].flags & O_EXCL) != 0) {
        create = i;
      }
      if (clean[i].op == SysOp::kRename) rename = i;
    }
    ASSERT_LT(create, rename);
    // The look at the old text (nothing is written when it is the same).
    size_t look = clean.size(), look_end = clean.size();
    for (size_t i = 0; i < create && look == clean.size(); ++i) {
      std::error_code same_error;
      if (clean[i].op == SysOp::kOpen &&
          (clean[i].flags & O_ACCMODE) == O_RDONLY &&
          fs::equivalent(clean[i].path, content_path, same_error)) {
        look = i;
      }
    }
    for (size_t i = look; i < create; ++i) {
      if (clean[i].op == SysOp::kClose) {
        look_end = i;
        break;
      }
    }
    EXPECT_EQ(setup != kNew, look_end < create);
    // The new file is made beside the file it replaces, named after it, and
    // reaches the disk before it takes the old one's place.
    const std::string part = clean[rename].path;
    EXPECT_EQ(part, clean[create].path);
    EXPECT_TRUE(fs::equivalent(fs::path(content_path).parent_path(),
                               fs::path(part).parent_path()));
    const std::string part_name = fs::path(content_path).filename().string() +
                                  ".part" + std::to_string(getpid()) + "-";
    EXPECT_EQ(0u, fs::path(part).filename().string().rfind(part_name, 0))
        << part;
    EXPECT_TRUE(fs::equivalent(content_path, clean[rename].path2));
    bool flushed = false;
    for (size_t i = create; i < rename; ++i) {
      flushed =
          flushed || (clean[i].op == SysOp::kFsync && clean[i].path == part);
    }
    EXPECT_TRUE(flushed);

    for (size_t i = 0; i < clean.size(); ++i) {
      for (int error : {ENOSPC, EIO, EACCES}) {
        reset();
        const SysCall& call = clean[i];
        SCOPED_TRACE(std::string(SysOpName(call.op)) + " " + call.path +
                     " setup " + std::to_string(setup) + " errno " +
                     std::to_string(error));
        FaultInjectingSystem failing;
        failing.FailNth(i + 1, error);
        const Status status = Write(written, store, failing);
        ASSERT_EQ(1u, failing.InjectedCount());
        // Tolerated: the look at the old text, closing the descriptor that
        // only tested for write permission, the owner change, reading the
        // umask (a fallback exists), and flushing the directory after the
        // rename.
        const bool tolerated = (look <= i && i <= look_end) ||
                               (call.op == SysOp::kClose && i < create) ||
                               call.op == SysOp::kFchown ||
                               call.path.rfind("/proc/", 0) == 0 || i > rename;
        if (tolerated) {
          EXPECT_TRUE(status.ok()) << status.ToString();
          EXPECT_EQ(new_text, ::ReadFile(content_path));
        } else {
          EXPECT_EQ(error, status.error()) << status.ToString();
          EXPECT_EQ(written, status.path());
          if (setup == kNew) {
            EXPECT_FALSE(fs::exists(written));
          } else {
            EXPECT_EQ(old_text, ::ReadFile(content_path));
          }
        }
        const std::vector<std::string> none, cfg = {"cfg"}, real = {"real"};
        EXPECT_EQ(setup == kLinked ? real : none, ListDir(dir_.Path("t")))
            << "part file left";
        EXPECT_EQ(setup == kNew && !status.ok() ? none : cfg,
                  ListDir(dir_.Path("w")))
            << "part file left";
        if (setup == kLinked) {
          EXPECT_TRUE(fs::is_symlink(written));
        }
      }
    }
  }
}

// ---- Load and Save ---------------------------------------------------------

class LauncherSaveTest : public LauncherConfigTest {
 protected:
  LauncherSaveTest() : home_(dir_.path()) {}

  std::string UserFile() const {
    return dir_.Path(".Tq/tqlaunch/tqlaunch.cfg");
  }

  HomeScope home_;
};

TEST_F(LauncherSaveTest, SaveMakesTheMissingDirectory) {
  LauncherConfig config(sys_, false);
  config.Load();
  EXPECT_TRUE(config.main_store.empty());
  LauncherConfig::AddValue(config.main_store, u"K", u"v");
  EXPECT_TRUE(config.Save().ok());
  EXPECT_EQ("K=v\n", ::ReadFile(UserFile()));

  LauncherConfig common(sys_, true);
  LauncherConfig::AddValue(common.main_store, u"C", u"1");
  EXPECT_TRUE(common.Save().ok());
  EXPECT_EQ("C=1\n", ::ReadFile(dir_.Path(".Tq/tqlauncht/tqlaunch.cfg")));
}

// A stage that keeps failing reaches the caller after the retry, with the old
// file whole and nothing left beside it.
TEST_F(LauncherSaveTest, PersistentFailureIsReturnedAfterRetry) {
  fs::create_directories(dir_.Path(".Tq/tqlaunch"));
  struct Case {
    SysOp op;
    const char* fragment;  // only calls on such a path fail; null: all
    int error;
  };
  const Case cases[] = {
      {SysOp::kOpen, ".part", EACCES},    // the new file cannot be made
      {SysOp::kWrite, nullptr, ENOSPC},   // the disk is full
      {SysOp::kFchmod, nullptr, EIO},     // its mode cannot be set
      {SysOp::kFsync, nullptr, EIO},      // it cannot be flushed
      {SysOp::kRename, nullptr, EACCES},  // it cannot take the old one's place
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(SysOpName(c.op));
    ASSERT_TRUE(::WriteFile(UserFile(), "K=old\nO=1\n"));
    FaultInjectingSystem faults;
    LauncherConfig config(faults, false);
    config.Load();
    LauncherConfig::SetValues(config.main_store, u"K", {u"new"});
    if (c.fragment != nullptr) {
      faults.FailPath(c.fragment, c.error, Ops(c.op));
    } else {
      faults.FailNth(1, c.error, Ops(c.op), /*sticky=*/true);
    }
    const Status saved = config.Save();
    EXPECT_EQ(c.error, saved.error()) << saved.ToString();
    EXPECT_EQ(UserFile(), saved.path());
    EXPECT_EQ(2u, faults.InjectedCount()) << "one retry";
    EXPECT_EQ("K=old\nO=1\n", ::ReadFile(UserFile()));
    EXPECT_EQ((std::vector<std::string>{"tqlaunch.cfg"}),
              ListDir(dir_.Path(".Tq/tqlaunch")));
  }
}

TEST_F(LauncherSaveTest, RetryMakesTheFilesOwnDirectory) {
  FaultInjectingSystem faults;
  LauncherConfig config(faults, false);
  LauncherConfig::AddValue(config.main_store, u"K", u"v");
  // The first directory creation fails, so the first write has nowhere to go.
  faults.FailNth(1, EACCES, Ops(SysOp::kMkdir));
  EXPECT_TRUE(config.Save().ok());
  EXPECT_EQ(1u, faults.InjectedCount());
  EXPECT_EQ("K=v\n", ::ReadFile(UserFile()));
}

// A main file that could not be read whole is not rewritten: the rewrite
// would drop the lines that were not read.
TEST_F(LauncherSaveTest, PartlyReadFileIsNotRewritten) {
  fs::create_directories(dir_.Path(".Tq/tqlaunch"));
  const std::string text = "K=old\nBig=" + std::string(300000, 'x') + "\n";
  ASSERT_TRUE(::WriteFile(UserFile(), text));
  FaultInjectingSystem faults;
  LauncherConfig config(faults, false);
  faults.FailNth(2, EIO, Ops(SysOp::kRead));  // past the first block
  config.Load();
  EXPECT_EQ(1u, faults.InjectedCount());
  EXPECT_TRUE(config.main_store.empty());
  EXPECT_FALSE(config.loaded_whole());
  LauncherConfig::SetValues(config.main_store, u"K", {u"new"});
  const Status saved = config.Save();
  EXPECT_EQ(EIO, saved.error());
  EXPECT_EQ(UserFile(), saved.path());
  EXPECT_EQ(text, ::ReadFile(UserFile()));
}

}  // namespace
