// How an operation of the platform, kit and engine layers ended: ok, or one
// kind of failure with the system's errno and the path concerned. The
// reason travels up as it was found, so that the edge (l10n/user_message.h,
// kittool's texts) can say what went wrong with which file, in the user's
// language; nothing below the edge makes text of it.
//
// The kinds say what failed in the installer's own terms; error() and
// path() say what the system refused and where (both may be empty). code()
// projects a status onto the Win32-style ErrorCode that stored formats,
// the job's channel and older callers speak.
//
// An ok status holds no allocation: it is a null pointer, so returning one
// from a function on the copying path costs nothing. Any thread; a Status
// is a plain value.
#ifndef PLATFORM_STATUS_H_
#define PLATFORM_STATUS_H_

#include <memory>
#include <string>

#include "platform/error_code.h"

class [[nodiscard]] Status {
 public:
  enum class Kind : unsigned char {
    kOk,
    kSystem,           // the system refused: error() says why
    kDamagedKit,       // the kit's stream, tables or entries are wrong
    kChecksumMismatch,  // the kit does not match its checksum file
    kChecksumUnusable,  // the kit's checksum file (path) cannot serve:
                        // error() is the system's reason it cannot be
                        // read, EINVAL when it is no regular file in the
                        // kit's directory (a FIFO, a device, a link that
                        // leads out of it or to nothing), 0 when its text
                        // is no checksum of the kit
    kCancelled,        // the user or a signal stopped the job
    kInTheWay,         // something that is no directory or file is in the
                       // way (error() says how: EEXIST, ENOTDIR, EISDIR)
    kNotAFile,         // path is not a regular file where one belongs
    kLinkOutside,      // path is a link that leads outside the target
    kNameEncoding,     // path (an entry's name) has no exact form in the
                       // locale's file-name encoding
    kNameTwice,        // two entries install to path
    kNameInvalid,      // path is no valid file name
    kNoTempFile,       // no temporary file could be made in path
    kInvalidArgument,  // a caller's mistake: an index out of range, ...
    kInvalidHandle,    // no open file to work on
    kNoTarget,         // no template directory to install into
    kKitNotFound,      // the kit is not at path
    kNoSpace,          // path (the temporary directory) has too little room
    kTargetNotWritable,  // path cannot be written (error() says why)
    kTooLarge,         // what is to be written (path, when it is one file or
                       // text) does not fit the kit format's 2 GiB
    kChanged,          // path changed while it was read
    kCorrupt,          // a file of ours (path: a journal) does not parse
    kUnusableHome,     // the home directory cannot hold the installer's
                       // files: path is its value (HOME's or the password
                       // database's), error() the lookup's reason when
                       // there is none (see platform/home_directory.h)
    kNoStateDirectory,  // no state directory can hold the installer's
                        // records: path is the level at fault, error()
                        // why (0 when path is a value that is no absolute
                        // path or holds control characters)
    kNoCurrentDirectory,  // the working directory cannot be asked for:
                          // path is its last known name (may be empty)
  };

  Status() = default;
  Status(const Status& other);
  Status& operator=(const Status& other);
  Status(Status&&) = default;
  Status& operator=(Status&&) = default;

  static Status Ok() { return Status(); }
  // The system refused `path` with `error` (an errno; 0 counts as EIO so
  // that a failure never reads as success).
  static Status System(int error, std::string path = std::string());
  static Status Of(Kind kind, std::string path = std::string(),
                   int error = 0);

  bool ok() const { return rep_ == nullptr; }
  Kind kind() const { return rep_ ? rep_->kind : Kind::kOk; }
  // The errno, 0 when the failure is none of the system's.
  int error() const { return rep_ ? rep_->error : 0; }
  // The file concerned, in the locale's encoding; empty when unknown.
  const std::string& path() const;
  // The Win32-style code of this status (0 for ok).
  ErrorCode code() const;
  // True for the kinds that make a kit damaged: its stream or tables, or
  // its checksum file.
  bool IsKitDamage() const {
    return kind() == Kind::kDamagedKit || kind() == Kind::kChecksumMismatch ||
           kind() == Kind::kChecksumUnusable;
  }

  // This status with `path` as its path when it has none yet: a lower layer
  // names what it knows, the caller what it asked for.
  Status WithPathIfNone(const std::string& path) &&;

  // For tests and logs: "ok", or the kind, the path and the errno's text.
  std::string ToString() const;

 private:
  struct Rep {
    Kind kind;
    int error;
    std::string path;
  };
  explicit Status(std::unique_ptr<Rep> rep) : rep_(std::move(rep)) {}

  std::unique_ptr<Rep> rep_;
};

// Returns from the calling function when `expression` is a failure.
#define TQ_RETURN_IF_ERROR(expression)            \
  do {                                            \
    Status tq_status_ = (expression);             \
    if (!tq_status_.ok()) return tq_status_;      \
  } while (false)

#endif  // PLATFORM_STATUS_H_
