// Lists the entries of one directory whose names match a shell wildcard, one
// at a time (first, next), and reads a file's size by path. The install
// engine walks backup and template trees with it; the flow and the launcher
// configuration use a plain name as the pattern to test whether an entry
// exists. All system access goes through the SystemApi passed in.
//
// An enumerator is used by one thread at a time; different enumerators may
// run on different threads.
#ifndef PLATFORM_DIRECTORY_ENUMERATOR_H_
#define PLATFORM_DIRECTORY_ENUMERATOR_H_

#include <dirent.h>
#include <sys/stat.h>

#include <cstdint>

#include "platform/status.h"
#include "text/wide_string.h"

// The attribute of a directory entry that is itself a directory.
constexpr uint32_t kFileAttributeDirectory = 0x10;

class SystemApi;

class DirectoryEnumerator {
 public:
  explicit DirectoryEnumerator(SystemApi& sys) : sys_(sys) {}
  ~DirectoryEnumerator();
  DirectoryEnumerator(const DirectoryEnumerator&) = delete;
  DirectoryEnumerator& operator=(const DirectoryEnumerator&) = delete;

  // Starts listing `search_path`: the part up to its last "/" names the
  // directory, the part after it is a wildcard (fnmatch, backslash taken
  // literally) for the names. "dir/*" lists every entry, "." and ".."
  // included; "dir/name" tests for one entry; a path ending in "/" matches
  // nothing; a path without "/" is both directory and pattern. Returns true
  // when a first matching entry exists. False when the directory cannot be
  // opened, nothing matches or the pattern is malformed. An enumeration still
  // running is ended first.
  bool First(const WideString& search_path);

  // Moves to the next matching entry. False at the end (the listing is then
  // closed, and further calls stay false), on a malformed pattern, or when no
  // listing runs. Entries whose status cannot be read (a dangling link, an
  // entry removed meanwhile) are skipped rather than ending the listing.
  bool Next();

  // The current entry's name; empty when no listing runs.
  WideString Name() const;

  // kFileAttributeDirectory when the current entry is a directory (links are
  // followed), else 0; 0 when no listing runs.
  uint32_t Attributes() const;

 private:
  bool Advance();
  void Close();

  // `dir_` is open while a listing runs; the strings are the narrow forms
  // the system library takes. `entry_status_` follows links.
  SystemApi& sys_;
  DIR* dir_ = nullptr;
  NarrowString pattern_;
  NarrowString directory_;
  NarrowString search_path_;
  NarrowString entry_name_;
  struct stat entry_status_ = {};
};

// The size in bytes of the file at `path` (links followed), in full 64 bits;
// the system's reason, naming `path`, when its status cannot be read
// (*size unchanged then).
Status GetFileSize(SystemApi& sys, const WideString& path, uint64_t* size);

#endif  // PLATFORM_DIRECTORY_ENUMERATOR_H_
