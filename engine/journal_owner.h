// Who owns an install journal: "<pid> <start time> <boot id>" of the
// process that made it (the start time is field 22 of /proc/<pid>/stat, the
// boot id /proc/sys/kernel/random/boot_id), so that a recovery can tell a
// running owner from one that is gone, even after the pid was reused or the
// machine restarted. Any thread; /proc is read through the SystemApi.
#ifndef ENGINE_JOURNAL_OWNER_H_
#define ENGINE_JOURNAL_OWNER_H_

#include <string>

class SystemApi;

// This process, as a journal records it.
std::string CurrentOwner(SystemApi& sys);

// True when the process `owner` (as CurrentOwner gives it) no longer runs:
// no such process, or one that started at another time or in another boot.
// An owner text that does not parse counts as gone.
bool OwnerIsGone(SystemApi& sys, const std::string& owner);

#endif  // ENGINE_JOURNAL_OWNER_H_
