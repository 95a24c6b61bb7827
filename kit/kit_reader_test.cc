#include "kit/kit_reader.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "kit/kit_checksum.h"
#include "kit/kit_test_util.h"
#include "kit/kit_writer.h"
#include "platform/fault_injection.h"
#include "platform/scoped_temp_dir.h"
#include "platform/status.h"
#include "platform/system_api.h"
#include "text/text_conversion.h"

namespace {

// 2021-01-01 00:00:00 UTC as a file time, and the same time one second and a
// half later.
constexpr FileTime kTime = 132539328000000000ull;
constexpr FileTime kTimeAndAHalf = kTime + 15000000;

std::string U32(uint32_t v) {
  return std::string{static_cast<char>(v), static_cast<char>(v >> 8),
                     static_cast<char>(v >> 16), static_cast<char>(v >> 24)};
}

// A container string: unit count, then UTF-16LE units (ASCII text here).
std::string Str(const std::string& ascii) {
  std::string out = U32(static_cast<uint32_t>(ascii.size()));
  for (char c : ascii) {
    out.push_back(c);
    out.push_back('\0');
  }
  return out;
}

// A language record with `surplus` bytes after its four strings.
std::string Record(const std::string& language, const std::string& product,
                   const std::string& provider, const std::string& description,
                   const std::string& surplus = "") {
  std::string body =
      Str(language) + Str(product) + Str(provider) + Str(description) + surplus;
  return U32(static_cast<uint32_t>(4 + body.size())) + body;
}

// A file entry with `surplus` bytes after its fields.
std::string Entry(const std::string& name, FileTime time, uint32_t offset,
                  uint32_t size, const std::string& surplus = "") {
  std::string body = Str(name) + U32(static_cast<uint32_t>(time)) +
                     U32(static_cast<uint32_t>(time >> 32)) + U32(offset) +
                     U32(size) + surplus;
  return U32(static_cast<uint32_t>(4 + body.size())) + body;
}

std::string Narrow(const WideString& text) {
  return std::string(ToNarrow(text).c_str());
}

WideString Wide(const std::string& text) { return WidePath(text); }

KitFileSpec File(const std::string& name, const std::string& data,
                 FileTime time = kTime) {
  KitFileSpec file;
  file.name = Wide(name);
  file.data = data;
  file.last_write = time;
  return file;
}

LanguageRecord Language(const std::string& language, const std::string& product,
                        const std::string& provider,
                        const std::string& description) {
  return {Wide(language), Wide(product), Wide(provider), Wide(description)};
}

std::string Patterned(size_t size, unsigned seed) {
  std::mt19937 generator(seed);
  std::string bytes(size, '\0');
  // Compressible but not trivial: runs of random letters.
  for (size_t i = 0; i < size; ++i)
    bytes[i] = static_cast<char>('a' + generator() % 4);
  return bytes;
}

int64_t ModificationSeconds(const std::string& path) {
  struct stat status;
  if (stat(path.c_str(), &status) != 0) return -1;
  return status.st_mtime;
}

class KitReaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    temp_ = dir_.Path("tmp");
    ASSERT_EQ(0, mkdir(temp_.c_str(), 0700));
    ASSERT_EQ(0, mkdir(dir_.Path("out").c_str(), 0700));
    const char* old = getenv("TMPDIR");
    had_tmpdir_ = old != nullptr;
    if (had_tmpdir_) old_tmpdir_ = old;
    setenv("TMPDIR", temp_.c_str(), 1);
  }
  void TearDown() override {
    reader_.Close();
    EXPECT_EQ(std::vector<std::string>{}, TempFiles());
    if (had_tmpdir_) {
      setenv("TMPDIR", old_tmpdir_.c_str(), 1);
    } else {
      unsetenv("TMPDIR");
    }
  }

  // Names in the temporary directory.
  std::vector<std::string> TempFiles() const {
    std::vector<std::string> names;
    DIR* dir = opendir(temp_.c_str());
    if (dir == nullptr) return {"<unreadable>"};
    while (struct dirent* entry = readdir(dir)) {
      std::string name = entry->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    closedir(dir);
    return names;
  }

  std::string KitPath() const { return dir_.Path(kKitFileName); }

  Status OpenKit(const std::string& kit_bytes) {
    EXPECT_TRUE(WriteFile(KitPath(), kit_bytes));
    return reader_.Open(Wide(KitPath()));
  }
  Status OpenContainer(const std::string& container) {
    return OpenKit(DeflateRaw(container));
  }
  Status OpenBuilt(const KitSpec& contents) {
    return OpenContainer(BuildContainer(contents));
  }

  // Extracts entry `index` of `reader` to out/`name` and returns the file's
  // bytes.
  std::string Extract(uint32_t index, const std::string& name = "file") {
    return Extract(reader_, index, name);
  }
  std::string Extract(KitReader& reader, uint32_t index,
                      const std::string& name) {
    const std::string path = Out(name);
    EXPECT_EQ(kSuccess, reader.ExtractEntry(index, Wide(path)).code());
    return ReadFile(path);
  }
  std::string Out(const std::string& name) const {
    return dir_.Path("out/" + name);
  }

  // After a failed Open: no entries and nothing left behind.
  void ExpectCleanFailure(const std::string& what) {
    ExpectCleanFailure(reader_, what);
  }
  void ExpectCleanFailure(const KitReader& reader, const std::string& what) {
    SCOPED_TRACE(what);
    EXPECT_TRUE(reader.entries().empty());
    EXPECT_TRUE(reader.container_path().empty());
    EXPECT_EQ(std::vector<std::string>{}, TempFiles());
  }

  ScopedTempDir dir_;
  std::string temp_;
  bool had_tmpdir_ = false;
  std::string old_tmpdir_;
  KitReader reader_{RealSystem()};
};

