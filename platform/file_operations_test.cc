#include "platform/file_operations.h"

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <set>
#include <string>

#include "gtest/gtest.h"
#include "platform/beneath_dir.h"
#include "platform/directory_enumerator.h"
#include "platform/fault_injection.h"
#include "platform/file_io.h"
#include "platform/scoped_temp_dir.h"
#include "text/text_conversion.h"

namespace {

std::string Narrow(const WideString& text) { return ToNarrow(text).c_str(); }

// Names in `directory` other than "." and "..", read with the real system.
std::set<std::string> Names(const std::string& directory) {
  std::set<std::string> names;
  DIR* dir = opendir(directory.c_str());
  if (dir == nullptr) return names;
  while (struct dirent* entry = readdir(dir)) {
    std::string name = entry->d_name;
    if (name != "." && name != "..") names.insert(name);
  }
  closedir(dir);
  return names;
}

bool Exists(const std::string& path) {
  struct stat status;
  return lstat(path.c_str(), &status) == 0;
}

bool IsDir(const std::string& path) {
  struct stat status;
  return lstat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

struct stat LstatOf(const std::string& path) {
  struct stat status = {};
  EXPECT_EQ(0, lstat(path.c_str(), &status)) << path;
  return status;
}

// Sets a file's mode and times (with nanoseconds) without following links.
void Stamp(const std::string& path, mode_t mode, time_t seconds) {
  ASSERT_EQ(0, chmod(path.c_str(), mode));
  struct timespec times[2] = {{seconds - 100, 123456789}, {seconds, 987654321}};
  ASSERT_EQ(0, utimensat(AT_FDCWD, path.c_str(), times, 0));
}

class FileOperationsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* tmpdir = std::getenv("TMPDIR");
    if (tmpdir != nullptr) saved_tmpdir_ = tmpdir;
  }
  void TearDown() override {
    if (saved_tmpdir_) {
      setenv("TMPDIR", saved_tmpdir_->c_str(), 1);
    } else {
      unsetenv("TMPDIR");
    }
  }

  std::string P(const std::string& name) { return dir_.Path(name); }
  WideString W(const std::string& name) { return dir_.WidePath(name); }

  // A small tree: files with distinct modes and times, a subdirectory, a
  // relative link and a link to a directory outside the tree.
  void MakeTree(const std::string& root) {
    ASSERT_EQ(0, mkdir(root.c_str(), 0755));
    ASSERT_EQ(0, mkdir((root + "/inner").c_str(), 0755));
    ASSERT_TRUE(WriteFile(root + "/top.cfg", "top"));
    ASSERT_TRUE(WriteFile(root + "/inner/deep.cfg", "deep"));
    ASSERT_EQ(0, symlink("inner/deep.cfg", (root + "/link").c_str()));
    Stamp(root + "/top.cfg", 0640, 1000000000);
    Stamp(root + "/inner/deep.cfg", 0604, 1100000000);
    Stamp(root + "/inner", 0750, 1200000000);
    Stamp(root, 0711, 1300000000);
  }

  // What MakeTree made, found at `root` with modes, times and the link.
  void ExpectTree(const std::string& root) {
    EXPECT_EQ("top", ReadFile(root + "/top.cfg"));
    EXPECT_EQ("deep", ReadFile(root + "/inner/deep.cfg"));
    struct Case {
      std::string path;
      mode_t mode;
      time_t mtime;
    } cases[] = {{"/top.cfg", 0640, 1000000000},
                 {"/inner/deep.cfg", 0604, 1100000000},
                 {"/inner", 0750, 1200000000},
                 {"", 0711, 1300000000}};
    for (const Case& c : cases) {
      struct stat status = LstatOf(root + c.path);
      EXPECT_EQ(c.mode, status.st_mode & 07777) << c.path;
      EXPECT_EQ(c.mtime, status.st_mtim.tv_sec) << c.path;
      EXPECT_EQ(987654321, status.st_mtim.tv_nsec) << c.path;
    }
    struct stat link = LstatOf(root + "/link");
    EXPECT_TRUE(S_ISLNK(link.st_mode));
    char text[64] = {};
    EXPECT_EQ(14, readlink((root + "/link").c_str(), text, sizeof text - 1));
    EXPECT_STREQ("inner/deep.cfg", text);
  }

