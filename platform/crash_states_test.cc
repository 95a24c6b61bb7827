#include "platform/crash_states.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <set>
#include <string>
#include <vector>

#include "platform/crash_recording.h"
#include "platform/crash_state_writer.h"
#include "platform/rebooted_system.h"
#include "platform/scoped_temp_dir.h"

namespace {

using Kind = DiskChange::Kind;

// A disk root "/r" (device 1) and a tmpfs root "/v" (device 2), with a
// file in each before the run.
const InodeId kR{1, 1, 0}, kOld{1, 2, 0}, kV{2, 1, 0}, kX{2, 2, 0};
const InodeId kA{1, 10, 1}, kB{1, 11, 1}, kN{1, 12, 1}, kF{1, 13, 1},
    kT{2, 10, 1};

CrashNode Node(char kind, const std::string& bytes, InodeId inode) {
  CrashNode node;
  node.kind = kind;
  node.bytes = bytes;
  node.mode = kind == 'd' ? 0700 : 0600;
  node.inode = inode;
  return node;
}

DiskChange Made(Kind kind, const std::string& path, InodeId inode,
                InodeId parent) {
  DiskChange change;
  change.kind = kind;
  change.path = path;
  change.inode = inode;
  change.parent = parent;
  change.mode = kind == Kind::kMkdir ? 0700 : 0600;
  return change;
}

DiskChange Written(InodeId inode, const std::string& bytes) {
  DiskChange change;
  change.kind = Kind::kWrite;
  change.inode = inode;
  change.bytes = bytes;
  return change;
}

DiskChange Renamed(const std::string& from, const std::string& to,
                   InodeId inode) {
  DiskChange change = Made(Kind::kRename, from, inode, kR);
  change.to = to;
  change.to_parent = kR;
  return change;
}

DiskChange Flushed(Kind kind, InodeId inode) {
  DiskChange change;
  change.kind = kind;
  change.inode = inode;
  return change;
}

// The call numbers are the crash points the table names: point k means
// calls 0 .. k-1 happened.
DiskLog HandMadeLog() {
  return {
      Made(Kind::kCreateFile, "/r/a", kA, kR),  // 0
      Written(kA, "hello"),                     // 1
      Flushed(Kind::kFsync, kA),                // 2: a's data, not its name
      Made(Kind::kCreateFile, "/r/b", kB, kR),  // 3
      Written(kB, "bee"),                       // 4
      Renamed("/r/a", "/r/c", kA),              // 5
      Made(Kind::kUnlink, "/r/old", kOld, kR),  // 6
      Flushed(Kind::kFsync, kR),                // 7: names in /r so far
      Made(Kind::kCreateFile, "/v/t", kT, kV),  // 8
      Written(kT, "tmp"),                       // 9
      Flushed(Kind::kFsync, kT),                // 10
      Renamed("/r/b", "/r/d", kB),              // 11
      Made(Kind::kMkdir, "/r/n", kN, kR),       // 12
      Made(Kind::kCreateFile, "/r/n/f", kF, kN),  // 13
      Written(kF, "eff"),                       // 14
      Flushed(Kind::kFsync, kN),                // 15: f's name, not n's
      Flushed(Kind::kSyncfs, InodeId{1, 0, 0}),  // 16: all of device 1
  };
}

CrashStateGenerator HandMadeGenerator() {
  CrashTree before;
  before["/r"] = Node('d', "", kR);
  before["/r/old"] = Node('f', "old", kOld);
  before["/v"] = Node('d', "", kV);
  before["/v/x"] = Node('f', "x", kX);
  return CrashStateGenerator({{"/r", false}, {"/v", true}}, before,
                             HandMadeLog());
}

enum class Presence { kAlways, kSometimes, kNever };

// Every state at a point, over many random choices.
std::vector<CrashTree> StatesAt(const CrashStateGenerator& generator,
                                size_t point) {
  std::vector<CrashTree> states;
  for (uint32_t variant = 0; variant < 80; ++variant) {
    states.push_back(generator.StateAt(CrashCase{point, variant, 7}));
  }
  return states;
}

TEST(CrashStatesTest, FlushesDecideWhatAPowerLossKeeps) {
  const std::string zeros(3, '\0');
  const struct {
    size_t point;
    const char* path;
    Presence presence;
    std::set<std::string> allowed;  // the file's bytes when there; {}: any
    std::set<std::string> seen;     // bytes some state must show
  } cases[] = {
      // An unflushed write to a new file: whole, or the file is empty, cut
      // short or zeros.
      {2, "/r/a", Presence::kSometimes,
       {"", "h", "he", "hel", "hell", "hello", std::string(5, '\0')},
       {"", "hello", std::string(5, '\0')}},
      // The file's flush keeps its bytes, not its name.
      {3, "/r/a", Presence::kSometimes, {"hello"}, {"hello"}},
      {3, "/r/b", Presence::kNever, {}, {}},
      // The directory's flush keeps the rename and the unlink before it.
      {8, "/r/c", Presence::kAlways, {"hello"}, {"hello"}},
      {8, "/r/a", Presence::kNever, {}, {}},
      {8, "/r/old", Presence::kNever, {}, {}},
      {8, "/r/b", Presence::kAlways, {"", "b", "be", "bee", zeros},
       {"", "bee", zeros}},
      // Nothing on tmpfs survives, flushed or not; the mount point stays.
      {11, "/v/t", Presence::kNever, {}, {}},
      {11, "/v/x", Presence::kNever, {}, {}},
      {11, "/v", Presence::kAlways, {}, {}},
      // A rename after the last flush is there or not.
      {12, "/r/d", Presence::kSometimes, {}, {}},
      {12, "/r/b", Presence::kSometimes, {}, {}},
      // A name flushed in a directory whose own making was not.
      {16, "/r/n", Presence::kSometimes, {}, {}},
      {16, "/r/n/f", Presence::kSometimes, {"", "e", "ef", "eff", zeros},
       {"", "eff"}},
      // syncfs keeps everything before it on its device.
      {17, "/r/d", Presence::kAlways, {"bee"}, {"bee"}},
      {17, "/r/b", Presence::kNever, {}, {}},
      {17, "/r/n/f", Presence::kAlways, {"eff"}, {"eff"}},
  };
  const CrashStateGenerator generator = HandMadeGenerator();
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.point) + " " + c.path);
    size_t present = 0;
    std::set<std::string> seen;
    const std::vector<CrashTree> states = StatesAt(generator, c.point);
    for (const CrashTree& state : states) {
      const auto found = state.find(c.path);
      if (found == state.end()) continue;
      ++present;
      seen.insert(found->second.bytes);
      if (!c.allowed.empty()) {
        EXPECT_EQ(1u, c.allowed.count(found->second.bytes))
            << "unexpected bytes \"" << found->second.bytes << "\"";
      }
    }
    switch (c.presence) {
      case Presence::kAlways:
        EXPECT_EQ(states.size(), present);
        break;
      case Presence::kSometimes:
        EXPECT_GT(present, 0u);
        EXPECT_LT(present, states.size());
        break;
      case Presence::kNever:
        EXPECT_EQ(0u, present);
        break;
    }
    for (const std::string& bytes : c.seen) {
      EXPECT_EQ(1u, seen.count(bytes)) << "never saw \"" << bytes << "\"";
    }
  }
  // A rename is one step: the file has exactly one of its two names.
  for (const CrashTree& state : StatesAt(generator, 12)) {
    EXPECT_EQ(1u, state.count("/r/b") + state.count("/r/d"));
  }
}

