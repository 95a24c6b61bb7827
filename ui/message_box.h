// The wizard's one way of telling the user something: a modal message box
// with a text, a kind (error, question, warning: each with its icon) and
// either an OK button or Yes and No. Without a display the text goes to
// standard error as one line instead. Tests put a handler in front of both
// to see what would be shown and to answer for the user.
//
// GUI thread only.
#ifndef UI_MESSAGE_BOX_H_
#define UI_MESSAGE_BOX_H_

#include <cstdint>
#include <functional>

#include "text/wide_string.h"

class CWnd;

enum class MessageKind { kError, kQuestion, kWarning };

// What a box looks like: its kind and its buttons.
struct MessageBoxStyle {
  MessageKind kind;
  bool yes_no;  // Yes and No; otherwise OK
  bool operator==(const MessageBoxStyle&) const = default;
};
inline constexpr MessageBoxStyle kMessageBoxQuestion{MessageKind::kQuestion,
                                                     true};
inline constexpr MessageBoxStyle kMessageBoxError{MessageKind::kError, false};
inline constexpr MessageBoxStyle kMessageBoxWarning{MessageKind::kWarning,
                                                    false};

// Results.
inline constexpr int kMessageBoxOther = 0;  // closed, or any other answer
inline constexpr int kMessageBoxYes = 1;
inline constexpr int kMessageBoxNo = 2;
inline constexpr int kMessageBoxOk = 3;

// The result for a GtkResponseType value: Yes 1, No 2, OK 3, anything else
// (Cancel, Close, the window manager's close button) 0.
int MessageBoxResultFor(int gtk_response);

// Shows `text` and waits for the answer. The box's title is `dialog`'s
// GetTitle() (none for a null dialog); it is transient for, modal to and
// centred on `dialog`'s window, kept out of the taskbar and not minimisable
// on its own (without a window, before the wizard is built, it is a window
// of its own, centred on the screen and in the taskbar). Its buttons are
// labelled from the string tables ("Yes", "No", "OK" in the current
// language, each with an access key: Alt+Y says Yes in English; Enter
// answers No to a question). Without a display (GDK has no default
// display) the text is written to standard error as one line, in the
// locale's encoding, and the result is OK for an OK box, 0 for a question.
int MessageBox(CWnd* dialog, const WideString& text, MessageBoxStyle style);

// A handler that MessageBox calls instead of showing anything; an empty
// handler restores the normal behaviour. For tests.
using MessageBoxHandler = std::function<int(
    CWnd* dialog, const WideString& text, MessageBoxStyle style)>;
void SetMessageBoxHandler(MessageBoxHandler handler);

#endif  // UI_MESSAGE_BOX_H_