  ScopedTempDir dir_;
  std::optional<std::string> saved_tmpdir_;
};

TEST_F(FileOperationsTest, TempDirectoryComesFromTmpdirWhenUsable) {
  ASSERT_TRUE(WriteFile(P("plain"), "x"));
  struct Case {
    std::optional<std::string> tmpdir;
    std::string expected;
  } cases[] = {
      {std::nullopt, "/tmp/"},
      {P("missing"), "/tmp/"},
      {P("plain"), "/tmp/"},
      {"", "/tmp/"},
      {dir_.path(), dir_.path() + "/"},
      {dir_.path() + "/", dir_.path() + "/"},
  };
  for (const Case& c : cases) {
    if (c.tmpdir) {
      setenv("TMPDIR", c.tmpdir->c_str(), 1);
    } else {
      unsetenv("TMPDIR");
    }
    WideString directory;
    EXPECT_EQ(kSuccess, GetTempDirectory(&directory));
    EXPECT_EQ(c.expected, Narrow(directory)) << c.tmpdir.value_or("(unset)");
  }
  EXPECT_EQ(kErrorInvalidParameter, GetTempDirectory(nullptr));
}

TEST_F(FileOperationsTest, FreeSpaceOfTheTempDirectory) {
  setenv("TMPDIR", dir_.path().c_str(), 1);
  struct statvfs status;
  ASSERT_EQ(0, statvfs(dir_.path().c_str(), &status));
  uint64_t free_bytes = 0;
  EXPECT_EQ(kSuccess, GetFreeSpace(&free_bytes));
  // Other programs write meanwhile; a wide margin still catches a wrong
  // block size or a 32-bit overflow.
  uint64_t expected = uint64_t{status.f_bfree} * status.f_frsize;
  EXPECT_NEAR(static_cast<double>(expected), static_cast<double>(free_bytes),
              64.0 * 1024 * 1024);
  EXPECT_EQ(kErrorInvalidParameter, GetFreeSpace(nullptr));

  FaultInjectingSystem faults;
  ScopedSystemApi scope(&faults);
  faults.FailPath("", EIO, Ops(SysOp::kStatvfs));
  free_bytes = 123;
  EXPECT_EQ(kSuccess, GetFreeSpace(&free_bytes));
  EXPECT_EQ(0u, free_bytes);
  ASSERT_EQ(1u, faults.CallCount(Ops(SysOp::kStatvfs)));
  EXPECT_EQ(dir_.path() + "/", faults.Log().back().path);
}

TEST_F(FileOperationsTest, MakeTempFileIsExclusivePrivateAndInTheGivenDir) {
  ASSERT_EQ(0, mkdir(P("given").c_str(), 0755));
  ASSERT_EQ(0, mkdir(P("elsewhere").c_str(), 0755));
  setenv("TMPDIR", P("elsewhere").c_str(), 1);
  mode_t old_mask = umask(0);
  WideString first, second;
  EXPECT_EQ(kSuccess, MakeTempFile(W("given"), WidePath("edf"), &first));
  EXPECT_EQ(kSuccess, MakeTempFile(W("given/"), WidePath("edf"), &second));
  umask(old_mask);
  EXPECT_NE(first, second);
  for (const WideString& path : {first, second}) {
    std::string name = Narrow(path);
    ASSERT_EQ(P("given/edf"), name.substr(0, P("given/edf").size()));
    EXPECT_EQ(P("given/edf").size() + 6, name.size());
    struct stat status = LstatOf(name);
    EXPECT_TRUE(S_ISREG(status.st_mode));
    EXPECT_EQ(0600u, status.st_mode & 07777);
    EXPECT_EQ(0, status.st_size);
  }
  EXPECT_TRUE(Names(P("elsewhere")).empty());

  // Created exclusively: through mkostemp, never open with O_CREAT alone.
  FaultInjectingSystem faults;
  {
    ScopedSystemApi scope(&faults);
    WideString third;
    EXPECT_EQ(kSuccess, MakeTempFile(W("given"), WidePath("x"), &third));
  }
  EXPECT_EQ(1u, faults.CallCount(Ops(SysOp::kMakeTemp)));
  EXPECT_EQ(0u, faults.CallCount(Ops(SysOp::kOpen)));

  // An empty directory means the temporary directory.
  WideString in_temp;
  EXPECT_EQ(kSuccess, MakeTempFile(WideString(), WidePath("t"), &in_temp));
  EXPECT_EQ(P("elsewhere/t"),
            Narrow(in_temp).substr(0, P("elsewhere/t").size()));
}

