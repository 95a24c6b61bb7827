// The decisions of the wizard, as plain functions over plain values: how a
// typed directory becomes the one installed into, what the progress page
// shows, where the kit's description lies, what the welcome page says and
// what closing the window means. The dialog (installer_dlg.h) only copies
// the results into widgets, so these are tested without a display.
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

#endif  // UI_FLOW_LOGIC_H_
