#include "ui/flow_logic.h"

#include "l10n/string_table.h"
#include "text/path_utils.h"


ProgressView ViewFor(int percent) {
  // The bar refuses fractions outside 0..1; the worker posts only 0..100.
  const int clamped = percent < 0 ? 0 : percent > 100 ? 100 : percent;
  return ProgressView{percent == 100, static_cast<double>(clamped) / 100.0};
}

WideString NormaliseTypedDirectory(WideString typed,
                                   const WideString& current_dir,
                                   const WideString& home) {
  ToSlashes(typed);
  TrimBlanks(typed);
  if (typed.empty()) return typed;
  bool tilde = false;
  typed = ExpandHome(typed, home, &tilde);
  if (tilde) return typed;
  if (typed[0] == u'/') return typed;
  if (current_dir.empty()) return WideString();
  WideString result = current_dir;
  AppendSeparator(result, SeparatorVariant::kSlashOnly);
  result.append(typed);
  return result;
}

WideString DescriptionPath(const WideString& target_dir,
                           const WideString& description) {
  WideString path = target_dir;
  ToSlashes(path);
  if (description.empty()) return path;
  WideString name = description;
  ToSlashes(name);
  uint32_t skip = 0;
  while (skip < name.length() && name[skip] == u'/') ++skip;
  while (!path.empty() && path[path.length() - 1] == u'/') {
    path.erase(path.length() - 1);
  }
  path.push_back(u'/');
  path.append(name, skip);
  return path;
}

WideString WelcomeText(WideString product, WideString provider) {
  if (product.empty()) product = StringTable::Lookup("IDS_DEFPRODUCT");
  if (provider.empty()) provider = StringTable::Lookup("IDS_DEFPROVIDER");
  return StringTable::Lookup("IDS_WELCOME_TITLE") + u" " + product + u" (" +
         provider + u").";
}

CloseAction CloseActionFor(bool final_step) {
  return final_step ? CloseAction::kFinish : CloseAction::kAsk;
}

int WidthForFont(int width, double font_pixels) {
  if (!(font_pixels > kUsualFontPixels)) return width;
  return static_cast<int>(width * font_pixels / kUsualFontPixels + 0.5);
}
