// kit_bench: measures the kit reader against the plain tools that do the
// same work. bench/run_kit_bench drives it, one fresh file system per timed
// run; each mode prints one line of name=value pairs (times in seconds,
// memory in KiB).
//
//   kit_bench ours KIT OUT [--inflate-first] [--job]
//       A plain raw inflate of KIT to /dev/null and KitReader::Open of KIT
//       (in that order with --inflate-first, otherwise Open first), then the
//       extraction of every entry under OUT with ExtractEntry, making the
//       parent directories as they are needed. The container goes to
//       $TMPDIR like the installer's. With --job the extraction is the
//       installer's whole job instead: InstallEngine::Run with its
//       transaction (backup directory and journal in $TMPDIR, commit),
//       per-entry checks and progress posts.
//   kit_bench tar TAR OUT
//       tar -xf TAR -C OUT, timed from the spawn to the reaping.
//   kit_bench mem KIT OUT
//       Runs "kit_bench child KIT OUT" (Open and the whole extraction, with
//       the worker's checks, in a fresh process) and reports that process's
//       peak resident set.
//   kit_bench open KIT
//       Only what the wizard does before its first page: the whole kit
//       checked (KitReader::Check: the tables read, the whole stream
//       inflated), timed as in "ours".
//       bench/run_install_bench compares it with an older build's "ours".
#include <errno.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <chrono>
#include <clocale>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/install_engine.h"
#include "engine/job_channel.h"
#include "kit/kit_reader.h"
#include "l10n/string_table.h"
#include "platform/file_operations.h"
#include "platform/status.h"
#include "platform/system_api.h"
#include "text/path_utils.h"
#include "text/text_conversion.h"
#include "text/wide_string.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kPlainBufferSize = 256 * 1024;

[[noreturn]] void Die(const std::string& what) {
  std::fprintf(stderr, "kit_bench: %s\n", what.c_str());
  std::exit(1);
}

