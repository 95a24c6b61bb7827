#include "platform/directory_enumerator.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <string>

#include "gtest/gtest.h"
#include "platform/fault_injection.h"
#include "platform/scoped_temp_dir.h"
#include "platform/system_api.h"
#include "text/text_conversion.h"

namespace {

class DirectoryEnumeratorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(WriteFile(dir_.Path("a.cfg"), "a"));
    ASSERT_TRUE(WriteFile(dir_.Path("b.txt"), "bb"));
    ASSERT_EQ(0, mkdir(dir_.Path("sub").c_str(), 0755));
  }

  // Every entry the listing of `search` yields, name -> attributes.
  std::map<std::string, uint32_t> List(const std::string& search,
                                       SystemApi& sys = RealSystem()) {
    std::map<std::string, uint32_t> entries;
    DirectoryEnumerator enumerator(sys);
    for (bool more = enumerator.First(WidePath(search)); more;
         more = enumerator.Next()) {
      std::string name = ToNarrow(enumerator.Name()).c_str();
      EXPECT_EQ(0u, entries.count(name)) << "twice: " << name;
      entries[name] = enumerator.Attributes();
    }
    EXPECT_TRUE(enumerator.Name().empty());
    EXPECT_EQ(0u, enumerator.Attributes());
    return entries;
  }

  ScopedTempDir dir_;
};

TEST_F(DirectoryEnumeratorTest, PatternsSelectEntries) {
  using Entries = std::map<std::string, uint32_t>;
  const uint32_t kDir = kFileAttributeDirectory;
  struct Case {
    std::string search;
    Entries expected;
  } cases[] = {
      {"/*",
       {{".", kDir}, {"..", kDir}, {"a.cfg", 0}, {"b.txt", 0}, {"sub", kDir}}},
      {"/*.cfg", {{"a.cfg", 0}}},
      {"/?.*", {{"..", kDir}, {"a.cfg", 0}, {"b.txt", 0}}},  // no dot rule
      {"/[s]ub", {{"sub", kDir}}},
      {"/b.txt", {{"b.txt", 0}}},  // a plain name tests for existence
      {"/B.TXT", {}},              // names are compared exactly
      {"/c.txt", {}},
      {"/", {}},  // an empty pattern matches nothing
      {"/missing/*", {}},
      {"/b.txt/*", {}},  // not a directory
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.expected, List(dir_.path() + c.search)) << c.search;
  }
}

TEST_F(DirectoryEnumeratorTest, PathWithoutSlashIsDirectoryAndPattern) {
  // "sub" is opened as the directory and its entries are matched against
  // "sub": only an entry sub/sub matches.
  ASSERT_EQ(0, chdir(dir_.path().c_str()));
  EXPECT_TRUE(List("sub").empty());
  ASSERT_EQ(0, mkdir("sub/sub", 0755));
  EXPECT_EQ((std::map<std::string, uint32_t>{{"sub", kFileAttributeDirectory}}),
            List("sub"));
  ASSERT_EQ(0, chdir("/"));
}

TEST_F(DirectoryEnumeratorTest, RootDirectoryIsListed) {
  auto entries = List("/*");
  EXPECT_EQ(kFileAttributeDirectory, entries["tmp"]);
  EXPECT_EQ(1u, entries.count(".."));
}

TEST_F(DirectoryEnumeratorTest, NextAfterTheEndStaysFalse) {
  DirectoryEnumerator enumerator(RealSystem());
  EXPECT_FALSE(enumerator.Next());  // nothing started
  ASSERT_TRUE(enumerator.First(dir_.WidePath("a.cfg")));
  EXPECT_EQ(WidePath("a.cfg"), enumerator.Name());
  EXPECT_FALSE(enumerator.Next());
  EXPECT_FALSE(enumerator.Next());
  EXPECT_TRUE(enumerator.Name().empty());
  // The same object starts again, and a second First ends a running listing.
  ASSERT_TRUE(enumerator.First(dir_.WidePath("*")));
  ASSERT_TRUE(enumerator.First(dir_.WidePath("sub")));
  EXPECT_EQ(kFileAttributeDirectory, enumerator.Attributes());
}

TEST_F(DirectoryEnumeratorTest, EntriesWithoutStatusAreSkipped) {
  ASSERT_EQ(0, symlink("nowhere", dir_.Path("dangling").c_str()));
  ASSERT_EQ(0, symlink("sub", dir_.Path("to-sub").c_str()));
  auto entries = List(dir_.path() + "/*");
  EXPECT_EQ(0u, entries.count("dangling"));
  // The listing goes on past it; links are followed for the attributes.
  EXPECT_EQ(6u, entries.size());
  EXPECT_EQ(kFileAttributeDirectory, entries["to-sub"]);
  EXPECT_EQ(0u, entries["b.txt"]);
  // A status query that the system refuses is skipped the same way.
  FaultInjectingSystem faults;
  faults.FailPath("a.cfg", EIO, Ops(SysOp::kStat));
  entries = List(dir_.path() + "/*", faults);
  EXPECT_EQ(0u, entries.count("a.cfg"));
  EXPECT_EQ(1u, entries.count("b.txt"));
}

TEST_F(DirectoryEnumeratorTest, DestructorClosesTheListing) {
  FaultInjectingSystem faults;
  {
    DirectoryEnumerator enumerator(faults);
    ASSERT_TRUE(enumerator.First(dir_.WidePath("*")));
    ASSERT_TRUE(enumerator.First(dir_.WidePath("*")));
  }
  EXPECT_EQ(2u, faults.CallCount(Ops(SysOp::kOpenDir)));
  EXPECT_EQ(2u, faults.CallCount(Ops(SysOp::kCloseDir)));
}

TEST_F(DirectoryEnumeratorTest, FileSizeIsSixtyFourBit) {
  std::string path = dir_.Path("sparse");
  int fd = open(path.c_str(), O_CREAT | O_WRONLY, 0600);
  ASSERT_NE(-1, fd);
  const uint64_t kFiveGiB = 5ull << 30;
  ASSERT_EQ(0, ftruncate(fd, static_cast<off_t>(kFiveGiB)));
  close(fd);
  SystemApi& sys = RealSystem();
  uint64_t size = 0;
  EXPECT_TRUE(GetFileSize(sys, WidePath(path), &size).ok());
  EXPECT_EQ(kFiveGiB, size);
  size = 77;
  EXPECT_TRUE(GetFileSize(sys, dir_.WidePath("b.txt"), &size).ok());
  EXPECT_EQ(2u, size);
  const Status missing = GetFileSize(sys, dir_.WidePath("missing"), &size);
  EXPECT_EQ(kErrorFileNotFound, missing.code());
  EXPECT_EQ(ENOENT, missing.error());
  EXPECT_EQ(dir_.Path("missing"), missing.path());
  EXPECT_EQ(2u, size);  // unchanged on failure
}

}  // namespace
