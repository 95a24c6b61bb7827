#include "platform/status.h"

#include <cerrno>
#include <cstring>

namespace {

const std::string& EmptyPath() {
  static const std::string* const empty = new std::string();
  return *empty;
}

const char* KindName(Status::Kind kind) {
  switch (kind) {
    case Status::Kind::kOk:
      return "ok";
    case Status::Kind::kSystem:
      return "system";
    case Status::Kind::kDamagedKit:
      return "damaged kit";
    case Status::Kind::kChecksumMismatch:
      return "checksum mismatch";
    case Status::Kind::kChecksumUnusable:
      return "checksum file unusable";
    case Status::Kind::kCancelled:
      return "cancelled";
    case Status::Kind::kInTheWay:
      return "in the way";
    case Status::Kind::kNotAFile:
      return "not a file";
    case Status::Kind::kLinkOutside:
      return "link outside";
    case Status::Kind::kNameEncoding:
      return "name encoding";
    case Status::Kind::kNameTwice:
      return "name twice";
    case Status::Kind::kNameInvalid:
      return "name invalid";
    case Status::Kind::kNoTempFile:
      return "no temporary file";
    case Status::Kind::kInvalidArgument:
      return "invalid argument";
    case Status::Kind::kInvalidHandle:
      return "invalid handle";
    case Status::Kind::kNoTarget:
      return "no target";
    case Status::Kind::kKitNotFound:
      return "kit not found";
    case Status::Kind::kNoSpace:
      return "no space";
    case Status::Kind::kTargetNotWritable:
      return "target not writable";
    case Status::Kind::kTooLarge:
      return "too large";
    case Status::Kind::kChanged:
      return "changed while read";
    case Status::Kind::kCorrupt:
      return "corrupt";
    case Status::Kind::kUnusableHome:
      return "unusable home directory";
    case Status::Kind::kNoStateDirectory:
      return "no state directory";
    case Status::Kind::kNoCurrentDirectory:
      return "no current directory";
  }
  return "?";
}

}  // namespace

Status::Status(const Status& other)
    : rep_(other.rep_ ? std::make_unique<Rep>(*other.rep_) : nullptr) {}

Status& Status::operator=(const Status& other) {
  if (this != &other) {
    rep_ = other.rep_ ? std::make_unique<Rep>(*other.rep_) : nullptr;
  }
  return *this;
}

Status Status::System(int error, std::string path) {
  return Of(Kind::kSystem, std::move(path), error != 0 ? error : EIO);
}

Status Status::Of(Kind kind, std::string path, int error) {
  if (kind == Kind::kOk) return Status();
  return Status(std::make_unique<Rep>(Rep{kind, error, std::move(path)}));
}

const std::string& Status::path() const {
  return rep_ ? rep_->path : EmptyPath();
}

ErrorCode Status::code() const {
  switch (kind()) {
    case Kind::kOk:
      return kSuccess;
    case Kind::kSystem:
      return ErrorFromErrno(error());
    case Kind::kDamagedKit:
    case Kind::kChecksumMismatch:
    case Kind::kChecksumUnusable:
    case Kind::kCorrupt:
      return kErrorInvalidData;
    case Kind::kCancelled:
      return kErrorCancelled;
    case Kind::kInTheWay:
    case Kind::kNotAFile:
      return kErrorAlreadyExists;
    case Kind::kLinkOutside:
    case Kind::kTargetNotWritable:
      return kErrorAccessDenied;
    case Kind::kNameEncoding:
    case Kind::kNameTwice:
    case Kind::kNameInvalid:
    case Kind::kInvalidArgument:
    case Kind::kTooLarge:
    case Kind::kChanged:
      return kErrorInvalidParameter;
    case Kind::kNoTempFile:
      return kErrorTempFileNotCreated;
    case Kind::kInvalidHandle:
      return kErrorInvalidHandle;
    case Kind::kNoTarget:
    case Kind::kUnusableHome:
    case Kind::kNoStateDirectory:
    case Kind::kNoCurrentDirectory:
      return kErrorPathNotFound;
    case Kind::kKitNotFound:
      return kErrorFileNotFound;
    case Kind::kNoSpace:
      return kErrorDiskFull;
  }
  return kErrorInvalidParameter;
}

Status Status::WithPathIfNone(const std::string& path) && {
  if (rep_ && rep_->path.empty()) rep_->path = path;
  return std::move(*this);
}

std::string Status::ToString() const {
  if (ok()) return "ok";
  std::string text = KindName(kind());
  if (!path().empty()) text += " \"" + path() + "\"";
  if (error() != 0) text += std::string(": ") + std::strerror(error());
  return text;
}
