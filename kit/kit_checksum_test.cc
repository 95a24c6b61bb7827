#include "kit/kit_checksum.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>

#include "kit/kit_writer.h"
#include "platform/scoped_temp_dir.h"
#include "platform/system_api.h"

namespace {

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

TEST(KitSidecarTest, OnlyOneWellFormedLineNamingTheKitServes) {
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
      {"one blank", hex + " tqkt.efd\n", State::kUnusable},
      {"another file", hex + "  other.efd\n", State::kUnusable},
      {"a path", hex + "  dir/tqkt.efd\n", State::kUnusable},
      {"no name", hex + "  \n", State::kUnusable},
      {"two lines", hex + "  tqkt.efd\n" + hex + "  tqkt.efd\n",
       State::kUnusable},
      {"carriage return", hex + "  tqkt.efd\r\n", State::kUnusable},
      {"huge", std::string(1 << 20, 'a'), State::kUnusable},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_TRUE(WriteFile(SidecarPath(kit), c.text));
    const KitSidecar sidecar = ReadKitSidecar(RealSystem(), kit);
    EXPECT_EQ(c.state, sidecar.state);
    if (c.state == State::kDigest) {
      EXPECT_EQ(hex, sidecar.digest);
    }
  }
  ASSERT_EQ(0, unlink(SidecarPath(kit).c_str()));
  EXPECT_EQ(State::kNone, ReadKitSidecar(RealSystem(), kit).state);
  // Something that cannot be read as a file is no missing file.
  ASSERT_EQ(0, mkdir(SidecarPath(kit).c_str(), 0755));
  EXPECT_EQ(State::kUnusable, ReadKitSidecar(RealSystem(), kit).state);
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
