#include "kit/kit_checksum.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <functional>
#include <string>

#include "kit/kit_writer.h"
#include "platform/scoped_temp_dir.h"
#include "platform/system_api.h"

namespace {

// A socket bound at `path` (and left there); 0 or -1.
int BindSocket(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof(address.sun_path)) return -1;
  path.copy(address.sun_path, path.size());
  const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  const int rc =
      bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address));
  close(fd);
  return rc;
}

TEST(Sha256Test, KnownDigestsWholeAndInPieces) {
  Sha256 empty;
  EXPECT_EQ("e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855",
            empty.HexDigest());
  Sha256 whole;
  whole.Update("abc", 3);
  EXPECT_EQ("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad",
            whole.HexDigest());
  const std::string text(100000, 'x');
  Sha256 one;
  one.Update(text.data(), text.size());
  Sha256 pieces;
  for (size_t at = 0; at < text.size(); at += 777) {
    pieces.Update(text.data() + at, std::min<size_t>(777, text.size() - at));
  }
  EXPECT_EQ(one.HexDigest(), pieces.HexDigest());
}

// The texts themselves are kit/checksum_file_test.cc's; here, that the one
// read from beside the kit is the one parsed, for the kit's own name.
TEST(KitSidecarTest, TheTextBesideTheKitServesForItsName) {
  ScopedTempDir dir;
  const std::string kit = dir.Path("tqkt.efd");
  const std::string hex(64, 'a');
  const std::string upper(64, 'A');
  using State = KitSidecar::State;
  const struct {
    const char* what;
    std::string text;
    State state;
  } cases[] = {
      {"as sha256sum writes it", hex + "  tqkt.efd\n", State::kDigest},
      {"binary mark", hex + " *tqkt.efd\n", State::kDigest},
      {"no final line feed", hex + "  tqkt.efd", State::kDigest},
      {"upper case", upper + "  tqkt.efd\n", State::kDigest},
      {"empty", "", State::kUnusable},
      {"only a line feed", "\n", State::kUnusable},
      {"63 digits", hex.substr(1) + "  tqkt.efd\n", State::kUnusable},
      {"65 digits", hex + "a  tqkt.efd\n", State::kUnusable},
      {"not hex", std::string(63, 'a') + "g  tqkt.efd\n", State::kUnusable},
      {"one blank", hex + " tqkt.efd\n", State::kDigest},
      {"another file", hex + "  other.efd\n", State::kUnusable},
      {"a path", hex + "  dir/tqkt.efd\n", State::kUnusable},
      {"no name", hex + "  \n", State::kUnusable},
      {"two lines", hex + "  tqkt.efd\n" + hex + "  tqkt.efd\n",
       State::kDigest},
      {"carriage return", hex + "  tqkt.efd\r\n", State::kDigest},
      {"huge", std::string(1 << 20, 'a'), State::kUnusable},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_TRUE(WriteFile(SidecarPath(kit), c.text));
    const KitSidecar sidecar = ReadKitSidecar(RealSystem(), kit);
    EXPECT_EQ(c.state, sidecar.state);
    if (c.state == State::kDigest) {
      EXPECT_EQ(hex, sidecar.digest);
    } else {
      // The checksum file is named, not the kit.
      EXPECT_EQ(Status::Kind::kChecksumUnusable, sidecar.problem.kind());
      EXPECT_EQ(SidecarPath(kit), sidecar.problem.path());
    }
  }
}

