#include "engine/install_engine.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "engine/engine_test_util.h"
#include "engine/install_transaction.h"
#include "engine/job_channel.h"
#include "kit/kit_reader.h"
#include "l10n/string_table.h"
#include "l10n/user_message.h"
#include "platform/fault_injection.h"
#include "platform/scoped_temp_dir.h"

namespace {

using namespace engine_test;

constexpr FileTime kSecond = 10000000;

class InstallEngineTest : public TmpdirFixture {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(TmpdirFixture::SetUp());
    target_ = dir_.Path("templates");
  }
  void TearDown() override {
    reader_.Close();
    EXPECT_EQ(std::vector<std::string>{}, BackupDirectories(temp_));
    EXPECT_EQ(std::vector<std::string>{},
              NamesIn(StateBackups(dir_.Path("home"))));
    EXPECT_EQ(std::vector<std::string>{}, NamesIn(PointerDirectory()));
  }
  std::string PointerDirectory() const {
    return dir_.Path("home") + "/.local/state/tqsetup/journals";
  }

  // Writes the kit and opens it as the installer does, or streaming as
  // kittool does.
  void OpenKit(const std::vector<KitFile>& files, bool streaming = false) {
    const std::string kit = dir_.Path("kit.efd");
    ASSERT_TRUE(WriteKitFile(kit, files));
    ASSERT_EQ(kSuccess, (streaming ? reader_.OpenStreaming(WidePath(kit))
                                   : reader_.Open(WidePath(kit)))
                            .code());
  }

  // Runs one job into `target` on this thread, through `sys`; `on_post`
  // sees every post with the channel.
  ErrorCode Install(
      const std::string& target,
      std::function<void(JobChannel&, const ChannelState&)> on_post = {},
      SystemApi& sys = RealSystem()) {
    JobChannel channel;
    channel.Init();
    PostRecorder recorder;
    if (on_post) {
      recorder.on_post = [&](const ChannelState& s) { on_post(channel, s); };
    }
    channel.SetObserver(&recorder);
    channel.StartJob(&reader_, WidePath(target));
    InstallEngine engine(sys);
    const ErrorCode code = engine.Run(&channel).code();
    result_ = engine.result();
    posts_ = recorder.posts();
    final_ = channel.Poll();
    return code;
  }
  ErrorCode Install() { return Install(target_); }
  ErrorCode InstallThrough(SystemApi& sys) { return Install(target_, {}, sys); }

  std::vector<std::string> PostedTexts() const {
    std::vector<std::string> texts;
    for (const ChannelState& post : posts_) texts.push_back(Narrow(post.text));
    return texts;
  }
  std::vector<int32_t> PostedProgress() const {
    std::vector<int32_t> progress;
    for (const ChannelState& post : posts_) progress.push_back(post.progress);
    return progress;
  }
  std::string Text(const char* key) const {
    return Narrow(StringTable::Lookup(key));
  }

  std::string target_;
  KitReader reader_{RealSystem()};
  JobResult result_;
  std::vector<ChannelState> posts_;
  ChannelState final_;
};

TEST_F(InstallEngineTest, PostsEveryPathWithWholePercentsThenTheFinish) {
  for (const uint32_t count : {0u, 1u, 3u, 200u}) {
    SCOPED_TRACE(count);
    std::vector<KitFile> files;
    std::vector<int32_t> expected_progress;
    std::vector<std::string> expected_texts;
    for (uint32_t i = 0; i < count; ++i) {
      files.push_back({"d" + std::to_string(i % 3) + "/f" + std::to_string(i),
                       std::to_string(i)});
      expected_progress.push_back(static_cast<int32_t>(i * 100 / count));
      expected_texts.push_back(target_ + "/" + files.back().name);
    }
    // The finish carries no text: the face says what it means.
    expected_progress.push_back(100);
    expected_texts.push_back("");
    OpenKit(files);
    std::filesystem::remove_all(target_);
    ASSERT_EQ(kSuccess, Install());
    EXPECT_EQ(expected_progress, PostedProgress());
    EXPECT_EQ(expected_texts, PostedTexts());
    EXPECT_EQ(JobState::kFinished, final_.state);
    EXPECT_EQ(count, result_.copied);
  }
  // The spelled-out sequences the GUI relies on.
  OpenKit({{"a", "1"}, {"b", "2"}, {"c", "3"}});
  std::filesystem::remove_all(target_);
  ASSERT_EQ(kSuccess, Install());
  EXPECT_EQ((std::vector<int32_t>{0, 33, 66, 100}), PostedProgress());
}

