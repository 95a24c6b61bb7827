#include "kit/kit_writer.h"

#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <fstream>
#include <random>
#include <sstream>
#include <string>

#include "kit/kit_reader.h"
#include "kit/kit_test_util.h"
#include "platform/fault_injection.h"
#include "platform/status.h"
#include "platform/system_api.h"
#include "text/text_conversion.h"

extern char** environ;

namespace {

// Inflates a raw deflate stream; false when it is corrupt or incomplete.
bool InflateRaw(const std::string& stream, std::string* out) {
  z_stream z{};
  if (inflateInit2(&z, -15) != Z_OK) return false;
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(stream.data()));
  z.avail_in = static_cast<uInt>(stream.size());
  out->clear();
  int rc;
  do {
    unsigned char buffer[16384];
    z.next_out = buffer;
    z.avail_out = sizeof(buffer);
    rc = inflate(&z, Z_NO_FLUSH);
    out->append(reinterpret_cast<char*>(buffer), sizeof(buffer) - z.avail_out);
  } while (rc == Z_OK);
  inflateEnd(&z);
  return rc == Z_STREAM_END;
}

std::string RandomBytes(size_t size, unsigned seed) {
  std::mt19937 generator(seed);
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(generator());
  return bytes;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

std::string U32(uint32_t v) {
  return std::string{static_cast<char>(v), static_cast<char>(v >> 8),
                     static_cast<char>(v >> 16), static_cast<char>(v >> 24)};
}

class KitWriterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/kit_writer_test.XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(pattern));
    dir_ = pattern;
    // The reader inflates kits into the temporary directory.
    if (const char* old = getenv("TMPDIR")) old_tmpdir_ = old;
    had_tmpdir_ = getenv("TMPDIR") != nullptr;
    setenv("TMPDIR", dir_.c_str(), 1);
  }
  void TearDown() override {
    if (had_tmpdir_) {
      setenv("TMPDIR", old_tmpdir_.c_str(), 1);
    } else {
      unsetenv("TMPDIR");
    }
    nftw(
        dir_.c_str(),
        [](const char* path, const struct stat*, int, struct FTW*) {
          return remove(path);
        },
        16, FTW_DEPTH | FTW_PHYS);
  }
  std::string Path(const std::string& name) { return dir_ + "/" + name; }

  // Names in the directory that start with "kit.efd".
  int KitFilesLeft() {
    int count = 0;
    DIR* dir = opendir(dir_.c_str());
    while (struct dirent* item = readdir(dir)) {
      count += std::string(item->d_name).rfind("kit.efd", 0) == 0;
    }
    closedir(dir);
    return count;
  }

  // Files in every form the writer takes: in memory, from disk across
  // several read chunks, and empty.
  KitSpec MixedSpec() {
    KitSpec spec;
    spec.languages.push_back({u"en", u"Product", u"Provider", u"readme.html"});
    spec.languages.push_back(
        {u"ru", u"\u041f\u0440\u043e\u0434\u0443\u043a\u0442", u"", u""});
    spec.files.push_back({u"a.cfg", 0x01D0000012345670ull, "alpha", "", 0});
    std::string big = RandomBytes(2500000, 1) + std::string(600000, 'z');
    WriteFile(Path("big.bin"), big);
    spec.files.push_back({u"dir\\big.bin", 0x01D0000000000000ull, "",
                          Path("big.bin"), static_cast<uint32_t>(big.size())});
    spec.files.push_back({u"dir\\empty", 7, "", "", 0});
    return spec;
  }
  // The same spec with every file in memory: what BuildContainer takes.
  KitSpec InMemory(KitSpec spec) {
    for (KitFileSpec& file : spec.files) {
      if (!file.source_path.empty()) file.data = ReadFile(file.source_path);
      file.source_path.clear();
    }
    return spec;
  }

  std::string dir_;
  std::string old_tmpdir_;
  bool had_tmpdir_ = false;
};

