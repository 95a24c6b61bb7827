// The one way a failure or a note reaches the user: the text of an IDS key
// in the current language, then what it concerns (a file or a directory)
// and why (the system's own reason for an errno, or a text of ours). The
// wizard shows the two on two lines of its box; a terminal gets them on one.
// Failures arrive as Statuses (platform/status.h); this is where their kinds
// become the user's words.
//
// Any thread (texts are looked up, strerror_r is used).
#ifndef L10N_USER_MESSAGE_H_
#define L10N_USER_MESSAGE_H_

#include <string>

#include "platform/status.h"
#include "text/wide_string.h"

struct MessageDetail {
  // The file or directory concerned, in the locale's encoding; may be empty.
  std::string path;
  // The system's reason, an errno value; 0 for none.
  int system_error = 0;
  // Our own reason, an IDS key ("IDS_REASON_..."), used instead of
  // system_error; null for none.
  const char* reason_key = nullptr;

  bool empty() const {
    return path.empty() && system_error == 0 && reason_key == nullptr;
  }
};

// `"path": reason`, or either part alone; empty when `detail` is.
WideString DetailText(const MessageDetail& detail);

// The text of `key`, and when `detail` is not empty a line break and the
// detail.
WideString UserMessage(const char* key, const MessageDetail& detail = {});

// The message for `failure`, a run of setup's pre-check or job that failed
// (see engine/install_session.h), in the current language: the key's text
// for its kind, then the file and the reason. A damaged kit is named by
// `kit_path`; a checksum file that cannot serve is named itself, with why.
// Empty for kOk and kCancelled: a cancel is no failure to tell.
WideString FailureMessage(const Status& failure, const std::string& kit_path);

// The warning that the launcher configuration file `failure` names could
// not be updated after a success (IDS_WARN_CONFIG_NOT_SAVED), with the
// file and why: "not a regular file" for kNotAFile, else the system's
// reason.
WideString ConfigNotSavedMessage(const Status& failure);

// The note that XDG_STATE_HOME cannot be used and the state directory under
// the home directory is taken instead (IDS_NOTE_STATE_FALLBACK), with the
// place at fault, shown escaped (it comes from the environment), and why.
WideString StateFallbackNote(const Status& why);

// `message` on one line: its lines joined by ": " after a line that does
// not end in a full stop, a question or exclamation mark or a colon, else by
// a space; carriage returns dropped.
WideString OneLine(const WideString& message);

#endif  // L10N_USER_MESSAGE_H_
