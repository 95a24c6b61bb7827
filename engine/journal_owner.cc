#include "engine/journal_owner.h"

#include "platform/file_operations.h"
#include "platform/system_api.h"

namespace {

constexpr size_t kProcFileLimit = 65536;

// Field 22 (the start time in clock ticks since boot) of a /proc stat file;
// empty when it does not parse. The name in field 2 may hold spaces and
// parentheses, so fields are counted after its last ")".
std::string StartTimeIn(const std::string& stat) {
  const size_t close = stat.rfind(')');
  if (close == std::string::npos) return std::string();
  size_t position = close + 1;
  // Field 3 is the first after the name; field 22 is the 20th from there.
  for (int field = 3; field <= 22; ++field) {
    while (position < stat.size() && stat[position] == ' ') ++position;
    const size_t end = stat.find(' ', position);
    if (field == 22) {
      return stat.substr(position, end == std::string::npos
                                       ? std::string::npos
                                       : end - position);
    }
    if (end == std::string::npos) return std::string();
    position = end;
  }
  return std::string();
}

// /proc files report a size of 0: read them without the size check.
bool ReadProcFile(SystemApi& sys, const std::string& path, std::string* out) {
  return ReadSmallFile(sys, path, out, kProcFileLimit).ok();
}

std::string BootId(SystemApi& sys) {
  std::string id;
  if (!ReadProcFile(sys, "/proc/sys/kernel/random/boot_id", &id)) return "-";
  while (!id.empty() && (id.back() == '\n' || id.back() == ' ')) id.pop_back();
  return id.empty() ? "-" : id;
}

}  // namespace

std::string CurrentOwner(SystemApi& sys) {
  std::string stat;
  std::string start = "-";
  if (ReadProcFile(sys, "/proc/self/stat", &stat)) {
    const std::string field = StartTimeIn(stat);
    if (!field.empty()) start = field;
  }
  return std::to_string(sys.GetPid()) + " " + start + " " + BootId(sys);
}

bool OwnerIsGone(SystemApi& sys, const std::string& owner) {
  const size_t first = owner.find(' ');
  const size_t second =
      first == std::string::npos ? first : owner.find(' ', first + 1);
  if (second == std::string::npos) return true;
  const std::string pid = owner.substr(0, first);
  const std::string start = owner.substr(first + 1, second - first - 1);
  const std::string boot = owner.substr(second + 1);
  if (pid.empty() || pid.find_first_not_of("0123456789") != std::string::npos) {
    return true;
  }
  if (boot != BootId(sys)) return true;
  std::string stat;
  if (!ReadProcFile(sys, "/proc/" + pid + "/stat", &stat)) return true;
  return StartTimeIn(stat) != start;
}
