// kittool checksum, and what kittool says about a kit's checksum file that
// cannot serve. The file is made and read in kit/ (kit_checksum.h,
// checksum_file.h); this is the vendor's view of it, in English. The
// calling thread only; all file work goes through the SystemApi passed in.
#ifndef TOOLS_KITTOOL_CHECKSUM_H_
#define TOOLS_KITTOOL_CHECKSUM_H_

#include <ostream>
#include <string>

#include "platform/status.h"
#include "tools/kittool_args.h"

class SystemApi;

// Hashes the kit and writes its checksum file beside it (the kit's base
// name in it, so that it checks from the kit's directory), then prints on
// `out` what `sha256sum KIT` prints: the line for the kit's path as given,
// which checks from where the command ran. Complaints go to `err`
// ("kittool: ..."); returns the exit status.
int RunChecksum(SystemApi& sys, const KittoolOptions& options,
                std::ostream& out, std::ostream& err);

// The sentence for `failure` (kChecksumUnusable, see platform/status.h), a
// kit's checksum file that cannot serve: that file, and why.
std::string DescribeUnusableChecksumFile(const Status& failure);

#endif  // TOOLS_KITTOOL_CHECKSUM_H_