double Seconds(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

double CpuSeconds(const struct timeval& tv) {
  return static_cast<double>(tv.tv_sec) + tv.tv_usec / 1e6;
}

// User and system CPU of this process (all threads) since construction.
class CpuMeter {
 public:
  CpuMeter() { getrusage(RUSAGE_SELF, &start_); }
  void Get(double* user, double* system) const {
    struct rusage now;
    getrusage(RUSAGE_SELF, &now);
    *user = CpuSeconds(now.ru_utime) - CpuSeconds(start_.ru_utime);
    *system = CpuSeconds(now.ru_stime) - CpuSeconds(start_.ru_stime);
  }

 private:
  struct rusage start_;
};

// The baseline for Open: zlib alone, raw deflate (window bits -15), the
// whole stream written to /dev/null.
void PlainInflate(const std::string& kit, uint64_t* inflated) {
  const int in = open(kit.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) Die("cannot open " + kit + ": " + std::strerror(errno));
  const int sink = open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (sink < 0) Die("cannot open /dev/null");
  z_stream stream;
  std::memset(&stream, 0, sizeof(stream));
  if (inflateInit2(&stream, -15) != Z_OK) Die("inflateInit2 failed");
  auto input = std::make_unique<unsigned char[]>(kPlainBufferSize);
  auto output = std::make_unique<unsigned char[]>(kPlainBufferSize);
  int z = Z_OK;
  *inflated = 0;
  while (z != Z_STREAM_END) {
    const ssize_t got = read(in, input.get(), kPlainBufferSize);
    if (got < 0) Die("read failed");
    if (got == 0) Die(kit + ": the stream ends early");
    stream.next_in = input.get();
    stream.avail_in = static_cast<uInt>(got);
    while (stream.avail_in > 0 && z != Z_STREAM_END) {
      stream.next_out = output.get();
      stream.avail_out = kPlainBufferSize;
      z = inflate(&stream, Z_NO_FLUSH);
      if (z != Z_OK && z != Z_STREAM_END) Die(kit + ": corrupt stream");
      const size_t have = kPlainBufferSize - stream.avail_out;
      if (write(sink, output.get(), have) != static_cast<ssize_t>(have))
        Die("write to /dev/null failed");
      *inflated += have;
    }
  }
  inflateEnd(&stream);
  close(sink);
  close(in);
}

bool IsDirectory(const WideString& path) {
  struct stat status;
  return stat(ToNarrow(path).c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

// Extracts every entry under `out`: the entry's name with slashes, its
// parent directories made unless they are there already (looked at for
// every entry), then ExtractEntry.
void ExtractAll(KitReader& reader, const WideString& out, uint64_t* bytes) {
  WideString base = out;
  AppendSeparator(base, SeparatorVariant::kSlashOnly);
  const std::vector<KitEntry>& entries = reader.entries();
  *bytes = 0;
  for (uint32_t i = 0; i < entries.size(); ++i) {
    WideString destination = base + entries[i].name;
    ToSlashes(destination);
    const std::u16string_view path(destination.c_str(), destination.length());
    const size_t slash = path.rfind(u'/');
    if (slash != std::u16string_view::npos && slash > 0) {
      const WideString parent(destination.c_str(),
                              static_cast<uint32_t>(slash));
      if (!IsDirectory(parent)) {
        const Status made =
            MakeDirectories(RealSystem(), ToNarrow(parent).c_str());
        if (!made.ok()) Die("cannot make a directory: " + made.ToString());
      }
    }
    const Status extracted = reader.ExtractEntry(i, destination);
    if (!extracted.ok()) Die("ExtractEntry: " + extracted.ToString());
    *bytes += entries[i].size;
  }
}

// The installer's job for `reader` into `out`, run on this thread.
void RunJob(KitReader& reader, const WideString& out, uint64_t* bytes) {
  JobChannel channel;
  channel.Init();
  channel.StartJob(&reader, out);
  InstallEngine engine(RealSystem());
  const Status result = engine.Run(&channel);
  if (!result.ok()) Die("the install job failed: " + result.ToString());
  if (engine.result().copied != reader.entries().size())
    Die("the install job left entries out");
  *bytes = 0;
  for (const KitEntry& entry : reader.entries()) *bytes += entry.size;
}

void Extract(KitReader& reader, const std::string& out, bool job,
             uint64_t* bytes) {
  const WideString target = ToWide(NarrowString(out.c_str()));
  if (job) {
    RunJob(reader, target, bytes);
  } else {
    ExtractAll(reader, target, bytes);
  }
}

void OpenKit(KitReader& reader, const std::string& kit) {
  const Status opened = reader.Open(ToWide(NarrowString(kit.c_str())));
  if (!opened.ok()) Die("Open " + kit + ": " + opened.ToString());
}

// What the interactive installer runs on the kit before it shows its first
// page. The open mode times this and nothing else.
void CheckWholeKit(KitReader& reader, const std::string& kit) {
  const Status checked = reader.Check(ToWide(NarrowString(kit.c_str())));
  if (!checked.ok()) Die("Check " + kit + ": " + checked.ToString());
}

int RunOpen(const std::string& kit) {
  KitReader reader(RealSystem());
  CpuMeter cpu;
  const auto start = Clock::now();
  CheckWholeKit(reader, kit);
  const double open_s = Seconds(start);
  double open_user = 0, open_sys = 0;
  cpu.Get(&open_user, &open_sys);
  std::printf("open_s=%.4f open_user=%.3f open_sys=%.3f\n", open_s, open_user,
              open_sys);
  return 0;
}

int RunOurs(const std::string& kit, const std::string& out, bool inflate_first,
            bool job) {
  KitReader reader(RealSystem());
  double inflate_s = 0, open_s = 0;
  double open_user = 0, open_sys = 0, inflate_user = 0, inflate_sys = 0;
  uint64_t inflated = 0;
  auto time_inflate = [&] {
    CpuMeter cpu;
    const auto start = Clock::now();
    PlainInflate(kit, &inflated);
    inflate_s = Seconds(start);
    cpu.Get(&inflate_user, &inflate_sys);
  };
  auto time_open = [&] {
    CpuMeter cpu;
    const auto start = Clock::now();
    OpenKit(reader, kit);
    open_s = Seconds(start);
    cpu.Get(&open_user, &open_sys);
  };
  if (inflate_first) {
    time_inflate();
    time_open();
  } else {
    time_open();
    time_inflate();
  }
  CpuMeter cpu;
  const auto start = Clock::now();
  uint64_t bytes = 0;
  Extract(reader, out, job, &bytes);
  const double extract_s = Seconds(start);
  double extract_user = 0, extract_sys = 0;
  cpu.Get(&extract_user, &extract_sys);
  std::printf(
      "inflate_s=%.4f inflate_user=%.3f inflate_sys=%.3f open_s=%.4f "
      "open_user=%.3f open_sys=%.3f extract_s=%.4f extract_user=%.3f "
      "extract_sys=%.3f entries=%zu bytes=%llu inflated=%llu\n",
      inflate_s, inflate_user, inflate_sys, open_s, open_user, open_sys,
      extract_s, extract_user, extract_sys, reader.entries().size(),
      static_cast<unsigned long long>(bytes),
      static_cast<unsigned long long>(inflated));
  return 0;
}

// Spawns `args`, waits for it and returns its resource use; dies unless it
// exits with 0. With `output`, the child's standard output is collected
// there instead of being shared with ours.
struct rusage SpawnAndWait(const std::vector<std::string>& args,
                           double* seconds, std::string* output = nullptr) {
  std::vector<char*> argv;
  for (const std::string& arg : args)
    argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  int pipe_fds[2] = {-1, -1};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (output != nullptr) {
    if (pipe2(pipe_fds, O_CLOEXEC) != 0) Die("pipe2 failed");
    posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], STDOUT_FILENO);
  }
  pid_t pid = 0;
  const auto start = Clock::now();
  const int spawned =
      posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0)
    Die("cannot start " + args[0] + ": " + std::strerror(spawned));
  if (output != nullptr) {
    close(pipe_fds[1]);
    char buffer[4096];
    for (;;) {
      const ssize_t got = read(pipe_fds[0], buffer, sizeof(buffer));
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) break;
      output->append(buffer, static_cast<size_t>(got));
    }
    close(pipe_fds[0]);
  }
  int status = 0;
  struct rusage usage;
  while (wait4(pid, &status, 0, &usage) < 0) {
    if (errno != EINTR) Die("wait4 failed");
  }
  *seconds = Seconds(start);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
    Die(args[0] + " failed (status " + std::to_string(status) + ")");
  return usage;
}

