#include "tools/kittool_lib.h"

#include <errno.h>
#include <unistd.h>

#include <cstring>

#include "platform/system_api.h"

namespace {

// Runs the command; *report names what `out` receives, for a failed write.
int RunCommand(SystemApi& sys, const KittoolOptions& options, std::ostream& out,
               std::ostream& err, const ExtractAfterPost& after_post,
               const char** report) {
  *report = "the report";
  switch (options.command) {
    case KittoolCommand::kHelp:
      *report = "the usage";
      out << KittoolUsage();
      return kExitOk;
    case KittoolCommand::kVersion:
      *report = "the version";
      out << KittoolVersion();
      return kExitOk;
    case KittoolCommand::kPack:
      return RunPack(sys, options, out, err);
    case KittoolCommand::kList:
      *report = "the listing";
      return RunList(sys, options, out, err);
    case KittoolCommand::kVerify:
      return RunVerify(sys, options, out, err);
    case KittoolCommand::kExtract:
      return RunExtract(sys, options, out, err, sys.Isatty(STDERR_FILENO) == 1,
                        after_post);
    case KittoolCommand::kChecksum:
      return RunChecksum(sys, options, out, err);
  }
  return kExitUsage;
}

}  // namespace

int KittoolMain(SystemApi& sys, const std::vector<std::string>& args,
                std::ostream& out, std::ostream& err,
                const ExtractAfterPost& after_post) {
  KittoolOptions options;
  std::string error;
  if (!ParseKittoolArgs(args, &options, &error)) {
    err << "kittool: " << error << "\n"
        << "Run \"kittool --help\" for the usage.\n";
    return kExitUsage;
  }
  const char* report = "the report";
  const int status = RunCommand(sys, options, out, err, after_post, &report);
  // A listing cut short by a full disk must not pass for a whole one.
  errno = 0;
  out.flush();
  if (!out) {
    const auto* buffer = dynamic_cast<const DescriptorOutput*>(out.rdbuf());
    const int failed = buffer != nullptr ? buffer->error() : errno;
    err << "kittool: cannot write " << report << ": "
        << (failed != 0 ? std::strerror(failed) : "output error") << "\n";
    return kExitFailure;
  }
  return status;
}
