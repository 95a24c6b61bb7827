// make_tree: writes the deterministic template trees that the kit benchmark
// packs, tars and extracts. The same arguments always give the same names,
// sizes, bytes and times, on any machine with the same C library.
//
//   make_tree small OUT [FILES]   FILES files (default 20000) of 100 B to
//                                 64 KiB, log-uniform (about 10 KB each),
//                                 in directories up to four levels deep
//   make_tree large OUT           six files, 400 MiB in all
//
// The content is config-like pseudo-text: sections, key = value lines and
// comments built from a small vocabulary, with random tokens (hashes, ids)
// mixed in so that deflate at level 6 gets about 3:1.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr uint64_t kSeed = 0x7a3c91e5d2b04f68ULL;
// 2023-11-14T22:13:20Z: every file gets this time, so kits built from the
// tree are byte-identical run after run.
constexpr time_t kFileTime = 1700000000;
// Share (out of 1000) of value tokens that are random characters rather than
// words; tuned so that gzip -6 of each tree's tar gives about 3:1 (small
// files need more: their tar headers and padding compress well).
constexpr uint32_t kSmallNoisePerMille = 130;
constexpr uint32_t kLargeNoisePerMille = 90;

// SplitMix64: small, fast and fully specified, unlike the standard library's
// distributions.
class Random {
 public:
  explicit Random(uint64_t seed) : state_(seed) {}
  uint64_t Next() {
    uint64_t z = (state_ += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
  }
  // Uniform in [0, n).
  uint32_t Below(uint32_t n) {
    return static_cast<uint32_t>((Next() >> 32) * n >> 32);
  }
  // Uniform in [0, 1).
  double Unit() { return static_cast<double>(Next() >> 11) * 0x1.0p-53; }

 private:
  uint64_t state_;
};

const char* const kWords[] = {
    "server",   "client",   "timeout",     "retry",    "buffer",   "cache",
    "logging",  "level",    "path",        "user",     "group",    "enable",
    "disable",  "default",  "value",       "profile",  "session",  "window",
    "display",  "font",     "color",       "theme",    "layout",   "panel",
    "toolbar",  "menu",     "action",      "handler",  "module",   "plugin",
    "library",  "template", "document",    "format",   "encoding", "locale",
    "language", "region",   "network",     "proxy",    "port",     "address",
    "host",     "domain",   "certificate", "key",      "secret",   "token",
    "account",  "printer",  "paper",       "margin",   "header",   "footer",
    "page",     "section",  "style",       "width",    "height",   "size",
    "limit",    "maximum",  "minimum",     "interval", "schedule", "backup",
    "restore",  "archive",  "version",     "update",   "channel",  "release",
    "stable",   "beta",     "true",        "false",    "yes",      "no",
    "on",       "off",      "auto",        "manual",   "none",     "all",
    "read",     "write",    "execute",     "owner",    "mode",     "mask",
    "input",    "output",   "source",      "target",   "filter",   "rule",
    "policy",   "allow",    "deny",        "priority", "weight",   "order",
    "the",      "a",        "of",          "to",       "and",      "for",
    "is",       "when",     "this",        "with",     "from",     "be",
};
constexpr uint32_t kWordCount = sizeof(kWords) / sizeof(kWords[0]);

const char* const kExtensions[] = {"cfg", "ini", "xml", "tpl", "txt", "conf"};

const char kTokenChars[] =
    "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789+/";

void AppendWord(Random& random, std::string* out) {
  out->append(kWords[random.Below(kWordCount)]);
}

void AppendToken(Random& random, std::string* out) {
  const uint32_t length = 4 + random.Below(13);
  for (uint32_t i = 0; i < length; ++i)
    out->push_back(kTokenChars[random.Below(64)]);
}

void AppendValue(Random& random, uint32_t noise, std::string* out) {
  const uint32_t tokens = 1 + random.Below(5);
  for (uint32_t i = 0; i < tokens; ++i) {
    if (i > 0) out->push_back(' ');
    if (random.Below(1000) < noise) {
      AppendToken(random, out);
    } else {
      AppendWord(random, out);
    }
  }
}

// One line of pseudo-configuration.
void AppendLine(Random& random, uint32_t noise, std::string* out) {
  const uint32_t kind = random.Below(20);
  if (kind == 0) {
    out->push_back('[');
    AppendWord(random, out);
    out->push_back('.');
    AppendWord(random, out);
    out->append("]\n");
  } else if (kind <= 3) {
    out->append("# ");
    const uint32_t words = 3 + random.Below(8);
    for (uint32_t i = 0; i < words; ++i) {
      if (i > 0) out->push_back(' ');
      AppendWord(random, out);
    }
    out->push_back('\n');
  } else {
    const uint32_t indent = random.Below(3) * 2;
    out->append(indent, ' ');
    AppendWord(random, out);
    out->push_back('_');
    AppendWord(random, out);
    out->append(" = ");
    AppendValue(random, noise, out);
    out->push_back('\n');
  }
}

bool Fail(const std::string& what) {
  std::fprintf(stderr, "make_tree: %s: %s\n", what.c_str(),
               std::strerror(errno));
  return false;
}

// Writes `size` bytes of pseudo-text made from `seed` to `path`.
bool WriteFile(const std::string& path, uint64_t size, uint64_t seed,
               uint32_t noise) {
  Random random(seed);
  const int fd =
      open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return Fail(path);
  constexpr size_t kChunk = 1 << 20;
  std::string buffer;
  buffer.reserve(kChunk + 4096);
  uint64_t left = size;
  while (left > 0) {
    buffer.clear();
    while (buffer.size() < kChunk && buffer.size() < left)
      AppendLine(random, noise, &buffer);
    const size_t piece =
        static_cast<size_t>(std::min<uint64_t>(buffer.size(), left));
    size_t done = 0;
    while (done < piece) {
      const ssize_t wrote = write(fd, buffer.data() + done, piece - done);
      if (wrote < 0) {
        if (errno == EINTR) continue;
        close(fd);
        return Fail(path);
      }
      done += static_cast<size_t>(wrote);
    }
    left -= piece;
  }
  const struct timespec times[2] = {{kFileTime, 0}, {kFileTime, 0}};
  if (futimens(fd, times) != 0) {
    close(fd);
    return Fail(path);
  }
  if (close(fd) != 0) return Fail(path);
  return true;
}

bool MakeDirectory(const std::string& path) {
  if (mkdir(path.c_str(), 0755) == 0 || errno == EEXIST) return true;
  return Fail(path);
}

std::string Name(Random& random, uint32_t number) {
  std::string name = kWords[random.Below(kWordCount)];
  name.push_back('_');
  name.append(kWords[random.Below(kWordCount)]);
  name.push_back('_');
  name.append(std::to_string(number));
  return name;
}

bool MakeSmall(const std::string& root, uint32_t files, uint64_t* total) {
  Random random(kSeed);
  // About 40 files a directory; each directory hangs below an earlier one
  // that is less than four levels deep, which gives a bushy tree.
  struct Directory {
    std::string path;
    int depth;
  };
  std::vector<Directory> directories = {{root, 0}};
  const uint32_t directory_count = files / 40 + 1;
  while (directories.size() < directory_count) {
    uint32_t parent = random.Below(static_cast<uint32_t>(directories.size()));
    while (directories[parent].depth >= 4)
      parent = random.Below(static_cast<uint32_t>(directories.size()));
    const uint32_t number = static_cast<uint32_t>(directories.size());
    directories.push_back(
        {directories[parent].path + "/" + Name(random, number),
         directories[parent].depth + 1});
    if (!MakeDirectory(directories.back().path)) return false;
  }
  const double low = std::log(100.0);
  const double high = std::log(65536.0);
  for (uint32_t i = 0; i < files; ++i) {
    const Directory& directory =
        directories[random.Below(static_cast<uint32_t>(directories.size()))];
    const uint64_t size =
        static_cast<uint64_t>(std::exp(low + random.Unit() * (high - low)));
    std::string path = directory.path + "/" + Name(random, i) + "." +
                       kExtensions[random.Below(6)];
    if (!WriteFile(path, size, random.Next(), kSmallNoisePerMille))
      return false;
    *total += size;
  }
  return true;
}

bool MakeLarge(const std::string& root, uint64_t* total) {
  Random random(kSeed ^ 0x1a2b3c4d);
  constexpr uint64_t kMiB = 1 << 20;
  const uint64_t sizes[] = {96 * kMiB, 80 * kMiB, 72 * kMiB,
                            64 * kMiB, 48 * kMiB, 40 * kMiB};
  const char* const names[] = {"data/catalog.xml",       "data/index.txt",
                               "data/media/archive.tpl", "data/media/fonts.cfg",
                               "templates.conf",         "samples/all.ini"};
  for (const char* directory : {"/data", "/data/media", "/samples"}) {
    if (!MakeDirectory(root + directory)) return false;
  }
  for (int i = 0; i < 6; ++i) {
    if (!WriteFile(root + "/" + names[i], sizes[i], random.Next(),
                   kLargeNoisePerMille)) {
      return false;
    }
    *total += sizes[i];
  }
  return true;
}

int Usage() {
  std::fprintf(stderr,
               "usage: make_tree small OUT [FILES]\n"
               "       make_tree large OUT\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return Usage();
  const std::string shape = argv[1];
  const std::string root = argv[2];
  if (!MakeDirectory(root)) return 1;
  uint64_t total = 0;
  bool ok = false;
  if (shape == "small" && argc <= 4) {
    const long files = argc == 4 ? std::strtol(argv[3], nullptr, 10) : 20000;
    if (files <= 0 || files > 10000000) return Usage();
    ok = MakeSmall(root, static_cast<uint32_t>(files), &total);
  } else if (shape == "large" && argc == 3) {
    ok = MakeLarge(root, &total);
  } else {
    return Usage();
  }
  if (!ok) return 1;
  std::printf("%llu\n", static_cast<unsigned long long>(total));
  return 0;
}