TEST_F(FileOperationsTest, MakeTempFileFailuresYieldNoName) {
  ASSERT_TRUE(WriteFile(P("plain"), "x"));
  struct Case {
    std::string directory;
    std::string prefix;
  } cases[] = {
      {P("missing"), "edf"},
      {P("plain"), "edf"},
      {dir_.path(), "../escape"},
  };
  for (const Case& c : cases) {
    WideString path = WidePath("stale");
    EXPECT_EQ(kErrorTempFileNotCreated,
              MakeTempFile(WidePath(c.directory), WidePath(c.prefix), &path))
        << c.directory << " " << c.prefix;
    EXPECT_TRUE(path.empty());
  }
  // A directory the process may not write to (the seam stands in for the
  // permission bits, which do not stop root).
  FaultInjectingSystem faults;
  ScopedSystemApi scope(&faults);
  faults.FailNth(1, EACCES, Ops(SysOp::kMakeTemp));
  WideString path;
  EXPECT_EQ(kErrorTempFileNotCreated,
            MakeTempFile(W(""), WidePath("e"), &path));
  EXPECT_TRUE(path.empty());
  // A failing close leaves no file behind.
  faults.FailNth(1, EIO, Ops(SysOp::kClose));
  EXPECT_EQ(kErrorTempFileNotCreated,
            MakeTempFile(W(""), WidePath("e"), &path));
  EXPECT_EQ((std::set<std::string>{"plain"}), Names(dir_.path()));
  EXPECT_EQ(kErrorInvalidParameter,
            MakeTempFile(W(""), WidePath("e"), nullptr));
}

TEST_F(FileOperationsTest, MakeDirectoryCreatesParents) {
  ASSERT_TRUE(WriteFile(P("plain"), "x"));
  ASSERT_EQ(0, mkdir(P("exists").c_str(), 0755));
  ASSERT_EQ(0, symlink("exists", P("link").c_str()));
  struct Case {
    std::string path;
    ErrorCode expected;
  } cases[] = {
      {P("a/b/c"), kSuccess},
      {P("a/b/c"), kSuccess},  // again: already there
      {P("exists"), kSuccess},
      {P("link"), kSuccess},
      {P("d//e/"), kSuccess},
      {P("f/../g/h"), kSuccess},
      {P("plain"), kErrorFileNotFound},
      {P("plain/sub"), kErrorFileNotFound},
      {"", kErrorFileNotFound},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.expected, RunMakeDirectory(WidePath(c.path))) << c.path;
    struct stat status;
    if (c.expected == kSuccess) {
      EXPECT_TRUE(stat(c.path.c_str(), &status) == 0 && S_ISDIR(status.st_mode))
          << c.path;
    }
  }
  EXPECT_TRUE(IsDir(P("d/e")));
  EXPECT_TRUE(IsDir(P("g/h")));
  EXPECT_TRUE(S_ISLNK(LstatOf(P("link")).st_mode));

  // A level the system refuses: 2, and the levels made above it stay.
  FaultInjectingSystem faults;
  ScopedSystemApi scope(&faults);
  // mkdir q/r/s/t, q/r/s, q/r (all missing parents), q, q/r, then q/r/s.
  faults.FailNth(6, EACCES, Ops(SysOp::kMkdir));
  EXPECT_EQ(kErrorFileNotFound, RunMakeDirectory(W("q/r/s/t")));
  EXPECT_TRUE(IsDir(P("q/r")));
  EXPECT_FALSE(Exists(P("q/r/s")));
}

