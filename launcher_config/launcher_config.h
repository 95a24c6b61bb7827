// The desktop launcher's configuration files: key=value lines in the
// locale's multibyte encoding, one value per line, a key repeated on as many
// lines as it has values. LauncherConfig holds the entries of one kind of
// configuration (the user's or the common one) for a single read or update:
// the main file, which is read and may be rewritten, and a secondary file,
// which is only read. Template locations (template_locations.h) are built on
// top of it.
//
// Reading is lossless: bytes that are not valid text in the locale's encoding
// and NUL bytes are kept as units of their own and written back as the same
// bytes, so rewriting a file leaves the lines of every other key as they
// were. A UTF-8 byte-order mark at the start of the main file is no part of
// its first key, and is written back in front of the rewritten file. Only a
// regular file is read, opened so that nothing put at its place (a FIFO, a
// device) can block the reader. A rewrite replaces the file in one step (a new file beside it renamed
// over it); the old file is untouched when anything fails.
//
// One thread at a time. Files are not locked against the launcher writing
// them at the same time. All system access goes through the SystemApi
// passed in. Failures are Statuses naming the file and the system's reason.
#ifndef LAUNCHER_CONFIG_LAUNCHER_CONFIG_H_
#define LAUNCHER_CONFIG_LAUNCHER_CONFIG_H_

#include <vector>

#include "platform/status.h"
#include "text/wide_string.h"

class SystemApi;

// One key with its values. The key keeps the spelling of its first
// occurrence; values keep the order in which they first appeared.
struct ConfigEntry {
  WideString key;
  std::vector<WideString> values;
};

// Entries in the order their keys first appeared. No two keys are equal
// ignoring case, and no two values of one entry are. An entry without values
// writes no line.
using ConfigStore = std::vector<ConfigEntry>;

class LauncherConfig {
 public:
  // `common` chooses the files: false, the user's configuration (main
  // UserConfigPath, secondary KitUserConfigPath); true, the common one (main
  // CommonConfigPath, secondary UserConfigPath).
  LauncherConfig(SystemApi& sys, bool common) : common(common), sys_(sys) {}

  // Reads the secondary file into secondary_store, then the main file into
  // main_store. Never fails: a file that cannot be read adds nothing.
  void Load();
  // After Load: false when a file that exists could not be read whole, so
  // that the stores miss some of its lines.
  bool loaded_whole() const { return load_failure().ok(); }
  // After Load: why a file that exists could not be read whole (the main
  // file's failure first), naming it: kNotAFile for anything but a regular
  // file, else the system's reason. Ok when both were read or are missing.
  Status load_failure() const;

  // Rewrites the main file with main_store (secondary_store is never
  // written). When the file does not exist its directory is made first, with
  // its parents; when the first write fails, the directory is made again and
  // the write is tried once more; the second failure is returned (see
  // WriteFile). Also fails with Load's failure of the main file, writing
  // nothing, when Load found it but could not read all of it: rewriting it
  // would lose the lines it did not see. A byte-order mark that Load found
  // is written back.
  Status Save();

  // Adds the lines of the file at `path` to `store` (AddValue for each).
  // A missing or unreadable file adds nothing.
  static void ReadFile(SystemApi& sys, const WideString& path,
                       ConfigStore& store);

  // Replaces the file at `path` with the lines of `store`, after a UTF-8
  // byte-order mark when `byte_order_mark`: for each entry and each of its
  // values, key "=" value and a line feed. The text goes to a new
  // file in the same directory, which is flushed to disk and renamed over the
  // old one. A symbolic link stays a link and the file it leads to is
  // replaced; that file keeps its permission bits and, where the process may
  // set them, its owner and group. A new file gets mode 0666 less the umask.
  // Fails when the file cannot be created or opened for writing (missing
  // directory, no permission, a read-only file; kNotAFile for anything but a
  // regular file), or when writing, flushing or renaming fails; the old file
  // is then as it was and no new file is left behind.
  static Status WriteFile(SystemApi& sys, const WideString& path,
                          const ConfigStore& store,
                          bool byte_order_mark = false);

  // The values of the first entry whose key equals `key` ignoring case, or
  // null. The pointer is valid until `store` changes.
  static const std::vector<WideString>* FindValues(const ConfigStore& store,
                                                   const WideString& key);

  // Adds `value` to the entry of `key` (compared ignoring case), or appends a
  // new entry spelled as `key`. Returns false, changing nothing, when the key
  // already has the value ignoring case.
  static bool AddValue(ConfigStore& store, const WideString& key,
                       const WideString& value);

  // The values of `key` become exactly `values`. An existing entry keeps its
  // place and spelling; with an empty `values` it is removed and an entry
  // without values is appended instead (it writes nothing). A missing key is
  // appended with `values`.
  static void SetValues(ConfigStore& store, const WideString& key,
                        const std::vector<WideString>& values);

  // Appends to `out` the values of `key` from main_store, then those from
  // secondary_store, each value once ignoring case (values already in `out`
  // before the call are not compared).
  void CollectValues(const WideString& key, std::vector<WideString>& out) const;

  ConfigStore main_store;
  ConfigStore secondary_store;
  const bool common;

 private:
  SystemApi& sys_;
  // Why Load could not read a file that exists whole; ok otherwise.
  Status main_failure_;
  Status secondary_failure_;
  // The main file began with a byte-order mark.
  bool main_bom_ = false;
};

#endif  // LAUNCHER_CONFIG_LAUNCHER_CONFIG_H_
