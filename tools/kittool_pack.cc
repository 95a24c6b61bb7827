#include "tools/kittool_pack.h"

#include <errno.h>
#include <sys/stat.h>

#include <cstring>
#include <string>

#include "kit/kit_writer.h"
#include "platform/stop_signals.h"
#include "platform/system_api.h"
#include "tools/kittool_inspect.h"
#include "tools/kittool_tree.h"

namespace {

std::string CanonicalPath(SystemApi& sys, const std::string& path) {
  std::string resolved;
  return sys.RealPath(path.c_str(), &resolved) ? resolved : std::string();
}

std::string ParentDirectory(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// A kit inside the tree it packs would be packed again by the next run.
bool KitInsideTree(SystemApi& sys, const KittoolOptions& options) {
  const std::string source = CanonicalPath(sys, options.source_dir);
  const std::string target_dir =
      CanonicalPath(sys, ParentDirectory(options.output));
  return !source.empty() && !target_dir.empty() &&
         (target_dir == source ||
          target_dir.compare(0, source.size() + 1, source + "/") == 0 ||
          source == "/");
}

// Why the kit writer refused `kit`.
std::string DescribeWriteFailure(const Status& failure,
                                 const std::string& kit) {
  const std::string& path = failure.path();
  switch (failure.kind()) {
    case Status::Kind::kTooLarge:
      if (path.empty()) {
        return "the kit's tables are too large for the kit format: too many "
               "files, or names too long";
      }
      if (path == kit) {
        return "the compressed kit would be larger than the " +
               std::to_string(kMaxKitSize) + " bytes the installer reads";
      }
      return "the files do not fit the kit format: its offsets and sizes "
             "are 32-bit and the inflated kit must stay below 2 GiB (" +
             std::to_string(kMaxContainerSize) + " bytes); the limit is " +
             "reached at \"" + path + "\"";
    case Status::Kind::kChanged:
      return "\"" + path + "\" changed while it was packed";
    case Status::Kind::kSystem: {
      // Paths that begin with the kit's are written (the kit, the file it
      // is made in first, its checksum file); anything else is a source.
      const bool written = path.compare(0, kit.size(), kit) == 0;
      return std::string(written ? "cannot write \"" : "cannot read \"") +
             path + "\": " + ReasonOf(failure);
    }
    default:
      return "cannot write the kit \"" + kit + "\": " + ReasonOf(failure);
  }
}

}  // namespace

int RunPack(SystemApi& sys, const KittoolOptions& options, std::ostream& out,
            std::ostream& err) {
  // A stop signal removes the part file of the kit and leaves the old kit;
  // pack starts no thread, so this one takes the signals at once.
  StopSignals signals;
  if (!signals.ok()) {
    err << "kittool: cannot set up the handling of Ctrl-C: "
        << std::strerror(errno) << "\n";
    return kExitFailure;
  }
  signals.Unblock();
  if (KitInsideTree(sys, options)) {
    err << "kittool: the kit \"" << options.output
        << "\" would lie inside the tree it packs, \"" << options.source_dir
        << "\"; write it elsewhere\n";
    return kExitFailure;
  }
  KitSpec spec;
  spec.single_language = options.single_language;
  std::string error;
  if (!MakeLanguageRecords(options, &spec.languages, &error) ||
      !CollectTree(sys, options.source_dir, &spec.files, &error)) {
    err << "kittool: " << error << "\n";
    return kExitFailure;
  }
  uint64_t total = 0;
  for (const KitFileSpec& file : spec.files) total += file.size;
  std::string digest;
  Status written = WriteKit(sys, spec, options.output, options.level, &digest,
                            [&signals] { return signals.received(); });
  if (written.kind() == Status::Kind::kCancelled) {
    err << "kittool: cancelled; \"" << options.output << "\" is unchanged\n";
    return kExitFailure;
  }
  // Once the kit is replaced, its checksum file follows whatever comes: a
  // kit beside an old checksum would be refused as damaged.
  if (written.ok()) written = WriteKitSidecar(sys, options.output, digest);
  if (!written.ok()) {
    err << "kittool: " << DescribeWriteFailure(written, options.output) << "\n";
    return kExitFailure;
  }
  struct stat status;
  const long long kit_size =
      sys.Stat(options.output.c_str(), &status) == 0 ? status.st_size : -1;
  out << "Packed " << spec.files.size() << " files (" << total
      << " bytes) into \"" << options.output << "\" (" << kit_size
      << " bytes).\n";
  std::vector<WideString> names;
  for (const KitFileSpec& file : spec.files) names.push_back(file.name);
  out << DescriptionWarnings(spec.languages, names);
  return kExitOk;
}
