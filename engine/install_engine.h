// The install engine: one installation job on the worker thread. It checks
// every name of the kit's file table first (kit/kit_names_check.h, the
// check kittool verify reports), then walks the table, copying every entry
// that is missing or older at its destination out of the kit inside one
// install transaction (engine/install_transaction.h), which backs up what it
// replaces and is committed at the end or rolled back.
//
// Never overwritten: a file that cannot be backed up (the job fails
// instead), and anything at a destination that is not a regular file or a
// link to one (a directory, a socket, a device, a link to a directory):
// that is an installation error too, and such an entry is never moved.
//
// The job posts where it stands into its channel (engine/job_channel.h):
// each destination with (i * 100) / N before it is installed, that it waits
// for another installation, and how it ended; it makes no text for the
// user. The engine starts no process; all file work goes through the
// SystemApi passed in. It lives on the worker thread, for one job.
#ifndef ENGINE_INSTALL_ENGINE_H_
#define ENGINE_INSTALL_ENGINE_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/recovery.h"
#include "kit/kit_format.h"
#include "platform/status.h"
#include "text/wide_string.h"

class InstallTransaction;
class JobChannel;
class KitReader;
class SystemApi;
struct KitEntry;

// What a finished job did and, after a failure, why.
struct JobResult {
  uint32_t copied = 0;      // entries written
  uint32_t up_to_date = 0;  // entries left alone: present and not older
  // Why the job failed: the kind, the errno and the path concerned (the
  // destination as the user gave the directory, a link, the kit's
  // container...); kCancelled when it was cancelled; ok after a commit.
  Status failure;
  // Set when a rollback could not undo everything: the backup directory
  // set aside with what it still holds (its path, ending in "/"), so that
  // nothing of the user's is lost (engine/backup_dir.h).
  std::string kept_backup;
  // Interrupted installations into the same directory that the job
  // settled before it began (engine/recovery.h).
  std::vector<RecoveryEvent> settled;
};

class InstallEngine {
 public:
  explicit InstallEngine(SystemApi& sys);
  ~InstallEngine();
  InstallEngine(const InstallEngine&) = delete;
  InstallEngine& operator=(const InstallEngine&) = delete;

  // The job: takes reader and directory from `channel`, checks the names,
  // installs every entry in table order, and ends with a commit (posting
  // code 0 at 100) or a rollback (posting the failure, after which the
  // rollback runs). Checks for a cancel request after every entry, copied
  // or not, and while it waits for another installation; a cancelled job
  // rolls back first and then posts kCancelled. A question about
  // cancelling that is open holds the job between two entries and before
  // its commit. No reader: kInvalidArgument; an empty directory:
  // kNoTarget, reported like any failure. Returns result().failure.
  Status Run(JobChannel* channel);

  // A dry run of the job into `target` on the caller's thread: the same
  // name check and the same look at every destination, without making,
  // locking or recording anything, then the rest of the kit inflated and
  // checked against its checksum file. `to_copy` hears the destination
  // (locale-encoded, below the directory as given, as failures name it)
  // of each entry a job would copy, in table order. result() counts them as
  // copied and up to date; the failure is what the job would have met
  // before it wrote anything.
  Status Preview(KitReader* reader, const WideString& target,
                 const std::function<void(const std::string& path)>& to_copy);

  const JobResult& result() const { return result_; }

 private:
  // Checks every name of the table before anything is written, naming
  // entries below `shown_target`.
  Status CheckNames(KitReader* reader, const std::string& shown_target);
  // One entry of the table, as planned: what is to be done, or why the
  // job stops there.
  struct Step {
    uint32_t index = 0;
    KitEntry entry{};
    std::string relative;  // the locale-encoded path below the directory
    WideString name;       // as posted, with "/"
    enum Action { kCopy, kReplace, kUpToDate } action = kCopy;
    Status failure;
  };
  // Reads and looks at the entries [first, end) and records the steps of
  // those to install in the journal, to be flushed once (InstallTransaction::
  // Plan); the steps end after the first that fails. A failure to record
  // is returned: nothing more may happen.
  Status PlanBatch(KitReader* reader, uint32_t first, uint32_t end,
                   const std::string& target, std::vector<Step>* steps);
  Status PlanStep(KitReader* reader, const std::string& target, Step* step);
  // Installs one planned entry.
  Status InstallEntry(KitReader* reader, const Step& step);
  // The kit's bytes of `entry` into the new file `relative`.
  Status CopyEntry(KitReader* reader, const KitEntry& entry,
                   const std::string& relative);
  // Posts `failure` (unless cancelled), rolls back, and returns it.
  Status Fail(Status failure, int32_t progress);
  // Rolls back, then posts the cancel.
  Status Cancel(int32_t progress);

  SystemApi& sys_;
  JobChannel* channel_ = nullptr;
  std::unique_ptr<InstallTransaction> transaction_;
  JobResult result_;
};

#endif  // ENGINE_INSTALL_ENGINE_H_
