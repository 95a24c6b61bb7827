#include "launcher_config/launcher_paths.h"

#include "platform/home_directory.h"
#include "text/text_conversion.h"

namespace {

// `home` + "/" + `rest`, or nothing without a home.
WideString Below(const WideString& home, const char16_t* rest) {
  if (home.empty()) return WideString();
  return home + u"/" + rest;
}

}  // namespace

WideString HomeDirectory(SystemApi& sys) {
  std::string home;
  if (!UserHomeDirectory(sys, &home).ok()) return WideString();
  return ToWide(NarrowString(home.c_str()));
}

WideString KitUserDirectory(SystemApi& sys) {
  return Below(HomeDirectory(sys), u".tqkt/");
}

WideString UserLauncherDirectory(SystemApi& sys) {
  return Below(HomeDirectory(sys), u".Tq/tqlaunch");
}

WideString UserConfigPath(SystemApi& sys) {
  return Below(UserLauncherDirectory(sys), u"tqlaunch.cfg");
}

WideString KitUserLauncherDirectory(SystemApi& sys) {
  return Below(KitUserDirectory(sys), u".Tq/tqlaunch");
}

WideString KitUserConfigPath(SystemApi& sys) {
  return Below(KitUserLauncherDirectory(sys), u"tqlaunch.cfg");
}

WideString CommonLauncherDirectory(SystemApi& sys) {
  return Below(HomeDirectory(sys), u".Tq/tqlauncht");
}

WideString CommonConfigPath(SystemApi& sys) {
  return Below(CommonLauncherDirectory(sys), u"tqlaunch.cfg");
}