TEST_F(FileOperationsTest, MoveLikeMv) {
  ASSERT_TRUE(WriteFile(P("a"), "A"));
  ASSERT_TRUE(WriteFile(P("b"), "B"));
  ASSERT_TRUE(WriteFile(P("c"), "C"));
  ASSERT_TRUE(WriteFile(P("d"), "D"));
  ASSERT_EQ(0, mkdir(P("dir").c_str(), 0755));
  ASSERT_EQ(0, mkdir(P("tree").c_str(), 0755));
  ASSERT_TRUE(WriteFile(P("tree/t"), "T"));
  struct Case {
    std::string from, to;
    ErrorCode expected;
    std::string landed;  // where the bytes are afterwards
    std::string contents;
  } cases[] = {
      {"a", "a2", kSuccess, "a2", "A"},
      {"b", "a2", kSuccess, "a2", "B"},      // replaces
      {"c", "dir", kSuccess, "dir/c", "C"},  // into a directory
      {"d", "dir/", kSuccess, "dir/d", "D"},
      {"tree", "tree2", kSuccess, "tree2/t", "T"},
      {"missing", "x", kErrorFileNotFound, "", ""},
      {"a2", "nodir/x", kErrorFileNotFound, "a2", "B"},
      {"dir", "dir/inside", kErrorFileNotFound, "dir/c", "C"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.expected, RunMove(W(c.from), W(c.to))) << c.from << " " << c.to;
    if (!c.landed.empty()) {
      EXPECT_EQ(c.contents, ReadFile(P(c.landed))) << c.from;
    }
    if (c.expected == kSuccess) {
      EXPECT_FALSE(Exists(P(c.from))) << c.from;
    }
  }
  EXPECT_FALSE(Exists(P("x")));
  EXPECT_EQ(kErrorFileNotFound, RunMove(WideString(), W("y")));
}

TEST_F(FileOperationsTest, MoveAcrossFileSystemsKeepsModeAndTimes) {
  ASSERT_TRUE(WriteFile(P("file"), "bytes of the file"));
  Stamp(P("file"), 0640, 1234567890);
  ASSERT_TRUE(WriteFile(P("old-target"), "old"));
  ASSERT_EQ(0, mkdir(P("dst").c_str(), 0755));
  MakeTree(P("tree"));
  ASSERT_EQ(0, symlink("file", P("alink").c_str()));

  FaultInjectingSystem faults;
  ScopedSystemApi scope(&faults);
  // Every rename from the source side says "other file system".
  faults.FailPath("/file", EXDEV, Ops(SysOp::kRename));
  faults.FailPath("/tree", EXDEV, Ops(SysOp::kRename));
  faults.FailPath("/alink", EXDEV, Ops(SysOp::kRename));

  EXPECT_EQ(kSuccess, RunMove(W("file"), W("dst/moved")));
  EXPECT_FALSE(Exists(P("file")));
  struct stat status = LstatOf(P("dst/moved"));  // before reading touches it
  EXPECT_EQ("bytes of the file", ReadFile(P("dst/moved")));
  EXPECT_EQ(0640u, status.st_mode & 07777);
  EXPECT_EQ(1234567890, status.st_mtim.tv_sec);
  EXPECT_EQ(987654321, status.st_mtim.tv_nsec);
  EXPECT_EQ(1234567790, status.st_atim.tv_sec);

  EXPECT_EQ(kSuccess, RunMove(W("tree"), W("dst/tree")));
  EXPECT_FALSE(Exists(P("tree")));
  ExpectTree(P("dst/tree"));

  EXPECT_EQ(kSuccess, RunMove(W("alink"), W("old-target")));
  EXPECT_FALSE(Exists(P("alink")));
  EXPECT_TRUE(S_ISLNK(LstatOf(P("old-target")).st_mode));

  // No helper files are left behind.
  EXPECT_EQ((std::set<std::string>{"dst", "old-target"}), Names(dir_.path()));
  EXPECT_EQ((std::set<std::string>{"moved", "tree"}), Names(P("dst")));
  EXPECT_GE(faults.InjectedCount(), 3u);
}

TEST_F(FileOperationsTest, FailedCrossDeviceMoveLeavesBothSidesAlone) {
  ASSERT_TRUE(WriteFile(P("src"), std::string(300000, 's')));
  ASSERT_TRUE(WriteFile(P("dst"), "previous"));
  MakeTree(P("tree"));
  FaultInjectingSystem faults;
  ScopedSystemApi scope(&faults);
  faults.FailPath("/src", EXDEV, Ops(SysOp::kRename));
  faults.FailPath("/tree", EXDEV, Ops(SysOp::kRename));
  // The target's disk is full.
  faults.FailPath("", ENOSPC, Ops(SysOp::kWrite, SysOp::kCopyFileRange));
  EXPECT_EQ(kErrorFileNotFound, RunMove(W("src"), W("dst")));
  EXPECT_EQ(std::string(300000, 's'), ReadFile(P("src")));
  EXPECT_EQ("previous", ReadFile(P("dst")));
  EXPECT_EQ(kErrorFileNotFound, RunMove(W("tree"), W("tree-copy")));
  ExpectTree(P("tree"));
  EXPECT_EQ((std::set<std::string>{"src", "dst", "tree"}), Names(dir_.path()));
}

