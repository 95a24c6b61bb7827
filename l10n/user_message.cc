#include "l10n/user_message.h"

#include <langinfo.h>
#include <locale.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>

#include "l10n/string_table.h"
#include "platform/home_directory.h"
#include "text/terminal_text.h"
#include "text/text_conversion.h"

namespace {

// Where the C library's messages of each language are looked for.
const char* MessagesLocaleOf(const NarrowString& code) {
  static const struct {
    const char* code;
    const char* locale;
  } kLocales[] = {
      {"ru", "ru_RU.UTF-8"}, {"uk", "uk_UA.UTF-8"}, {"lv", "lv_LV.UTF-8"},
      {"lt", "lt_LT.UTF-8"}, {"ro", "ro_RO.UTF-8"}, {"de", "de_DE.UTF-8"},
      {"bg", "bg_BG.UTF-8"}, {"ka", "ka_GE.UTF-8"}, {"kk", "kk_KZ.UTF-8"},
      {"vi", "vi_VN.UTF-8"}, {"tr", "tr_TR.UTF-8"}, {"el", "el_GR.UTF-8"},
      {"es", "es_ES.UTF-8"}, {"hy", "hy_AM.UTF-8"}, {"it", "it_IT.UTF-8"},
  };
  for (const auto& entry : kLocales) {
    if (code == NarrowString(entry.code)) return entry.locale;
  }
  return nullptr;
}

// The environment's locale variable that decides its messages.
std::string EnvironmentMessages() {
  for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char* value = std::getenv(name);
    if (value != nullptr && *value != '\0') return value;
  }
  return std::string();
}

// The locale whose messages the system's reasons take, so that a line does
// not mix two languages: the environment's when its messages are in the
// language of the texts; else, when the environment's characters are
// UTF-8, that language's where the system has it; else the C library's
// own, English. Made once a language.
locale_t ReasonLocale() {
  static std::mutex mutex;
  // Kept to the end of the process, past the static destructors: the
  // reasons of a message made during exit still need their locale.
  static auto& made = *new std::map<LanguageId, locale_t>;
  const LanguageId id = StringTable::CurrentLanguage();
  std::lock_guard<std::mutex> lock(mutex);
  const auto known = made.find(id);
  if (known != made.end()) return known->second;
  NarrowString code;
  for (const StringTable::Language& language : StringTable::Languages()) {
    if (language.id == id) code = language.code;
  }
  locale_t chosen = nullptr;
  if (locale_t environment = newlocale(LC_ALL_MASK, "", nullptr)) {
    const std::string messages = EnvironmentMessages();
    const bool same = code.length() == 2 && messages.size() >= 2 &&
                      NarrowString(messages.substr(0, 2).c_str()) == code;
    const char* other = MessagesLocaleOf(code);
    if (same) {
      chosen = environment;
    } else if (other != nullptr &&
               std::strcmp(nl_langinfo_l(CODESET, environment), "UTF-8") ==
                   0) {
      chosen = newlocale(LC_MESSAGES_MASK, other, environment);
      if (chosen == nullptr) freelocale(environment);
    } else {
      freelocale(environment);
    }
  }
  if (chosen == nullptr) chosen = newlocale(LC_ALL_MASK, "C", nullptr);
  made.emplace(id, chosen);
  return chosen;
}

WideString SystemReason(int error) {
  if (locale_t locale = ReasonLocale()) {
    return ToWide(NarrowString(strerror_l(error, locale)));
  }
  char buffer[256];
  // The GNU strerror_r returns the text, which may or may not be `buffer`.
  const char* text = strerror_r(error, buffer, sizeof(buffer));
  return ToWide(NarrowString(text));
}

// A place named by the environment (HOME, XDG_STATE_HOME, or a level below
// it): shown with its control characters escaped, so that a line break in
// it cannot split or forge the message, and with our own reason when the
// value itself is at fault.
MessageDetail EnvironmentDetail(const Status& failure) {
  MessageDetail detail;
  detail.path = EscapeForTerminal(ToWide(NarrowString(failure.path().c_str())));
  detail.system_error = failure.error();
  if (failure.error() != 0) return detail;
  switch (FaultOf(failure.path())) {
    case PathFault::kControlCharacter:
      detail.reason_key = "IDS_REASON_CONTROL_CHARACTERS";
      break;
    case PathFault::kNotAbsolute:
      detail.reason_key = "IDS_REASON_NOT_ABSOLUTE";
      break;
    case PathFault::kNone:
      // Only the password database's "/" is refused with no errno.
      if (failure.kind() == Status::Kind::kUnusableHome) {
        detail.reason_key = "IDS_REASON_ROOT_HOME";
      }
      break;
  }
  return detail;
}

}  // namespace

