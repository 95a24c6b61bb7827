// What kittool pack puts into a kit: the vendor's tree, walked into the
// list of files that the kit writer reads from, and the --lang records made
// into the kit's language records. Every look at the disk goes through the
// SystemApi passed in. Any thread; nothing is shared.
#ifndef TOOLS_KITTOOL_TREE_H_
#define TOOLS_KITTOOL_TREE_H_

#include <string>
#include <vector>

#include "kit/kit_writer.h"
#include "tools/kittool_args.h"

class SystemApi;

// Every regular file under `root`, sorted byte-wise by its relative path
// ("/"-separated), each to be read from its file: the name with "\\"
// separators, the size, and the modification time in whole seconds.
// Returns false with a message naming the path when the tree cannot be
// walked, a name holds a backslash or is not valid text in the locale's
// encoding, a name is one the installer cannot install (CheckEntryName: a
// control character, a relative path of 4096 bytes or more, in the locale's
// encoding or in UTF-8), an entry is a symbolic link or neither a file nor a
// directory, a file is larger than 4 GiB - 1, or its time lies before 1601;
// *files is then unchanged.
bool CollectTree(SystemApi& sys, const std::string& root,
                 std::vector<KitFileSpec>* files, std::string* error);

// The language records of `options` converted to UTF-16. Returns false with
// a message when a text is not valid in the locale's encoding.
bool MakeLanguageRecords(const KittoolOptions& options,
                         std::vector<LanguageRecord>* records,
                         std::string* error);

#endif  // TOOLS_KITTOOL_TREE_H_
