#include "engine/worker_thread.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "engine/engine_test_util.h"
#include "engine/job_channel.h"
#include "kit/kit_reader.h"
#include "platform/system_api.h"
#include "l10n/string_table.h"
#include "platform/scoped_temp_dir.h"

namespace {

using namespace engine_test;

class WorkerThreadTest : public TmpdirFixture {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(TmpdirFixture::SetUp());
    kit_ = dir_.Path("kit.efd");
    std::vector<KitFile> files;
    for (int i = 0; i < 50; ++i) {
      files.push_back({"d" + std::to_string(i % 5) + "/f" + std::to_string(i),
                       std::string(1000 + i, 'x')});
    }
    ASSERT_TRUE(WriteKitFile(kit_, files));
  }
  void TearDown() override {
    EXPECT_EQ(std::vector<std::string>{}, BackupDirectories(temp_));
  }

  std::string kit_;
};

TEST_F(WorkerThreadTest, RunsOneJobPerStart) {
  KitReader reader(RealSystem());
  ASSERT_EQ(kSuccess, reader.Open(WidePath(kit_)).code());
  JobChannel channel;
  channel.Init();
  PostRecorder recorder;
  channel.SetObserver(&recorder);
  WorkerThread worker(RealSystem());
  channel.StartJob(&reader, WidePath(dir_.Path("out")));
  ASSERT_EQ(kSuccess, worker.Start(&channel).code());
  // A second start while the first thread has not been joined is refused.
  EXPECT_EQ(kErrorInvalidParameter, worker.Start(&channel).code());
  worker.Join();
  EXPECT_EQ(kSuccess, worker.result().failure.code());
  EXPECT_EQ(50u, worker.result().copied);
  const std::vector<ChannelState> posts = recorder.posts();
  ASSERT_EQ(51u, posts.size());  // one job: 50 paths and the finish
  EXPECT_EQ(JobState::kFinished, posts.back().state);
  EXPECT_EQ(JobState::kFinished, channel.Poll().state);

  // Joined, it may run the next job, which finds everything up to date.
  channel.StartJob(&reader, WidePath(dir_.Path("out")));
  ASSERT_EQ(kSuccess, worker.Start(&channel).code());
  worker.Join();
  EXPECT_EQ(kSuccess, worker.result().failure.code());
  EXPECT_EQ(0u, worker.result().copied);
  EXPECT_EQ(50u, worker.result().up_to_date);
  EXPECT_EQ(102u, recorder.posts().size());
}

TEST_F(WorkerThreadTest, ReportsAFailedJobAfterItsRollback) {
  KitReader reader(RealSystem());
  ASSERT_EQ(kSuccess, reader.Open(WidePath(kit_)).code());
  // A file where the kit needs its first directory.
  ASSERT_TRUE(WriteFile(dir_.Path("out"), "in the way"));
  JobChannel channel;
  channel.Init();
  WorkerThread worker(RealSystem());
  channel.StartJob(&reader, WidePath(dir_.Path("out")));
  ASSERT_EQ(kSuccess, worker.Start(&channel).code());
  worker.Join();
  EXPECT_EQ(kErrorAlreadyExists, worker.result().failure.code());
  EXPECT_EQ(JobState::kFailed, channel.Poll().state);
  EXPECT_EQ("in the way", ReadFile(dir_.Path("out")));
}

// The owner may go away while the job runs: the worker is joined before
// the channel and the reader, which ASan would catch otherwise. Cancelling
// first ends the job after its current entry.
TEST_F(WorkerThreadTest, OwnerGoingAwayJoinsTheWorkerFirst) {
  for (const bool cancel : {false, true}) {
    SCOPED_TRACE(cancel ? "cancelled" : "left to finish");
    const std::string out = dir_.Path(cancel ? "cancelled" : "finished");
    struct Owner {
      KitReader reader{RealSystem()};
      JobChannel channel;
      WorkerThread worker{RealSystem()};  // last: destroyed first
    };
    auto owner = std::make_unique<Owner>();
    ASSERT_EQ(kSuccess, owner->reader.OpenStreaming(WidePath(kit_)).code());
    owner->channel.Init();
    owner->channel.StartJob(&owner->reader, WidePath(out));
    ASSERT_EQ(kSuccess, owner->worker.Start(&owner->channel).code());
    if (cancel) owner->channel.RequestCancel();
    owner.reset();
    if (cancel) {
      EXPECT_FALSE(std::filesystem::exists(out));
    } else {
      EXPECT_EQ(std::string(1049, 'x'), ReadFile(out + "/d4/f49"));
    }
  }
}

}  // namespace
