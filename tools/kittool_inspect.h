// kittool list and verify: a kit read with the installer's own reader and
// reported for a vendor, and the sentences for a kit that cannot be opened.
// Texts that come from a kit reach the terminal through EscapeForTerminal
// only: a kit is untrusted, and a name must not fake a line or send escape
// sequences. Every file is read through the SystemApi passed in. The
// commands run on the calling thread (the reader inflates beside it).
#ifndef TOOLS_KITTOOL_INSPECT_H_
#define TOOLS_KITTOOL_INSPECT_H_

#include <ostream>
#include <string>
#include <vector>

#include "kit/kit_format.h"
#include "platform/status.h"
#include "tools/kittool_args.h"

class SystemApi;

// "YYYY-MM-DDTHH:MM:SSZ", with ".fffffff" before the Z when the time has a
// sub-second part.
std::string FormatFileTime(FileTime time);

// Why `failure` happened, for the end of a sentence: the system's reason
// for its errno, else "error N" with its code.
std::string ReasonOf(const Status& failure);

// The sentence for `failure`, the failed opening of `kit` (KitReader or
// InstallSession::OpenKit).
std::string DescribeOpenFailure(const Status& failure, const std::string& kit);

// One "warning: ..." line (ending in a newline) for each language record
// whose description names no file of the kit (`names`, "\\" separators;
// the description may use "/" as well): the installer could never offer to
// open it.
std::string DescriptionWarnings(const std::vector<LanguageRecord>& records,
                                const std::vector<WideString>& names);

// The commands. Each writes its report to `out`, its complaints (prefixed
// "kittool: ") to `err`, and returns the exit status. verify also inflates
// the whole stream on its own (complete, corrupt near which byte, trailing
// bytes), checks that every entry can be installed (CheckEntryName) and
// that no two install to the same file (NormalisedEntryPath,
// case-sensitive); each such problem is one line on `err`, naming the
// entries, and makes the status kExitFailure.
int RunList(SystemApi& sys, const KittoolOptions& options, std::ostream& out,
            std::ostream& err);
int RunVerify(SystemApi& sys, const KittoolOptions& options, std::ostream& out,
              std::ostream& err);

#endif  // TOOLS_KITTOOL_INSPECT_H_
