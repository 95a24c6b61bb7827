// The install engine: one installation job on the worker thread. It walks
// the kit's file table, copies every entry that is missing or older at its
// destination out of the kit's container, and does so inside a transaction
// that backs up what it overwrites, so that a failed or cancelled job can be
// rolled back.
//
// Threads: the engine lives on the worker thread only. NeedsCopy keeps no
// state and may be called from any thread.
#ifndef ENGINE_INSTALL_ENGINE_H_
#define ENGINE_INSTALL_ENGINE_H_

#include "platform/file_io.h"
#include "text/wide_string.h"

class InstallEngine {
 public:
  // True when an entry whose recorded time is `last_write` must be copied to
  // `destination`: the destination cannot be opened for reading (missing,
  // most often) or its time cannot be read, or its modification time is
  // earlier than `last_write`. File systems keep whole seconds here, so an
  // entry time with a sub-second part is always found newer.
  static bool NeedsCopy(const WideString& destination, FileTime last_write);
};

#endif  // ENGINE_INSTALL_ENGINE_H_
