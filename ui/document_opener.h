// Opens the kit's description document with the desktop's opener,
// "xdg-open", found on PATH. The program is started directly with an
// argument vector, never through a shell, so the path reaches it unchanged
// whatever characters it holds. It runs detached in a session of its own,
// with standard input, output and error on /dev/null and no other descriptor
// of the installer; the installer neither waits for it nor leaves a zombie
// behind (the intermediate child is reaped at once, the opener itself is
// adopted by init).
//
// GUI thread; fork() is safe with other threads running because the children
// only call async-signal-safe functions before exec.
#ifndef UI_DOCUMENT_OPENER_H_
#define UI_DOCUMENT_OPENER_H_

#include "text/wide_string.h"

// Starts "xdg-open" `path` (the path in the file system's encoding). Returns
// false only when no child could be forked; whether the opener exists or
// succeeds is not known and does not matter.
bool OpenDocument(const WideString& path);

#endif  // UI_DOCUMENT_OPENER_H_
