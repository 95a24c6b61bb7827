// kittool: the vendors' command-line tool that packs a template tree into a
// kit, lists a kit's tables, verifies a kit with the installer's own reader
// and installs a kit into a directory with the installer's own engine. The
// pieces live apart from main, so that tests can call them:
//   tools/kittool_args.h     the command line and the exit statuses
//   tools/kittool_tree.h     the tree and the records pack puts into a kit
//   tools/kittool_pack.h     pack
//   tools/kittool_checksum.h checksum, and the checksum file's messages
//   tools/kittool_inspect.h  list and verify
//   tools/kittool_extract.h  extract
//   tools/kittool_output.h   the buffer behind standard output
//
// Text arguments arrive in the locale's multibyte encoding (main calls
// setlocale first). Every system call goes through the SystemApi passed in.
#ifndef TOOLS_KITTOOL_LIB_H_
#define TOOLS_KITTOOL_LIB_H_

#include <ostream>
#include <string>
#include <vector>

#include "tools/kittool_args.h"
#include "tools/kittool_checksum.h"
#include "tools/kittool_extract.h"
#include "tools/kittool_inspect.h"
#include "tools/kittool_output.h"
#include "tools/kittool_pack.h"
#include "tools/kittool_tree.h"

class SystemApi;

// Parses `args` (those after the program name) and runs the command;
// extract reports progress as a bar when standard error is a terminal, and
// calls `after_post` after each post. Then flushes `out`: when any write to
// it failed, says so on `err` ("kittool: cannot write the listing: " and
// the reason, taken from a DescriptorOutput buffer or else errno) and
// returns kExitFailure. Call it from the main thread (see extract).
int KittoolMain(SystemApi& sys, const std::vector<std::string>& args,
                std::ostream& out, std::ostream& err,
                const ExtractAfterPost& after_post = nullptr);

#endif  // TOOLS_KITTOOL_LIB_H_
