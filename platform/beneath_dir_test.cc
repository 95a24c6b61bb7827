#include "platform/beneath_dir.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "gtest/gtest.h"
#include "platform/fault_injection.h"
#include "platform/scoped_temp_dir.h"
#include "platform/system_api.h"

namespace {

bool Exists(const std::string& path) {
  struct stat status;
  return lstat(path.c_str(), &status) == 0;
}

// Every case runs twice: with the kernel's openat2 and with the walk that
// kernels without it get.
class BeneathDirTest : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    root_ = temp_.Path("root");
    outside_ = temp_.Path("outside");
    ASSERT_EQ(0, mkdir(root_.c_str(), 0755));
    ASSERT_EQ(0, mkdir(outside_.c_str(), 0755));
    ASSERT_EQ(0, mkdir((root_ + "/a").c_str(), 0755));
    ASSERT_EQ(0, mkdir((root_ + "/b").c_str(), 0755));
    ASSERT_EQ(0, dir_.Open(root_));
    if (!GetParam()) dir_.DisableOpenat2ForTesting();
  }

  // Creates `relative` exclusively, as the engine does; errno on failure.
  int Create(const std::string& relative) {
    const int fd =
        dir_.OpenFile(relative, O_WRONLY | O_CREAT | O_EXCL, 0644);
    if (fd == -1) return errno;
    close(fd);
    return 0;
  }

  void Link(const std::string& text, const std::string& at) {
    ASSERT_EQ(0, symlink(text.c_str(), (root_ + "/" + at).c_str())) << at;
  }

  ScopedTempDir temp_;
  std::string root_;
  std::string outside_;
  BeneathDir dir_{RealSystem()};
};

TEST_P(BeneathDirTest, PlainNamesAndLinksThatStayInsideWork) {
  EXPECT_EQ(0, Create("f"));
  EXPECT_EQ(0, Create("a/f"));
  EXPECT_EQ(0, Create("a//./f2"));  // doubled separators and "." ignored
  Link("../b", "a/up");             // relative, inside
  Link(root_ + "/b", "abs");        // absolute, inside
  Link("a/up", "chain");            // a link to a link
  EXPECT_EQ(0, Create("a/up/via-relative"));
  EXPECT_EQ(0, Create("abs/via-absolute"));
  EXPECT_EQ(0, Create("chain/via-chain"));
  EXPECT_EQ(0, Create("a/../b/via-dotdot"));
  for (const char* name : {"f", "a/f", "a/f2", "b/via-relative",
                           "b/via-absolute", "b/via-chain", "b/via-dotdot"}) {
    EXPECT_TRUE(Exists(root_ + "/" + name)) << name;
  }
}

TEST_P(BeneathDirTest, LinksThatLeaveAreRefusedAndNamed) {
  struct Case {
    const char* link_at;
    std::string text;
    const char* create;
    const char* named;
  };
  const Case cases[] = {
      {"config", "../outside", "config/company.cfg", "config"},
      {"a/deep", outside_, "a/deep/x", "a/deep"},
      {"a/up2", "../..", "a/up2/outside/x", "a/up2"},
      {"hop", "a/../../outside", "hop/x", "hop"},
      {"slash", "/", "slash/tmp/x", "slash"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.link_at);
    Link(c.text, c.link_at);
    EXPECT_EQ(EXDEV, Create(c.create));
    EXPECT_EQ(c.named, dir_.outside_link());
    EXPECT_EQ(-1, dir_.MakeDirectory(std::string(c.link_at) + "/newdir", 0755));
    EXPECT_EQ(EXDEV, errno);
  }
  EXPECT_EQ(EXDEV, Create("../outside/x"));
  // Nothing arrived outside.
  EXPECT_FALSE(Exists(outside_ + "/company.cfg"));
  EXPECT_FALSE(Exists(outside_ + "/x"));
  EXPECT_FALSE(Exists(outside_ + "/newdir"));
}

TEST_P(BeneathDirTest, TheLastComponentIsTheLinkItself) {
  ASSERT_TRUE(WriteFile(outside_ + "/secret", "keep"));
  Link(outside_ + "/secret", "a/file-link");
  // Never created through, never removed through.
  EXPECT_EQ(EEXIST, Create("a/file-link"));
  struct stat status;
  ASSERT_EQ(0, dir_.Stat("a/file-link", &status, false));
  EXPECT_TRUE(S_ISLNK(status.st_mode));
  EXPECT_EQ(-1, dir_.Stat("a/file-link", &status, true));
  EXPECT_EQ(EXDEV, errno);
  EXPECT_EQ(-1, dir_.OpenFile("a/file-link", O_RDONLY, 0));
  EXPECT_EQ(0, dir_.RemoveFile("a/file-link"));
  EXPECT_EQ("keep", ReadFile(outside_ + "/secret"));
  // A link to a file inside is followed when asked.
  ASSERT_TRUE(WriteFile(root_ + "/b/real", "x"));
  Link("../b/real", "a/inside-link");
  ASSERT_EQ(0, dir_.Stat("a/inside-link", &status, true));
  EXPECT_TRUE(S_ISREG(status.st_mode));
}

TEST_P(BeneathDirTest, TheDirectoryItselfMayBeALink) {
  const std::string link = temp_.Path("root-link");
  ASSERT_EQ(0, symlink(root_.c_str(), link.c_str()));
  BeneathDir via_link(RealSystem());
  ASSERT_EQ(0, via_link.Open(link + "/"));
  if (!GetParam()) via_link.DisableOpenat2ForTesting();
  EXPECT_EQ(link, via_link.path());
  // An absolute link that names the directory by its real path is inside.
  Link(root_ + "/a", "abs-a");
  const int fd = via_link.OpenFile("abs-a/f", O_WRONLY | O_CREAT | O_EXCL, 0644);
  ASSERT_NE(-1, fd);
  close(fd);
  EXPECT_TRUE(Exists(root_ + "/a/f"));
}