// Fails each system call of a cross-device move in turn. Whatever fails, the
// source is whole or the move is done; a replaced target is either as it was
// or the whole new one; no helper file is left.
TEST_F(FileOperationsTest, EveryFailurePointOfACrossDeviceMoveIsSafe) {
  enum Kind { kFile, kLink, kTree };
  for (Kind kind : {kFile, kLink, kTree}) {
    FaultInjectingSystem faults;
    auto set_up = [&] {
      ASSERT_EQ(0, RunRemoveTree(W("src")));
      ASSERT_EQ(0, RunRemoveTree(W("dst")));
      if (kind == kTree) {
        MakeTree(P("src"));
        return;
      }
      ASSERT_TRUE(WriteFile(P("dst"), "old"));
      if (kind == kLink) {
        ASSERT_EQ(0, symlink("link text", P("src").c_str()));
      } else {
        ASSERT_TRUE(WriteFile(P("src"), "payload"));
        Stamp(P("src"), 0640, 1000000000);
      }
    };
    // True when `path` holds the whole source; checks the tree in detail.
    auto is_whole = [&](const std::string& path) {
      char text[32] = {};
      switch (kind) {
        case kFile:
          return ReadFile(path) == "payload" &&
                 (LstatOf(path).st_mode & 07777) == 0640;
        case kLink:
          return readlink(path.c_str(), text, sizeof text - 1) == 9 &&
                 std::string(text) == "link text";
        case kTree:
          ExpectTree(path);
          return true;
      }
      return false;
    };
    set_up();
    uint64_t calls;
    {
      ScopedSystemApi scope(&faults);
      faults.FailPath("/src", EXDEV, Ops(SysOp::kRename));
      ASSERT_EQ(kSuccess, RunMove(W("src"), W("dst")));
      calls = faults.CallCount();
    }
    ASSERT_GT(calls, 5u);
    for (uint64_t n = 1; n <= calls; ++n) {
      set_up();
      faults.ClearLog();
      faults.ClearFaults();
      faults.FailPath("/src", EXDEV, Ops(SysOp::kRename));
      faults.FailNth(n, ENOSPC);
      ErrorCode result;
      {
        ScopedSystemApi scope(&faults);
        result = RunMove(W("src"), W("dst"));
      }
      SCOPED_TRACE(testing::Message()
                   << "kind " << kind << " call " << n << " ("
                   << SysOpName(faults.Log()[n - 1].op) << " "
                   << faults.Log()[n - 1].path << ")");
      if (result == kSuccess) {
        EXPECT_FALSE(Exists(P("src")));
        EXPECT_TRUE(is_whole(P("dst")));
      } else {
        ASSERT_EQ(kErrorFileNotFound, result);
        // Either the target was left alone and the source is whole, or the
        // copy is whole and only the source's removal failed.
        bool replaced =
            kind == kTree ? Exists(P("dst")) : ReadFile(P("dst")) != "old";
        EXPECT_TRUE(is_whole(P(replaced ? "dst" : "src")));
      }
      std::set<std::string> names = Names(dir_.path());
      names.erase("src");
      names.erase("dst");
      EXPECT_TRUE(names.empty()) << *names.begin();
    }
  }
}

class TmpfsMoveTest : public FileOperationsTest {
 protected:
  void SetUp() override {
    FileOperationsTest::SetUp();
    mount_point_ = P("mnt");
    ASSERT_EQ(0, mkdir(mount_point_.c_str(), 0755));
    if (mount("tmpfs", mount_point_.c_str(), "tmpfs", 0, "size=16m") != 0) {
      GTEST_SKIP() << "cannot mount a tmpfs here (" << std::strerror(errno)
                   << "); the real cross-device move is not tested";
    }
    mounted_ = true;
  }
  void TearDown() override {
    if (mounted_) umount2(mount_point_.c_str(), MNT_DETACH);
    FileOperationsTest::TearDown();
  }
  std::string mount_point_;
  bool mounted_ = false;
};

