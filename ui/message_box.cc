#include "ui/message_box.h"

#include <gtk/gtk.h>

#include <cstdio>
#include <string>

#include "l10n/user_message.h"
#include "text/path_utils.h"
#include "text/text_conversion.h"
#include "ui/utf8_text.h"
#include "ui/wnd.h"

namespace {

MessageBoxHandler& Handler() {
  static MessageBoxHandler handler;
  return handler;
}

int WriteToStderr(const WideString& text, MessageBoxCode code) {
  std::fprintf(stderr, "%s\n", ToNarrow(OneLine(text)).c_str());
  std::fflush(stderr);
  return HasYesNoButtons(code) ? kMessageBoxOther : kMessageBoxOk;
}

}  // namespace

MessageKind MessageKindOf(MessageBoxCode code) {
  switch (code >> 24) {
    case 1:
      return MessageKind::kError;
    case 2:
      return MessageKind::kQuestion;
    default:
      return MessageKind::kPlain;
  }
}

bool HasYesNoButtons(MessageBoxCode code) { return (code & 0xFF) == 2; }

int MessageBoxResultFor(int gtk_response) {
  switch (gtk_response) {
    case GTK_RESPONSE_YES:
      return kMessageBoxYes;
    case GTK_RESPONSE_NO:
      return kMessageBoxNo;
    case GTK_RESPONSE_OK:
      return kMessageBoxOk;
    default:
      return kMessageBoxOther;
  }
}

void SetMessageBoxHandler(MessageBoxHandler handler) {
  Handler() = std::move(handler);
}

int MessageBox(CWnd* dialog, const WideString& text, MessageBoxCode code) {
  if (Handler()) return Handler()(dialog, text, code);
  if (gdk_display_get_default() == nullptr) return WriteToStderr(text, code);

  GtkMessageType type = GTK_MESSAGE_OTHER;
  switch (MessageKindOf(code)) {
    case MessageKind::kError:
      type = GTK_MESSAGE_ERROR;
      break;
    case MessageKind::kQuestion:
      type = GTK_MESSAGE_QUESTION;
      break;
    case MessageKind::kPlain:
      break;
  }
  GtkWidget* box = gtk_message_dialog_new(
      nullptr, GTK_DIALOG_MODAL, type,
      HasYesNoButtons(code) ? GTK_BUTTONS_YES_NO : GTK_BUTTONS_OK, "%s",
      ToUtf8(text).c_str());
  if (dialog != nullptr) {
    gtk_window_set_title(GTK_WINDOW(box), ToUtf8(dialog->GetTitle()).c_str());
  }
  const int result = MessageBoxResultFor(gtk_dialog_run(GTK_DIALOG(box)));
  gtk_widget_destroy(box);
  return result;
}