TEST(CrashStatesTest, CasesAreDistinctSpreadAndTheSameForASeed) {
  const CrashStateGenerator generator = HandMadeGenerator();
  const std::vector<CrashCase> cases = generator.Cases(3, 80);
  ASSERT_FALSE(cases.empty());
  EXPECT_LE(cases.size(), 80u);
  std::set<size_t> points;
  std::set<std::string> trees;
  for (const CrashCase& crash : cases) {
    points.insert(crash.point);
    std::string key;
    for (const auto& [path, node] : generator.StateAt(crash)) {
      key += path + "=" + node.bytes + ";";
    }
    trees.insert(key);
  }
  // Few calls: every point is tried, from before the first call to after
  // the last; a point whose states all came earlier adds none.
  EXPECT_EQ(0u, *points.begin());
  EXPECT_EQ(generator.changes(), *points.rbegin());
  EXPECT_GT(points.size(), 10u);
  // The trees differ (bytes and names alone may not: times, modes).
  EXPECT_GT(trees.size(), 10u);
  const std::vector<CrashCase> again = generator.Cases(3, 80);
  ASSERT_EQ(cases.size(), again.size());
  for (size_t i = 0; i < cases.size(); ++i) {
    EXPECT_EQ(cases[i].point, again[i].point);
    EXPECT_EQ(cases[i].variant, again[i].variant);
  }
}

void WriteThrough(SystemApi& sys, int fd, const std::string& bytes) {
  ASSERT_EQ(static_cast<ssize_t>(bytes.size()),
            sys.Write(fd, bytes.data(), bytes.size()));
}

