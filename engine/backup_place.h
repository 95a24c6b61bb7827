// Where an installation keeps its backup directory: on the template
// directory's own file system, so that moving a user's file into the backup
// is one rename (never a copy that a power loss can cut short) and the
// backup is as lasting as the file it saves — never on a tmpfs that a power
// loss empties. First choice: the "backups" folder of the state directory
// (engine/state_directory.h) when it shares the template directory's file
// system; else a private hidden folder of ours beside the template
// directory; else, where neither can be, the temporary directory as before.
// Recovery finds the backup directories through the journal pointers, and
// scans the state directory's folder and the temporary directory too.
//
// All file work goes through the SystemApi passed in. Any thread.
#ifndef ENGINE_BACKUP_PLACE_H_
#define ENGINE_BACKUP_PLACE_H_

#include <string>

class SystemApi;

// The state directory's folder of backup directories.
inline constexpr char kBackupsFolder[] = "backups";
// The folder beside a template directory on another file system.
inline constexpr char kBesideFolder[] = ".tqsetup-backups";

// The directory (absolute, ending in "/") to make the backup directory in,
// for the template directory `target` (absolute, perhaps not made yet);
// made when missing. Empty when even the temporary directory cannot be
// made (*error then holds the reason).
std::string BackupBase(SystemApi& sys, const std::string& target,
                       int* error);

// The nearest level of `path` (itself or a parent) that exists.
std::string NearestExisting(SystemApi& sys, const std::string& path);
// Flushes each directory from `path` up to `existed` (NearestExisting
// before `path` was made), so that the names of the levels made in between
// last: a power loss must not take a journal's folder with it.
void SyncMadeLevels(SystemApi& sys, const std::string& path,
                    const std::string& existed);

// Removes the folder that held the backup directory `backup` when it is
// one of ours above and is left empty.
void RemoveEmptyBackupBase(SystemApi& sys, const std::string& backup);

#endif  // ENGINE_BACKUP_PLACE_H_