int RunTar(const std::string& tar, const std::string& out) {
  double seconds = 0;
  const struct rusage usage =
      SpawnAndWait({"tar", "-xf", tar, "-C", out}, &seconds);
  std::printf("tar_s=%.4f tar_user=%.3f tar_sys=%.3f\n", seconds,
              CpuSeconds(usage.ru_utime), CpuSeconds(usage.ru_stime));
  return 0;
}

// The peak resident set of this process, from the kernel's high-water mark.
long HighWaterKib() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0)
      return std::strtol(line.c_str() + 6, nullptr, 10);
  }
  return -1;
}

int RunChild(const std::string& kit, const std::string& out, bool job) {
  KitReader reader(RealSystem());
  OpenKit(reader, kit);
  const long after_open = HighWaterKib();
  uint64_t bytes = 0;
  Extract(reader, out, job, &bytes);
  std::printf("hwm_open_kib=%ld hwm_kib=%ld entries=%zu", after_open,
              HighWaterKib(), reader.entries().size());
  return 0;
}

int RunMem(const std::string& self, const std::string& kit,
           const std::string& out, bool job) {
  double seconds = 0;
  std::string child;
  const struct rusage usage = SpawnAndWait(
      job ? std::vector<std::string>{self, "child", kit, out, "--job"}
          : std::vector<std::string>{self, "child", kit, out},
      &seconds, &child);
  std::printf("%s maxrss_kib=%ld seconds=%.3f\n", child.c_str(),
              usage.ru_maxrss, seconds);
  return 0;
}

std::string SelfPath() {
  char buffer[4096];
  const ssize_t length = readlink("/proc/self/exe", buffer, sizeof(buffer) - 1);
  if (length <= 0) Die("cannot read /proc/self/exe");
  return std::string(buffer, static_cast<size_t>(length));
}

int Usage() {
  std::fprintf(stderr,
               "usage: kit_bench ours KIT OUT [--inflate-first] [--job]\n"
               "       kit_bench tar TAR OUT\n"
               "       kit_bench mem KIT OUT [--job]\n"
               "       kit_bench open KIT\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  // The installer runs in the user's locale; paths are converted in it. Its
  // texts here are the English ones.
  std::setlocale(LC_ALL, "");
  StringTable::SetCurrentLanguage(kLanguageEnglish);
  if (argc == 3 && std::strcmp(argv[1], "open") == 0) return RunOpen(argv[2]);
  if (argc < 4) return Usage();
  const std::string mode = argv[1];
  bool inflate_first = false, job = false;
  for (int i = 4; i < argc; ++i) {
    const std::string flag = argv[i];
    if (flag == "--inflate-first" && mode == "ours") {
      inflate_first = true;
    } else if (flag == "--job" && mode != "tar") {
      job = true;
    } else {
      return Usage();
    }
  }
  if (mode == "ours") return RunOurs(argv[2], argv[3], inflate_first, job);
  if (mode == "tar") return RunTar(argv[2], argv[3]);
  if (mode == "mem") return RunMem(SelfPath(), argv[2], argv[3], job);
  if (mode == "child") return RunChild(argv[2], argv[3], job);
  return Usage();
}
