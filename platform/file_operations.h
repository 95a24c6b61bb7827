// Whole-file and whole-tree operations on paths (make a directory with its
// parents, move, remove a tree, remove a file, make an empty temporary file),
// plus the temporary directory and its free space. The kit reader, the
// install transaction, the launcher configuration writer and the flow's
// pre-checks use them.
//
// Everything is done with direct system calls through the SystemApi seam; no
// shell and no other program is ever started, so a path is taken literally
// whatever characters it holds (quotes, "$", backquotes, backslashes, line
// breaks). The results keep the codes callers have always relied on: 0 done;
// 2 (kErrorFileNotFound) for any failure of a make-directory or move, whatever
// the reason (missing source, no permission, no space), read by callers as
// "it did not happen"; 1013 no temporary file. Paths are converted to the
// locale's multibyte form. Any thread may call these; nothing here is locked,
// so two threads must not work on the same tree at once.
#ifndef PLATFORM_FILE_OPERATIONS_H_
#define PLATFORM_FILE_OPERATIONS_H_

#include <cstdint>
#include <string>

#include "platform/error_code.h"
#include "text/wide_string.h"

// The temporary directory, always ending in "/": $TMPDIR when it names an
// existing directory, else "/tmp/". Returns 0; 87 only when `directory` is
// null.
ErrorCode GetTempDirectory(WideString* directory);

// Free bytes (blocks free to the superuser included) of the file system
// that holds the temporary directory. Returns 87 when `free_bytes` is null;
// otherwise 0, with *free_bytes 0 when the file system cannot be asked (and
// then the errno in *system_error, when given; 0 there otherwise).
ErrorCode GetFreeSpace(uint64_t* free_bytes, int* system_error = nullptr);

// Creates a new empty file, mode 0600, in `directory` (the temporary
// directory when empty) whose name is `prefix` followed by six unpredictable
// characters, never reusing an existing name. Returns 0 with the file's path
// in *path; 1013 when no file could be made (missing or unwritable directory,
// a "/" in the prefix), with *path empty so that a caller never removes a file
// it did not make; 87 when `path` is null.
ErrorCode MakeTempFile(const WideString& directory, const WideString& prefix,
                       WideString* path);

// `path` itself when it is a directory (or a link to one), else the nearest
// directory above it that exists ("." for a relative path with none);
// trailing slashes are dropped. Empty, with errno set, when a level that
// exists is no directory (ENOTDIR) or cannot be looked at.
std::string NearestExistingDirectory(std::string path);

// Makes `path` a directory, creating missing parents too. An existing
// directory (or a link to one) is success. Returns 0, or 2 when any level
// cannot be made or a non-directory is in the way; levels already made stay.
ErrorCode RunMakeDirectory(const WideString& path);

// Moves `source` to `target` like mv: into `target` when that is an existing
// directory, replacing an existing file. Across file systems the source is
// copied (a tree recursively, keeping modes, times and, where permitted,
// owners; links are recreated as links, never followed) and then removed; a
// failed copy is removed again and leaves the source alone. Returns 0, or 2
// for any failure: missing source, refused rename, failed copy, or a source
// that could not be removed after its copy was made (the copy then stays).
// Across file systems an existing directory named `target`/name is not
// merged into (2). Special files (devices, pipes, sockets) only move within
// one file system.
ErrorCode RunMove(const WideString& source, const WideString& target);

// Moves the file or link `from_relative` beneath `from` to `to_relative`
// beneath `to` (platform/beneath_dir.h), replacing a file there, like
// RunMove but with both names resolved beneath their directories. Across
// file systems a regular file is copied (bytes, mode, times and, where
// permitted, owner) and a link is made anew, under a fresh name beside the
// target that is then renamed over it, and the source is removed after; a
// failed copy leaves both sides as they were. Directories and special files
// are not moved across file systems. Returns 0, or 2 with errno set (EXDEV
// with the directory's outside_link() set when a name leads outside).
class BeneathDir;
ErrorCode MoveBeneath(BeneathDir& from, const std::string& from_relative,
                      BeneathDir& to, const std::string& to_relative);

// Removes `path` and, when it is a directory, everything below it, going on
// past entries that cannot be removed. Symbolic links are removed themselves
// and never followed, also when `path` ends in "/". Refuses "/", "." and
// ".." as the last component and the empty path. Always returns 0.
ErrorCode RunRemoveTree(const WideString& path);

// Removes the file (or link) `path`; a directory or a missing file is left
// alone. A removal that fails is tried once more. Always returns 0.
ErrorCode RunRemoveFile(const WideString& path);

#endif  // PLATFORM_FILE_OPERATIONS_H_