// A dry run foretells the job: the same counts, or the same failure on
// the same path, and it changes nothing on the way.
TEST_F(InstallEngineTest, APreviewForetellsTheJobAndChangesNothing) {
  const std::vector<KitFile> files = {{"a.cfg", "new a"},
                                      {"keep.cfg", "not copied"},
                                      {"sub/deep/older.txt", "new older"},
                                      {"sub/fresh/c.txt", "c"}};
  const std::string outside = dir_.Path("outside");
  std::filesystem::create_directories(outside);
  const struct {
    const char* name;
    std::function<void()> arrange;
  } cases[] = {
      {"fresh", [] {}},
      {"the user's files", [&] { MakeUserTemplates(target_); }},
      {"a file where a directory belongs",
       [&] { MakeFile(target_ + "/sub/fresh", "x", kBaseSeconds, 0644); }},
      {"a directory where a file belongs",
       [&] { std::filesystem::create_directories(target_ + "/a.cfg"); }},
      {"a link that leads outside",
       [&] {
         std::filesystem::create_directories(target_);
         std::filesystem::create_directory_symlink(outside, target_ + "/sub");
       }},
      {"the directory is a file",
       [&] { MakeFile(target_, "x", kBaseSeconds, 0644); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(target_);
    c.arrange();
    ASSERT_NO_FATAL_FAILURE(OpenKit(files, true));
    const Tree before = Snapshot(dir_.path());
    InstallEngine dry(RealSystem());
    std::vector<std::string> listed;
    const Status foretold = dry.Preview(
        &reader_, WidePath(target_),
        [&](const std::string& path) { listed.push_back(path); });
    reader_.Close();
    EXPECT_EQ("", Difference(before, Snapshot(dir_.path())));
    EXPECT_EQ(dry.result().copied, listed.size());
    ASSERT_NO_FATAL_FAILURE(OpenKit(files, true));
    Install();
    EXPECT_EQ(result_.failure.kind(), foretold.kind()) << foretold.path();
    EXPECT_EQ(result_.failure.path(), foretold.path());
    if (foretold.ok()) {
      EXPECT_EQ(result_.copied, dry.result().copied);
      EXPECT_EQ(result_.up_to_date, dry.result().up_to_date);
      EXPECT_EQ(target_ + "/sub/fresh/c.txt", listed.back());
    }
  }
}

TEST_F(InstallEngineTest, LeavesFilesThatAreNotOlderButStillPostsThem) {
  const struct {
    const char* what;
    int64_t disk_offset;  // disk time minus entry time, seconds
    const char* on_disk;
    bool replaced;
  } cases[] = {
      {"newer on disk", 1, "mine", false},
      {"same time and size", 0, "mine!", false},
      {"older on disk", -1, "mine!", true},
      // The kit's own time with another size: an installed file that a
      // power loss cut short, copied again.
      {"same time, empty", 0, "", true},
      {"same time, short", 0, "kit", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::filesystem::remove_all(target_);
    MakeFile(target_ + "/sub/t.cfg", c.on_disk, kBaseSeconds + c.disk_offset);
    const ino_t inode = Snapshot(target_).at("sub/t.cfg").inode;
    OpenKit({{"sub/t.cfg", "kit's"}});
    ASSERT_EQ(kSuccess, Install());
    const Node node = Snapshot(target_).at("sub/t.cfg");
    EXPECT_EQ(c.replaced ? "kit's" : c.on_disk, node.content);
    EXPECT_EQ(c.replaced, node.inode != inode);
    EXPECT_EQ(target_ + "/sub/t.cfg", PostedTexts().front());
    EXPECT_EQ(c.replaced ? 1u : 0u, result_.copied);
    EXPECT_EQ(c.replaced ? 0u : 1u, result_.up_to_date);
  }
}

// What is not a regular file at a destination is never moved or replaced.
TEST_F(InstallEngineTest, DestinationThatIsNotAFileIsAnError) {
  const struct {
    const char* what;
    std::function<void(const std::string&)> make;
    ErrorCode code;
    std::string named;  // the file the message names, below the target
    const char* reason;
  } cases[] = {
      {"directory",
       [](const std::string& path) {
         MakeFile(path + "/inside.txt", "user data", kBaseSeconds);
       },
       kErrorAlreadyExists, "t.cfg", "Is a directory"},
      {"link to a directory inside",
       [&](const std::string& path) {
         MakeFile(target_ + "/sub/x", "x", kBaseSeconds);
         ASSERT_EQ(0, symlink("sub", path.c_str()));
       },
       kErrorAlreadyExists, "t.cfg", "Is a directory"},
      {"dangling link inside",
       [&](const std::string& path) {
         ASSERT_EQ(0, symlink("nowhere", path.c_str()));
       },
       kErrorAlreadyExists, "t.cfg", "in the way: not a regular file"},
      {"fifo",
       [](const std::string& path) {
         ASSERT_EQ(0, mkfifo(path.c_str(), 0600));
       },
       kErrorAlreadyExists, "t.cfg", "in the way: not a regular file"},
      {"link to a directory outside",
       [&](const std::string& path) {
         MakeFile(dir_.Path("elsewhere/x"), "x", kBaseSeconds);
         ASSERT_EQ(0, symlink(dir_.Path("elsewhere").c_str(), path.c_str()));
       },
       kErrorAccessDenied, "t.cfg",
       "a link that leads outside the template directory"},
      {"dangling link outside",
       [&](const std::string& path) {
         ASSERT_EQ(0, symlink(dir_.Path("nowhere").c_str(), path.c_str()));
       },
       kErrorAccessDenied, "t.cfg",
       "a link that leads outside the template directory"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::filesystem::remove_all(target_);
    MakeFile(target_ + "/before.cfg", "old", kBaseSeconds - 10);
    c.make(target_ + "/t.cfg");
    const Tree before = Snapshot(target_);
    OpenKit({{"before.cfg", "new"}, {"t.cfg", "kit's"}});
    EXPECT_EQ(c.code, Install());
    EXPECT_EQ("", Difference(before, Snapshot(target_)));
    EXPECT_EQ(target_ + "/" + c.named, result_.failure.path());
    EXPECT_EQ(JobState::kFailed, final_.state);
    EXPECT_EQ(Text("IDS_INSTALL_ERROR") + "\n\"" + target_ + "/" + c.named +
                  "\": " + c.reason,
              Narrow(FailureMessage(final_.failure, "kit.efd")));
    EXPECT_EQ(50, final_.progress);
  }
  EXPECT_EQ("x", ReadFile(dir_.Path("elsewhere/x")));
}

TEST_F(InstallEngineTest, LinkToAnOlderFileInsideIsReplacedAndComesBack) {
  for (const bool fail : {true, false}) {
    SCOPED_TRACE(fail ? "rolled back" : "committed");
    std::filesystem::remove_all(target_);
    MakeFile(target_ + "/shared/s.cfg", "shared", kBaseSeconds - 10);
    ASSERT_EQ(0, symlink("shared/s.cfg", (target_ + "/t.cfg").c_str()));
    const Tree before = Snapshot(target_);
    OpenKit({{"t.cfg", "kit's"}, {"u.cfg", "u"}});
    FaultInjectingSystem system;
    if (fail) system.FailPath("u.cfg", EIO, Ops(SysOp::kOpen));
    const ErrorCode code = InstallThrough(system);
    if (fail) {
      EXPECT_NE(kSuccess, code);
      EXPECT_EQ("", Difference(before, Snapshot(target_)));
    } else {
      EXPECT_EQ(kSuccess, code);
      EXPECT_EQ('f', Snapshot(target_).at("t.cfg").kind);
    }
    // What the link pointed to is never written through it.
    EXPECT_EQ("shared", ReadFile(target_ + "/shared/s.cfg"));
  }
}

// A link anywhere in the template directory that leads outside it stops
// the job before a byte leaves: at the destination, at every level above
// it, relative or absolute. The message names the link; the directory and
// the place outside are as before.
TEST_F(InstallEngineTest, LinksLeadingOutsideNeverLetAByteOut) {
  const std::string outside = dir_.Path("outside");
  const std::vector<KitFile> kit = {{"a.cfg", "a"},
                                    {"config/company.cfg", "c"},
                                    {"config/deep/x/y.cfg", "y"},
                                    {"z.cfg", "z"}};
  const struct {
    const char* link;  // where the link is planted, below the target
    bool absolute;
  } cases[] = {
      {"config", false},        {"config", true},
      {"config/deep", false},   {"config/deep/x", true},
      {"config/company.cfg", false}, {"z.cfg", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.link) + (c.absolute ? " absolute" : ""));
    std::filesystem::remove_all(target_);
    std::filesystem::remove_all(outside);
    MakeFile(outside + "/company.cfg", "theirs", kBaseSeconds - 100);
    MakeFile(outside + "/y.cfg", "theirs", kBaseSeconds - 100);
    MakeFile(target_ + "/a.cfg", "old", kBaseSeconds - 100);
    std::filesystem::create_directories(target_ + "/config/deep");
    const std::string at = target_ + "/" + c.link;
    std::filesystem::remove_all(at);
    std::string text = outside;
    if (!c.absolute) {
      text = "../";
      for (const char* p = c.link; *p != 0; ++p) {
        if (*p == '/') text += "../";
      }
      text += "outside";
    }
    ASSERT_EQ(0, symlink(text.c_str(), at.c_str()));
    const Tree target_before = Snapshot(target_);
    const Tree outside_before = Snapshot(outside);
    OpenKit(kit);
    EXPECT_EQ(kErrorAccessDenied, Install());
    EXPECT_EQ(at, result_.failure.path());
    EXPECT_EQ(Status::Kind::kLinkOutside, result_.failure.kind());
    EXPECT_EQ("", Difference(target_before, Snapshot(target_)));
    EXPECT_EQ("", Difference(outside_before, Snapshot(outside)));
  }
}

// Links that stay inside the template directory are followed, so a user's
// own arrangement of shared folders keeps working.
TEST_F(InstallEngineTest, LinksStayingInsideAreFollowed) {
  std::filesystem::remove_all(target_);
  std::filesystem::create_directories(target_ + "/real/deep");
  ASSERT_EQ(0, symlink("real", (target_ + "/config").c_str()));
  ASSERT_EQ(0, symlink((target_ + "/real/deep").c_str(),
                       (target_ + "/abs").c_str()));
  OpenKit({{"config/company.cfg", "c"}, {"abs/x.cfg", "x"}});
  EXPECT_EQ(kSuccess, Install());
  EXPECT_EQ("c", ReadFile(target_ + "/real/company.cfg"));
  EXPECT_EQ("x", ReadFile(target_ + "/real/deep/x.cfg"));
}

TEST_F(InstallEngineTest, CancelAfterTheFirstEntryRollsBack) {
  for (const bool first_is_up_to_date : {false, true}) {
    SCOPED_TRACE(first_is_up_to_date ? "first skipped" : "first copied");
    std::filesystem::remove_all(target_);
    MakeFile(target_ + "/b.cfg", "old b", kBaseSeconds - 10);
    if (first_is_up_to_date) MakeFile(target_ + "/a.cfg", "a", kBaseSeconds);
    const Tree before = Snapshot(target_);
    OpenKit({{"a.cfg", "a"}, {"b.cfg", "b"}, {"new/c.cfg", "c"}});
    const ErrorCode code =
        Install(target_, [](JobChannel& channel, const ChannelState& state) {
          if (state.progress == 0 && state.state == JobState::kRunning) {
            channel.RequestCancel();
          }
        });
    EXPECT_EQ(kErrorCancelled, code);
    EXPECT_EQ("", Difference(before, Snapshot(target_)));
    ASSERT_EQ(2u, posts_.size());
    EXPECT_EQ(target_ + "/a.cfg", Narrow(posts_[0].text));
    EXPECT_EQ(kErrorCancelled, final_.code);
    EXPECT_EQ(JobState::kCancelled, final_.state);
  }
}

// A relative template directory lies in the working directory, however
// many of its levels are missing; a rollback removes the levels made.
TEST_F(InstallEngineTest, RelativeTargetsLieInTheWorkingDirectory) {
  const std::filesystem::path old_cwd = std::filesystem::current_path();
  std::filesystem::current_path(dir_.path());
  OpenKit({{"a.txt", "a"}, {"d/b.txt", "b"}});
  EXPECT_EQ(kSuccess, Install("out"));
  EXPECT_EQ(kSuccess, Install("two/levels"));
  EXPECT_EQ("b", ReadFile(dir_.Path("out/d/b.txt")));
  EXPECT_EQ("a", ReadFile(dir_.Path("two/levels/a.txt")));
  {
    FaultInjectingSystem system;
    system.FailPath("b.txt", ENOSPC, Ops(SysOp::kOpen));
    EXPECT_NE(kSuccess, Install("failed/levels", {}, system));
  }
  EXPECT_FALSE(std::filesystem::exists(dir_.Path("failed")));
  std::filesystem::current_path(old_cwd);
}

TEST_F(InstallEngineTest, RollbackRemovesEveryDirectoryLevelItMade) {
  const std::string target = dir_.Path("new/deeper/templates");
  OpenKit({{"a/b/c.txt", "c"}, {"top.txt", "t"}, {"last.txt", "l"}});
  FaultInjectingSystem system;
  system.FailPath("last.txt", ENOSPC, Ops(SysOp::kOpen));
  EXPECT_EQ(kErrorInvalidParameter, Install(target, {}, system));
  EXPECT_EQ(target + "/last.txt", result_.failure.path());
  EXPECT_EQ(ENOSPC, result_.failure.error());
  EXPECT_FALSE(std::filesystem::exists(dir_.Path("new")));
}

// A rollback leaves the directories that were there with the times they
// had: the template directory itself and every level whose entries the job
// added, replaced or made subdirectories in.
TEST_F(InstallEngineTest, RollbackPutsDirectoryTimesBack) {
  std::filesystem::remove_all(target_);
  MakeFile(target_ + "/a/b/old.cfg", "old", kBaseSeconds - 10);
  MakeFile(target_ + "/untouched/x.cfg", "x", kBaseSeconds);
  const std::vector<std::string> directories = {"", "/a", "/a/b", "/untouched"};
  for (const std::string& dir : directories) {
    ASSERT_TRUE(SetTime(target_ + dir, kBaseSeconds - 1000));
  }
  OpenKit({{"top.cfg", "t"},
           {"a/new.cfg", "n"},
           {"a/b/old.cfg", "replaced"},
           {"a/c/d.cfg", "in a new level"},
           {"z.cfg", "fails"}});
  FaultInjectingSystem system;
  system.FailPath("z.cfg", ENOSPC, Ops(SysOp::kOpen));
  EXPECT_EQ(kErrorInvalidParameter, InstallThrough(system));
  for (const std::string& dir : directories) {
    struct stat status;
    ASSERT_EQ(0, stat((target_ + dir).c_str(), &status)) << dir;
    EXPECT_EQ(kBaseSeconds - 1000, status.st_mtim.tv_sec) << dir;
    EXPECT_EQ(0, status.st_mtim.tv_nsec) << dir;
  }
  EXPECT_EQ("old", ReadFile(target_ + "/a/b/old.cfg"));
  EXPECT_FALSE(std::filesystem::exists(target_ + "/a/c"));
}

// A kit whose names cannot all be installed, each to a file of its own, is
// refused before anything is written: not the template directory, not the
// backup, not a file.
TEST_F(InstallEngineTest, NamesThatCannotBeInstalledStopTheJobFirst) {
  const std::string long_name(256, 'n');
  std::string long_path;
  while (long_path.size() < 4096) long_path += std::string(200, 'p') + "/";
  long_path += "f";
  const struct {
    const char* what;
    std::vector<KitFile> files;
    Status::Kind reason;
    std::string named;  // below the target
  } cases[] = {
      {"the same name twice",
       {{"a.cfg", "first"}, {"z.cfg", "z"}, {"a.cfg", "second"}},
       Status::Kind::kNameTwice, "a.cfg"},
      {"one file spelled two ways",
       {{"d/a.cfg", "first"}, {"d//a.cfg", "second"}},
       Status::Kind::kNameTwice, "d/a.cfg"},
      {"a dot component", {{"a.cfg", "a"}, {"d/./b.cfg", "x"}},
       Status::Kind::kNameInvalid, "d/./b.cfg"},
      {"a trailing separator", {{"a.cfg", "a"}, {"dir/", "x"}},
       Status::Kind::kNameInvalid, "dir/"},
      {"a component too long", {{"a.cfg", "a"}, {long_name, "x"}},
       Status::Kind::kNameInvalid, long_name},
      {"a path too long", {{"a.cfg", "a"}, {long_path, "x"}},
       Status::Kind::kNameInvalid, long_path},
      {"only separators", {{"a.cfg", "a"}, {"//", "x"}},
       Status::Kind::kNameInvalid, "//"},
      {"a file that another entry needs as a directory",
       {{"d/a.cfg", "a"}, {"d/a.cfg/b.cfg", "x"}},
       Status::Kind::kNameTwice, "d/a.cfg"},
      {"a control character", {{"a.cfg", "a"}, {"d/b\n.cfg", "x"}},
       Status::Kind::kNameInvalid, "d/b\n.cfg"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::filesystem::remove_all(target_);
    OpenKit(c.files);
    EXPECT_EQ(kErrorInvalidParameter, Install());
    EXPECT_EQ(c.reason, result_.failure.kind());
    EXPECT_EQ(target_ + "/" + c.named, result_.failure.path());
    EXPECT_FALSE(std::filesystem::exists(target_));
    EXPECT_EQ(JobState::kFailed, final_.state);
    // Not one entry was started.
    EXPECT_EQ(1u, posts_.size());
  }
}

TEST_F(InstallEngineTest, EmptyTargetIsRefused) {
  OpenKit({{"a", "a"}});
  EXPECT_EQ(kErrorPathNotFound, Install(""));
  ASSERT_EQ(1u, posts_.size());
  EXPECT_EQ(JobState::kFailed, final_.state);
  EXPECT_EQ(0, final_.progress);
}

// The backup directory lies on the template directory's file system (here
// the state directory's), so that a user's file goes there by a rename.
TEST_F(InstallEngineTest, BackupDirectoryTakesTheFirstFreeNumber) {
  const std::string backups = StateBackups(dir_.Path("home"));
  std::filesystem::create_directories(backups);
  ASSERT_EQ(0, chmod(backups.c_str(), 0700));
  ASSERT_EQ(0, mkdir((backups + "/ktstp0").c_str(), 0700));
  ASSERT_TRUE(WriteFile(backups + "/ktstp1", "a file takes the name too"));
  InstallTransaction transaction(RealSystem());
  ASSERT_EQ(kSuccess, transaction.Begin(target_ + "/").code());
  struct stat status;
  ASSERT_EQ(0, stat((backups + "/ktstp2").c_str(), &status));
  EXPECT_TRUE(S_ISDIR(status.st_mode));
  EXPECT_EQ(0700u, status.st_mode & 0777);
  ASSERT_TRUE(transaction.Commit().ok());
  EXPECT_NE(0, stat((backups + "/ktstp2").c_str(), &status));
  rmdir((backups + "/ktstp0").c_str());
  unlink((backups + "/ktstp1").c_str());
}

// The first `keep` bytes of `container` deflated, then a block of the
// reserved type, which no inflater accepts.
std::string DeflateThenBreak(const std::string& container, size_t keep) {
  z_stream stream{};
  EXPECT_EQ(Z_OK,
            deflateInit2(&stream, 6, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY));
  std::string out(deflateBound(&stream, keep) + 16, '\0');
  stream.next_in =
      reinterpret_cast<Bytef*>(const_cast<char*>(container.data()));
  stream.avail_in = static_cast<uInt>(keep);
  stream.next_out = reinterpret_cast<Bytef*>(out.data());
  stream.avail_out = static_cast<uInt>(out.size());
  EXPECT_EQ(Z_OK, deflate(&stream, Z_FULL_FLUSH));
  out.resize(out.size() - stream.avail_out);
  deflateEnd(&stream);
  return out + "\x07";  // last block, type 3
}

TEST_F(InstallEngineTest, StreamDamagedLateRollsBack) {
  const std::string data = RandomBytes(2 << 20, 7);
  const std::vector<KitFile> files = {
      {"a.cfg", "a"}, {"big.bin", data}, {"z.cfg", "z"}};
  const std::string container = BuildContainer(SpecOf(files));
  const std::string good = DeflateRaw(container);
  const struct {
    const char* what;
    std::string kit;
  } cases[] = {
      {"stream cut short", good.substr(0, good.size() / 2)},
      {"stream corrupted", DeflateThenBreak(container, container.size() / 2)},
      {"stream corrupted after the last entry",
       DeflateThenBreak(container, container.size())},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::filesystem::remove_all(target_);
    MakeFile(target_ + "/a.cfg", "old", kBaseSeconds - 10);
    const Tree before = Snapshot(target_);
    ASSERT_TRUE(WriteFile(dir_.Path("kit.efd"), c.kit));
    ASSERT_EQ(kSuccess,
              reader_.OpenStreaming(WidePath(dir_.Path("kit.efd"))).code());
    EXPECT_EQ(kErrorInvalidData, Install());
    EXPECT_EQ("", Difference(before, Snapshot(target_)));
    EXPECT_EQ(JobState::kFailed, final_.state);
  }
}

// Each batch's records reach the disk before any of its steps, and are
// flushed while the batch before is installed: a batch whose flush fails
// never begins, and the one before it is undone.
TEST_F(InstallEngineTest, ABatchWhoseRecordsCannotBeFlushedNeverBegins) {
  std::vector<KitFile> files;
  for (int i = 0; i < 1100; ++i) {
    files.push_back({"f/" + std::to_string(10000 + i), "new"});
  }
  // In the second batch, and older than the kit's: to be replaced.
  MakeFile(target_ + "/f/11050", "mine", kBaseSeconds - 100, 0600);
  const Tree original = Snapshot(target_);
  OpenKit(files);
  FaultInjectingSystem system;
  // The first batch's records are flushed alone; the second's with the
  // file system, while the first is installed.
  system.FailNth(1, EIO, Ops(SysOp::kSyncfs));
  EXPECT_NE(kSuccess, InstallThrough(system));
  EXPECT_EQ(1u, system.InjectedCount());
  EXPECT_EQ(EIO, result_.failure.error());
  EXPECT_EQ("", Difference(original, Snapshot(target_)));
  size_t first_batch_made = 0;
  for (const SysCall& call : system.Log()) {
    if (call.op == SysOp::kRename) {
      EXPECT_EQ(std::string::npos, call.path.find("f/11050")) << call.path;
    }
    first_batch_made += call.path.find("f/11023") != std::string::npos &&
                        call.op == SysOp::kOpen;
  }
  EXPECT_LT(0u, first_batch_made) << "the first batch was never installed";
}

// A small nested installation, failed at every system call in turn: each
// run either succeeds completely or leaves the template directory exactly
// as it was, with no backup directory left behind.
class InstallFaultTest : public InstallEngineTest {
 protected:
  void SetUp() override {
    InstallEngineTest::SetUp();
    // Names the shell would have taken apart.
    target_ = dir_.Path("tmpl \"q\" 'a' $HOME `id` \\ new\nline");
  }

  void MakeOriginal() {
    std::filesystem::remove_all(target_);
    MakeFile(target_ + "/old.cfg", "old", kBaseSeconds - 100, 0640);
    MakeFile(target_ + "/keep.cfg", "keep", kBaseSeconds + 100, 0644);
    MakeFile(target_ + "/sub/deep/older.txt", "older", kBaseSeconds - 1, 0600);
    MakeFile(target_ + "/sub/user-only.txt", "mine", kBaseSeconds, 0600);
  }
  void Reopen() {
    const std::string kit = dir_.Path("kit.efd");
    ASSERT_EQ(kSuccess, reader_.Open(WidePath(kit)).code());
  }
  std::vector<KitFile> Files() const {
    return {{"new.cfg", "new"},
            {"old.cfg", "replaces old"},
            {"keep.cfg", "not copied"},
            {"sub/deep/older.txt", "replaces older"},
            {"sub/fresh/a/b/c.txt", "c"},
            {"sub/fresh/a/d.txt", "d"},
            {"z/last.bin", RandomBytes(100000, 3)}};
  }
};

TEST_F(InstallFaultTest, EveryFailingCallLeavesTheDirectoryAsItWas) {
  ASSERT_TRUE(WriteKitFile(dir_.Path("kit.efd"), Files()));
  MakeOriginal();
  const Tree original = Snapshot(target_);
  Reopen();
  uint64_t calls;
  {
    FaultInjectingSystem counting;
    ASSERT_EQ(kSuccess, InstallThrough(counting));
    calls = counting.CallCount();
  }
  const Tree installed = Snapshot(target_);
  EXPECT_EQ("replaces older", installed.at("sub/deep/older.txt").content);
  EXPECT_EQ("keep", installed.at("keep.cfg").content);
  EXPECT_EQ("mine", installed.at("sub/user-only.txt").content);
  ASSERT_GT(calls, 30u);

  const struct {
    int error;
    SysOpSet ops;
  } faults[] = {
      {ENOSPC, kAllSysOps},
      {EACCES, kAllSysOps},
      {EIO, kAllSysOps},
      // The same file system refuses a rename: the copy takes over.
      {EXDEV, Ops(SysOp::kRename)},
  };
  for (const auto& fault : faults) {
    int failed_runs = 0;
    for (uint64_t n = 1; n <= calls; ++n) {
      SCOPED_TRACE(std::string(strerror(fault.error)) + ", call " +
                   std::to_string(n));
      MakeOriginal();
      Reopen();
      FaultInjectingSystem system;
      system.FailNth(n, fault.error, fault.ops);
      const ErrorCode code = InstallThrough(system);
      if (system.InjectedCount() == 0) break;  // past the last call
      SysOp failed_op = SysOp::kOpen;
      for (const SysCall& call : system.Log()) {
        if (call.failed) failed_op = call.op;
      }
      SCOPED_TRACE(SysOpName(failed_op));
      const Tree after = Snapshot(target_);
      if (code != kSuccess) {
        ++failed_runs;
        EXPECT_EQ("", Difference(original, after));
        EXPECT_EQ(JobState::kFailed, final_.state);
      } else if (failed_op == SysOp::kFutimens) {
        // A time that cannot be set only makes a later run copy again.
        const std::string difference = Difference(installed, after);
        EXPECT_EQ(0u, difference.find("changed: ")) << difference;
        EXPECT_EQ(1, std::count(difference.begin(), difference.end(), '\n'))
            << difference;
      } else {
        EXPECT_EQ("", Difference(installed, after));
      }
      EXPECT_EQ(std::vector<std::string>{}, BackupDirectories(temp_));
      EXPECT_EQ(std::vector<std::string>{}, NamesIn(PointerDirectory()));
    }
    // Failures while the backup is deleted after the commit are tolerated
    // (the deletion goes on, then tries again); before it, none is.
    if (fault.error == EXDEV) {
      EXPECT_EQ(0, failed_runs);
    } else {
      EXPECT_GT(failed_runs, static_cast<int>(calls / 3));
    }
  }
}

// The temporary directory on a file system of its own: backups and their
// way back are copies, which must keep bytes, mode and time.
TEST_F(InstallFaultTest, BackupsCrossFileSystems) {
  const std::string mount_point = dir_.Path("other-fs");
  ASSERT_EQ(0, mkdir(mount_point.c_str(), 0700));
  if (mount("tmpfs", mount_point.c_str(), "tmpfs", 0, "size=8m,mode=0700") !=
      0) {
    GTEST_SKIP() << "cannot mount a tmpfs for the temporary directory ("
                 << strerror(errno) << "); needs root in a mount namespace";
  }
  ScopedTmpdir tmpdir(mount_point);
  ASSERT_TRUE(WriteKitFile(dir_.Path("kit.efd"), Files()));
  for (const bool fail : {true, false}) {
    SCOPED_TRACE(fail ? "rolled back" : "committed");
    MakeOriginal();
    const Tree original = Snapshot(target_);
    Reopen();
    FaultInjectingSystem system;
    if (fail) system.FailPath("last.bin", ENOSPC, Ops(SysOp::kOpen));
    const ErrorCode code = InstallThrough(system);
    if (fail) {
      EXPECT_EQ(kErrorInvalidParameter, code);
      EXPECT_EQ("", Difference(original, Snapshot(target_)));
    } else {
      EXPECT_EQ(kSuccess, code);
      EXPECT_EQ("replaces old", ReadFile(target_ + "/old.cfg"));
    }
    EXPECT_EQ(std::vector<std::string>{}, BackupDirectories(mount_point));
  }
  EXPECT_EQ(0, umount2(mount_point.c_str(), MNT_DETACH));
}

// The engine's own look at a destination decides: whole seconds on disk
// against the entry's time.
TEST_F(InstallEngineTest, ComparesWholeSecondTimes) {
  const FileTime on_disk = FileTimeFromUnixSeconds(kBaseSeconds);
  const struct {
    const char* what;
    FileTime entry_time;
    bool copied;
  } cases[] = {
      {"equal time", on_disk, false},
      {"entry one second newer", on_disk + kSecond, true},
      {"entry one second older", on_disk - kSecond, false},
      // The disk keeps no fraction, so such an entry always looks newer.
      {"entry with a sub-second part", on_disk + kSecond / 2, true},
      {"entry just below the disk time", on_disk - 1, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::filesystem::remove_all(target_);
    MakeFile(target_ + "/template.cfg", "old", kBaseSeconds);
    KitSpec spec = SpecOf({{"template.cfg", "new"}});
    spec.files[0].last_write = c.entry_time;
    ASSERT_TRUE(
        WriteFile(dir_.Path("kit.efd"), DeflateRaw(BuildContainer(spec))));
    ASSERT_EQ(kSuccess, reader_.Open(WidePath(dir_.Path("kit.efd"))).code());
    ASSERT_EQ(kSuccess, Install());
    EXPECT_EQ(c.copied ? 1u : 0u, result_.copied);
    EXPECT_EQ(c.copied ? "new" : "old", ReadFile(target_ + "/template.cfg"));
  }
  // A missing file is copied, whatever its entry's time.
  std::filesystem::remove_all(target_);
  OpenKit({{"no/dir/absent", "x"}});
  ASSERT_EQ(kSuccess, Install());
  EXPECT_EQ(1u, result_.copied);
}

}  // namespace