// Only nothing at all at the path means no check. Anything else that is
// not a readable regular file there, or reached by a link that stays in the
// kit's directory, refuses the kit, and the reason says why; nothing blocks.
TEST(KitSidecarTest, AnythingElseAtThePathRefusesTheKit) {
  ScopedTempDir dir;
  ASSERT_EQ(0, mkdir(dir.Path("kit").c_str(), 0755));
  ASSERT_EQ(0, mkdir(dir.Path("kit/sums").c_str(), 0755));
  const std::string kit = dir.Path("kit/tqkt.efd");
  const std::string path = SidecarPath(kit);
  const std::string good = std::string(64, 'a') + "  tqkt.efd\n";
  ASSERT_TRUE(WriteFile(dir.Path("kit/sums/good"), good));
  ASSERT_TRUE(WriteFile(dir.Path("outside"), good));
  ASSERT_TRUE(WriteFile(dir.Path("kit/unreadable"), good));
  ASSERT_EQ(0, chmod(dir.Path("kit/unreadable").c_str(), 0));
  // Root reads a file of mode 000 all the same; then so does the reader.
  const int probe = open(dir.Path("kit/unreadable").c_str(), O_RDONLY);
  const bool root_reads = probe != -1;
  if (probe != -1) close(probe);
  using State = KitSidecar::State;
  const struct {
    const char* what;
    std::function<int()> make;  // makes the checksum file; 0 or errno
    State state;
    int error;  // problem.error() when kUnusable
  } cases[] = {
      {"nothing", [] { return 0; }, State::kNone, 0},
      {"a link inside", [&] { return symlink("sums/good", path.c_str()); },
       State::kDigest, 0},
      {"an absolute link inside",
       [&] { return symlink(dir.Path("kit/sums/good").c_str(), path.c_str()); },
       State::kDigest, 0},
      {"a link outside", [&] { return symlink("../outside", path.c_str()); },
       State::kUnusable, EINVAL},
      {"a dangling link", [&] { return symlink("sums/none", path.c_str()); },
       State::kUnusable, EINVAL},
      {"a link loop", [&] { return symlink(path.c_str(), path.c_str()); },
       State::kUnusable, ELOOP},
      {"a directory", [&] { return mkdir(path.c_str(), 0755); },
       State::kUnusable, EISDIR},
      {"a FIFO", [&] { return mkfifo(path.c_str(), 0644); }, State::kUnusable,
       EINVAL},
      {"a link to a FIFO",
       [&] {
         return mkfifo(dir.Path("kit/sums/fifo").c_str(), 0644) ||
                symlink("sums/fifo", path.c_str());
       },
       State::kUnusable, EINVAL},
      {"a socket", [&] { return BindSocket(path); }, State::kUnusable,
       EINVAL},
      {"a link to a socket",
       [&] {
         return BindSocket(dir.Path("kit/sums/socket")) ||
                symlink("sums/socket", path.c_str());
       },
       State::kUnusable, EINVAL},
      {"mode 000",
       [&] { return rename(dir.Path("kit/unreadable").c_str(), path.c_str()); },
       root_reads ? State::kDigest : State::kUnusable, EACCES},
      {"too large",
       [&] {
         return WriteFile(path, good + std::string(64 * 1024, '#')) ? 0 : EIO;
       },
       State::kUnusable, EFBIG},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::filesystem::remove_all(path);
    ASSERT_EQ(0, c.make());
    // A FIFO opened to wait for a writer would hold this test until ctest's
    // limit; the programs' own runs (tests/hostile_env_test.cc) have a
    // shorter one.
    const KitSidecar sidecar = ReadKitSidecar(RealSystem(), kit);
    EXPECT_EQ(c.state, sidecar.state);
    if (c.state == State::kDigest) {
      EXPECT_EQ(std::string(64, 'a'), sidecar.digest);
    }
    if (c.state == State::kUnusable) {
      EXPECT_EQ(Status::Kind::kChecksumUnusable, sidecar.problem.kind());
      EXPECT_EQ(c.error, sidecar.problem.error()) << sidecar.problem.ToString();
      EXPECT_EQ(path, sidecar.problem.path());
    }
  }
}

TEST(KitSidecarTest, WrittenSidecarsReadBackAndHashesMatch) {
  ScopedTempDir dir;
  const std::string kit = dir.Path("kit.efd");
  ASSERT_TRUE(WriteFile(kit, std::string(300000, 'k') + "end"));
  SystemApi& sys = RealSystem();
  KitDigest digest;
  ASSERT_EQ(kSuccess, HashFileFrom(sys, kit, 0, &digest).code());
  EXPECT_EQ(300003u, digest.bytes);
  const std::string hex = digest.sha.HexDigest();
  ASSERT_EQ(kSuccess, WriteKitSidecar(sys, kit, hex).code());
  EXPECT_EQ(hex + "  kit.efd\n", ReadFile(SidecarPath(kit)));
  const KitSidecar sidecar = ReadKitSidecar(sys, kit);
  EXPECT_EQ(KitSidecar::State::kDigest, sidecar.state);
  EXPECT_EQ(hex, sidecar.digest);
  // Hashing the rest from a position continues a digest.
  KitDigest split;
  const std::string head(1000, 'k');
  split.sha.Update(head.data(), head.size());
  split.bytes = head.size();
  ASSERT_EQ(kSuccess, HashFileFrom(sys, kit, 1000, &split).code());
  EXPECT_EQ(hex, split.sha.HexDigest());
  const Status missing = HashFileFrom(sys, dir.Path("missing"), 0, &split);
  EXPECT_EQ(kErrorFileNotFound, missing.code());
  EXPECT_EQ(dir.Path("missing"), missing.path());
}

}  // namespace