TEST_P(BeneathDirTest, LoopsAndMissingLevelsFail) {
  Link("loop2", "loop1");
  Link("loop1", "loop2");
  EXPECT_EQ(ELOOP, Create("loop1/x"));
  EXPECT_EQ(ENOENT, Create("missing/x"));
  ASSERT_TRUE(WriteFile(root_ + "/file", ""));
  EXPECT_EQ(ENOTDIR, Create("file/x"));
}

// What a reader opens through a link: the file it leads to inside, with the
// flags given (a FIFO without a writer opens at once when they say not to
// block); a link that leaves, loops or leads to nothing opens nothing.
TEST_P(BeneathDirTest, OpenFollowedReadsWhatALinkInsideNames) {
  ASSERT_TRUE(WriteFile(root_ + "/a/real", "inside"));
  ASSERT_TRUE(WriteFile(outside_ + "/secret", "outside"));
  ASSERT_EQ(0, mkfifo((root_ + "/b/fifo").c_str(), 0644));
  Link("a/real", "relative");
  Link(root_ + "/a/real", "absolute");
  Link("../b/fifo", "a/fifo");
  Link("../outside/secret", "out");
  Link("a/none", "dangling");
  Link("loop", "loop");
  const struct {
    const char* name;
    int error;  // 0: opens
    const char* text;
  } cases[] = {
      {"a/real", 0, "inside"},  {"relative", 0, "inside"},
      {"absolute", 0, "inside"}, {"a/fifo", 0, ""},
      {"out", EXDEV, nullptr},   {"dangling", ENOENT, nullptr},
      {"loop", ELOOP, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const int fd = dir_.OpenFollowed(c.name, O_RDONLY | O_NONBLOCK);
    EXPECT_EQ(c.error, fd == -1 ? errno : 0);
    if (fd == -1) continue;
    char text[16] = {};
    EXPECT_LE(0, read(fd, text, sizeof(text) - 1));
    EXPECT_EQ(std::string(c.text), text);
    close(fd);
  }
  EXPECT_EQ(-1, dir_.OpenFollowed("out", O_RDONLY));
  EXPECT_EQ("out", dir_.outside_link());
}

TEST_P(BeneathDirTest, RenameRemoveAndDirectoriesStayBeneath) {
  ScopedTempDir other_temp;
  BeneathDir other(RealSystem());
  ASSERT_EQ(0, other.Open(other_temp.path()));
  ASSERT_EQ(0, Create("a/moved"));
  ASSERT_EQ(0, BeneathDir::Rename(dir_, "a/moved", other, "back"));
  EXPECT_TRUE(Exists(other_temp.Path("back")));
  ASSERT_EQ(0, BeneathDir::Rename(other, "back", dir_, "b/home"));
  EXPECT_TRUE(Exists(root_ + "/b/home"));
  // Within one object, both parents resolved.
  ASSERT_EQ(0, BeneathDir::Rename(dir_, "b/home", dir_, "a/home"));
  EXPECT_TRUE(Exists(root_ + "/a/home"));
  Link("../outside", "out");
  EXPECT_EQ(-1, BeneathDir::Rename(dir_, "a/home", dir_, "out/stolen"));
  EXPECT_EQ(EXDEV, errno);
  EXPECT_FALSE(Exists(outside_ + "/stolen"));

  ASSERT_EQ(0, dir_.MakeDirectory("a/new", 0755));
  const int fd = dir_.OpenDirectory("a/new");
  ASSERT_NE(-1, fd);
  close(fd);
  EXPECT_EQ(0, dir_.RemoveDirectory("a/new"));
  EXPECT_FALSE(Exists(root_ + "/a/new"));
  EXPECT_EQ(-1, dir_.OpenDirectory("out"));
  EXPECT_EQ(EXDEV, errno);
}

// A directory swapped for a link after it was looked up: the kept
// descriptor still names the directory that was resolved, wherever it went,
// never the place the new link points to.
TEST_P(BeneathDirTest, ASwappedDirectoryNeverLeadsOutside) {
  ASSERT_EQ(0, Create("a/first"));
  ASSERT_EQ(0, rename((root_ + "/a").c_str(), (root_ + "/a.old").c_str()));
  Link("../outside", "a");
  ASSERT_EQ(0, Create("a/second"));
  EXPECT_TRUE(Exists(root_ + "/a.old/second"));
  EXPECT_FALSE(Exists(outside_ + "/second"));
  // Looked up afresh, the link is refused.
  EXPECT_EQ(EXDEV, Create("b/../a/third"));
  EXPECT_FALSE(Exists(outside_ + "/third"));
}

INSTANTIATE_TEST_SUITE_P(OpenatTwoAndWalk, BeneathDirTest,
                         ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return info.param ? "Openat2" : "Walk";
                         });

TEST(BeneathDirFaultTest, CallsGoThroughTheSeamUnderTheirFullPaths) {
  ScopedTempDir temp;
  FaultInjectingSystem system;
  BeneathDir dir(system);
  ASSERT_EQ(0, dir.Open(temp.path()));
  ASSERT_EQ(0, dir.MakeDirectory("sub", 0755));
  system.FailPath("/sub/full", ENOSPC);
  EXPECT_EQ(-1, dir.OpenFile("sub/full", O_WRONLY | O_CREAT | O_EXCL, 0644));
  EXPECT_EQ(ENOSPC, errno);
  bool logged = false;
  for (const SysCall& call : system.Log()) {
    if (call.op == SysOp::kMkdir && call.path == temp.Path("sub")) logged = true;
  }
  EXPECT_TRUE(logged);
}

}  // namespace
