// Shared pieces of the fuzz targets. Each target is built twice: with
// libFuzzer, where its entry point is LLVMFuzzerTestOneInput, and into the
// regression test, where FUZZ_ENTRY gives it a name of its own so that the
// three targets link into one binary. The checks abort, so that a broken
// invariant fails in both settings (libFuzzer saves the input as a crash,
// the regression test dies).
#ifndef TESTS_FUZZ_FUZZ_UTIL_H_
#define TESTS_FUZZ_FUZZ_UTIL_H_

#include <dirent.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>

#ifndef FUZZ_ENTRY
#define FUZZ_ENTRY LLVMFuzzerTestOneInput
#endif

#define FUZZ_CHECK(condition)                                          \
  do {                                                                 \
    if (!(condition)) {                                                \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__,      \
                   __LINE__, #condition);                              \
      std::abort();                                                    \
    }                                                                  \
  } while (0)

namespace fuzz {

// A directory of the process's own under $TMPDIR (or /tmp), made on first
// use and removed at exit. TMPDIR is pointed at it, so the kit reader's
// containers land there too and a leftover container is seen.
inline const std::string& ScratchDir() {
  // Never destroyed: the exit handler that removes the directory runs after
  // the destructors of statics made before it was registered.
  static const std::string* const dir = [] {
    const char* base = std::getenv("TMPDIR");
    auto* path = new std::string(
        std::string(base != nullptr && *base != 0 ? base : "/tmp") +
        "/tqfuzz-XXXXXX");
    if (mkdtemp(path->data()) == nullptr) {
      std::perror("mkdtemp");
      std::abort();
    }
    setenv("TMPDIR", path->c_str(), 1);
    std::atexit([] {
      std::error_code ignored;
      std::filesystem::remove_all(ScratchDir(), ignored);
    });
    return path;
  }();
  return *dir;
}

// Removes everything inside the scratch directory.
inline void ClearScratch() {
  std::error_code ignored;
  for (const auto& entry :
       std::filesystem::directory_iterator(ScratchDir(), ignored)) {
    std::filesystem::remove_all(entry.path(), ignored);
  }
}

// The number of names in the scratch directory.
inline size_t ScratchCount() {
  size_t count = 0;
  std::error_code ignored;
  for (auto it = std::filesystem::directory_iterator(ScratchDir(), ignored);
       it != std::filesystem::directory_iterator(); it.increment(ignored)) {
    ++count;
  }
  return count;
}

// The number of open descriptors of the process.
inline int OpenDescriptors() {
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) return -1;
  int count = 0;
  while (readdir(dir) != nullptr) ++count;
  closedir(dir);
  return count;
}

inline bool WriteBytes(const std::string& path, const void* data,
                       size_t size) {
  FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return false;
  bool ok = std::fwrite(data, 1, size, file) == size;
  return std::fclose(file) == 0 && ok;
}

inline std::string ReadBytes(const std::string& path) {
  std::string bytes;
  FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return bytes;
  char buffer[4096];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) {
    bytes.append(buffer, n);
  }
  std::fclose(file);
  return bytes;
}

}  // namespace fuzz

#endif  // TESTS_FUZZ_FUZZ_UTIL_H_
