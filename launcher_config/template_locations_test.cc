#include "launcher_config/template_locations.h"

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "launcher_config/launcher_config.h"
#include "launcher_config/launcher_test_util.h"
#include "platform/fault_injection.h"
#include "platform/scoped_temp_dir.h"
#include "platform/system_api.h"

namespace {

namespace fs = std::filesystem;

using List = std::vector<std::string>;

std::vector<WideString> Wide(const List& list) {
  std::vector<WideString> out;
  for (const std::string& item : list) out.push_back(FromBytes(item));
  return out;
}

TEST(DedupLocationsTest, KeepsTheFirstOfEachDirectory) {
  struct Case {
    List in;
    List out;
  };
  const Case cases[] = {
      {{}, {}},
      // Trailing separators, however many and whichever, do not count.
      {{"/srv/t", "/srv/t/"}, {"/srv/t"}},
      {{"/srv/t", "/srv/t\\"}, {"/srv/t"}},
      {{"/srv/t//", "/srv/t\\", "/SRV/T/", "/srv/t"}, {"/srv/t//"}},
      {{"tgt", "tgt/", "tgt//"}, {"tgt"}},
      {{"/srv/t/\\/", "/srv/t\\/x"}, {"/srv/t/\\/", "/srv/t\\/x"}},
      // The root keeps its slash: it is not the empty entry.
      {{"/", "//", "", "\\"}, {"/", "", "\\"}},
      {{"/new", "/srv/t", "/new"}, {"/new", "/srv/t"}},
      {{"/a", "/b", "/A", "/B", "/c", "/a"}, {"/a", "/b", "/c"}},
      {{"", "/x", ""}, {"", "/x"}},
  };
  for (const Case& c : cases) {
    std::vector<WideString> list = Wide(c.in);
    DedupLocations(list);
    EXPECT_EQ(Shown(Wide(c.out)), Shown(list));
  }
}

class TemplateLocationsTest : public ::testing::Test {
 protected:
  TemplateLocationsTest() : home_(dir_.path()) {}

  std::string UserFile() const {
    return dir_.Path(".Tq/tqlaunch/tqlaunch.cfg");
  }
  std::string KitUserFile() const {
    return dir_.Path(".tqkt/.Tq/tqlaunch/tqlaunch.cfg");
  }
  std::string CommonFile() const {
    return dir_.Path(".Tq/tqlauncht/tqlaunch.cfg");
  }
  void Put(const std::string& path, const std::string& text) {
    fs::create_directories(fs::path(path).parent_path());
    ASSERT_TRUE(::WriteFile(path, text));
  }
  List Read(bool common) {
    std::vector<WideString> list;
    EXPECT_TRUE(ReadTemplateLocations(sys_, list, common).ok());
    return Shown(list);
  }