TEST_F(KitReaderTest, OpensLanguageTableLayout) {
  KitSpec contents;
  contents.languages = {
      Language("ru", "Produkt", "Postavshchik", "opisanie.pdf"),
      Language("en", "Product", "Provider", "readme.pdf")};
  contents.files = {File("a.cfg", "alpha", kTime),
                    File("sub\\b.cfg", "bravo bravo", kTimeAndAHalf),
                    File("empty", "")};
  ASSERT_EQ(kSuccess, OpenBuilt(contents).code());

  ASSERT_EQ(2u, reader_.language_records().size());
  EXPECT_EQ("ru", Narrow(reader_.language_records()[0].language));
  EXPECT_EQ("Provider", Narrow(reader_.language_records()[1].provider));
  ASSERT_EQ(3u, reader_.entries().size());
  EXPECT_EQ("sub\\b.cfg", Narrow(reader_.entries()[1].name));
  EXPECT_EQ(kTimeAndAHalf, reader_.entries()[1].last_write);
  EXPECT_EQ(11u, reader_.entries()[1].size);

  // Offsets are absolute positions in the container.
  const std::string container = ReadFile(Narrow(reader_.container_path()));
  EXPECT_EQ(BuildContainer(contents), container);
  for (const KitEntry& entry : reader_.entries()) {
    EXPECT_EQ(contents.files[&entry - &reader_.entries()[0]].data,
              container.substr(entry.offset, entry.size));
  }
  EXPECT_EQ("alpha", Extract(0, "a"));
  EXPECT_EQ("bravo bravo", Extract(1, "b"));

  // Where the file system allows it, the container has no name: a killed
  // run cannot leave it behind.
  EXPECT_EQ(std::vector<std::string>{}, TempFiles());
  EXPECT_EQ(0u, Narrow(reader_.container_path()).find("/proc/self/fd/"));
}

