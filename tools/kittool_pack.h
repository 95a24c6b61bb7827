// kittool pack: a vendor's tree made into a kit with its checksum file
// beside it. All file work goes through the SystemApi passed in; the
// calling thread only.
#ifndef TOOLS_KITTOOL_PACK_H_
#define TOOLS_KITTOOL_PACK_H_

#include <ostream>

#include "tools/kittool_args.h"

class SystemApi;

// Writes its report to `out`, its complaints (prefixed "kittool: ") to
// `err`, and returns the exit status. A kit that cannot be written whole
// leaves nothing at its path (kit/kit_writer.h). While pack writes, a stop
// signal (platform/stop_signals.h) abandons the kit: its part file goes,
// an older kit stays as it was, and the status is kExitFailure, as for a
// cancelled extract. Call it from the main thread.
int RunPack(SystemApi& sys, const KittoolOptions& options, std::ostream& out,
            std::ostream& err);

#endif  // TOOLS_KITTOOL_PACK_H_