TEST(KitContainerTest, TableLayoutBytes) {
  KitSpec spec;
  spec.languages.push_back({u"en", u"A\u0416", u"", u"d"});
  spec.files.push_back({u"a\\b", 0x0102030405060708ull, "xyz", "", 0});
  spec.files.push_back({u"c", 1, "", "", 0});
  const std::string expected =
      std::string("\x01\x00\x00\x00", 4) +  // table layout
      std::string("\x01\x00\x00\x00", 4) +  // one record
      std::string("\x1E\x00\x00\x00", 4) +  // 4 + 8 + 8 + 4 + 6
      std::string(
          "\x02\x00\x00\x00"
          "e\0n\0",
          8) +  //
      std::string(
          "\x02\x00\x00\x00"
          "A\0\x16\x04",
          8) +
      std::string("\x00\x00\x00\x00", 4) +  // empty provider
      std::string(
          "\x01\x00\x00\x00"
          "d\0",
          6) +
      std::string("\x02\x00\x00\x00", 4) +  // two entries
      std::string("\x1E\x00\x00\x00", 4) +  // 4 + 10 + 16
      std::string(
          "\x03\x00\x00\x00"
          "a\0\\\0b\0",
          10) +
      std::string("\x08\x07\x06\x05\x04\x03\x02\x01", 8) +  // time low, high
      std::string("\x00\x00\x00\x00\x03\x00\x00\x00", 8) +  // offset, size
      std::string("\x1A\x00\x00\x00", 4) +                  // 4 + 6 + 16
      std::string(
          "\x01\x00\x00\x00"
          "c\0",
          6) +
      std::string("\x01\x00\x00\x00\x00\x00\x00\x00", 8) +
      std::string("\x03\x00\x00\x00\x00\x00\x00\x00", 8) +  // after "xyz"
      "xyz";
  EXPECT_EQ(expected, BuildContainer(spec));
}

TEST(KitContainerTest, SingleLanguageLayoutBytes) {
  KitSpec spec;
  spec.single_language = true;
  // The language is not stored: the reader calls the record "en".
  spec.languages.push_back({u"de", u"P", u"Q", u""});
  spec.files.push_back({u"f", 0x100000000ull, "12", "", 0});
  const std::string expected =
      std::string("\x00\x00\x00\x00", 4) +  // single-language layout
      std::string(
          "\x01\x00\x00\x00"
          "P\0",
          6) +  //
      std::string(
          "\x01\x00\x00\x00"
          "Q\0",
          6) +
      std::string("\x00\x00\x00\x00", 4) +  // empty description
      std::string("\x01\x00\x00\x00", 4) +  // one entry
      std::string("\x1A\x00\x00\x00", 4) +
      std::string(
          "\x01\x00\x00\x00"
          "f\0",
          6) +
      std::string("\x00\x00\x00\x00\x01\x00\x00\x00", 8) +
      std::string("\x00\x00\x00\x00\x02\x00\x00\x00", 8) + "12";
  EXPECT_EQ(expected, BuildContainer(spec));
}

TEST(KitContainerTest, EmptyTables) {
  KitSpec table;
  EXPECT_EQ(U32(1) + U32(0) + U32(0), BuildContainer(table));
  KitSpec single;
  single.single_language = true;
  EXPECT_EQ(U32(0) + U32(0) + U32(0) + U32(0) + U32(0), BuildContainer(single));
}

TEST(DeflateRawTest, InflatesBackAtEveryLevel) {
  const std::string inputs[] = {"", "x", RandomBytes(100000, 7),
                                std::string(200000, '\0'),
                                RandomBytes(70000, 3) + RandomBytes(70000, 3)};
  for (int level : {0, 1, 6, 9}) {
    for (const std::string& input : inputs) {
      SCOPED_TRACE("level " + std::to_string(level) + ", " +
                   std::to_string(input.size()) + " bytes");
      const std::string stream = DeflateRaw(input, level);
      ASSERT_FALSE(stream.empty());
      std::string back;
      ASSERT_TRUE(InflateRaw(stream, &back));
      EXPECT_EQ(input, back);
      EXPECT_EQ(stream, DeflateRaw(input, level));  // deterministic
    }
  }
  // A zlib or gzip header would start with 0x78 or 0x1F 0x8B; a raw stream of
  // a compressible text here starts with a block header instead.
  EXPECT_NE('\x78', DeflateRaw(std::string(1000, 'a'), 6)[0]);
  EXPECT_EQ("", DeflateRaw("abc", 10));
}

TEST_F(KitWriterTest, KitInflatesToTheContainerAndRepeatsExactly) {
  const KitSpec spec = MixedSpec();
  const std::string container = BuildContainer(InMemory(spec));
  ASSERT_FALSE(container.empty());
  for (int level : {0, 1, 9}) {
    SCOPED_TRACE("level " + std::to_string(level));
    ASSERT_EQ(kSuccess,
              WriteKit(RealSystem(), spec, Path("one.efd"), level).code());
    ASSERT_EQ(kSuccess,
              WriteKit(RealSystem(), spec, Path("two.efd"), level).code());
    const std::string kit = ReadFile(Path("one.efd"));
    EXPECT_EQ(kit, ReadFile(Path("two.efd")));
    std::string inflated;
    ASSERT_TRUE(InflateRaw(kit, &inflated));
    EXPECT_EQ(container, inflated);
  }
}

