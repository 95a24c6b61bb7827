#include "platform/file_operations.h"

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <future>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "gtest/gtest.h"
#include "platform/beneath_dir.h"
#include "platform/directory_enumerator.h"
#include "platform/fault_injection.h"
#include "platform/file_io.h"
#include "platform/scoped_temp_dir.h"
#include "platform/system_api.h"

namespace {

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

  SystemApi& sys_ = RealSystem();
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
    EXPECT_EQ(c.expected, GetTempDirectory(sys_))
        << c.tmpdir.value_or("(unset)");
  }
}

TEST_F(FileOperationsTest, FreeSpaceOfTheTempDirectory) {
  setenv("TMPDIR", dir_.path().c_str(), 1);
  struct statvfs status;
  ASSERT_EQ(0, statvfs(dir_.path().c_str(), &status));
  uint64_t free_bytes = 0;
  EXPECT_EQ(kSuccess, GetFreeSpace(sys_, &free_bytes).code());
  // Other programs write meanwhile; a wide margin still catches a wrong
  // block size or a 32-bit overflow.
  uint64_t expected = uint64_t{status.f_bfree} * status.f_frsize;
  EXPECT_NEAR(static_cast<double>(expected), static_cast<double>(free_bytes),
              64.0 * 1024 * 1024);

  // A file system that cannot be asked: its reason, naming the directory.
  FaultInjectingSystem faults;
  faults.FailPath("", EIO, Ops(SysOp::kStatvfs));
  free_bytes = 123;
  const Status refused = GetFreeSpace(faults, &free_bytes);
  EXPECT_EQ(EIO, refused.error());
  EXPECT_EQ(dir_.path(), refused.path());
  EXPECT_EQ(0u, free_bytes);
  ASSERT_EQ(1u, faults.CallCount(Ops(SysOp::kStatvfs)));
  EXPECT_EQ(dir_.path() + "/", faults.Log().back().path);
}

TEST_F(FileOperationsTest, MakeTempFileIsExclusivePrivateAndInTheGivenDir) {
  ASSERT_EQ(0, mkdir(P("given").c_str(), 0755));
  ASSERT_EQ(0, mkdir(P("elsewhere").c_str(), 0755));
  setenv("TMPDIR", P("elsewhere").c_str(), 1);
  mode_t old_mask = umask(0);
  std::string first, second;
  EXPECT_EQ(kSuccess, MakeTempFile(sys_, P("given"), "edf", &first).code());
  EXPECT_EQ(kSuccess, MakeTempFile(sys_, P("given/"), "edf", &second).code());
  umask(old_mask);
  EXPECT_NE(first, second);
  for (const std::string& name : {first, second}) {
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
  std::string third;
  EXPECT_EQ(kSuccess, MakeTempFile(faults, P("given"), "x", &third).code());
  EXPECT_EQ(1u, faults.CallCount(Ops(SysOp::kMakeTemp)));
  EXPECT_EQ(0u, faults.CallCount(Ops(SysOp::kOpen)));

  // An empty directory means the temporary directory.
  std::string in_temp;
  EXPECT_EQ(kSuccess, MakeTempFile(sys_, "", "t", &in_temp).code());
  EXPECT_EQ(P("elsewhere/t"), in_temp.substr(0, P("elsewhere/t").size()));
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
    SCOPED_TRACE(c.directory + " " + c.prefix);
    std::string path = "stale";
    const Status refused = MakeTempFile(sys_, c.directory, c.prefix, &path);
    EXPECT_EQ(kErrorTempFileNotCreated, refused.code());
    EXPECT_EQ(c.directory, refused.path());
    EXPECT_TRUE(path.empty());
  }
  // A directory the process may not write to (the seam stands in for the
  // permission bits, which do not stop root).
  FaultInjectingSystem faults;
  faults.FailNth(1, EACCES, Ops(SysOp::kMakeTemp));
  std::string path;
  Status refused = MakeTempFile(faults, dir_.path(), "e", &path);
  EXPECT_EQ(kErrorTempFileNotCreated, refused.code());
  EXPECT_EQ(EACCES, refused.error());
  EXPECT_EQ(dir_.path(), refused.path());
  EXPECT_TRUE(path.empty());
  // A failing close leaves no file behind.
  faults.FailNth(1, EIO, Ops(SysOp::kClose));
  refused = MakeTempFile(faults, dir_.path(), "e", &path);
  EXPECT_EQ(kErrorTempFileNotCreated, refused.code());
  EXPECT_EQ(EIO, refused.error());
  EXPECT_TRUE(path.empty());
  EXPECT_EQ((std::set<std::string>{"plain"}), Names(dir_.path()));
}

