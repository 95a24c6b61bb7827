#include "l10n/user_message.h"

#include <cerrno>
#include <clocale>
#include <string>

#include "gtest/gtest.h"
#include "l10n/string_table.h"
#include "text/text_conversion.h"

namespace {

std::string Narrow(const WideString& text) { return ToNarrow(text).c_str(); }

class UserMessageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    previous_ = StringTable::CurrentLanguage();
    StringTable::SetCurrentLanguage(kLanguageEnglish);
  }
  void TearDown() override { StringTable::SetCurrentLanguage(previous_); }
  LanguageId previous_ = kLanguageNone;
};

TEST_F(UserMessageTest, TheKeysTextThenTheFileAndWhy) {
  const std::string error = "Installation error";
  EXPECT_EQ(error, Narrow(UserMessage("IDS_INSTALL_ERROR")));
  MessageDetail detail;
  detail.path = "/t/a.cfg";
  detail.system_error = ENOSPC;
  EXPECT_EQ(error + "\n\"/t/a.cfg\": No space left on device",
            Narrow(UserMessage("IDS_INSTALL_ERROR", detail)));
  detail.system_error = 0;
  EXPECT_EQ(error + "\n\"/t/a.cfg\"",
            Narrow(UserMessage("IDS_INSTALL_ERROR", detail)));
  // Our own reason wins over the errno.
  detail.system_error = EXDEV;
  detail.reason_key = "IDS_ERROR_NOSPACE";
  EXPECT_EQ("\"/t/a.cfg\": " + Narrow(StringTable::Lookup("IDS_ERROR_NOSPACE")),
            Narrow(DetailText(detail)));
  MessageDetail reason_only;
  reason_only.system_error = EACCES;
  EXPECT_EQ("Permission denied", Narrow(DetailText(reason_only)));
}

TEST_F(UserMessageTest, OneLineJoinsAfterPunctuationWithASpace) {
  const struct {
    const char16_t* message;
    const char* line;
  } cases[] = {
      {u"Installation error\n\"/t\": Permission denied",
       "Installation error: \"/t\": Permission denied"},
      {u"Kit not found.\n\"/k\": No such file or directory",
       "Kit not found. \"/k\": No such file or directory"},
      {u"Question?\r\nmore", "Question? more"},
      {u"plain", "plain"},
      {u"", ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.line, Narrow(OneLine(WideString(c.message))));
  }
}

// A kit that does not match its checksum is a damaged kit, with the
// checksum file it does not match after the text; a damaged stream names
// the kit; a checksum file that cannot serve is named itself, with why.
TEST_F(UserMessageTest, TheChecksumFileIsBlamedOnlyForItself) {
  using Kind = Status::Kind;
  const std::string kit = "/k/tqkt.efd";
  const std::string sums = "/k/tqkt.efd.sha256";
  const std::string unusable =
      Narrow(StringTable::Lookup("IDS_ERROR_CHECKSUM_UNUSABLE")) + "\n\"" +
      sums + "\": ";
  const struct {
    Status failure;
    std::string message;
  } cases[] = {
      {Status::Of(Kind::kChecksumMismatch, sums),
       Narrow(StringTable::Lookup("IDS_ERROR_DAMAGEDSOURCE")) + "\n\"" + sums +
           "\": " +
           Narrow(StringTable::Lookup("IDS_REASON_CHECKSUM_MISMATCH"))},
      // The stream's damage names the kit, whatever entry showed it.
      {Status::Of(Kind::kDamagedKit, "/t/a.cfg"),
       Narrow(StringTable::Lookup("IDS_ERROR_DAMAGEDSOURCE")) + "\n\"" + kit +
           "\": " + Narrow(StringTable::Lookup("IDS_REASON_KIT_DAMAGED"))},
      {Status::Of(Kind::kChecksumUnusable, sums, 0),
       unusable + Narrow(StringTable::Lookup("IDS_REASON_CHECKSUM_FORMAT"))},
      {Status::Of(Kind::kChecksumUnusable, sums, EINVAL),
       unusable + Narrow(StringTable::Lookup("IDS_REASON_CHECKSUM_NOT_FILE"))},
      {Status::Of(Kind::kChecksumUnusable, sums, EACCES),
       unusable + "Permission denied"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.message, Narrow(FailureMessage(c.failure, kit)))
        << c.failure.ToString();
  }
}
}  // namespace
