#include "ui/message_box.h"

#include <gtk/gtk.h>

#include <cstdio>
#include <string>

#include "l10n/user_message.h"
#include "text/path_utils.h"
#include "text/text_conversion.h"
#include "ui/access_keys.h"
#include "ui/utf8_text.h"
#include "ui/wnd.h"

namespace {

MessageBoxHandler& Handler() {
  static MessageBoxHandler handler;
  return handler;
}

int WriteToStderr(const WideString& text, MessageBoxStyle style) {
  std::fprintf(stderr, "%s\n", ToNarrow(OneLine(text)).c_str());
  std::fflush(stderr);
  return style.yes_no ? kMessageBoxOther : kMessageBoxOk;
}

}  // namespace

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

int MessageBox(CWnd* dialog, const WideString& text, MessageBoxStyle style) {
  if (Handler()) return Handler()(dialog, text, style);
  if (gdk_display_get_default() == nullptr) return WriteToStderr(text, style);

  // Every box has the icon of its kind.
  GtkMessageType type = GTK_MESSAGE_OTHER;
  switch (style.kind) {
    case MessageKind::kError:
      type = GTK_MESSAGE_ERROR;
      break;
    case MessageKind::kQuestion:
      type = GTK_MESSAGE_QUESTION;
      break;
    case MessageKind::kWarning:
      type = GTK_MESSAGE_WARNING;
      break;
  }
  // Over the wizard and modal to it, whatever the window manager does when
  // the wizard is raised; not a window of its own in the taskbar, and not
  // to be minimised apart from the wizard (when there is one). The buttons
  // speak the wizard's language, which need not be the locale's.
  GtkWindow* parent = dialog != nullptr ? dialog->GetGtkWindow() : nullptr;
  GtkWidget* box = gtk_message_dialog_new(
      parent,
      static_cast<GtkDialogFlags>(GTK_DIALOG_MODAL |
                                  GTK_DIALOG_DESTROY_WITH_PARENT),
      type, GTK_BUTTONS_NONE, "%s", ToUtf8(text).c_str());
  if (style.yes_no) {
    // The dialog's buttons read their labels as mnemonics.
    gtk_dialog_add_buttons(
        GTK_DIALOG(box),
        AccessKeyText(kQuestionControls, "IDS_BUTTON_NO").c_str(),
        GTK_RESPONSE_NO,
        AccessKeyText(kQuestionControls, "IDS_BUTTON_YES").c_str(),
        GTK_RESPONSE_YES, nullptr);
    // Enter keeps what is there; cancelling takes a deliberate Yes.
    gtk_dialog_set_default_response(GTK_DIALOG(box), GTK_RESPONSE_NO);
  } else {
    gtk_dialog_add_button(
        GTK_DIALOG(box),
        AccessKeyText(kNoticeControls, "IDS_BUTTON_OK").c_str(),
        GTK_RESPONSE_OK);
    gtk_dialog_set_default_response(GTK_DIALOG(box), GTK_RESPONSE_OK);
  }
  if (parent != nullptr) {
    gtk_window_set_position(GTK_WINDOW(box), GTK_WIN_POS_CENTER_ON_PARENT);
    gtk_window_set_skip_taskbar_hint(GTK_WINDOW(box), TRUE);
    gtk_window_set_type_hint(GTK_WINDOW(box), GDK_WINDOW_TYPE_HINT_DIALOG);
    gtk_widget_realize(box);
    gdk_window_set_functions(
        gtk_widget_get_window(box),
        static_cast<GdkWMFunction>(GDK_FUNC_MOVE | GDK_FUNC_CLOSE));
  } else {
    // Before the wizard exists (a kit that failed its check) there is no
    // window to stay over: the box is one of its own, in the taskbar, so
    // that it can be found again when something covers it.
    gtk_window_set_position(GTK_WINDOW(box), GTK_WIN_POS_CENTER);
    gtk_window_set_skip_taskbar_hint(GTK_WINDOW(box), FALSE);
    gtk_window_set_type_hint(GTK_WINDOW(box), GDK_WINDOW_TYPE_HINT_NORMAL);
  }
  if (dialog != nullptr) {
    gtk_window_set_title(GTK_WINDOW(box), ToUtf8(dialog->GetTitle()).c_str());
  }
  const int result = MessageBoxResultFor(gtk_dialog_run(GTK_DIALOG(box)));
  gtk_widget_destroy(box);
  return result;
}
