// Access keys: the underlined letter of a button or a field's label that
// Alt and the letter press (or, for a label, focus the field it names). The
// keys of one window are chosen together, so that no two of its controls
// share one, and they are marked in the texts the string tables already
// have: the text the user sees never changes for them, in any language.
//
// The result is in GTK's mnemonic form ("_" before the key, "__" for a "_"
// of the text), for gtk_button_new_with_mnemonic,
// gtk_label_set_text_with_mnemonic and the message boxes' buttons.
//
// WithAccessKeys is pure, callable from any thread. AccessKeyText reads the
// string tables in the current language.
#ifndef UI_ACCESS_KEYS_H_
#define UI_ACCESS_KEYS_H_

#include <span>
#include <string>
#include <vector>

// `texts`, UTF-8, are the labels of one window's controls, the ones that
// should have the first pick first. Returns each of them in mnemonic form. A
// text's key is its first letter or digit that is typed with one key and
// that no text before it has taken, compared regardless of case. A text with
// no such character (all taken, or none there: "...") gets no key; its words
// stay as they are.
std::vector<std::string> WithAccessKeys(const std::vector<std::string>& texts);

// The labelled controls of each kind of window, by IDS key, in the order in
// which they pick: the wizard (its Next button says Finish on the last
// page, so both are there), a question box, and a box with OK only.
inline constexpr const char* kWizardControls[] = {
    "IDS_WIZARD_NEXT",   "IDS_WIZARD_BACK",      "IDS_WIZARD_FINISH",
    "IDS_WIZARD_CANCEL", "IDS_TEMPLATE_CATALOG", "IDS_SUCCESS_OPENDESCR"};
inline constexpr const char* kQuestionControls[] = {"IDS_BUTTON_YES",
                                                    "IDS_BUTTON_NO"};
inline constexpr const char* kNoticeControls[] = {"IDS_BUTTON_OK"};

// The text of `key` in the current language, in mnemonic form, with the key
// chosen among the texts of `window` (one of the lists above).
// REQUIRES: `key` is one of `window`'s.
std::string AccessKeyText(std::span<const char* const> window, const char* key);

#endif  // UI_ACCESS_KEYS_H_
