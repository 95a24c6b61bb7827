// The decisions of the wizard, as plain functions over plain values: how a
// typed directory becomes the one installed into, what the progress page
// shows, where the kit's description lies, what the welcome page says, what
// closing the window means and how wide a text is laid out in the desktop's
// font. The dialog (installer_dlg.h) only copies the results into widgets,
// so these are tested without a display.
//
// No GTK types here. Pure functions, callable from any thread, except
// WelcomeText, which looks texts up in the current language.
#ifndef UI_FLOW_LOGIC_H_
#define UI_FLOW_LOGIC_H_

#include "text/wide_string.h"

// What the progress page shows for a percentage: the finish text instead of
// the start text exactly at 100, and the bar's fraction.
struct ProgressView {
  bool finished;
  double fraction;  // percent / 100, kept within 0.0 .. 1.0
};
ProgressView ViewFor(int percent);

// The directory typed on the directory page, made absolute: "~" alone or a
// leading "~/" stands for `home`; any other path not starting with "/" is
// taken relative to `current_dir`. Backslashes become slashes and the blanks
// (spaces and tabs) around the text are removed first, as for a location
// from the configuration. Empty when nothing but blanks was typed, or when
// it is relative and `current_dir` is empty (the current directory is
// unknown): an empty directory is never installed into.
WideString NormaliseTypedDirectory(WideString typed,
                                   const WideString& current_dir,
                                   const WideString& home);

// The description document: `target_dir` and a non-empty `description`
// joined with exactly one "/", whatever separators either has at the join
// (a directory typed, chosen or recorded, with or without trailing ones; a
// name with or without leading ones, as kits made by other tools have it);
// backslashes become slashes. An empty description gives the directory.
WideString DescriptionPath(const WideString& target_dir,
                           const WideString& description);

// The welcome page's text: "IDS_WELCOME_TITLE" " " product " (" provider
// ")." with "IDS_DEFPRODUCT" / "IDS_DEFPROVIDER" for empty names.
WideString WelcomeText(WideString product, WideString provider);

// What Cancel, Escape and the window's close button do: on a final step
// (success, error, cancelled) the wizard finishes at once; on any other it
// asks first.
enum class CloseAction { kAsk, kFinish };
CloseAction CloseActionFor(bool final_step);

// The pixel size of the usual desktop font, for which the pages' widths were
// drawn: 10 points are 13 to 14 pixels at the 96 to 100 dots per inch of
// most screens.
inline constexpr double kUsualFontPixels = 14.0;

// The width at which a text drawn to wrap at `width` pixels in the usual
// font wraps in a font whose size is `font_pixels`: the same in that font or
// a smaller one, wider in proportion to a larger one, so that a page keeps
// its shape instead of squeezing a large font into a narrow column.
int WidthForFont(int width, double font_pixels);

#endif  // UI_FLOW_LOGIC_H_