  SystemApi& sys_ = RealSystem();
  ScopedTempDir dir_;
  HomeScope home_;
};

TEST_F(TemplateLocationsTest, ReadTurnsBackslashesAndDropsRepeats) {
  Put(UserFile(),
      "ConfigurationTemplatesLocation=C:\\tmp\\t1\n"
      "configurationtemplateslocation=/srv/t2\n"
      "Other=/o\n"
      "ConfigurationTemplatesLocation=/srv/t\n"
      "ConfigurationTemplatesLocation=/srv/t\\\n");
  Put(KitUserFile(),
      "ConfigurationTemplatesLocation=/SRV/T\n"
      "ConfigurationTemplatesLocation=/srv/kit\n");
  Put(CommonFile(), "ConfigurationTemplatesLocation=/common\n");
  EXPECT_EQ((List{"C:/tmp/t1", "/srv/t2", "/srv/t", "/srv/kit"}), Read(false));
  // The common kind reads the common file, then the user's.
  EXPECT_EQ((List{"/common", "C:/tmp/t1", "/srv/t2", "/srv/t"}), Read(true));
}

TEST_F(TemplateLocationsTest, ReadWithoutFilesAddsNothing) {
  std::vector<WideString> list = {u"/kept\\"};
  EXPECT_TRUE(ReadTemplateLocations(sys_, list, false).ok());
  EXPECT_EQ((List{"/kept/"}), Shown(list));
}

// A list that misses a file's locations must not be taken for the whole
// list: whoever writes it back would drop them.
TEST_F(TemplateLocationsTest, ReadSaysWhenAFileCouldNotBeReadWhole) {
  Put(UserFile(), "ConfigurationTemplatesLocation=/srv/user\n");
  Put(KitUserFile(), "ConfigurationTemplatesLocation=/srv/kit\n");
  Put(CommonFile(), "ConfigurationTemplatesLocation=/common\n");
  struct Case {
    const char* failing;  // a fragment of the file whose read fails
    bool common;
    List read;
  } cases[] = {
      {nullptr, false, {"/srv/user", "/srv/kit"}},
      {nullptr, true, {"/common", "/srv/user"}},
      {".Tq/tqlaunch/", false, {"/srv/kit"}},
      {".tqkt/", false, {"/srv/user"}},
      {"tqlauncht/", true, {"/srv/user"}},
      {".Tq/tqlaunch/", true, {"/common"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.failing ? c.failing : "none") +
                 (c.common ? ", common" : ", user"));
    FaultInjectingSystem system;
    if (c.failing != nullptr) {
      // The kit user file lies below ".tqkt/.Tq/tqlaunch/" too.
      const std::string fragment = std::string(c.failing) == ".Tq/tqlaunch/"
                                       ? dir_.Path(c.failing)
                                       : c.failing;
      system.FailPath(fragment, EIO, Ops(SysOp::kRead));
    }
    std::vector<WideString> list;
    const Status read = ReadTemplateLocations(system, list, c.common);
    EXPECT_EQ(c.failing == nullptr, read.ok());
    if (c.failing != nullptr) {
      EXPECT_EQ(EIO, read.error());
      EXPECT_NE(std::string::npos, read.path().find(c.failing)) << read.path();
    }
    EXPECT_EQ(c.read, Shown(list));
  }
  // A missing file is read whole: it has nothing to miss.
  fs::remove(KitUserFile());
  std::vector<WideString> list;
  EXPECT_TRUE(ReadTemplateLocations(sys_, list, false).ok());
}

TEST_F(TemplateLocationsTest, WriteReplacesOnlyTheKeysLines) {
  struct Case {
    std::string before;
    List locations;
    std::string after;
  };
  const Case cases[] = {
      {"",
       {"/new", "/srv/t", "/new"},
       "ConfigurationTemplatesLocation=/new\n"
       "ConfigurationTemplatesLocation=/srv/t\n"},
      // The key's lines move to its first line; the spelling found stays.
      {"InstalledLocation=/x\n"
       "configurationTemplatesLocation=/old\n"
       "InstalledLocation=/y\n"
       "ConfigurationTemplatesLocation=/old2\n"
       "Z=1\n",
       {"/new", "/old"},
       "InstalledLocation=/x\n"
       "InstalledLocation=/y\n"
       "configurationTemplatesLocation=/new\n"
       "configurationTemplatesLocation=/old\n"
       "Z=1\n"},
      // Without the key, its lines go to the end.
      {"B=2\nA=1\n", {"/n"}, "B=2\nA=1\nConfigurationTemplatesLocation=/n\n"},
      // An empty list removes them.
      {"A=1\nConfigurationTemplatesLocation=/old\nB=2\n", {}, "A=1\nB=2\n"},
      // Other lines stay byte for byte.
      {Bytes("Bin=\xFF\xC3(\0\r\n") + "ConfigurationTemplatesLocation=/old\n",
       {"/\xD0\xB6"},
       Bytes("Bin=\xFF\xC3(\0\r\n") +
           "ConfigurationTemplatesLocation=/\xD0\xB6\n"},
  };
  for (const Case& c : cases) {
    Put(UserFile(), c.before);
    EXPECT_TRUE(WriteTemplateLocations(sys_, Wide(c.locations), false).ok());
    EXPECT_EQ(c.after, ::ReadFile(UserFile()));
  }
}

// Each run puts its directory in front of what it read; one directory spelt
// three ways must not grow the list.
TEST_F(TemplateLocationsTest, RunsIntoOneDirectoryLeaveOneEntry) {
  Put(UserFile(), "ConfigurationTemplatesLocation=/other\n");
  for (const char16_t* spelling : {u"tgt", u"tgt/", u"tgt//"}) {
    std::vector<WideString> list;
    ASSERT_TRUE(ReadTemplateLocations(sys_, list, false).ok());
    list.insert(list.begin(), WideString(spelling));
    ASSERT_TRUE(WriteTemplateLocations(sys_, list, false).ok());
  }
  EXPECT_EQ(
      "ConfigurationTemplatesLocation=tgt//\n"
      "ConfigurationTemplatesLocation=/other\n",
      ::ReadFile(UserFile()));
}

TEST_F(TemplateLocationsTest, WriteLeavesTheSecondaryFileAlone) {
  Put(UserFile(), "ConfigurationTemplatesLocation=/u\n");
  EXPECT_TRUE(WriteTemplateLocations(sys_, Wide({"/c"}), true).ok());
  EXPECT_EQ("ConfigurationTemplatesLocation=/c\n", ::ReadFile(CommonFile()));
  EXPECT_EQ("ConfigurationTemplatesLocation=/u\n", ::ReadFile(UserFile()));
}

TEST_F(TemplateLocationsTest, WriteFailurePassesTheReasonOn) {
  Put(UserFile(), "A=1\nConfigurationTemplatesLocation=/old\n");
  FaultInjectingSystem faults;
  faults.FailNth(1, ENOSPC, Ops(SysOp::kWrite), /*sticky=*/true);
  const Status written = WriteTemplateLocations(faults, Wide({"/new"}), false);
  EXPECT_EQ(ENOSPC, written.error());
  EXPECT_EQ(UserFile(), written.path());
  EXPECT_EQ("A=1\nConfigurationTemplatesLocation=/old\n",
            ::ReadFile(UserFile()));
}

TEST(WithoutTrailingSeparatorsTest, DropsAllButTheFirstUnit) {
  struct Case {
    std::string in;
    std::string out;
  } cases[] = {
      {"/a/b", "/a/b"}, {"/a/b//", "/a/b"}, {"/a/b\\/\\", "/a/b"},
      {"/", "/"},       {"///", "/"},       {"\\\\", "\\"},
      {"", ""},         {"t/", "t"},        {"/a//b", "/a//b"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Shown(Wide({c.out})),
              Shown({WithoutTrailingSeparators(FromBytes(c.in))}))
        << c.in;
  }
}

TEST(DefaultTemplateBaseTest, LiesInTheKitUserDirectory) {
  HomeScope home(std::string("/home/ann"));
  EXPECT_EQ("/home/ann/.tqkt/WEX/wexkt/", Show(DefaultTemplateBase(RealSystem())));
}

class WritableDirectoryTest : public ::testing::Test {
 protected:
  ScopedTempDir dir_;
};

TEST_F(WritableDirectoryTest, ProbesTheDirectoryOrItsNearestAncestor) {
  fs::create_directories(dir_.Path("d/sub"));
  ASSERT_TRUE(::WriteFile(dir_.Path("file"), "x"));
  struct Case {
    std::string path;
    bool writable;
    std::string probed;  // where the probe file must be made
  };
  const Case cases[] = {
      {dir_.Path("d"), true, dir_.Path("d")},
      {dir_.Path("d/sub/"), true, dir_.Path("d/sub")},
      {dir_.Path("d/missing/deeper"), true, dir_.Path("d")},
      {dir_.Path("file"), false, ""},
      {dir_.Path("file/below"), false, ""},
      {"", false, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    FaultInjectingSystem faults;
    EXPECT_EQ(c.writable, IsWritableDirectory(faults, FromBytes(c.path)));
    std::string probed;
    for (const SysCall& call : faults.Log()) {
      if (call.op == SysOp::kOpen && (call.flags & O_TMPFILE) == O_TMPFILE) {
        probed = call.path;
      }
    }
    EXPECT_EQ(c.probed, probed);
    // The unnamed file needs no name in the user's directory.
    EXPECT_EQ(0u, faults.CallCount(Ops(SysOp::kMakeTemp)));
  }
  EXPECT_EQ((List{"d", "file"}), ListDir(dir_.path()));
  EXPECT_EQ((List{"sub"}), ListDir(dir_.Path("d")));
  EXPECT_EQ((List{}), ListDir(dir_.Path("d/sub")));
  EXPECT_FALSE(fs::exists(dir_.Path("d/missing")));
}

TEST_F(WritableDirectoryTest, RefusedProbeIsNotWritable) {
  for (int error : {EACCES, EROFS, ENOSPC, EIO}) {
    FaultInjectingSystem faults;
    faults.FailNth(1, error, Ops(SysOp::kOpen));
    EXPECT_FALSE(IsWritableDirectory(faults, FromBytes(dir_.path()))) << error;
    EXPECT_EQ(0u, faults.CallCount(Ops(SysOp::kMakeTemp))) << error;
  }
}

// A file system that cannot make unnamed files gets a named probe, which is
// removed again; when that is refused too, the directory is not writable.
TEST_F(WritableDirectoryTest, NamedProbeWhereUnnamedFilesAreUnsupported) {
  for (int unsupported : {EOPNOTSUPP, EISDIR, EINVAL}) {
    SCOPED_TRACE(unsupported);
    {
      FaultInjectingSystem faults;
      faults.FailNth(1, unsupported, Ops(SysOp::kOpen));
      EXPECT_TRUE(IsWritableDirectory(faults, FromBytes(dir_.path())));
      EXPECT_EQ(1u, faults.CallCount(Ops(SysOp::kMakeTemp)));
      EXPECT_EQ(1u, faults.CallCount(Ops(SysOp::kUnlink)));
    }
    EXPECT_EQ((List{}), ListDir(dir_.path()));
    FaultInjectingSystem faults;
    faults.FailNth(1, unsupported, Ops(SysOp::kOpen));
    faults.FailPath(dir_.path(), EACCES, Ops(SysOp::kMakeTemp));
    EXPECT_FALSE(IsWritableDirectory(faults, FromBytes(dir_.path())));
  }
}

// A dry run asks without a name ever made: the unnamed file, else the
// permissions, whose refusal is the reason given.
TEST_F(WritableDirectoryTest, WithoutWritingNoNamedProbeIsMade) {
  const struct {
    const char* name;
    int unnamed_error;  // 0: the unnamed file can be made
    int access_error;   // 0: the permissions allow it
    bool writable;
    int error;
    uint64_t access_calls;
  } cases[] = {
      {"unnamed file", 0, EACCES, true, 0, 0},
      {"unnamed file refused", EACCES, 0, false, EACCES, 0},
      {"no unnamed files, permitted", EOPNOTSUPP, 0, true, 0, 1},
      {"no unnamed files, refused", EOPNOTSUPP, EROFS, false, EROFS, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FaultInjectingSystem faults;
    if (c.unnamed_error != 0) faults.FailNth(1, c.unnamed_error, Ops(SysOp::kOpen));
    if (c.access_error != 0) faults.FailPath(dir_.path(), c.access_error, Ops(SysOp::kAccess));
    const WritableCheck check =
        CheckWritableWithoutWriting(faults, FromBytes(dir_.Path("new/dir")));
    EXPECT_EQ(c.writable, check.writable);
    EXPECT_EQ(c.error, check.error);
    EXPECT_EQ(dir_.path(), check.probed);
    EXPECT_EQ(c.access_calls, faults.CallCount(Ops(SysOp::kAccess)));
    EXPECT_EQ(0u, faults.CallCount(Ops(SysOp::kMakeTemp) | Ops(SysOp::kMkdir)));
  }
  EXPECT_EQ((List{}), ListDir(dir_.path()));
}

TEST_F(WritableDirectoryTest, ReadOnlyMountIsNotWritable) {
  const std::string mount_point = dir_.Path("ro");
  fs::create_directory(mount_point);
  if (mount("tmpfs", mount_point.c_str(), "tmpfs", MS_RDONLY, "size=64k") !=
      0) {
    GTEST_SKIP() << "cannot mount a read-only tmpfs here (needs root and "
                    "mount permission): "
                 << std::strerror(errno);
  }
  EXPECT_FALSE(IsWritableDirectory(RealSystem(), FromBytes(mount_point)));
  EXPECT_FALSE(
      IsWritableDirectory(RealSystem(), FromBytes(mount_point + "/missing/x")));
  EXPECT_EQ((List{}), ListDir(mount_point));
  EXPECT_EQ(0, umount(mount_point.c_str())) << std::strerror(errno);
}

// Runs IsWritableDirectory(path) in a child process that has given up root
// for the "nobody" ids; returns the child's answer.
bool WritableForNobody(const std::string& path) {
  const pid_t child = fork();
  if (child == 0) {
    if (setgid(65534) != 0 || setuid(65534) != 0) _exit(2);
    _exit(IsWritableDirectory(RealSystem(), FromBytes(path)) ? 1 : 0);
  }
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_NE(2, WEXITSTATUS(status)) << "could not drop privileges";
  return WIFEXITED(status) && WEXITSTATUS(status) == 1;
}

TEST_F(WritableDirectoryTest, RootOwnedDirectoryDependsOnWhoAsks) {
  if (geteuid() != 0) {
    GTEST_SKIP() << "needs root to compare root with an unprivileged user";
  }
  // Let the unprivileged child reach the directories at all.
  ASSERT_EQ(0, chmod(dir_.path().c_str(), 0755));
  const std::string owned = dir_.Path("root_owned");
  const std::string open_to_all = dir_.Path("open_to_all");
  fs::create_directory(owned);
  fs::create_directory(open_to_all);
  ASSERT_EQ(0, chmod(owned.c_str(), 0755));
  ASSERT_EQ(0, chmod(open_to_all.c_str(), 0777));

  EXPECT_TRUE(IsWritableDirectory(RealSystem(), FromBytes(owned)));
  EXPECT_FALSE(WritableForNobody(owned));
  EXPECT_FALSE(WritableForNobody(owned + "/missing/deeper"));
  // The same child sees a directory it may write as writable, so the answer
  // above is about the directory, not about reaching it.
  EXPECT_TRUE(WritableForNobody(open_to_all));
  EXPECT_EQ((List{}), ListDir(owned));
  EXPECT_EQ((List{}), ListDir(open_to_all));
}

}  // namespace
