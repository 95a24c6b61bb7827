#include "launcher_config/launcher_paths.h"

#include <pwd.h>
#include <unistd.h>
#include <wordexp.h>

#include <cerrno>
#include <vector>

#include "text/text_conversion.h"

namespace {

// The home directory of the real user as the password database records it;
// empty when there is no entry.
NarrowString PasswordDatabaseHome() {
  long suggested = sysconf(_SC_GETPW_R_SIZE_MAX);
  size_t size = suggested > 0 ? static_cast<size_t>(suggested) : 1024;
  for (;;) {
    std::vector<char> buffer(size);
    struct passwd entry;
    struct passwd* found = nullptr;
    int error = getpwuid_r(getuid(), &entry, buffer.data(), size, &found);
    if (error == ERANGE && size < (size_t{1} << 20)) {
      size *= 2;
      continue;
    }
    if (error != 0 || found == nullptr || found->pw_dir == nullptr) {
      return NarrowString();
    }
    return NarrowString(found->pw_dir);
  }
}

}  // namespace

WideString HomeDirectory() {
  NarrowString home;
  wordexp_t words = {};
  // WRDE_NOCMD: the home directory must never be a way to run a command.
  int result = wordexp("~", &words, WRDE_NOCMD);
  if (result == 0) {
    if (words.we_wordc > 0 && words.we_wordv[0] != nullptr) {
      home = NarrowString(words.we_wordv[0]);
    }
    wordfree(&words);
  } else if (result == WRDE_NOSPACE) {
    // The partial expansion is allocated and must be released.
    wordfree(&words);
  }
  if (home.empty()) home = PasswordDatabaseHome();
  return ToWide(home);
}

WideString KitUserDirectory() {
  return HomeDirectory() + u"/" + u".tqkt" + u"/";
}

WideString UserLauncherDirectory() {
  return HomeDirectory() + u"/" + u".Tq/tqlaunch";
}

WideString UserConfigPath() {
  return UserLauncherDirectory() + u"/" + u"tqlaunch.cfg";
}

WideString KitUserLauncherDirectory() {
  return KitUserDirectory() + u"/" + u".Tq/tqlaunch";
}

WideString KitUserConfigPath() {
  return KitUserLauncherDirectory() + u"/" + u"tqlaunch.cfg";
}

WideString CommonLauncherDirectory() {
  return HomeDirectory() + u"/" + u".Tq/tqlauncht";
}

WideString CommonConfigPath() {
  return CommonLauncherDirectory() + u"/" + u"tqlaunch.cfg";
}