TEST_F(TmpfsMoveTest, RealCrossDeviceMove) {
  ASSERT_NE(LstatOf(dir_.path()).st_dev, LstatOf(mount_point_).st_dev);
  MakeTree(P("tree"));
  ASSERT_TRUE(WriteFile(P("file"), "f"));
  Stamp(P("file"), 0600, 1500000000);
  EXPECT_EQ(kSuccess, RunMove(W("tree"), W("mnt/tree")));
  EXPECT_EQ(kSuccess, RunMove(W("file"), W("mnt")));
  ExpectTree(mount_point_ + "/tree");
  EXPECT_EQ(1500000000, LstatOf(mount_point_ + "/file").st_mtim.tv_sec);
  EXPECT_FALSE(Exists(P("tree")));
  EXPECT_FALSE(Exists(P("file")));
  // And back again, with the original target name free.
  EXPECT_EQ(kSuccess, RunMove(W("mnt/tree"), W("back")));
  ExpectTree(P("back"));
  // No space on the target: the copy fails, nothing is lost or left.
  ASSERT_TRUE(WriteFile(P("big"), std::string(20 << 20, 'b')));
  EXPECT_EQ(kErrorFileNotFound, RunMove(W("big"), W("mnt/big")));
  EXPECT_EQ(size_t{20 << 20}, ReadFile(P("big")).size());
  EXPECT_EQ((std::set<std::string>{"file"}), Names(mount_point_));
}

TEST_F(FileOperationsTest, RemoveTreeNeverFollowsLinks) {
  ASSERT_EQ(0, mkdir(P("outside").c_str(), 0755));
  ASSERT_TRUE(WriteFile(P("outside/keep"), "keep"));
  MakeTree(P("tree"));
  ASSERT_EQ(0, symlink(P("outside").c_str(), P("tree/inner/out").c_str()));
  ASSERT_EQ(0, symlink(P("outside").c_str(), P("top-link").c_str()));
  ASSERT_EQ(0, chmod(P("tree/inner").c_str(), 0500));  // read-only: no matter

  EXPECT_EQ(kSuccess, RunRemoveTree(W("tree")));
  EXPECT_FALSE(Exists(P("tree")));
  // A link given directly, even with a trailing "/", is removed itself.
  EXPECT_EQ(kSuccess, RunRemoveTree(W("top-link/")));
  EXPECT_FALSE(Exists(P("top-link")));
  EXPECT_EQ("keep", ReadFile(P("outside/keep")));
  EXPECT_EQ(kSuccess, RunRemoveTree(W("missing")));
  EXPECT_EQ(kSuccess, RunRemoveTree(W("outside/")));
  EXPECT_FALSE(Exists(P("outside")));
}

TEST_F(FileOperationsTest, RemoveTreeGoesOnPastFailures) {
  MakeTree(P("tree"));
  FaultInjectingSystem faults;
  ScopedSystemApi scope(&faults);
  faults.FailPath("top.cfg", EBUSY, Ops(SysOp::kUnlink));
  EXPECT_EQ(kSuccess, RunRemoveTree(W("tree")));
  EXPECT_EQ((std::set<std::string>{"top.cfg"}), Names(P("tree")));
}

TEST_F(FileOperationsTest, RemoveTreeRefusesRootDotAndEmpty) {
  // The seam refuses every change, so a broken guard cannot do harm; the log
  // shows that nothing was even tried.
  FaultInjectingSystem faults;
  ScopedSystemApi scope(&faults);
  faults.FailPath("", EPERM, kMutatingSysOps);
  ASSERT_EQ(0, chdir(dir_.path().c_str()));
  for (const char* path : {"/", "//", "", ".", "..", "./", "a/..", "a/."}) {
    EXPECT_EQ(kSuccess, RunRemoveTree(WidePath(path))) << path;
  }
  ASSERT_EQ(0, chdir("/"));
  EXPECT_EQ(0u, faults.CallCount())
      << SysOpName(faults.Log()[0].op) << " " << faults.Log()[0].path;
}