TEST_F(FileOperationsTest, MakeDirectoriesCreatesParents) {
  ASSERT_TRUE(WriteFile(P("plain"), "x"));
  ASSERT_EQ(0, mkdir(P("exists").c_str(), 0755));
  ASSERT_EQ(0, symlink("exists", P("link").c_str()));
  struct Case {
    std::string path;
    int error;          // 0: made or already there
    std::string level;  // the level a failure names
  } cases[] = {
      {P("a/b/c"), 0, ""},
      {P("a/b/c"), 0, ""},  // again: already there
      {P("exists"), 0, ""},
      {P("link"), 0, ""},
      {P("d//e/"), 0, ""},
      {P("f/../g/h"), 0, ""},
      {P("plain"), ENOTDIR, P("plain")},
      {P("plain/sub"), ENOTDIR, P("plain")},
      {"", ENOENT, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    const Status made = MakeDirectories(sys_, c.path);
    EXPECT_EQ(c.error, made.error());
    EXPECT_EQ(c.level, made.path());
    struct stat status;
    if (c.error == 0) {
      EXPECT_TRUE(stat(c.path.c_str(), &status) == 0 &&
                  S_ISDIR(status.st_mode));
    }
  }
  EXPECT_TRUE(IsDir(P("d/e")));
  EXPECT_TRUE(IsDir(P("g/h")));
  EXPECT_TRUE(S_ISLNK(LstatOf(P("link")).st_mode));

  // Every new level gets the mode asked for (a private state directory).
  const mode_t old_mask = umask(022);
  EXPECT_TRUE(MakeDirectories(sys_, P("private/inner"), 0700).ok());
  umask(old_mask);
  EXPECT_EQ(0700u, LstatOf(P("private")).st_mode & 07777);
  EXPECT_EQ(0700u, LstatOf(P("private/inner")).st_mode & 07777);

  // A level the system refuses is named, and the levels made above it stay.
  FaultInjectingSystem faults;
  // mkdir q, q/r, then q/r/s.
  faults.FailNth(3, EACCES, Ops(SysOp::kMkdir));
  const Status refused = MakeDirectories(faults, P("q/r/s/t"));
  EXPECT_EQ(EACCES, refused.error());
  EXPECT_EQ(P("q/r/s"), refused.path());
  EXPECT_TRUE(IsDir(P("q/r")));
  EXPECT_FALSE(Exists(P("q/r/s")));
}

TEST_F(FileOperationsTest, RemoveTreeNeverFollowsLinks) {
  ASSERT_EQ(0, mkdir(P("outside").c_str(), 0755));
  ASSERT_TRUE(WriteFile(P("outside/keep"), "keep"));
  MakeTree(P("tree"));
  ASSERT_EQ(0, symlink(P("outside").c_str(), P("tree/inner/out").c_str()));
  ASSERT_EQ(0, symlink(P("outside").c_str(), P("top-link").c_str()));
  ASSERT_EQ(0, chmod(P("tree/inner").c_str(), 0500));  // read-only: no matter

  EXPECT_TRUE(RemoveTree(sys_, P("tree")));
  EXPECT_FALSE(Exists(P("tree")));
  // A link given directly, even with a trailing "/", is removed itself.
  EXPECT_TRUE(RemoveTree(sys_, P("top-link/")));
  EXPECT_FALSE(Exists(P("top-link")));
  EXPECT_EQ("keep", ReadFile(P("outside/keep")));
  EXPECT_TRUE(RemoveTree(sys_, P("missing")));
  EXPECT_TRUE(RemoveTree(sys_, P("outside/")));
  EXPECT_FALSE(Exists(P("outside")));
}

TEST_F(FileOperationsTest, RemoveTreeGoesOnPastFailures) {
  MakeTree(P("tree"));
  FaultInjectingSystem faults;
  faults.FailPath("top.cfg", EBUSY, Ops(SysOp::kUnlink));
  // Something is left, and said so.
  EXPECT_FALSE(RemoveTree(faults, P("tree")));
  EXPECT_EQ((std::set<std::string>{"top.cfg"}), Names(P("tree")));
}

TEST_F(FileOperationsTest, RemoveTreeRefusesRootDotAndEmpty) {
  // The seam refuses every change, so a broken guard cannot do harm; the log
  // shows that nothing was even tried.
  FaultInjectingSystem faults;
  faults.FailPath("", EPERM, kMutatingSysOps);
  ASSERT_EQ(0, chdir(dir_.path().c_str()));
  for (const char* path : {"/", "//", "", ".", "..", "./", "a/..", "a/."}) {
    EXPECT_FALSE(RemoveTree(faults, path)) << path;
  }
  ASSERT_EQ(0, chdir("/"));
  EXPECT_EQ(0u, faults.CallCount())
      << SysOpName(faults.Log()[0].op) << " " << faults.Log()[0].path;
}

TEST_F(FileOperationsTest, RemoveFileRemovesOnlyFiles) {
  ASSERT_TRUE(WriteFile(P("f"), "x"));
  ASSERT_EQ(0, mkdir(P("d").c_str(), 0755));
  ASSERT_EQ(0, symlink("d", P("l").c_str()));
  for (const char* name : {"f", "d", "l", "missing"}) RemoveFile(sys_, P(name));
  EXPECT_EQ((std::set<std::string>{"d"}), Names(dir_.path()));
  // The empty path names nothing, so nothing is tried.
  FaultInjectingSystem faults;
  RemoveFile(faults, "");
  EXPECT_EQ(0u, faults.CallCount());
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
    RemoveFile(faults, P("f"));
    EXPECT_EQ(2u, faults.CallCount(Ops(SysOp::kUnlink))) << error;
    EXPECT_EQ((std::set<std::string>{"d"}), Names(dir_.path())) << error;
  }
  for (const char* name : {"d", "missing"}) {
    FaultInjectingSystem faults;
    RemoveFile(faults, P(name));
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

  EXPECT_EQ(kSuccess, MakeDirectories(sys_, dir + "/" + hostile + "2").code());
  EXPECT_TRUE(IsDir(dir + "/" + hostile + "2"));

  FileHandle handle = kInvalidFileHandle;
  ASSERT_EQ(kSuccess, FileOpen(sys_, WidePath(file), kFileAccessWrite, 0,
                               kFileCreateAlways, &handle, 0)
                          .code());
  uint32_t count = 0;
  ASSERT_EQ(kSuccess,
            FileWrite(sys_, handle, "literal", 7, &count, false).code());
  FileTime time = FileTimeFromUnixSeconds(1400000000);
  ASSERT_EQ(kSuccess,
            FileSetTime(sys_, handle, nullptr, nullptr, &time).code());
  ASSERT_EQ(kSuccess, FileClose(sys_, handle).code());
  ASSERT_EQ(kSuccess, FileOpen(sys_, WidePath(file), kFileAccessRead, 0,
                               kFileOpenExisting, &handle, 0)
                          .code());
  char buffer[16];
  ASSERT_EQ(kSuccess, FileRead(sys_, handle, buffer, 16, &count, false).code());
  EXPECT_EQ("literal", std::string(buffer, count));
  FileTime read_time = 0;
  ASSERT_EQ(kSuccess,
            FileGetTimes(sys_, handle, nullptr, nullptr, &read_time).code());
  EXPECT_EQ(time, read_time);
  EXPECT_EQ(kSuccess, FileClose(sys_, handle).code());

  DirectoryEnumerator enumerator(sys_);
  ASSERT_TRUE(enumerator.First(WidePath(file)));
  EXPECT_EQ(WidePath(hostile), enumerator.Name());
  uint64_t size = 0;
  EXPECT_EQ(kSuccess, GetFileSize(sys_, WidePath(file), &size).code());
  EXPECT_EQ(7u, size);

  std::string temp;
  ASSERT_EQ(kSuccess, MakeTempFile(sys_, dir, hostile, &temp).code());
  EXPECT_EQ(file, temp.substr(0, file.size()));
  EXPECT_TRUE(Exists(temp));

  BeneathDir beneath(sys_);
  ASSERT_EQ(0, beneath.Open(dir));
  ASSERT_EQ(kSuccess,
            MoveBeneath(beneath, hostile, beneath, hostile + " moved").code());
  beneath.Close();
  EXPECT_EQ("literal", ReadFile(file + " moved"));
  EXPECT_FALSE(Exists(file));
  RemoveFile(sys_, file + " moved");
  EXPECT_FALSE(Exists(file + " moved"));
  RemoveFile(sys_, temp);
  EXPECT_EQ((std::set<std::string>{hostile + "2"}), Names(dir));
  EXPECT_TRUE(RemoveTree(sys_, dir));

  ASSERT_EQ(0, chdir("/"));
  EXPECT_TRUE(Names(dir_.path()).empty());
  EXPECT_FALSE(Exists("/pwned"));
  EXPECT_FALSE(Exists("/pwned2"));
}

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
  BeneathDir from(faults);
  BeneathDir to(faults);
  ASSERT_EQ(0, from.Open(P("from")));
  ASSERT_EQ(0, to.Open(P("to")));
  faults.FailPath("/src", EXDEV, Ops(SysOp::kRename));
  faults.FailPath("/alink", EXDEV, Ops(SysOp::kRename));
  EXPECT_EQ(EXDEV, MoveBeneath(from, "src", to, "out/stolen").error());
  EXPECT_EQ("out", to.outside_link());
  EXPECT_TRUE(Names(P("elsewhere")).empty());
  EXPECT_EQ("payload", ReadFile(P("from/src")));

  // The read above moved the source's access time: the copy must keep the
  // one the source has when it is moved.
  const struct stat source = LstatOf(P("from/src"));
  EXPECT_EQ(kSuccess, MoveBeneath(from, "src", to, "sub/old").code());
  EXPECT_FALSE(Exists(P("from/src")));
  const struct stat status = LstatOf(P("to/sub/old"));
  EXPECT_EQ("payload", ReadFile(P("to/sub/old")));
  EXPECT_EQ(0640u, status.st_mode & 07777);
  EXPECT_EQ(1000000000, status.st_mtim.tv_sec);
  EXPECT_EQ(987654321, status.st_mtim.tv_nsec);
  EXPECT_EQ(source.st_atim.tv_sec, status.st_atim.tv_sec);
  EXPECT_EQ(source.st_atim.tv_nsec, status.st_atim.tv_nsec);
  EXPECT_EQ(kSuccess, MoveBeneath(from, "alink", to, "sub/link").code());
  char text[32] = {};
  EXPECT_EQ(9, readlink(P("to/sub/link").c_str(), text, sizeof text - 1));
  EXPECT_EQ((std::set<std::string>{"old", "link"}), Names(P("to/sub")));
  EXPECT_GE(faults.InjectedCount(), 2u);

  // A copy that fails half-way leaves both sides as they were.
  ASSERT_TRUE(WriteFile(P("from/big"), std::string(300000, 'b')));
  faults.FailPath("/big", EXDEV, Ops(SysOp::kRename));
  faults.FailPath("", ENOSPC, Ops(SysOp::kWrite, SysOp::kCopyFileRange));
  EXPECT_EQ(ENOSPC, MoveBeneath(from, "big", to, "sub/old").error());
  EXPECT_TRUE(std::string(300000, 'b') == ReadFile(P("from/big")));
  EXPECT_EQ("payload", ReadFile(P("to/sub/old")));
  EXPECT_EQ((std::set<std::string>{"old", "link"}), Names(P("to/sub")));
}

