#include "ui/toolkit_language.h"

#include <clocale>
#include <cstdlib>

ToolkitLanguage::ToolkitLanguage(const std::string& code) {
  if (const char* language = std::getenv("LANGUAGE")) old_language_ = language;
  const char* messages = std::setlocale(LC_MESSAGES, nullptr);
  old_messages_ = messages != nullptr ? messages : "C";
  setenv("LANGUAGE", code.c_str(), 1);
  // Plain "C" ignores LANGUAGE; C.UTF-8 does not, and every system has it.
  std::string use = old_messages_;
  if (use == "C" || use == "POSIX") use = "C.UTF-8";
  Reset(use);
}

void ToolkitLanguage::Reset(const std::string& messages) {
  // Changing the category makes gettext forget what it has looked up;
  // setting the name it already has would not.
  std::setlocale(LC_MESSAGES, "C");
  if (std::setlocale(LC_MESSAGES, messages.c_str()) == nullptr) {
    std::setlocale(LC_MESSAGES, old_messages_.c_str());
  }
}

ToolkitLanguage::~ToolkitLanguage() {
  RestoreEnvironment();
  Reset(old_messages_);
}

void ToolkitLanguage::RestoreEnvironment() {
  if (restored_) return;
  restored_ = true;
  if (old_language_) {
    setenv("LANGUAGE", old_language_->c_str(), 1);
  } else {
    unsetenv("LANGUAGE");
  }
}