TEST_F(FileOperationsTest, RemoveFileRemovesOnlyFiles) {
  ASSERT_TRUE(WriteFile(P("f"), "x"));
  ASSERT_EQ(0, mkdir(P("d").c_str(), 0755));
  ASSERT_EQ(0, symlink("d", P("l").c_str()));
  for (const char* name : {"f", "d", "l", "missing"}) {
    EXPECT_EQ(kSuccess, RunRemoveFile(W(name))) << name;
  }
  EXPECT_EQ((std::set<std::string>{"d"}), Names(dir_.path()));
  EXPECT_EQ(kSuccess, RunRemoveFile(WideString()));
}

// A file of one's own (a probe, an inflated kit) must not stay behind
// because one removal failed in passing; a directory or a missing name is
// not tried twice.
TEST_F(FileOperationsTest, RemoveFileTriesOnceMoreAfterAFailure) {
  ASSERT_EQ(0, mkdir(P("d").c_str(), 0755));
  for (const int error : {EIO, EACCES, EBUSY}) {
    ASSERT_TRUE(WriteFile(P("f"), "x"));
    FaultInjectingSystem faults;
    faults.FailNth(1, error, Ops(SysOp::kUnlink));
    {
      ScopedSystemApi scope(&faults);
      EXPECT_EQ(kSuccess, RunRemoveFile(W("f")));
    }
    EXPECT_EQ(2u, faults.CallCount(Ops(SysOp::kUnlink))) << error;
    EXPECT_EQ((std::set<std::string>{"d"}), Names(dir_.path())) << error;
  }
  for (const char* name : {"d", "missing"}) {
    FaultInjectingSystem faults;
    {
      ScopedSystemApi scope(&faults);
      EXPECT_EQ(kSuccess, RunRemoveFile(W(name)));
    }
    EXPECT_EQ(1u, faults.CallCount(Ops(SysOp::kUnlink))) << name;
  }
  EXPECT_EQ((std::set<std::string>{"d"}), Names(dir_.path()));
}

// Names that a shell would have read as syntax go through every operation
// literally and cause nothing else.
TEST_F(FileOperationsTest, HostileNamesAreTakenLiterally) {
  const std::string hostile =
      "q\"uo\"te $HOME $(touch pwned) `touch pwned2` back\\slash\nnewline";
  ASSERT_EQ(0, chdir(dir_.path().c_str()));
  const std::string dir = P(hostile + " dir");
  const std::string file = dir + "/" + hostile;

  EXPECT_EQ(kSuccess, RunMakeDirectory(WidePath(dir + "/" + hostile + "2")));
  EXPECT_TRUE(IsDir(dir + "/" + hostile + "2"));

  FileHandle handle = kInvalidFileHandle;
  ASSERT_EQ(kSuccess, FileOpen(WidePath(file), kFileAccessWrite, 0,
                               kFileCreateAlways, &handle, 0));
  uint32_t count = 0;
  ASSERT_EQ(kSuccess, FileWrite(handle, "literal", 7, &count, false));
  FileTime time = FileTimeFromUnixSeconds(1400000000);
  ASSERT_EQ(kSuccess, FileSetTime(handle, nullptr, nullptr, &time));
  ASSERT_EQ(kSuccess, FileClose(handle));
  ASSERT_EQ(kSuccess, FileOpen(WidePath(file), kFileAccessRead, 0,
                               kFileOpenExisting, &handle, 0));
  char buffer[16];
  ASSERT_EQ(kSuccess, FileRead(handle, buffer, 16, &count, false));
  EXPECT_EQ("literal", std::string(buffer, count));
  FileTime read_time = 0;
  ASSERT_EQ(kSuccess, FileGetTimes(handle, nullptr, nullptr, &read_time));
  EXPECT_EQ(time, read_time);
  FileClose(handle);

  DirectoryEnumerator enumerator;
  ASSERT_TRUE(enumerator.First(WidePath(file)));
  EXPECT_EQ(WidePath(hostile), enumerator.Name());
  uint64_t size = 0;
  EXPECT_EQ(0, GetFileSize(WidePath(file), &size));
  EXPECT_EQ(7u, size);

  WideString temp;
  ASSERT_EQ(kSuccess, MakeTempFile(WidePath(dir), WidePath(hostile), &temp));
  EXPECT_EQ(file, Narrow(temp).substr(0, file.size()));
  EXPECT_TRUE(Exists(Narrow(temp)));

  ASSERT_EQ(kSuccess, RunMove(WidePath(file), WidePath(file + " moved")));
  EXPECT_EQ("literal", ReadFile(file + " moved"));
  EXPECT_FALSE(Exists(file));
  RunRemoveFile(WidePath(file + " moved"));
  EXPECT_FALSE(Exists(file + " moved"));
  RunRemoveFile(temp);
  EXPECT_EQ((std::set<std::string>{hostile + "2"}), Names(dir));
  EXPECT_EQ(kSuccess, RunRemoveTree(WidePath(dir)));

  ASSERT_EQ(0, chdir("/"));
  EXPECT_TRUE(Names(dir_.path()).empty());
  EXPECT_FALSE(Exists("/pwned"));
  EXPECT_FALSE(Exists("/pwned2"));
}

}  // namespace