TEST_F(KitWriterTest, KitIsCreatedWithTheUmasksMode) {
  const mode_t old = umask(022);
  const Status written =
      WriteKit(RealSystem(), MixedSpec(), Path("kit.efd"), 6);
  umask(old);
  ASSERT_EQ(kSuccess, written.code());
  struct stat status;
  ASSERT_EQ(0, stat(Path("kit.efd").c_str(), &status));
  EXPECT_EQ(0644u, status.st_mode & 0777);
}

TEST_F(KitWriterTest, RefusalsLeaveNoKitBehind) {
  // A sparse source of 2 GiB: the refusal must come from the sizes alone,
  // before anything is read or deflated.
  const int fd = open(Path("huge").c_str(), O_WRONLY | O_CREAT, 0600);
  ASSERT_LE(0, fd);
  ASSERT_EQ(0, ftruncate(fd, 0x80000000LL));
  close(fd);
  WriteFile(Path("five"), "12345");

  // What the refusal says: its kind, the file or record it names, the
  // system's errno.
  struct Case {
    const char* what;
    KitSpec spec;
    int level;
    Status::Kind kind;
    std::string path;
    int error;
  };
  KitSpec too_big;
  too_big.files.push_back({u"huge", 0, "", Path("huge"), 0x80000000u});
  // The table's own 44 bytes push the container one byte over the limit.
  KitSpec just_over;
  just_over.files.push_back({u"huge", 0, "", Path("huge"), 0x7FFFFFD4u});
  KitSpec shrunk;
  shrunk.files.push_back({u"five", 0, "", Path("five"), 6});
  KitSpec grown;
  grown.files.push_back({u"five", 0, "", Path("five"), 4});
  KitSpec missing;
  missing.files.push_back({u"none", 0, "", Path("none"), 1});
  KitSpec two_singles;
  two_singles.single_language = true;
  two_singles.languages.resize(2);
  using Kind = Status::Kind;
  const Case cases[] = {
      {"2 GiB file", too_big, 6, Kind::kTooLarge, "huge", 0},
      {"table plus data over the limit", just_over, 6, Kind::kTooLarge, "huge",
       0},
      {"source shorter than promised", shrunk, 6, Kind::kChanged, Path("five"),
       0},
      {"source longer than promised", grown, 6, Kind::kChanged, Path("five"),
       0},
      {"missing source", missing, 6, Kind::kSystem, Path("none"), ENOENT},
      {"bad level", MixedSpec(), 10, Kind::kInvalidArgument, "", 0},
      {"two records in the single layout", two_singles, 6,
       Kind::kInvalidArgument, "", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const Status status =
        WriteKit(RealSystem(), c.spec, Path("kit.efd"), c.level);
    EXPECT_EQ(c.kind, status.kind()) << status.ToString();
    EXPECT_EQ(c.path, status.path());
    EXPECT_EQ(c.error, status.error());
    // Neither the kit nor its temporary file.
    EXPECT_EQ(0, KitFilesLeft());
  }
  const Status no_dir =
      WriteKit(RealSystem(), MixedSpec(), Path("no/such/dir/kit.efd"), 6);
  EXPECT_EQ(Status::Kind::kSystem, no_dir.kind());
  EXPECT_EQ(ENOENT, no_dir.error());
  EXPECT_NE(std::string::npos, no_dir.path().find("no/such/dir"))
      << no_dir.path();
}

TEST_F(KitWriterTest, FailedRewriteKeepsTheOldKit) {
  ASSERT_EQ(kSuccess,
            WriteKit(RealSystem(), MixedSpec(), Path("kit.efd"), 6).code());
  const std::string old = ReadFile(Path("kit.efd"));
  KitSpec shrunk = MixedSpec();
  shrunk.files[1].size += 1;
  EXPECT_NE(kSuccess,
            WriteKit(RealSystem(), shrunk, Path("kit.efd"), 6).code());
  EXPECT_EQ(old, ReadFile(Path("kit.efd")));
}

// The kit replaces the old one in one step: the new file beside it is
// flushed before it is renamed over the kit, and a system failure on the
// way leaves the old kit and nothing beside it, naming the file the system
// refused.
TEST_F(KitWriterTest, SystemFailuresKeepTheOldKitAndNameTheFile) {
  const std::string kit = Path("kit.efd");
  ASSERT_EQ(kSuccess, WriteKit(RealSystem(), MixedSpec(), kit, 6).code());
  const std::string old = ReadFile(kit);
  KitSpec changed = MixedSpec();
  changed.files[0].data = "changed";
  {
    FaultInjectingSystem system;
    ASSERT_EQ(kSuccess, WriteKit(system, changed, kit, 6).code());
    ASSERT_NE(old, ReadFile(kit));
    int flushed_at = -1;
    int renamed_at = -1;
    const std::vector<SysCall> log = system.Log();
    for (int i = 0; i < static_cast<int>(log.size()); ++i) {
      const bool beside = log[i].path.rfind(kit + ".part", 0) == 0;
      if (beside && log[i].op == SysOp::kFsync) flushed_at = i;
      if (beside && log[i].op == SysOp::kRename && log[i].path2 == kit) {
        renamed_at = i;
      }
    }
    ASSERT_NE(-1, renamed_at);
    EXPECT_NE(-1, flushed_at);
    EXPECT_LT(flushed_at, renamed_at);
  }
  ASSERT_EQ(kSuccess, WriteKit(RealSystem(), MixedSpec(), kit, 6).code());
  const struct {
    const char* what;
    SysOp op;
    int error;
    std::string named;  // empty: the new file beside the kit
  } cases[] = {
      {"write", SysOp::kWrite, ENOSPC, ""},
      {"read of a source", SysOp::kRead, EIO, Path("big.bin")},
      {"flush", SysOp::kFsync, EIO, ""},
      {"rename", SysOp::kRename, EACCES, kit},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    FaultInjectingSystem system;
    system.FailNth(1, c.error, Ops(c.op));
    const Status status = WriteKit(system, changed, kit, 6);
    EXPECT_EQ(Status::Kind::kSystem, status.kind()) << status.ToString();
    EXPECT_EQ(c.error, status.error());
    if (c.named.empty()) {
      EXPECT_EQ(0u, status.path().rfind(kit + ".part", 0)) << status.path();
    } else {
      EXPECT_EQ(c.named, status.path());
    }
    EXPECT_EQ(old, ReadFile(kit));
    EXPECT_EQ(1, KitFilesLeft());  // the kit, and nothing beside it
  }
}

TEST_F(KitWriterTest, OurKitsAndAnIndependentDeflatersReadAlike) {
  if (access("/bin/gzip", X_OK) != 0) GTEST_SKIP() << "no /bin/gzip";
  const KitSpec spec = MixedSpec();
  const KitSpec in_memory = InMemory(spec);
  const std::string container = BuildContainer(in_memory);
  WriteFile(Path("container"), container);
  for (int level : {1, 9}) {
    SCOPED_TRACE("level " + std::to_string(level));
    ASSERT_EQ(kSuccess,
              WriteKit(RealSystem(), spec, Path("ours.efd"), level).code());
    const std::string theirs =
        GzipRawStream(Path("container"), Path("container.gz"), level);
    ASSERT_FALSE(theirs.empty());
    WriteFile(Path("theirs.efd"), theirs);
    // Different deflaters make different streams of the same container.
    EXPECT_NE(ReadFile(Path("ours.efd")), theirs);
    for (const char* kit : {"ours.efd", "theirs.efd"}) {
      SCOPED_TRACE(kit);
      KitReader reader(RealSystem());
      ASSERT_EQ(kSuccess, reader.Open(ToWide(Path(kit).c_str())).code());
      EXPECT_EQ(container, ReadFile(ToNarrow(reader.container_path()).c_str()));
      ASSERT_EQ(2u, reader.language_records().size());
      EXPECT_TRUE(reader.language_records()[1].product ==
                  spec.languages[1].product);
      ASSERT_EQ(spec.files.size(), reader.entries().size());
      for (uint32_t i = 0; i < spec.files.size(); ++i) {
        EXPECT_TRUE(reader.entries()[i].name == spec.files[i].name);
        EXPECT_EQ(spec.files[i].last_write, reader.entries()[i].last_write);
        ASSERT_EQ(kSuccess,
                  reader.ExtractEntry(i, ToWide(Path("out").c_str())).code());
        EXPECT_EQ(in_memory.files[i].data, ReadFile(Path("out")));
      }
    }
  }
}

}  // namespace