// Real calls through the recording seam; the state that keeps every
// change at the end is the disk as it is, and a rebuilt state reads back
// as it was built and shows the recorded identities to the next start.
TEST(CrashStatesTest, RecordedRunReplaysRebuildsAndShowsItsIdentities) {
  ScopedTempDir dir;
  const std::string root = dir.Path("root");
  ASSERT_EQ(0, mkdir(root.c_str(), 0700));
  ASSERT_TRUE(WriteFile(root + "/old", "old bytes"));
  const std::vector<CrashRoot> roots = {{root, false}};
  const CrashTree before = ReadCrashTree(roots);
  CrashRecordingSystem sys;
  const int dir_fd = sys.Open(root.c_str(), O_RDONLY | O_DIRECTORY, 0);
  ASSERT_NE(-1, dir_fd);
  ASSERT_EQ(0, sys.MkdirAt(dir_fd, "sub", 0750));
  const int fd = sys.OpenAt(dir_fd, "sub/new", O_WRONLY | O_CREAT | O_EXCL, 0640);
  ASSERT_NE(-1, fd);
  WriteThrough(sys, fd, "first ");
  WriteThrough(sys, fd, "second");
  const int in = sys.Open((root + "/old").c_str(), O_RDONLY, 0);
  off_t at = 12;
  ASSERT_EQ(9, sys.CopyFileRange(in, nullptr, fd, &at, 100));
  const struct timespec times[2] = {{1000, 5}, {2000, 7}};
  ASSERT_EQ(0, sys.Futimens(fd, times));
  ASSERT_EQ(0, sys.Fsync(fd));
  ASSERT_EQ(0, sys.Close(fd));
  ASSERT_EQ(0, sys.Close(in));
  ASSERT_EQ(0, sys.RenameAt(dir_fd, "sub/new", dir_fd, "moved"));
  ASSERT_EQ(0, sys.UnlinkAt(dir_fd, "old", 0));
  ASSERT_EQ(0, sys.Symlink("moved", (root + "/link").c_str()));
  ASSERT_EQ(0, sys.Fsync(dir_fd));
  ASSERT_EQ(0, sys.Close(dir_fd));
  const DiskLog log = sys.log();
  std::vector<Kind> kinds;
  for (const DiskChange& change : log) kinds.push_back(change.kind);
  EXPECT_EQ((std::vector<Kind>{Kind::kMkdir, Kind::kCreateFile, Kind::kWrite,
                               Kind::kWrite, Kind::kWrite, Kind::kTimes,
                               Kind::kFsync, Kind::kRename, Kind::kUnlink,
                               Kind::kSymlink, Kind::kFsync}),
            kinds);
  ASSERT_EQ(11u, log.size());
  EXPECT_EQ(root + "/sub/new", log[1].path);
  EXPECT_EQ("old bytes", log[4].bytes);
  EXPECT_EQ(12u, log[4].offset);
  EXPECT_EQ(root + "/moved", log[7].to);

  const CrashTree now = ReadCrashTree(roots);
  const CrashStateGenerator generator(roots, before, log);
  const CrashTree kept = generator.StateAt(CrashCase{log.size(), 1, 0});
  ASSERT_EQ(now.size(), kept.size());
  for (const auto& [path, node] : now) {
    SCOPED_TRACE(path);
    ASSERT_EQ(1u, kept.count(path));
    const CrashNode& model = kept.at(path);
    EXPECT_EQ(node.kind, model.kind);
    EXPECT_EQ(node.bytes, model.bytes);
    EXPECT_EQ(node.mode, model.mode);
    if (node.kind != 'd') {
      EXPECT_EQ(node.mtime.tv_sec, model.mtime.tv_sec);
      EXPECT_EQ(node.mtime.tv_nsec, model.mtime.tv_nsec);
      EXPECT_EQ(node.ctime.tv_nsec, model.ctime.tv_nsec);
    }
  }
  EXPECT_EQ("first secondold bytes", kept.at(root + "/moved").bytes);

  ShownIdentities shown;
  std::string error;
  ASSERT_TRUE(WriteCrashState(roots, kept, &shown, &error)) << error;
  const CrashTree rebuilt = ReadCrashTree(roots);
  ASSERT_EQ(kept.size(), rebuilt.size());
  for (const auto& [path, node] : kept) {
    SCOPED_TRACE(path);
    EXPECT_EQ(node.bytes, rebuilt.at(path).bytes);
    EXPECT_EQ(node.mode, rebuilt.at(path).mode);
    EXPECT_EQ(node.mtime.tv_sec, rebuilt.at(path).mtime.tv_sec);
    EXPECT_EQ(node.mtime.tv_nsec, rebuilt.at(path).mtime.tv_nsec);
  }
  const std::string moved = root + "/moved";
  RebootedSystem next(shown);
  struct stat status;
  ASSERT_EQ(0, next.Lstat(moved.c_str(), &status));
  EXPECT_EQ(now.at(moved).inode.ino, status.st_ino);
  EXPECT_EQ(now.at(moved).ctime.tv_nsec, status.st_ctim.tv_nsec);
  // Changed by the next start: what the system says.
  ASSERT_EQ(0, chmod(moved.c_str(), 0600));
  ASSERT_EQ(0, next.Lstat(moved.c_str(), &status));
  EXPECT_EQ(rebuilt.at(moved).inode.ino, status.st_ino);
  // Another boot.
  std::string boot;
  const int boot_fd = next.Open(RebootedSystem::kBootIdPath, O_RDONLY, 0);
  ASSERT_NE(-1, boot_fd);
  char text[64];
  const ssize_t got = next.Read(boot_fd, text, sizeof(text));
  next.Close(boot_fd);
  ASSERT_GT(got, 0);
  EXPECT_NE(ReadFile(RebootedSystem::kBootIdPath),
            std::string(text, static_cast<size_t>(got)));
}

}  // namespace
