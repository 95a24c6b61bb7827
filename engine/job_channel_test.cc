#include "engine/job_channel.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "engine/engine_test_util.h"
#include "kit/kit_reader.h"
#include "platform/system_api.h"

namespace {

using engine_test::Narrow;
using engine_test::PostRecorder;

TEST(JobChannelTest, StartJobEndsTheDirectoryWithOneSeparator) {
  const struct {
    const char16_t* given;
    const char* handed_over;
  } cases[] = {
      {u"", ""},
      {u"/data/tmplts", "/data/tmplts/"},
      {u"/data/tmplts/", "/data/tmplts/"},
      {u"C:\\data\\", "C:\\data\\"},
      {u"rel", "rel/"},
  };
  KitReader reader(RealSystem());
  for (const auto& c : cases) {
    JobChannel channel;
    channel.Init();
    channel.StartJob(&reader, c.given);
    WideString target;
    EXPECT_EQ(&reader, channel.TakeJob(&target));
    EXPECT_EQ(c.handed_over, Narrow(target));
  }
}

TEST(JobChannelTest, PostsDecideHowTheJobStands) {
  const struct {
    const char* what;
    bool started;
    ErrorCode code;
    int32_t progress;
    JobState state;
  } cases[] = {
      {"before any job", false, kSuccess, 0, JobState::kIdle},
      {"a path", true, kSuccess, 42, JobState::kRunning},
      {"the finish", true, kSuccess, 100, JobState::kFinished},
      {"an error, late", true, kErrorFileNotFound, 99, JobState::kFailed},
      {"an error at once", true, kErrorInvalidParameter, 0, JobState::kFailed},
      {"a cancellation", true, kErrorCancelled, 33, JobState::kCancelled},
      // A finish posted outside a job does not make one.
      {"100 before any job", false, kSuccess, 100, JobState::kIdle},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    JobChannel channel;
    channel.Init();
    if (c.started) channel.StartJob(nullptr, u"/t");
    channel.Post(c.code, u"text", c.progress);
    const ChannelState state = channel.Poll();
    EXPECT_EQ(c.state, state.state);
    EXPECT_EQ(c.code, state.code);
    EXPECT_EQ(c.progress, state.progress);
    EXPECT_EQ("text", Narrow(state.text));
  }
}

TEST(JobChannelTest, StartJobClearsWhatTheLastJobLeft) {
  JobChannel channel;
  channel.Init();
  channel.Post(kSuccess, u"preparing", 0);
  channel.StartJob(nullptr, u"/t");
  channel.RequestCancel();
  channel.Post(kErrorCancelled, u"", 10);
  EXPECT_TRUE(channel.IsCancelled());
  channel.StartJob(nullptr, u"/u");
  EXPECT_FALSE(channel.IsCancelled());
  const ChannelState state = channel.Poll();
  EXPECT_EQ(JobState::kRunning, state.state);
  EXPECT_EQ(kSuccess, state.code);
  EXPECT_EQ(0, state.progress);
  EXPECT_EQ("", Narrow(state.text));  // the text stays as posted
  channel.Init();
  EXPECT_EQ(JobState::kIdle, channel.Poll().state);
}

// The observer runs without the channel's lock: it may poll and cancel.
TEST(JobChannelTest, ObserverSeesEveryPostAndMayUseTheChannel) {
  JobChannel channel;
  channel.Init();
  PostRecorder recorder;
  std::vector<std::string> polled;
  recorder.on_post = [&](const ChannelState&) {
    polled.push_back(Narrow(channel.Poll().text));
    channel.RequestCancel();
  };
  channel.SetObserver(&recorder);
  channel.StartJob(nullptr, u"/t");
  channel.Post(kSuccess, u"/t/a", 0);
  channel.Post(kSuccess, u"/t/b", 50);
  EXPECT_TRUE(channel.IsCancelled());
  channel.SetObserver(nullptr);
  channel.Post(kSuccess, u"unseen", 100);
  ASSERT_EQ(2u, recorder.posts().size());
  EXPECT_EQ("/t/b", Narrow(recorder.posts()[1].text));
  EXPECT_EQ((std::vector<std::string>{"/t/a", "/t/b"}), polled);
}

// A worker that posts while the GUI polls and cancels: every poll sees a
// state that some post made whole (text and progress together).
TEST(JobChannelTest, PollsSeeWholePostsWhileAWorkerPosts) {
  JobChannel channel;
  channel.Init();
  channel.StartJob(nullptr, u"/t");
  constexpr int kPosts = 20000;
  std::thread worker([&] {
    for (int i = 1; i <= kPosts; ++i) {
      const std::string text = "/t/a long enough path " + std::to_string(i);
      channel.Post(kSuccess, WidePath(text), i % 100);
      channel.IsCancelled();
    }
  });
  int torn = 0;
  for (int i = 0; i < 2000; ++i) {
    if (i == 1000) channel.RequestCancel();
    const ChannelState state = channel.Poll();
    const std::string text = Narrow(state.text);
    if (text.empty()) continue;
    const int number = std::stoi(text.substr(text.rfind(' ') + 1));
    if (number % 100 != state.progress) ++torn;
  }
  worker.join();
  EXPECT_EQ(0, torn);
  EXPECT_TRUE(channel.IsCancelled());
}

}  // namespace

namespace {

// While the user is asked whether to cancel, the job stands still between
// two entries and before its commit; the answer decides, and a job that
// has begun to commit can no longer be held.
TEST(JobChannelPauseTest, APausedJobWaitsForTheAnswer) {
  KitReader reader(RealSystem());
  for (const bool cancel : {false, true}) {
    SCOPED_TRACE(cancel ? "cancelled" : "resumed");
    JobChannel channel;
    channel.Init();
    channel.StartJob(&reader, u"/t");
    ASSERT_TRUE(channel.TryPause());
    std::atomic<int> stage{0};
    std::atomic<bool> committed{false};
    std::thread worker([&] {
      stage = 1;
      channel.WaitWhilePaused();  // between two entries
      stage = 2;
      committed = channel.BeginCommit();
      stage = 3;
    });
    // Held, or gone past the pause: whichever comes first tells.
    while (!channel.Poll().held && stage.load() < 2) std::this_thread::yield();
    EXPECT_EQ(1, stage.load());
    if (cancel) {
      channel.RequestCancel();
    } else {
      channel.Resume();
    }
    worker.join();
    EXPECT_EQ(3, stage.load());
    EXPECT_EQ(!cancel, committed.load());
    // Once committing, the job cannot be held back any more.
    EXPECT_EQ(cancel, channel.TryPause());
  }
  // Paused again right before the commit: the commit waits.
  JobChannel channel;
  channel.Init();
  channel.StartJob(&reader, u"/t");
  ASSERT_TRUE(channel.TryPause());
  std::atomic<bool> done{false};
  std::thread worker([&] {
    EXPECT_TRUE(channel.BeginCommit());
    done = true;
  });
  while (!channel.Poll().held && !done.load()) std::this_thread::yield();
  EXPECT_FALSE(done.load());
  channel.Resume();
  worker.join();
  EXPECT_TRUE(done.load());
  // An ended job cannot be paused either.
  JobChannel ended;
  ended.Init();
  ended.StartJob(&reader, u"/t");
  ended.Post(kSuccess, WideString(), 100);
  EXPECT_FALSE(ended.TryPause());
}

}  // namespace