WideString DetailText(const MessageDetail& detail) {
  WideString reason;
  if (detail.reason_key != nullptr) {
    reason = StringTable::Lookup(detail.reason_key);
  } else if (detail.system_error != 0) {
    reason = SystemReason(detail.system_error);
  }
  if (detail.path.empty()) return reason;
  WideString text = u"\"";
  text.append(ToWide(NarrowString(detail.path.c_str())));
  text.push_back(u'"');
  if (!reason.empty()) {
    text.append(u": ", 2);
    text.append(reason);
  }
  return text;
}

WideString UserMessage(const char* key, const MessageDetail& detail) {
  WideString text = StringTable::Lookup(key);
  const WideString more = DetailText(detail);
  if (more.empty()) return text;
  if (!text.empty()) text.push_back(u'\n');
  text.append(more);
  return text;
}

WideString FailureMessage(const Status& failure, const std::string& kit_path) {
  using Kind = Status::Kind;
  MessageDetail detail;
  detail.path = failure.path();
  detail.system_error = failure.error();
  const char* key = "IDS_INSTALL_ERROR";
  switch (failure.kind()) {
    case Kind::kOk:
    case Kind::kCancelled:
      return WideString();
    case Kind::kDamagedKit:
      // The kit is named whatever entry showed the damage.
      return UserMessage("IDS_ERROR_DAMAGEDSOURCE",
                         MessageDetail{kit_path, 0, "IDS_REASON_KIT_DAMAGED"});
    case Kind::kChecksumMismatch:
      // The cause after the text, as for every failure: the checksum file
      // the kit does not match.
      return UserMessage(
          "IDS_ERROR_DAMAGEDSOURCE",
          MessageDetail{failure.path().empty() ? kit_path : failure.path(), 0,
                        "IDS_REASON_CHECKSUM_MISMATCH"});
    case Kind::kChecksumUnusable:
      // Not the kit's fault: the file that was to vouch for it is named.
      key = "IDS_ERROR_CHECKSUM_UNUSABLE";
      if (failure.error() == 0) {
        detail.reason_key = "IDS_REASON_CHECKSUM_FORMAT";
      } else if (failure.error() == EINVAL) {
        detail.reason_key = "IDS_REASON_CHECKSUM_NOT_FILE";
      }
      break;
    case Kind::kKitNotFound:
      key = "IDS_ERROR_NOSOURCE";
      break;
    case Kind::kNoSpace:
      key = "IDS_ERROR_NOSPACE";
      break;
    case Kind::kNoTarget:
      key = "IDS_ERROR_NOTARGET";
      break;
    case Kind::kTargetNotWritable:
      key = "IDS_ERROR_TARGET_NOT_WRITABLE";
      break;
    case Kind::kLinkOutside:
      detail.reason_key = "IDS_REASON_LINK_OUTSIDE";
      break;
    case Kind::kNameEncoding:
      detail.reason_key = "IDS_REASON_NAME_ENCODING";
      break;
    case Kind::kNameTwice:
      detail.reason_key = "IDS_REASON_NAME_TWICE";
      break;
    case Kind::kNameInvalid:
      detail.reason_key = "IDS_REASON_NAME_INVALID";
      break;
    case Kind::kNotAFile:
      detail.reason_key = "IDS_REASON_NOT_A_FILE";
      break;
    case Kind::kUnusableHome:
      return UserMessage("IDS_ERROR_HOME_UNUSABLE", EnvironmentDetail(failure));
    case Kind::kNoStateDirectory:
      return UserMessage("IDS_ERROR_NO_STATE_DIR", EnvironmentDetail(failure));
    case Kind::kNoCurrentDirectory:
      key = "IDS_ERROR_NO_CURRENT_DIR";
      break;
    default:
      break;
  }
  return UserMessage(key, detail);
}

WideString ConfigNotSavedMessage(const Status& failure) {
  MessageDetail detail{failure.path(), failure.error(), nullptr};
  if (failure.kind() == Status::Kind::kNotAFile) {
    detail.reason_key = "IDS_REASON_NOT_REGULAR";
  }
  return UserMessage("IDS_WARN_CONFIG_NOT_SAVED", detail);
}

WideString StateFallbackNote(const Status& why) {
  return UserMessage("IDS_NOTE_STATE_FALLBACK", EnvironmentDetail(why));
}

WideString OneLine(const WideString& message) {
  WideString line;
  for (uint32_t i = 0; i < message.length(); ++i) {
    const char16_t unit = message[i];
    if (unit == u'\r') continue;
    if (unit != u'\n') {
      line.push_back(unit);
      continue;
    }
    const char16_t last = line.empty() ? u'.' : line[line.length() - 1];
    if (last == u'.' || last == u'?' || last == u'!' || last == u':' ||
        last == u' ') {
      if (last != u' ' && !line.empty()) line.push_back(u' ');
    } else {
      line.append(u": ", 2);
    }
  }
  return line;
}
