// Runs every seed (corpus/<target>/) and every input that once broke a
// target (crashes/<target>/) through the fuzz targets, built without
// libFuzzer. A target aborts on any broken invariant, and the sanitizer
// builds add their own checks, so each file is one test that fails when the
// product misbehaves on it again.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <ostream>
#include <string>
#include <vector>

#include "kit/kit_reader.h"
#include "kit/kit_writer.h"
#include "platform/scoped_temp_dir.h"
#include "platform/system_api.h"

extern "C" int ChecksumFileFuzzOneInput(const uint8_t* data, size_t size);
extern "C" int InflateFuzzOneInput(const uint8_t* data, size_t size);
extern "C" int KitFuzzOneInput(const uint8_t* data, size_t size);
extern "C" int LauncherConfigFuzzOneInput(const uint8_t* data, size_t size);
extern "C" int TextFuzzOneInput(const uint8_t* data, size_t size);

namespace {

constexpr const char* kTargets[] = {"checksum_file", "inflate", "kit",
                                    "launcher_config", "text"};

struct Case {
  std::string target;
  std::string path;  // relative to the fuzz directory
};

void PrintTo(const Case& c, std::ostream* out) { *out << c.path; }

std::vector<Case> AllCases() {
  std::vector<Case> cases;
  for (const char* target : kTargets) {
    for (const char* kind : {"corpus", "crashes"}) {
      std::filesystem::path dir =
          std::filesystem::path(FUZZ_DATA_DIR) / kind / target;
      std::error_code error;
      std::vector<std::string> names;
      for (const auto& entry :
           std::filesystem::directory_iterator(dir, error)) {
        if (entry.is_regular_file()) {
          names.push_back(entry.path().filename().string());
        }
      }
      std::sort(names.begin(), names.end());
      for (const std::string& name : names) {
        cases.push_back({target, std::string(kind) + "/" + target + "/" + name});
      }
    }
  }
  return cases;
}

std::string TestName(const testing::TestParamInfo<Case>& info) {
  std::string name = info.param.path;
  for (char& c : name) {
    if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
  }
  return name;
}

class FuzzRegressionTest : public testing::TestWithParam<Case> {};

TEST_P(FuzzRegressionTest, RunsClean) {
  const Case& c = GetParam();
  std::ifstream file(std::string(FUZZ_DATA_DIR) + "/" + c.path,
                     std::ios::binary);
  ASSERT_TRUE(file) << c.path;
  std::string bytes((std::istreambuf_iterator<char>(file)),
                    std::istreambuf_iterator<char>());
  const auto* data = reinterpret_cast<const uint8_t*>(bytes.data());
  if (c.target == "checksum_file") {
    EXPECT_EQ(ChecksumFileFuzzOneInput(data, bytes.size()), 0);
  } else if (c.target == "inflate") {
    EXPECT_EQ(InflateFuzzOneInput(data, bytes.size()), 0);
  } else if (c.target == "kit") {
    EXPECT_EQ(KitFuzzOneInput(data, bytes.size()), 0);
  } else if (c.target == "launcher_config") {
    EXPECT_EQ(LauncherConfigFuzzOneInput(data, bytes.size()), 0);
  } else {
    EXPECT_EQ(TextFuzzOneInput(data, bytes.size()), 0);
  }
}

INSTANTIATE_TEST_SUITE_P(Files, FuzzRegressionTest,
                         testing::ValuesIn(AllCases()), TestName);

// Every target has seeds: an empty or misplaced corpus would make the
// replays above pass vacuously.
TEST(FuzzCorpusTest, EveryTargetHasSeeds) {
  std::vector<Case> cases = AllCases();
  for (const char* target : kTargets) {
    EXPECT_GE(std::count_if(cases.begin(), cases.end(),
                            [&](const Case& c) {
                              return c.target == target &&
                                     c.path.rfind("corpus/", 0) == 0;
                            }),
              3)
        << target;
  }
}

// The kit seeds are kits that open (made by kittool, see make_seeds), so that
// the fuzzer starts inside the table parser rather than at its first check.
TEST(FuzzCorpusTest, KitSeedsOpen) {
  ScopedTempDir dir;
  int opened = 0;
  for (const Case& c : AllCases()) {
    if (c.target != "kit" || c.path.rfind("corpus/", 0) != 0) continue;
    std::ifstream file(std::string(FUZZ_DATA_DIR) + "/" + c.path,
                       std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(file)),
                      std::istreambuf_iterator<char>());
    ASSERT_FALSE(bytes.empty()) << c.path;
    std::string kit = bytes.substr(1);
    if (bytes[0] & 1) kit = DeflateRaw(kit, 1);
    ASSERT_TRUE(WriteFile(dir.Path("kit.efd"), kit));
    KitReader reader(RealSystem());
    EXPECT_EQ(reader.Open(dir.WidePath("kit.efd")).code(), kSuccess) << c.path;
    EXPECT_FALSE(reader.language_records().empty()) << c.path;
    ++opened;
  }
  EXPECT_GE(opened, 6);
}

}  // namespace