// Without unnamed files, the container lives in the temporary directory
// under the "edf" prefix, locked while the reader has it.
TEST_F(KitReaderTest, WithoutUnnamedFilesTheContainerIsNamedAndLocked) {
  FaultInjectingSystem system;
  system.RefuseUnnamedFiles();
  KitReader reader(system);
  KitSpec contents;
  contents.languages = {Language("en", "P", "V", "")};
  contents.files = {File("a", "alpha")};
  ASSERT_TRUE(WriteFile(KitPath(), DeflateRaw(BuildContainer(contents))));
  ASSERT_EQ(kSuccess, reader.Open(Wide(KitPath())).code());
  EXPECT_EQ("alpha", Extract(reader, 0, "a"));
  const std::vector<std::string> files = TempFiles();
  ASSERT_EQ(1u, files.size());
  EXPECT_EQ("edf", files[0].substr(0, 3));
  EXPECT_TRUE(IsKitContainerName(files[0])) << files[0];
  EXPECT_EQ(temp_ + "/" + files[0], Narrow(reader.container_path()));

  // The open reader holds the container's lock (another open file cannot
  // take it), so that a later start never takes it for a killed run's.
  const int fd =
      open(Narrow(reader.container_path()).c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_NE(-1, fd);
  EXPECT_EQ(-1, flock(fd, LOCK_EX | LOCK_NB));
  EXPECT_EQ(EWOULDBLOCK, errno);
  reader.Close();
  EXPECT_EQ(0, flock(fd, LOCK_EX | LOCK_NB));
  close(fd);
}

TEST(KitContainerNameTest, OnlyTheReadersOwnPattern) {
  EXPECT_TRUE(IsKitContainerName("edfAb3xYz"));
  for (const char* name : {"edf", "edfAb3xY", "edfAb3xYz0", "edfAb3.Yz",
                           "EDFAb3xYz", "xedfAb3xY", "ktstp0"}) {
    EXPECT_FALSE(IsKitContainerName(name)) << name;
  }
}

TEST_F(KitReaderTest, SingleLanguageLayoutIsEnglish) {
  const std::string container = U32(0) + Str("Product") + Str("Provider") +
                                Str("doc.pdf") + U32(1) +
                                Entry("x", kTime, 0, 3) + "xyz";
  ASSERT_EQ(kSuccess, OpenContainer(container).code());
  ASSERT_EQ(1u, reader_.language_records().size());
  EXPECT_EQ("en", Narrow(reader_.language_records()[0].language));
  EXPECT_EQ("doc.pdf", Narrow(reader_.FindDescription(u"de")));
  EXPECT_EQ("doc.pdf", Narrow(reader_.FindDescription(u"en")));
  EXPECT_EQ("xyz", Extract(0));
}

TEST_F(KitReaderTest, SingleLanguageLayoutWithEmptyStrings) {
  ASSERT_EQ(kSuccess,
            OpenContainer(U32(0) + U32(0) + U32(0) + U32(0) + U32(0)).code());
  ASSERT_EQ(1u, reader_.language_records().size());
  EXPECT_TRUE(reader_.language_records()[0].product.empty());
  EXPECT_TRUE(reader_.entries().empty());
}

TEST_F(KitReaderTest, LayoutOneWithNoRecordsAndNoEntries) {
  ASSERT_EQ(kSuccess, OpenContainer(U32(1) + U32(0) + U32(0)).code());
  EXPECT_TRUE(reader_.language_records().empty());
  EXPECT_TRUE(reader_.entries().empty());
  EXPECT_TRUE(reader_.is_open());
}

TEST_F(KitReaderTest, AnyNonZeroLayoutWordSelectsTheLanguageTable) {
  ASSERT_EQ(kSuccess, OpenContainer(U32(0xDEADBEEF) + U32(1) +
                                    Record("de", "P", "V", "d") + U32(0))
                          .code());
  ASSERT_EQ(1u, reader_.language_records().size());
  EXPECT_EQ("de", Narrow(reader_.language_records()[0].language));
}

TEST_F(KitReaderTest, FindsProductIgnoringCaseAndClearsWhenMissing) {
  ASSERT_EQ(kSuccess,
            OpenContainer(U32(1) + U32(2) + Record("EN", "Prod", "Prov", "") +
                          Record("en", "Second", "Second", "") + U32(0))
                .code());
  WideString product = u"old";
  WideString provider = u"old";
  reader_.FindProductInfo(u"en", &product, &provider);
  EXPECT_EQ("Prod", Narrow(product));  // the first match wins
  EXPECT_EQ("Prov", Narrow(provider));
  reader_.FindProductInfo(u"de", &product, &provider);
  EXPECT_TRUE(product.empty());
  EXPECT_TRUE(provider.empty());
}

TEST_F(KitReaderTest, DescriptionFallbacks) {
  struct Case {
    std::vector<std::string> records;
    std::string language;
    std::string expected;
  } cases[] = {
      {{Record("ru", "", "", "ru.pdf"), Record("en", "", "", "en.pdf")},
       "RU",
       "ru.pdf"},
      {{Record("ru", "", "", ""), Record("en", "", "", "en.pdf")},
       "ru",
       "en.pdf"},
      {{Record("ru", "", "", ""), Record("de", "", "", "de.pdf")}, "ru", ""},
      {{Record("de", "", "", "de.pdf"), Record("En", "", "", "en.pdf")},
       "kk",
       "en.pdf"},
      {{Record("de", "", "", "de.pdf")}, "kk", ""},
      // The first "en" record answers even when its description is empty.
      {{Record("en", "", "", ""), Record("en", "", "", "late.pdf")}, "uk", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.language + " -> " + c.expected);
    KitReader reader(RealSystem());
    std::string container =
        U32(1) + U32(static_cast<uint32_t>(c.records.size()));
    for (const std::string& record : c.records) container += record;
    container += U32(0);
    ASSERT_TRUE(WriteFile(KitPath(), DeflateRaw(container)));
    ASSERT_EQ(kSuccess, reader.Open(Wide(KitPath())).code());
    EXPECT_EQ(c.expected, Narrow(reader.FindDescription(Wide(c.language))));
  }
}

TEST_F(KitReaderTest, SkipsSurplusRecordAndEntryBytes) {
  const std::string container =
      U32(1) + U32(2) + Record("en", "P1", "V1", "D1", "surplus") +
      Record("de", "P2", "V2", "D2", std::string(3, '\xFF')) + U32(2) +
      Entry("one", kTime, 0, 2, "junk!") +
      Entry("two", kTimeAndAHalf, 2, 3, std::string(9, '\0')) + "12345";
  ASSERT_EQ(kSuccess, OpenContainer(container).code());
  ASSERT_EQ(2u, reader_.language_records().size());
  EXPECT_EQ("de", Narrow(reader_.language_records()[1].language));
  EXPECT_EQ("D2", Narrow(reader_.language_records()[1].description));
  ASSERT_EQ(2u, reader_.entries().size());
  EXPECT_EQ("two", Narrow(reader_.entries()[1].name));
  EXPECT_EQ(kTimeAndAHalf, reader_.entries()[1].last_write);
  EXPECT_EQ("12", Extract(0, "one"));
  EXPECT_EQ("345", Extract(1, "two"));
}

TEST_F(KitReaderTest, OffsetZeroIsTheFirstByteAfterTheFileTable) {
  const std::string tables = U32(1) + U32(0) + U32(1) + Entry("f", kTime, 0, 4);
  ASSERT_EQ(kSuccess, OpenContainer(tables + "DATA").code());
  EXPECT_EQ(tables.size(), reader_.entries()[0].offset);
  EXPECT_EQ("DATA", Extract(0));
}

TEST_F(KitReaderTest, RefusesWhatIsNotADeflateStream) {
  EXPECT_EQ(kErrorInvalidData,
            OpenKit("\xFF\xFF\xFF\xFF this is no kit").code());
  ExpectCleanFailure("garbage");
}

TEST_F(KitReaderTest, MissingKitIsFileNotFound) {
  EXPECT_EQ(kErrorFileNotFound,
            reader_.Open(Wide(dir_.Path("absent.efd"))).code());
  ExpectCleanFailure("missing");
}

TEST_F(KitReaderTest, RefusesDamagedContainers) {
  const std::string record = Record("en", "P", "V", "D");
  const std::string entry_table = U32(1) + Entry("f", kTime, 0, 3);
  struct Case {
    const char* what;
    std::string container;
  } cases[] = {
      {"empty container", ""},
      {"ends inside the layout word", std::string(2, '\1')},
      {"no record count", U32(1)},
      {"record count beyond the records", U32(1) + U32(2) + record + U32(0)},
      {"record size below its own field", U32(1) + U32(1) + U32(3) + U32(0)},
      {"record size smaller than its strings",
       U32(1) + U32(1) + U32(12) + Str("en") + Str("P") + Str("V") + Str("D") +
           U32(0)},
      {"record size beyond the container", U32(1) + U32(1) + U32(4000) +
                                               Str("en") + Str("P") + Str("V") +
                                               Str("D") + U32(0)},
      {"string count beyond the record body",
       U32(1) + U32(1) + U32(24) + U32(0x3FFFFFFE) + std::string(16, 'x') +
           U32(0)},
      {"string count beyond the record body, within the container",
       U32(1) + U32(1) + U32(24) + U32(10) + std::string(16, 'x') + U32(1) +
           Entry("f", kTime, 0, 40) + std::string(40, 'd')},
      {"single-language string beyond the container",
       U32(0) + U32(0x7FFFFFFF) + "ab"},
      {"single-language layout without its third string",
       U32(0) + Str("P") + Str("V")},
      {"no entry count", U32(1) + U32(1) + record},
      {"entry count beyond the entries",
       U32(1) + U32(0) + U32(3) + Entry("f", kTime, 0, 0)},
      {"huge entry count",
       U32(1) + U32(0) + U32(0xFFFFFFFF) + Entry("f", kTime, 0, 0)},
      {"entry size below its own field",
       U32(1) + U32(0) + U32(1) + U32(2) + std::string(30, 'z')},
      {"entry size smaller than its fields", U32(1) + U32(0) + U32(1) +
                                                 U32(4 + 6 + 8) + Str("f") +
                                                 std::string(16, '\0') + "abc"},
      {"entry name count beyond the entry", U32(1) + U32(0) + U32(1) + U32(30) +
                                                U32(1000) +
                                                std::string(22, '\0') + "abc"},
      {"entry bytes beyond the container",
       U32(1) + U32(0) + entry_table + "ab"},
      {"entry offset beyond the container",
       U32(1) + U32(0) + U32(1) + Entry("f", kTime, 100, 1) + "abc"},
      {"offset and size beyond 32 bits",
       U32(1) + U32(0) + U32(1) + Entry("f", kTime, 0xFFFFFFFF, 0xFFFFFFFF) +
           "abc"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(kErrorInvalidData, OpenContainer(c.container).code()) << c.what;
    ExpectCleanFailure(c.what);
  }
}

TEST_F(KitReaderTest, EntryNamesMustStayInsideTheTemplateDirectory) {
  struct Case {
    std::u16string name;
    bool accepted;
    std::string file;  // where it lands under out/, with "/" separators
  } cases[] = {
      {u"..\\x", false, ""},          {u"a/../b", false, ""},
      {u"a\\..", false, ""},          {u"..", false, ""},
      {u"a\\..\\..\\etc", false, ""}, {std::u16string(u"a\0b", 3), false, ""},
      {u"\\lead", true, "lead"},      {u"a\\\\b", true, "a/b"},
      {u"...", true, "..."},          {u"a..b", true, "a..b"},
      {u".\\dot", true, "dot"},
  };
  ASSERT_EQ(0, mkdir(Out("a").c_str(), 0700));
  for (const Case& c : cases) {
    std::string name_units;
    for (char16_t unit : c.name) {
      name_units.push_back(static_cast<char>(unit & 0xFF));
      name_units.push_back(static_cast<char>(unit >> 8));
    }
    const std::string container =
        U32(1) + U32(0) + U32(1) +
        U32(static_cast<uint32_t>(4 + 4 + name_units.size() + 16)) +
        U32(static_cast<uint32_t>(c.name.size())) + name_units + U32(0) +
        U32(0) + U32(0) + U32(2) + "ok";
    const std::string label =
        Narrow(WideString(c.name.data(), static_cast<uint32_t>(c.name.size())));
    if (!c.accepted) {
      EXPECT_EQ(kErrorInvalidData, OpenContainer(container).code()) << label;
      ExpectCleanFailure(label);
      continue;
    }
    ASSERT_EQ(kSuccess, OpenContainer(container).code()) << label;
    // The worker appends the name to the template directory with "/".
    WideString destination = Wide(Out(""));
    for (char16_t unit : c.name) {
      const char16_t slash = u'/';
      destination.append(unit == u'\\' ? &slash : &unit, 1);
    }
    EXPECT_EQ(kSuccess, reader_.ExtractEntry(0, destination).code()) << label;
    EXPECT_EQ("ok", ReadFile(Out(c.file))) << label;
  }
}

TEST_F(KitReaderTest, EveryTruncationOfTheContainerFailsCleanly) {
  KitSpec contents;
  contents.languages = {Language("en", "Product", "Provider", "d.pdf"),
                        Language("ru", "P", "V", "")};
  contents.files = {File("a", "1"), File("dir\\b", "22"), File("c", "333")};
  const std::string container = BuildContainer(contents);
  ASSERT_EQ(kSuccess, OpenContainer(container).code());
  reader_.Close();
  for (size_t length = 0; length < container.size(); ++length) {
    KitReader reader(RealSystem());
    ASSERT_TRUE(WriteFile(KitPath(), DeflateRaw(container.substr(0, length))));
    EXPECT_EQ(kErrorInvalidData, reader.Open(Wide(KitPath())).code())
        << "length " << length;
    EXPECT_TRUE(reader.entries().empty());
    EXPECT_TRUE(reader.container_path().empty());
    ASSERT_EQ(std::vector<std::string>{}, TempFiles()) << "length " << length;
  }
}

TEST_F(KitReaderTest, EveryTruncationOfTheKitFailsCleanlyOrYieldsAllBytes) {
  KitSpec contents;
  contents.languages = {Language("en", "Product", "Provider", "d.pdf")};
  contents.files = {File("a", "1"), File("b", Patterned(300, 1))};
  const std::string container = BuildContainer(contents);
  const std::string kit = DeflateRaw(container);
  for (size_t length = 0; length < kit.size(); ++length) {
    SCOPED_TRACE(length);
    KitReader reader(RealSystem());
    ASSERT_TRUE(WriteFile(KitPath(), kit.substr(0, length)));
    if (reader.Open(Wide(KitPath())).code() == kSuccess) {
      // The stream's last bits may carry no data.
      EXPECT_EQ(container, ReadFile(Narrow(reader.container_path())));
      continue;
    }
    EXPECT_TRUE(reader.entries().empty());
    ASSERT_EQ(std::vector<std::string>{}, TempFiles());
  }
}

TEST_F(KitReaderTest, IgnoresBytesAfterTheEndOfTheStream) {
  const std::string container =
      U32(1) + U32(0) + U32(1) + Entry("f", kTime, 0, 5) + "hello";
  ASSERT_EQ(
      kSuccess,
      OpenKit(DeflateRaw(container) + "trailing garbage \x01\x02\x03").code());
  EXPECT_EQ(container, ReadFile(Narrow(reader_.container_path())));
  EXPECT_EQ("hello", Extract(0));
}

TEST_F(KitReaderTest, InflatesAStreamFromAnIndependentDeflater) {
  KitSpec contents;
  contents.languages = {Language("en", "Product", "Provider", "")};
  contents.files = {File("big", Patterned(300000, 7)), File("small", "s")};
  const std::string container = BuildContainer(contents);
  const std::string plain = dir_.Path("container");
  const std::string gz = dir_.Path("container.gz");
  ASSERT_TRUE(WriteFile(plain, container));
  const std::string raw = GzipRawStream(plain, gz, 9);
  if (raw.empty()) GTEST_SKIP() << "gzip not available";
  ASSERT_EQ(kSuccess, OpenKit(raw).code());
  EXPECT_EQ(container, ReadFile(Narrow(reader_.container_path())));
  EXPECT_EQ(contents.files[0].data, Extract(0));
}

// Stored blocks, and streams that fill several of the inflation's blocks
// and several of the pieces the kit is read in, inflate to exactly the
// container. (An empty kit is the truncation to length 0 above; a missing
// one, MissingKitIsFileNotFound.)
TEST_F(KitReaderTest, InflatesStoredAndMultiBlockStreams) {
  const std::string large = Patterned(3 * 256 * 1024 + 17, 3);
  const struct {
    const char* what;
    std::string data;
    int level;
  } cases[] = {
      {"stored block", "stored", 0},
      {"several blocks", large, 1},
      {"several stored blocks and pieces", large, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    KitSpec contents;
    contents.languages = {Language("en", "P", "V", "")};
    contents.files = {File("f", c.data)};
    const std::string container = BuildContainer(contents);
    ASSERT_EQ(kSuccess, OpenKit(DeflateRaw(container, c.level)).code());
    EXPECT_TRUE(container == ReadFile(Narrow(reader_.container_path())));
    EXPECT_TRUE(c.data == Extract(0));
    reader_.Close();
  }
}

TEST_F(KitReaderTest, ReportsAFailedContainerWriteAtOnce) {
  KitSpec contents;
  contents.languages = {Language("en", "P", "V", "")};
  // Long enough that the kit read ahead of the inflation is a small part.
  contents.files = {File("big", Patterned(24 << 20, 11))};
  ASSERT_TRUE(WriteFile(KitPath(), DeflateRaw(BuildContainer(contents))));
  const std::string kit = KitPath();
  auto kit_reads = [&](const FaultInjectingSystem& system) {
    int reads = 0;
    for (const SysCall& call : system.Log())
      reads += call.op == SysOp::kRead && call.path == kit;
    return reads;
  };

  FaultInjectingSystem counting;
  int full_reads;
  uint64_t writes;
  {
    KitReader reader(counting);
    ASSERT_EQ(kSuccess, reader.Open(Wide(kit)).code());
    full_reads = kit_reads(counting);
    writes = counting.CallCount(Ops(SysOp::kWrite));
  }
  ASSERT_GT(writes, 8u);
  for (const bool named : {false, true})
    for (uint64_t nth : {uint64_t{1}, writes / 2, writes}) {
      SCOPED_TRACE(std::to_string(nth) + (named ? ", named" : ", unnamed"));
      FaultInjectingSystem system;
      if (named) system.RefuseUnnamedFiles();
      system.FailNth(nth, ENOSPC, Ops(SysOp::kWrite));
      KitReader reader(system);
      const Status status = reader.Open(Wide(kit));
      EXPECT_EQ(kErrorInvalidParameter, status.code());
      EXPECT_EQ(1u, system.InjectedCount() - named);
      // The container (or, for one without a name, the temporary directory)
      // is named, so that the user hears of a full temporary directory
      // rather than of a damaged kit.
      if (named) {
        EXPECT_EQ(0u, status.path().find(temp_ + "/edf"));
      } else {
        EXPECT_EQ(temp_, status.path());
      }
      EXPECT_EQ(ENOSPC, status.error());
      ExpectCleanFailure(reader, "no space");
      // Inflation stops instead of walking the rest of the kit.
      if (nth == 1) {
        EXPECT_LT(kit_reads(system), full_reads / 2);
      }
    }
}

// Whatever the system refuses on the way in is named with its reason: the
// kit, the temporary directory, the container; the kit's own damage is not
// the system's.
TEST_F(KitReaderTest, FailuresNameWhatTheSystemRefused) {
  KitSpec contents;
  contents.languages = {Language("en", "P", "V", "")};
  contents.files = {File("f", "bytes")};
  ASSERT_TRUE(WriteFile(KitPath(), DeflateRaw(BuildContainer(contents))));
  const struct {
    const char* what;
    std::string fragment;
    int error;
    SysOpSet ops;
    std::string named;
  } cases[] = {
      {"kit unreadable", KitPath(), EACCES, Ops(SysOp::kOpen), KitPath()},
      {"kit read fails", KitPath(), EIO, Ops(SysOp::kRead), KitPath()},
      {"temporary directory refuses", temp_, EACCES,
       Ops(SysOp::kOpen, SysOp::kMakeTemp), temp_},
  };
  for (const bool streaming : {false, true}) {
    for (const auto& c : cases) {
      SCOPED_TRACE(std::string(c.what) + (streaming ? ", streaming" : ""));
      FaultInjectingSystem system;
      system.FailPath(c.fragment, c.error, c.ops);
      KitReader reader(system);
      const Status status = streaming ? reader.OpenStreaming(Wide(KitPath()))
                                      : reader.Open(Wide(KitPath()));
      EXPECT_NE(kSuccess, status.code());
      EXPECT_NE(kErrorInvalidData, status.code());
      EXPECT_EQ(c.named, status.path());
      EXPECT_EQ(c.error, status.error());
    }
  }
  ASSERT_TRUE(WriteFile(KitPath(), "not a deflate stream at all"));
  const Status damaged = reader_.Open(Wide(KitPath()));
  EXPECT_EQ(kErrorInvalidData, damaged.code());
  EXPECT_EQ(Status::Kind::kDamagedKit, damaged.kind());
  EXPECT_EQ("", damaged.path());
  EXPECT_EQ(0, damaged.error());
}

TEST_F(KitReaderTest, CloseAndDestructionRemoveTheContainer) {
  FaultInjectingSystem system;
  system.RefuseUnnamedFiles();
  KitReader reader(system);
  ASSERT_TRUE(WriteFile(KitPath(), DeflateRaw(U32(1) + U32(0) + U32(0))));
  ASSERT_EQ(kSuccess, reader.Open(Wide(KitPath())).code());
  ASSERT_EQ(1u, TempFiles().size());
  // A second Open replaces the first container instead of leaving it.
  ASSERT_EQ(kSuccess, reader.Open(Wide(KitPath())).code());
  ASSERT_EQ(1u, TempFiles().size());
  reader.Close();
  EXPECT_EQ(std::vector<std::string>{}, TempFiles());
  {
    KitReader scoped(system);
    ASSERT_EQ(kSuccess, scoped.Open(Wide(KitPath())).code());
    EXPECT_EQ(1u, TempFiles().size());
  }
  EXPECT_EQ(std::vector<std::string>{}, TempFiles());
}

// A reader opened again reads the new kit's language records only, whether
// the new kit opens or fails after its language table; the old records would
// otherwise answer FindProductInfo first.
TEST_F(KitReaderTest, OpeningAgainDropsTheEarlierKitsRecords) {
  const std::string two_records = U32(1) + U32(2) +
                                   Record("en", "Old", "Vendor", "") +
                                   Record("de", "Alt", "Vendor", "") + U32(0);
  const std::string one_record =
      U32(1) + U32(1) + Record("en", "New", "Maker", "") + U32(0);
  for (bool streaming : {false, true}) {
    SCOPED_TRACE(streaming ? "streaming" : "open");
    auto open = [&](const std::string& container) {
      EXPECT_TRUE(WriteFile(KitPath(), DeflateRaw(container)));
      return streaming ? reader_.OpenStreaming(Wide(KitPath()))
                       : reader_.Open(Wide(KitPath()));
    };
    ASSERT_EQ(kSuccess, open(two_records).code());
    ASSERT_EQ(2u, reader_.language_records().size());
    ASSERT_EQ(kSuccess, open(one_record).code());
    ASSERT_EQ(1u, reader_.language_records().size());
    WideString product, provider;
    reader_.FindProductInfo(u"en", &product, &provider);
    EXPECT_EQ("New", Narrow(product));
    EXPECT_EQ("Maker", Narrow(provider));
    reader_.FindProductInfo(u"de", &product, &provider);
    EXPECT_EQ("", Narrow(product));
    // A kit damaged after its records: those records, none of the last kit.
    ASSERT_EQ(kSuccess, open(two_records).code());
    EXPECT_EQ(kErrorInvalidData,
              open(U32(1) + U32(1) + Record("ru", "Damaged", "", "") + U32(1))
                  .code());
    ASSERT_EQ(1u, reader_.language_records().size());
    EXPECT_EQ("ru", Narrow(reader_.language_records()[0].language));
    reader_.Close();
  }
}

// A kit of a few bytes whose tables claim strings of a gigabyte and more is
// refused without the reader taking that memory first: streaming, the claim
// can only be checked against the largest container, so the string must
// grow as its bytes arrive. Run in a child, whose peak memory the kernel
// reports.
TEST_F(KitReaderTest, StreamingRefusesHugeStringClaimsWithoutTakingTheMemory) {
  struct rusage self;
  ASSERT_EQ(0, getrusage(RUSAGE_SELF, &self));
  const std::vector<std::string> containers = {
      U32(1) + U32(1) + U32(0x7FFFFF00) + U32(0x3FFFFF00),  // a language
      U32(0) + U32(0) + U32(0) + U32(0) + U32(1) + U32(0x7FFFFF00) +
          U32(0x3FFFFF00),  // an entry name
  };
  for (const std::string& container : containers) {
    ASSERT_TRUE(WriteFile(KitPath(), DeflateRaw(container)));
    pid_t child = fork();
    ASSERT_NE(-1, child);
    if (child == 0) {
      KitReader reader(RealSystem());
      _exit(static_cast<int>(reader.OpenStreaming(Wide(KitPath())).code()));
    }
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(static_cast<int>(kErrorInvalidData), WEXITSTATUS(status));
  }
  struct rusage children;
  ASSERT_EQ(0, getrusage(RUSAGE_CHILDREN, &children));
  // ru_maxrss in KiB: the children start with this process's pages and may
  // add the reader's buffers, never a gigabyte.
  EXPECT_LT(children.ru_maxrss, self.ru_maxrss + 256 * 1024);
}

// Streaming gives what Open gives: the same records, entries and bytes, for
// data stored in table order (taken from the inflation itself) and out of it
// (read back from the container).
TEST_F(KitReaderTest, StreamingReadsWhatOpenReads) {
  KitSpec ordered;
  ordered.languages = {Language("en", "P", "V", "d"),
                       Language("de", "", "", "")};
  ordered.files = {File("small", "bytes"),
                   File("dir\\large", Patterned(3 << 20, 9)), File("empty", ""),
                   File("last", "tail", kTimeAndAHalf)};
  const std::string three = U32(1) + U32(0) + U32(3);
  const struct {
    const char* what;
    std::string container;
  } cases[] = {
      {"table order", BuildContainer(ordered)},
      {"reverse order", three + Entry("a", kTime, 6, 2) +
                            Entry("b", kTime, 3, 3) + Entry("c", kTime, 0, 3) +
                            "cccbbbaa"},
      {"one region twice", U32(1) + U32(0) + U32(2) + Entry("a", kTime, 0, 4) +
                               Entry("b", kTime, 0, 4) + "same"},
      {"gaps and surplus", three + Entry("a", kTime, 1, 2, "xx") +
                               Entry("b", kTime, 5, 1) +
                               Entry("c", kTime, 6, 0) + "-aa--b-"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_EQ(kSuccess, OpenContainer(c.container).code());
    const std::vector<KitEntry> entries = reader_.entries();
    std::vector<std::string> bytes;
    for (uint32_t i = 0; i < entries.size(); ++i) bytes.push_back(Extract(i));
    reader_.Close();

    KitReader streaming(RealSystem());
    ASSERT_EQ(kSuccess, streaming.OpenStreaming(Wide(KitPath())).code());
    EXPECT_TRUE(streaming.entries().empty());
    ASSERT_EQ(entries.size(), streaming.entry_count());
    if (std::string(c.what) == "table order") {
      EXPECT_EQ("d", Narrow(streaming.FindDescription(u"de")));
    }
    // A look at the whole table first (as the installer checks the names)
    // sees what Open saw and takes nothing from the entries' bytes.
    uint32_t visited = 0;
    const Status walked =
        streaming.VisitEntries([&](uint32_t index, const KitEntry& entry) {
          EXPECT_EQ(visited++, index);
          EXPECT_TRUE(entries[index].name == entry.name);
          EXPECT_EQ(entries[index].offset, entry.offset);
          return Status::Ok();
        });
    ASSERT_EQ(kSuccess, walked.code());
    EXPECT_EQ(entries.size(), visited);
    const Status stopped =
        streaming.VisitEntries([](uint32_t index, const KitEntry&) {
          return index == 1 ? Status::Of(Status::Kind::kCancelled)
                            : Status::Ok();
        });
    EXPECT_EQ(kErrorCancelled, stopped.code());
    for (uint32_t i = 0; i < entries.size(); ++i) {
      SCOPED_TRACE(i);
      KitEntry entry;
      ASSERT_EQ(kSuccess, streaming.ReadEntry(i, &entry).code());
      EXPECT_TRUE(entries[i].name == entry.name);
      EXPECT_EQ(entries[i].last_write, entry.last_write);
      EXPECT_EQ(entries[i].offset, entry.offset);
      EXPECT_EQ(entries[i].size, entry.size);
      ASSERT_EQ(kSuccess, streaming.ExtractEntry(i, Wide(Out("s"))).code());
      EXPECT_TRUE(bytes[i] == ReadFile(Out("s")));
    }
    EXPECT_EQ(kErrorInvalidParameter,
              streaming.ReadEntry(streaming.entry_count(), nullptr).code());
    EXPECT_EQ(kSuccess, streaming.FinishInflation().code());
    streaming.Close();
    EXPECT_EQ(std::vector<std::string>{}, TempFiles());
  }
}

// Damage that Open reports at once shows in a streaming reader when the
// bytes concerned arrive, or at the latest in FinishInflation.
TEST_F(KitReaderTest, StreamingFindsDamageWhenItArrives) {
  KitSpec contents;
  contents.languages = {Language("en", "P", "V", "")};
  contents.files = {File("first", "1"), File("big", Patterned(1 << 20, 4)),
                    File("last", "end")};
  const std::string kit = DeflateRaw(BuildContainer(contents));
  const std::string beyond = U32(1) + U32(0) + U32(2) +
                             Entry("a", kTime, 0, 2) +
                             Entry("b", kTime, 2, 100) + "aab";
  const struct {
    const char* what;
    std::string kit;
    uint32_t extracted;  // entries that still come out whole
    ErrorCode next;      // what the next entry gives
  } cases[] = {
      {"stream cut in the data", kit.substr(0, kit.size() / 2), 1,
       kErrorInvalidData},
      {"entry beyond the end, never copied", DeflateRaw(beyond), 1, kSuccess},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_TRUE(WriteFile(KitPath(), c.kit));
    EXPECT_NE(kSuccess, reader_.Open(Wide(KitPath())).code());
    ASSERT_EQ(kSuccess, reader_.OpenStreaming(Wide(KitPath())).code());
    for (uint32_t i = 0; i < c.extracted; ++i) {
      EXPECT_EQ(kSuccess, reader_.ExtractEntry(i, Wide(Out("f"))).code());
    }
    if (c.next != kSuccess) {
      EXPECT_EQ(c.next,
                reader_.ExtractEntry(c.extracted, Wide(Out("f"))).code());
    }
    EXPECT_EQ(kErrorInvalidData, reader_.FinishInflation().code());
    reader_.Close();
    EXPECT_EQ(std::vector<std::string>{}, TempFiles());
  }
  // Damaged tables are found before OpenStreaming returns, as by Open.
  const std::string climbing =
      U32(1) + U32(0) + U32(1) + Entry("..\\x", kTime, 0, 1) + "x";
  ASSERT_TRUE(WriteFile(KitPath(), DeflateRaw(climbing)));
  EXPECT_EQ(kErrorInvalidData, reader_.OpenStreaming(Wide(KitPath())).code());
  ExpectCleanFailure("tables");
  EXPECT_EQ(kErrorFileNotFound,
            reader_.OpenStreaming(Wide(dir_.Path("absent.efd"))).code());
  ExpectCleanFailure("missing");
}

// Closing a streaming reader stops its inflation wherever it is.
TEST_F(KitReaderTest, CloseStopsAStreamingInflation) {
  KitSpec contents;
  contents.languages = {Language("en", "P", "V", "")};
  for (int i = 0; i < 8; ++i) {
    contents.files.push_back(
        File("f" + std::to_string(i), std::string(8 << 20, 'z')));
  }
  ASSERT_TRUE(WriteFile(KitPath(), DeflateRaw(BuildContainer(contents))));
  for (int extracted = 0; extracted < 3; ++extracted) {
    ASSERT_EQ(kSuccess, reader_.OpenStreaming(Wide(KitPath())).code());
    for (int i = 0; i < extracted; ++i) {
      ASSERT_EQ(kSuccess, reader_.ExtractEntry(i, Wide(Out("f"))).code());
    }
    reader_.Close();
    EXPECT_EQ(std::vector<std::string>{}, TempFiles());
  }
}

// What the inflation never read is hashed, for the checksum, from the kit
// that was opened, not from whatever its path names by then.
TEST_F(KitReaderTest, TheChecksumIsOfTheKitThatWasOpened) {
  KitSpec contents;
  contents.languages = {Language("en", "P", "V", "")};
  for (int i = 0; i < 64; ++i) {
    contents.files.push_back(
        File("f" + std::to_string(i), Patterned(256 << 10, i)));
  }
  const std::string packed = DeflateRaw(BuildContainer(contents), 1);
  ASSERT_GT(packed.size(), 3u << 20);  // far past what a streaming open reads
  ASSERT_TRUE(WriteFile(KitPath(), packed));
  KitDigest digest;
  digest.sha.Update(packed.data(), packed.size());
  ASSERT_EQ(
      kSuccess,
      WriteKitSidecar(RealSystem(), KitPath(), digest.sha.HexDigest()).code());
  ASSERT_EQ(kSuccess, reader_.OpenStreaming(Wide(KitPath())).code());
  // Another kit renamed into its place meanwhile.
  contents.files.back().data[0] ^= 1;
  ASSERT_TRUE(
      WriteFile(KitPath() + ".new", DeflateRaw(BuildContainer(contents), 1)));
  ASSERT_EQ(0, rename((KitPath() + ".new").c_str(), KitPath().c_str()));
  // Ok: no failure at all, of the checksum or otherwise.
  EXPECT_EQ(kSuccess, reader_.VerifyChecksum().code());
  reader_.Close();
  // The kit now there is the one that does not match.
  const Status reopened = reader_.Open(Wide(KitPath()));
  EXPECT_EQ(kErrorInvalidData, reopened.code());
  EXPECT_EQ(Status::Kind::kChecksumMismatch, reopened.kind());
}

// The checksum file beside a kit, by kind: a kit that does not match it is
// refused by Open at once and by a streaming reader when it verifies; a
// checksum file that cannot serve is refused by both at once.
TEST_F(KitReaderTest, ChecksumFileOutcomesHaveTheirKinds) {
  KitSpec contents;
  contents.languages = {Language("en", "P", "V", "")};
  contents.files = {File("f", "bytes")};
  const std::string kit = DeflateRaw(BuildContainer(contents));
  ASSERT_TRUE(WriteFile(KitPath(), kit));
  Sha256 sha;
  sha.Update(kit.data(), kit.size());
  const std::string digest = sha.HexDigest();
  const std::string named = std::string("  ") + kKitFileName + "\n";
  using Kind = Status::Kind;
  const struct {
    const char* what;
    std::string sidecar;
    Kind open;       // Open
    Kind streaming;  // OpenStreaming
    Kind verified;   // VerifyChecksum after a streaming open that succeeded
  } cases[] = {
      {"matching", digest + named, Kind::kOk, Kind::kOk, Kind::kOk},
      {"another digest", std::string(64, '0') + named, Kind::kChecksumMismatch,
       Kind::kOk, Kind::kChecksumMismatch},
      {"no file name", digest + "\n", Kind::kChecksumUnusable,
       Kind::kChecksumUnusable, Kind::kOk},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_TRUE(WriteFile(SidecarPath(KitPath()), c.sidecar));
    EXPECT_EQ(c.open, reader_.Open(Wide(KitPath())).kind());
    reader_.Close();
    const Status streaming = reader_.OpenStreaming(Wide(KitPath()));
    EXPECT_EQ(c.streaming, streaming.kind());
    if (streaming.ok()) {
      EXPECT_EQ("bytes", Extract(0));
      EXPECT_EQ(c.verified, reader_.VerifyChecksum().kind());
    }
    reader_.Close();
  }
}

// An installation reads every entry but copies only those it needs: the
// kit is read only a little past the last entry copied, and not at all past
// the tables when none is.
TEST_F(KitReaderTest, StreamingInflatesOnlyAsFarAsEntriesAreCopied) {
  KitSpec contents;
  contents.languages = {Language("en", "P", "V", "")};
  for (int i = 0; i < 128; ++i) {
    contents.files.push_back(
        File("f" + std::to_string(i), Patterned(256 << 10, i)));
  }
  ASSERT_TRUE(WriteFile(KitPath(), DeflateRaw(BuildContainer(contents))));
  const std::string kit = KitPath();
  // Reads of the kit by a streaming reader that copies entries [0, copied)
  // and reads the rest, as an installation does.
  auto kit_reads = [&](uint32_t copied) {
    FaultInjectingSystem system;
    KitReader reader(system);
    EXPECT_EQ(kSuccess, reader.OpenStreaming(Wide(kit)).code());
    for (uint32_t i = 0; i < reader.entry_count(); ++i) {
      KitEntry entry;
      EXPECT_EQ(kSuccess, reader.ReadEntry(i, &entry).code());
      if (i >= copied) continue;
      const int fd = open(Out("f").c_str(),
                          O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
      EXPECT_EQ(kSuccess, reader.CopyEntryTo(entry, fd).code());
      close(fd);
      EXPECT_EQ(contents.files[i].data, ReadFile(Out("f")));
    }
    // The other thread may still be on its way to where it was asked.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    int reads = 0;
    for (const SysCall& call : system.Log())
      reads += call.op == SysOp::kRead && call.path == kit;
    reader.Close();
    return reads;
  };
  const int all = kit_reads(128);
  const int none = kit_reads(0);
  const int first_eight = kit_reads(8);
  ASSERT_GE(all, 32);  // 256 KiB a read: the kit is long enough to tell
  // The kit is read up to 1 MiB ahead of the inflation.
  EXPECT_LE(none, 6);
  EXPECT_LT(first_eight, all / 3);
}

class KitExtractionTest : public KitReaderTest {
 protected:
  void SetUp() override {
    KitReaderTest::SetUp();
    KitSpec contents;
    contents.languages = {Language("en", "P", "V", "")};
    contents.files = {File("small", "new bytes", kTimeAndAHalf),
                      File("empty", "", kTime),
                      File("large", Patterned(1 << 20, 5), kTime),
                      File("last", "tail", kTime)};
    files_ = contents.files;
    ASSERT_EQ(kSuccess, OpenBuilt(contents).code());
  }

  // Destination descriptors opened and closed, seen through `system`.
  static std::pair<int, int> OpensAndCloses(const FaultInjectingSystem& system,
                                            const std::string& path) {
    int opens = 0;
    int closes = 0;
    for (const SysCall& call : system.Log()) {
      if (call.path != path || call.failed) continue;
      opens += call.op == SysOp::kOpen;
      closes += call.op == SysOp::kClose;
    }
    return {opens, closes};
  }

  std::vector<KitFileSpec> files_;
};

TEST_F(KitExtractionTest, CopiesBytesAndWholeSecondTimes) {
  for (uint32_t i = 0; i < files_.size(); ++i) {
    SCOPED_TRACE(Narrow(files_[i].name));
    const std::string path = Out(Narrow(files_[i].name));
    EXPECT_TRUE(files_[i].data == Extract(i, Narrow(files_[i].name)));
    EXPECT_EQ(UnixSecondsFromFileTime(files_[i].last_write),
              ModificationSeconds(path));
  }
}

TEST_F(KitExtractionTest, OverwritesLongerAndShorterFilesExactly) {
  for (const std::string& old : {std::string(5000, 'o'), std::string("o")}) {
    for (uint32_t i = 0; i < files_.size(); ++i) {
      SCOPED_TRACE(std::to_string(old.size()) + " " + Narrow(files_[i].name));
      ASSERT_TRUE(WriteFile(Out("file"), old));
      EXPECT_TRUE(files_[i].data == Extract(i, "file"));
    }
  }
}

TEST_F(KitExtractionTest, FallsBackWhenTheKernelCannotCopy) {
  for (int error : {EXDEV, ENOSYS, EINVAL, EOPNOTSUPP}) {
    SCOPED_TRACE(error);
    FaultInjectingSystem system;
    KitReader reader(system);
    ASSERT_EQ(kSuccess, reader.Open(Wide(KitPath())).code());
    system.ClearLog();
    system.FailNth(1, error, Ops(SysOp::kCopyFileRange), /*sticky=*/true);
    ASSERT_EQ(kSuccess, reader.ExtractEntry(2, Wide(Out("large"))).code());
    EXPECT_TRUE(files_[2].data == ReadFile(Out("large")));
    // The reader remembers and does not ask the kernel again.
    ASSERT_EQ(kSuccess, reader.ExtractEntry(2, Wide(Out("again"))).code());
    EXPECT_EQ(1u, system.CallCount(Ops(SysOp::kCopyFileRange)));
    EXPECT_TRUE(files_[2].data == ReadFile(Out("again")));
  }
}

TEST_F(KitExtractionTest, FailuresCloseTheDestination) {
  struct Case {
    const char* what;
    uint32_t index;
    int error;
    SysOpSet ops;
    ErrorCode expected;
  } cases[] = {
      {"kernel copy fails", 2, EIO, Ops(SysOp::kCopyFileRange),
       kErrorInvalidParameter},
      {"write fails", 0, ENOSPC, Ops(SysOp::kWrite), kErrorInvalidParameter},
      {"container read fails", 0, EIO, Ops(SysOp::kRead),
       kErrorInvalidParameter},
      // Not an error: the file is only copied again on a later run.
      {"time cannot be set", 3, EPERM, Ops(SysOp::kFutimens), kSuccess},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FaultInjectingSystem system;
    KitReader reader(system);  // a fresh buffer, so that the container is read
    ASSERT_EQ(kSuccess, reader.Open(Wide(KitPath())).code());
    ASSERT_EQ(files_.size(), reader.entries().size());  // the table is read
    system.ClearLog();
    system.FailNth(1, c.error, c.ops);
    EXPECT_EQ(c.expected, reader.ExtractEntry(c.index, Wide(Out("f"))).code());
    EXPECT_EQ(1u, system.InjectedCount());
    const auto [opens, closes] = OpensAndCloses(system, Out("f"));
    EXPECT_EQ(1, opens);
    EXPECT_EQ(1, closes);
  }
}

TEST_F(KitExtractionTest, ContainerEndingEarlyStopsTheCopy) {
  FaultInjectingSystem system;
  KitReader reader(system);
  ASSERT_EQ(kSuccess, reader.Open(Wide(KitPath())).code());
  const std::string container = Narrow(reader.container_path());
  struct stat status;
  ASSERT_EQ(0, stat(container.c_str(), &status));
  // Cut the container inside the large entry: the entries from there on are
  // incomplete.
  ASSERT_EQ(0, truncate(container.c_str(),
                        static_cast<off_t>(reader.entries()[2].offset + 100)));
  for (uint32_t index : {2u, 3u}) {
    SCOPED_TRACE(index);
    system.ClearLog();
    EXPECT_EQ(kErrorInvalidData,
              reader.ExtractEntry(index, Wide(Out("f"))).code());
    const auto [opens, closes] = OpensAndCloses(system, Out("f"));
    EXPECT_EQ(1, opens);
    EXPECT_EQ(1, closes);
  }
}

TEST_F(KitExtractionTest, RefusesBadIndexAndUnopenedReader) {
  EXPECT_EQ(
      kErrorInvalidParameter,
      reader_.ExtractEntry(static_cast<uint32_t>(files_.size()), Wide(Out("f")))
          .code());
  KitReader unopened(RealSystem());
  EXPECT_EQ(kErrorInvalidParameter,
            unopened.ExtractEntry(0, Wide(Out("f"))).code());
  EXPECT_EQ(kErrorFileNotFound,
            reader_.ExtractEntry(0, Wide(Out("no/such/dir"))).code());
}

}  // namespace
