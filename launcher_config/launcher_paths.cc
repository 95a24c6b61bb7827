#include "launcher_config/launcher_paths.h"

#include "platform/home_directory.h"
#include "text/text_conversion.h"

WideString HomeDirectory() {
  return ToWide(NarrowString(UserHomeDirectory().c_str()));
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