// Fails each system call of a cross-device MoveBeneath in turn. Whatever
// fails, the source is whole or the move is done; the replaced target is
// either as it was or the whole new one; no helper file is left.
TEST_F(FileOperationsTest, EveryFailurePointOfACrossDeviceMoveIsSafe) {
  ASSERT_EQ(0, mkdir(P("from").c_str(), 0755));
  ASSERT_EQ(0, mkdir(P("to").c_str(), 0755));
  for (const bool link : {false, true}) {
    auto set_up = [&] {
      RemoveFile(sys_, P("from/src"));
      RemoveFile(sys_, P("to/dst"));  // a link from the last run
      ASSERT_TRUE(WriteFile(P("to/dst"), "old"));
      if (link) {
        ASSERT_EQ(0, symlink("link text", P("from/src").c_str()));
      } else {
        ASSERT_TRUE(WriteFile(P("from/src"), "payload"));
        Stamp(P("from/src"), 0640, 1000000000);
      }
    };
    // True when `path` holds the whole source.
    auto is_whole = [&](const std::string& path) {
      if (!link) {
        return ReadFile(path) == "payload" &&
               (LstatOf(path).st_mode & 07777) == 0640;
      }
      char text[32] = {};
      return readlink(path.c_str(), text, sizeof text - 1) == 9 &&
             std::string(text) == "link text";
    };
    // One move through fresh directories, so that every run makes the
    // same calls.
    auto move = [&](FaultInjectingSystem& faults, int fail_nth) {
      BeneathDir from(faults);
      BeneathDir to(faults);
      EXPECT_EQ(0, from.Open(P("from")));
      EXPECT_EQ(0, to.Open(P("to")));
      faults.ClearLog();
      faults.FailPath("/src", EXDEV, Ops(SysOp::kRename));
      if (fail_nth > 0) faults.FailNth(fail_nth, ENOSPC);
      return MoveBeneath(from, "src", to, "dst");
    };
    set_up();
    FaultInjectingSystem clean;
    ASSERT_EQ(kSuccess, move(clean, 0).code());
    ASSERT_TRUE(is_whole(P("to/dst")));
    const uint64_t calls = clean.CallCount();
    ASSERT_GT(calls, 5u);
    for (uint64_t n = 1; n <= calls; ++n) {
      set_up();
      FaultInjectingSystem faults;
      const Status moved = move(faults, static_cast<int>(n));
      SCOPED_TRACE(testing::Message()
                   << (link ? "link" : "file") << ", call " << n << " ("
                   << SysOpName(faults.Log()[n - 1].op) << " "
                   << faults.Log()[n - 1].path << ")");
      if (moved.ok()) {
        EXPECT_FALSE(Exists(P("from/src")));
        EXPECT_TRUE(is_whole(P("to/dst")));
      } else {
        EXPECT_EQ(ENOSPC, moved.error()) << moved.ToString();
        // Either the target was left alone and the source is whole, or the
        // copy is whole and only the source's removal failed.
        const bool replaced = link ? S_ISLNK(LstatOf(P("to/dst")).st_mode)
                                   : ReadFile(P("to/dst")) != "old";
        EXPECT_TRUE(is_whole(replaced ? P("to/dst") : P("from/src")));
      }
      EXPECT_EQ((std::set<std::string>{"dst"}), Names(P("to")));
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
  ASSERT_EQ(0, mkdir(P("here").c_str(), 0755));
  ASSERT_TRUE(WriteFile(P("here/file"), "f"));
  Stamp(P("here/file"), 0600, 1500000000);
  BeneathDir here(sys_);
  BeneathDir there(sys_);
  ASSERT_EQ(0, here.Open(P("here")));
  ASSERT_EQ(0, there.Open(mount_point_));
  EXPECT_EQ(kSuccess, MoveBeneath(here, "file", there, "file").code());
  EXPECT_EQ("f", ReadFile(mount_point_ + "/file"));
  EXPECT_EQ(1500000000, LstatOf(mount_point_ + "/file").st_mtim.tv_sec);
  EXPECT_FALSE(Exists(P("here/file")));
  // And back again.
  EXPECT_EQ(kSuccess, MoveBeneath(there, "file", here, "back").code());
  EXPECT_EQ("f", ReadFile(P("here/back")));
  // No space on the target: the copy fails, nothing is lost or left.
  ASSERT_TRUE(WriteFile(P("here/big"), std::string(20 << 20, 'b')));
  EXPECT_EQ(ENOSPC, MoveBeneath(here, "big", there, "big").error());
  EXPECT_EQ(size_t{20 << 20}, ReadFile(P("here/big")).size());
  EXPECT_TRUE(Names(mount_point_).empty());
}

// ReplaceFile: the old bytes stay whole when any step fails, and no part
// file is left beside them; the failure names the file the system refused.
TEST_F(FileOperationsTest, ReplaceFileKeepsTheOldFileWhenAStepFails) {
  const std::string path = P("cfg");
  const std::string text = "new text";
  auto write_text = [&](SystemApi& sys) {
    return [&sys, &text](int fd) {
      return WriteAll(sys, fd, text.data(), text.size());
    };
  };
  struct Case {
    const char* step;
    SysOp op;
    int error;
    bool names_target;  // else the part file
  } cases[] = {
      {"make the part file", SysOp::kOpen, EACCES, false},
      {"write", SysOp::kWrite, ENOSPC, false},
      {"set the mode", SysOp::kFchmod, EPERM, false},
      {"flush", SysOp::kFsync, EIO, false},
      {"close", SysOp::kClose, EIO, false},
      {"rename", SysOp::kRename, EACCES, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.step);
    ASSERT_TRUE(WriteFile(path, "old"));
    FaultInjectingSystem faults;
    faults.FailNth(1, c.error, Ops(c.op));
    const Status replaced = ReplaceFile(faults, path, write_text(faults), 0640);
    EXPECT_EQ(c.error, replaced.error());
    if (c.names_target) {
      EXPECT_EQ(path, replaced.path());
    } else {
      EXPECT_EQ(path + ".part", replaced.path().substr(0, path.size() + 5));
    }
    EXPECT_EQ("old", ReadFile(path));
    EXPECT_EQ((std::set<std::string>{"cfg"}), Names(dir_.path()));
  }
  // The writer's own failure stops the replacement the same way.
  const Status refused =
      ReplaceFile(sys_, path, [](int) { return Status::System(ENOSPC); });
  EXPECT_EQ(ENOSPC, refused.error());
  EXPECT_EQ("old", ReadFile(path));
  EXPECT_EQ((std::set<std::string>{"cfg"}), Names(dir_.path()));

  // Done: the part file was made exclusively and reached the disk before it
  // took the old file's place, and the directory was flushed after.
  FaultInjectingSystem faults;
  const mode_t old_mask = umask(027);
  ASSERT_EQ(kSuccess, ReplaceFile(faults, path, write_text(faults)).code());
  umask(old_mask);
  EXPECT_EQ(text, ReadFile(path));
  EXPECT_EQ(0640u, LstatOf(path).st_mode & 07777);
  EXPECT_EQ((std::set<std::string>{"cfg"}), Names(dir_.path()));
  const std::vector<SysCall> log = faults.Log();
  std::vector<std::string> steps;
  for (const SysCall& call : log) {
    const bool part = call.path.rfind(path + ".part", 0) == 0;
    if (call.op == SysOp::kOpen && part) {
      EXPECT_EQ(O_CREAT | O_EXCL, call.flags & (O_CREAT | O_EXCL));
      steps.push_back("create part");
    }
    if (call.op == SysOp::kFsync) {
      steps.push_back(part ? "flush part" : "flush " + call.path);
    }
    if (call.op == SysOp::kRename) steps.push_back("rename");
  }
  EXPECT_EQ((std::vector<std::string>{"create part", "flush part", "rename",
                                      "flush " + dir_.path()}),
            steps);
}

// ReadSmallFile takes only a regular file of at most `limit` bytes, and a
// FIFO or a device at the path never makes it wait.
TEST_F(FileOperationsTest, ReadSmallFileTakesOnlySmallRegularFiles) {
  ASSERT_TRUE(WriteFile(P("ten"), "0123456789"));
  ASSERT_EQ(0, mkfifo(P("fifo").c_str(), 0600));
  ASSERT_EQ(0, symlink("ten", P("link").c_str()));
  ASSERT_EQ(0, mkdir(P("dir").c_str(), 0755));
  struct Case {
    std::string path;
    size_t limit;
    bool follow;
    int error;
    std::string contents;
  } cases[] = {
      {P("ten"), 10, true, 0, "0123456789"},
      {P("ten"), 9, true, EFBIG, ""},
      {P("link"), 10, true, 0, "0123456789"},
      {P("link"), 10, false, ELOOP, ""},
      {P("missing"), 10, true, ENOENT, ""},
      {P("dir"), 10, true, EISDIR, ""},
      {P("fifo"), 10, true, EINVAL, ""},
      {"/dev/null", 10, true, EINVAL, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path + (c.follow ? "" : " (not followed)"));
    auto read = std::async(std::launch::async, [&] {
      std::string out = "stale";
      const Status status =
          ReadSmallFile(sys_, c.path, &out, c.limit, c.follow);
      return std::make_pair(status, out);
    });
    if (read.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
      ADD_FAILURE() << "blocked";
      // Lets a reader blocked in open go, so that the test ends.
      const int writer = open(c.path.c_str(), O_WRONLY | O_NONBLOCK);
      if (writer != -1) close(writer);
    }
    const auto [status, out] = read.get();
    EXPECT_EQ(c.error, status.error()) << status.ToString();
    EXPECT_EQ(c.error == 0 ? "" : c.path, status.path());
    EXPECT_EQ(c.contents, out);
  }
}

}  // namespace