namespace {

// MoveBeneath renames where it can and copies across file systems, never
// through a name that leads outside either directory.
TEST_F(FileOperationsTest, MoveBeneathCopiesAcrossFileSystemsAndStaysInside) {
  ASSERT_EQ(0, mkdir(P("from").c_str(), 0755));
  ASSERT_EQ(0, mkdir(P("to").c_str(), 0755));
  ASSERT_EQ(0, mkdir(P("to/sub").c_str(), 0755));
  ASSERT_EQ(0, mkdir(P("elsewhere").c_str(), 0755));
  ASSERT_TRUE(WriteFile(P("from/src"), "payload"));
  Stamp(P("from/src"), 0640, 1000000000);
  ASSERT_EQ(0, symlink("link text", P("from/alink").c_str()));
  ASSERT_TRUE(WriteFile(P("to/sub/old"), "old"));
  ASSERT_EQ(0, symlink("../elsewhere", P("to/out").c_str()));
  FaultInjectingSystem faults;
  ScopedSystemApi scope(&faults);
  BeneathDir from;
  BeneathDir to;
  ASSERT_EQ(0, from.Open(P("from")));
  ASSERT_EQ(0, to.Open(P("to")));
  faults.FailPath("/src", EXDEV, Ops(SysOp::kRename));
  faults.FailPath("/alink", EXDEV, Ops(SysOp::kRename));
  EXPECT_EQ(kErrorFileNotFound, MoveBeneath(from, "src", to, "out/stolen"));
  EXPECT_EQ("out", to.outside_link());
  EXPECT_TRUE(Names(P("elsewhere")).empty());
  EXPECT_EQ("payload", ReadFile(P("from/src")));

  EXPECT_EQ(kSuccess, MoveBeneath(from, "src", to, "sub/old"));
  EXPECT_FALSE(Exists(P("from/src")));
  const struct stat status = LstatOf(P("to/sub/old"));
  EXPECT_EQ("payload", ReadFile(P("to/sub/old")));
  EXPECT_EQ(0640u, status.st_mode & 07777);
  EXPECT_EQ(1000000000, status.st_mtim.tv_sec);
  EXPECT_EQ(kSuccess, MoveBeneath(from, "alink", to, "sub/link"));
  char text[32] = {};
  EXPECT_EQ(9, readlink(P("to/sub/link").c_str(), text, sizeof text - 1));
  EXPECT_EQ((std::set<std::string>{"old", "link"}), Names(P("to/sub")));
  EXPECT_GE(faults.InjectedCount(), 2u);

  // A copy that fails half-way leaves both sides as they were.
  ASSERT_TRUE(WriteFile(P("from/big"), std::string(300000, 'b')));
  faults.FailPath("/big", EXDEV, Ops(SysOp::kRename));
  faults.FailPath("", ENOSPC, Ops(SysOp::kWrite, SysOp::kCopyFileRange));
  EXPECT_EQ(kErrorFileNotFound, MoveBeneath(from, "big", to, "sub/old"));
  EXPECT_TRUE(std::string(300000, 'b') == ReadFile(P("from/big")));
  EXPECT_EQ("payload", ReadFile(P("to/sub/old")));
  EXPECT_EQ((std::set<std::string>{"old", "link"}), Names(P("to/sub")));
}

}  // namespace
