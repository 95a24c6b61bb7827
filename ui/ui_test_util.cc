#include "ui/ui_test_util.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

extern char** environ;

#include "gtest/gtest.h"
#include "kit/kit_writer.h"
#include "platform/system_api.h"
#include "l10n/string_table.h"
#include "platform/file_io.h"
#include "text/text_conversion_internal.h"
#include "ui/utf8_text.h"

bool OpenTestDisplay() {
  const char* display = getenv("DISPLAY");
  if (display == nullptr || *display == '\0') return false;
  // A loaded virtual X server may refuse a connection for a moment.
  for (int attempt = 0; attempt < 10; ++attempt) {
    if (gtk_init_check(nullptr, nullptr)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
  }
  ADD_FAILURE() << "the display " << display << " cannot be opened";
  return false;
}

std::string Narrow(const WideString& text) { return ToUtf8(text); }

std::string Text(const char* key) { return ToUtf8(StringTable::Lookup(key)); }

std::string TextIn(LanguageId language, const char* key) {
  const LanguageId saved = StringTable::CurrentLanguage();
  StringTable::SetCurrentLanguage(language);
  std::string text = Text(key);
  StringTable::SetCurrentLanguage(saved);
  return text;
}

bool WriteTestKit(const std::string& path, const std::vector<TestFile>& files,
                  const std::string& description, int level) {
  KitSpec spec;
  spec.languages.push_back(
      LanguageRecord{FromUtf8("en"), FromUtf8("Quillbrook"),
                     FromUtf8("Ardenvale"), FromUtf8(description.c_str())});
  spec.languages.push_back(
      LanguageRecord{FromUtf8("ru"), FromUtf8("\xD0\x9A\xD0\xB2"),
                     FromUtf8("Ardenvale"), FromUtf8("ru.html")});
  for (const TestFile& file : files) {
    KitFileSpec entry;
    entry.name = FromUtf8(file.name.c_str());
    entry.last_write = FileTimeFromUnixSeconds(file.unix_time);
    entry.data = file.data;
    spec.files.push_back(entry);
  }
  return WriteKit(RealSystem(), spec, path, level).ok();
}

EnvScope::EnvScope(const char* name, const std::optional<std::string>& value)
    : name_(name) {
  if (const char* old = std::getenv(name)) old_ = old;
  if (value) {
    setenv(name, value->c_str(), 1);
  } else {
    unsetenv(name);
  }
}

EnvScope::~EnvScope() {
  if (old_) {
    setenv(name_.c_str(), old_->c_str(), 1);
  } else {
    unsetenv(name_.c_str());
  }
}

CwdScope::CwdScope(const std::string& dir) {
  old_ = std::filesystem::current_path().string();
  std::filesystem::current_path(dir);
}

CwdScope::~CwdScope() { std::filesystem::current_path(old_); }

bool WriteRecordingOpener(const std::string& dir, const std::string& log) {
  const std::string path = dir + "/xdg-open";
  {
    std::ofstream script(path);
    // One append of everything, so that a reader never sees half of it.
    script << "#!/bin/sh\n"
           << "out=''\n"
           << "for a in \"$@\"; do out=\"$out$a\n\"; done\n"
           << "for fd in 0 1 2; do\n"
           << "  out=\"${out}fd$fd=$(readlink /proc/$$/fd/$fd)\n\"\n"
           << "done\n"
           << "printf '%s' \"$out\" >> '" << log << "'\n";
    if (!script) return false;
  }
  return chmod(path.c_str(), 0755) == 0;
}

std::string WaitForFileLine(const std::string& path) {
  // The opener runs detached; give it time to start, far beyond what it
  // needs, without asserting on how long it takes.
  for (int i = 0; i < 1000; ++i) {
    std::ifstream in(path);
    std::string contents((std::istreambuf_iterator<char>(in)),
                         std::istreambuf_iterator<char>());
    if (!contents.empty() && contents.back() == '\n') return contents;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return "<no line>";
}

std::vector<std::string> ListTree(const std::string& dir) {
  std::vector<std::string> result;
  std::error_code error;
  if (!std::filesystem::exists(dir, error)) return result;
  for (auto it = std::filesystem::recursive_directory_iterator(dir, error);
       it != std::filesystem::recursive_directory_iterator();
       it.increment(error)) {
    std::string relative =
        std::filesystem::relative(it->path(), dir, error).string();
    if (it->is_directory(error) && !it->is_symlink(error)) relative += "/";
    result.push_back(relative);
  }
  std::sort(result.begin(), result.end());
  return result;
}

int64_t ModificationTime(const std::string& path) {
  struct stat status;
  if (stat(path.c_str(), &status) != 0) return -1;
  return status.st_mtime;
}

bool UseKoi8rConverter(const std::string& dir) {
  const std::string target = dir + "/ru_RU.KOI8-R";
  const char* argv[] = {"localedef", "-f",           "KOI8-R", "-i",
                        "ru_RU",     target.c_str(), nullptr};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid;
  const int rc = posix_spawnp(&pid, "localedef", &actions, nullptr,
                              const_cast<char* const*>(argv), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return false;
  int status;
  waitpid(pid, &status, 0);
  EnvScope path("LOCPATH", dir);
  EnvScope all("LC_ALL", "ru_RU.KOI8-R");
#if defined(__SANITIZE_ADDRESS__)
  // With LOCPATH set, glibc's newlocale keeps a parsed copy of the path that
  // it never frees; the allocation is the C library's.
  __lsan::ScopedDisabler no_leak_check;
#endif
  return text_internal::UseConverterForTesting("") &&
         std::string("KOI8-R") == text_internal::ConverterCodeset();
}

void PumpEvents() {
  while (gtk_events_pending()) gtk_main_iteration();
}

std::string LabelText(GtkWidget* label) {
  return gtk_label_get_text(GTK_LABEL(label));
}

GtkWidget* ButtonTextLabel(GtkWidget* button) {
  GtkWidget* child = gtk_bin_get_child(GTK_BIN(button));
  // A stock button holds its label beside an image, inside boxes.
  while (child != nullptr && !GTK_IS_LABEL(child) && GTK_IS_CONTAINER(child)) {
    GList* children = gtk_container_get_children(GTK_CONTAINER(child));
    GtkWidget* last =
        children != nullptr ? GTK_WIDGET(g_list_last(children)->data) : nullptr;
    g_list_free(children);
    child = last;
  }
  return child != nullptr && GTK_IS_LABEL(child) ? child : nullptr;
}

std::string ButtonLabel(GtkWidget* button) {
  GtkWidget* label = ButtonTextLabel(button);
  return label != nullptr ? gtk_label_get_text(GTK_LABEL(label)) : "";
}

void FixedPosition(GtkWidget* widget, int* x, int* y) {
  gtk_container_child_get(GTK_CONTAINER(gtk_widget_get_parent(widget)), widget,
                          "x", x, "y", y, nullptr);
}

void SizeRequest(GtkWidget* widget, int* width, int* height) {
  gtk_widget_get_size_request(widget, width, height);
}

bool Visible(GtkWidget* widget) { return gtk_widget_get_visible(widget); }

bool Sensitive(GtkWidget* widget) { return gtk_widget_get_sensitive(widget); }

bool KeyboardHas(guint keyval) {
  GdkKeymapKey* keys = nullptr;
  gint count = 0;
  const bool found = gdk_keymap_get_entries_for_keyval(gdk_keymap_get_default(),
                                                       keyval, &keys, &count) &&
                     count > 0;
  g_free(keys);
  return found;
}

void SendKey(GtkWidget* window, guint keyval, bool release, guint state) {
  GdkEvent* event = gdk_event_new(release ? GDK_KEY_RELEASE : GDK_KEY_PRESS);
  event->key.window =
      static_cast<GdkWindow*>(g_object_ref(gtk_widget_get_window(window)));
  event->key.send_event = TRUE;
  event->key.time = GDK_CURRENT_TIME;
  event->key.keyval = keyval;
  event->key.state = state;
  // Key bindings (Enter on a button) are looked up by the key's code.
  GdkKeymapKey* keys = nullptr;
  gint count = 0;
  if (gdk_keymap_get_entries_for_keyval(gdk_keymap_get_default(), keyval, &keys,
                                        &count) &&
      count > 0) {
    event->key.hardware_keycode = static_cast<guint16>(keys[0].keycode);
    event->key.group = static_cast<guint8>(keys[0].group);
  }
  g_free(keys);
  gtk_widget_event(window, event);
  gdk_event_free(event);
}

void SendDelete(GtkWidget* window) {
  GdkEvent* event = gdk_event_new(GDK_DELETE);
  event->any.window =
      static_cast<GdkWindow*>(g_object_ref(gtk_widget_get_window(window)));
  event->any.send_event = TRUE;
  gtk_main_do_event(event);
  gdk_event_free(event);
}

