// Puts the real installer window into each of its states and saves each as a
// PNG, for the documentation. scripts/screenshots runs it under a virtual X
// server in a directory that holds tqkt.efd, with HOME and TMPDIR pointing at
// throw-away directories:
//
//   screenshot_tool LANG OUTDIR          OUTDIR/LANG-welcome.png
//   screenshot_tool LANG OUTDIR all      and LANG-confirm-close, -directory,
//                                        -progress, -success, -error-box,
//                                        -error and -cancelled
//
// The dialog and its pages are the ones setup uses, driven as a user would
// (the buttons clicked, the close request made); only the install worker is
// held at one file through the system seam, so that the progress page can be
// seen, and made to fail there for the error pages. Message boxes are found
// among the top-level windows, saved and answered from inside their own loop.
// Exit status: 0 all saved, 1 something failed.
#include <gtk/gtk.h>

#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <utility>

#include "app/installer_app.h"
#include "platform/fault_injection.h"
#include "ui/installer_dlg.h"

namespace {

// The file of the example kit at which the worker is held or fails: about
// two thirds of the way through.
constexpr char kHoldFile[] = "summary.tmpl";
constexpr char kFailDirectory[] = "monthly";

bool g_failed = false;

void Fail(const std::string& what) {
  std::fprintf(stderr, "screenshot_tool: %s\n", what.c_str());
  g_failed = true;
}

// Lets windows map, lay out and draw; a few rounds, since drawing can queue
// more work.
void Settle() {
  for (int round = 0; round < 6; ++round) {
    while (gtk_events_pending()) gtk_main_iteration();
    gdk_window_process_all_updates();
    gdk_flush();
    g_usleep(30 * 1000);
  }
}

// Runs events until `window` has the size it asks for: one that grows (a
// larger font) waits for the display to grant it before it lays its
// contents out anew, and a picture taken before would cut them.
void AwaitRequestedSize(GtkWidget* window) {
  for (int i = 0; i < 200; ++i) {
    GtkRequisition wanted;
    gtk_widget_size_request(window, &wanted);
    gdk_display_sync(gtk_widget_get_display(window));
    Settle();
    // The window as the display has it, not as the toolkit asked for it.
    int width = 0;
    int height = 0;
    gdk_window_get_geometry(gtk_widget_get_window(window), nullptr, nullptr,
                            &width, &height, nullptr);
    if (wanted.width == width && wanted.height == height) break;
  }
  Settle();
}

class Shooter {
 public:
  explicit Shooter(std::string prefix) : prefix_(std::move(prefix)) {}

  // Saves what `widget`'s window shows as PREFIX + name + ".png".
  void Save(GtkWidget* widget, const std::string& name) {
    Settle();
    if (widget != nullptr) AwaitRequestedSize(gtk_widget_get_toplevel(widget));
    const std::string path = prefix_ + name + ".png";
    GdkWindow* window =
        widget != nullptr ? gtk_widget_get_window(widget) : nullptr;
    if (window == nullptr) {
      Fail("no window to save as " + path);
      return;
    }
    int width = 0;
    int height = 0;
    gdk_drawable_get_size(GDK_DRAWABLE(window), &width, &height);
    GdkPixbuf* pixbuf = gdk_pixbuf_get_from_drawable(nullptr, window, nullptr,
                                                     0, 0, 0, 0, width, height);
    if (pixbuf == nullptr) {
      Fail("cannot read the window for " + path);
      return;
    }
    GError* error = nullptr;
    if (!gdk_pixbuf_save(pixbuf, path.c_str(), "png", &error, nullptr)) {
      Fail("cannot write " + path + ": " + (error ? error->message : "?"));
      if (error != nullptr) g_error_free(error);
    } else {
      std::printf("%s (%dx%d)\n", path.c_str(), width, height);
    }
    g_object_unref(pixbuf);
  }

 private:
  std::string prefix_;
};

// Watches for a message box; the next one that appears is saved under the
// expected name and answered with the expected response.
class BoxWatcher {
 public:
  explicit BoxWatcher(Shooter* shooter)
      : shooter_(shooter),
        source_(g_timeout_add(20, &BoxWatcher::Tick, this)) {}
  ~BoxWatcher() { g_source_remove(source_); }
  BoxWatcher(const BoxWatcher&) = delete;
  BoxWatcher& operator=(const BoxWatcher&) = delete;

  void Expect(std::string name, GtkResponseType response) {
    name_ = std::move(name);
    response_ = response;
  }
  // True when the expected box was seen (and the expectation is cleared).
  bool Seen() {
    const bool seen = name_.empty();
    name_.clear();
    return seen;
  }

 private:
  static gboolean Tick(gpointer data) {
    auto* self = static_cast<BoxWatcher*>(data);
    if (self->name_.empty()) return TRUE;
    GtkWidget* box = nullptr;
    GList* windows = gtk_window_list_toplevels();
    for (GList* item = windows; item != nullptr; item = item->next) {
      GtkWidget* window = GTK_WIDGET(item->data);
      if (GTK_IS_MESSAGE_DIALOG(window) && gtk_widget_get_mapped(window)) {
        box = window;
      }
    }
    g_list_free(windows);
    if (box == nullptr) return TRUE;
    self->shooter_->Save(box, self->name_);
    self->name_.clear();
    gtk_dialog_response(GTK_DIALOG(box), self->response_);
    return TRUE;
  }

  Shooter* shooter_;
  guint source_;
  std::string name_;
  GtkResponseType response_ = GTK_RESPONSE_NONE;
};

// Clicks Next on the directory page, which runs the whole copying, and runs
// `during` from inside the wizard's loop once the worker waits at `system`'s
// file and the loop has shown the progress so far; the worker goes on
// afterwards.
void CopyHeld(CInstallerDlg& dialog, GateSystem& system,
              const std::function<void()>& during) {
  system.Rearm();
  struct Context {
    GateSystem* system;
    const std::function<void()>* during;
    int waited = 0;
    int turns = 0;
    bool ran = false;
  } context{&system, &during};
  g_timeout_add(
      10,
      [](gpointer data) -> gboolean {
        auto* c = static_cast<Context*>(data);
        if (!c->system->Reached()) {
          if (++c->waited < 3000) return TRUE;
          c->system->Release();  // the worker never came: do not hang
          return FALSE;
        }
        if (++c->turns < 10) return TRUE;
        if (!c->ran) {
          (*c->during)();
          c->ran = true;
          return TRUE;  // let the loop see what `during` did first
        }
        c->system->Release();
        return FALSE;
      },
      &context);
  gtk_button_clicked(GTK_BUTTON(dialog.next_button()));
  if (!context.ran) Fail("the worker never reached the held file");
}

// A wizard on a session of its own, whose system holds the worker before
// `hold_file` (none for "") once CopyHeld asks.
class Wizard {
 public:
  Wizard(const InstallerApp& app, const char* hold_file)
      : system_(hold_file),
        session_(system_, nullptr),
        dialog_(session_, false, app.title(),
                app.command_line().language_code, true) {
    system_.Release();
  }

  // The welcome page, as setup shows it.
  bool Start() {
    if (!dialog_.PrepareInstall()) {
      Fail("the pre-checks failed (is tqkt.efd in the current directory?)");
      return false;
    }
    dialog_.BuildWindow();
    dialog_.ShowWelcomeStep();
    Settle();
    return true;
  }

  // From the welcome page to the directory page; with a non-empty `dir`,
  // types it in.
  void ToDirectory(const std::string& dir) {
    gtk_button_clicked(GTK_BUTTON(dialog_.next_button()));
    if (dialog_.step() != CInstallerDlg::kStepDirectory) {
      Fail("Next did not lead to the directory page");
    }
    if (!dir.empty()) {
      gtk_entry_set_text(GTK_ENTRY(dialog_.dir_page()->path_entry()),
                         dir.c_str());
    }
    Settle();
  }

  void ExpectPage(int page, const char* name) {
    if (dialog_.step() != page) {
      Fail(std::string("expected the ") + name + " page, got step " +
           std::to_string(dialog_.step()));
    }
  }

  CInstallerDlg& dialog() { return dialog_; }
  GateSystem& system() { return system_; }

 private:
  GateSystem system_;
  InstallSession session_;
  CInstallerDlg dialog_;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3 || argc > 4 || (argc == 4 && std::string(argv[3]) != "all")) {
    std::fputs("usage: screenshot_tool LANG OUTDIR [all]\n", stderr);
    return 2;
  }
  const std::string language = argv[1];
  const std::string out_dir = argv[2];
  const bool all = argc == 4;
#if !GLIB_CHECK_VERSION(2, 32, 0)
  g_thread_init(nullptr);
#endif
  // No gdk_threads_init, unlike setup: the tool calls into the dialog from
  // outside the toolkit's handlers (as the tests do), where the GDK lock
  // that a message box's own loop takes back would stay held.

  // The command line that setup would get, so that the language and the
  // title are chosen as setup chooses them.
  std::string arg0 = "setup";
  std::string arg1 = "usecwd";
  std::string arg2 = "-L" + language;
  char* setup_argv[] = {arg0.data(), arg1.data(), arg2.data(), nullptr};
  InstallerApp app(3, setup_argv);
  app.Run();
  int gtk_argc = 1;
  char** gtk_argv = setup_argv;
  if (!gtk_init_check(&gtk_argc, &gtk_argv)) {
    Fail("cannot open a display");
    return 1;
  }
  if (app.command_line().language_id == kLanguageNone) {
    std::fprintf(stderr, "screenshot_tool: unknown language \"%s\"\n",
                 language.c_str());
    return 2;
  }

  Shooter shooter(out_dir + "/" + language + "-");
  const char* home = g_get_home_dir();
  {
    Wizard wizard(app, kHoldFile);
    if (!wizard.Start()) return 1;
    CInstallerDlg& dialog = wizard.dialog();
    shooter.Save(dialog.window(), "welcome");

    BoxWatcher boxes(&shooter);
    if (all) {
      // Escape asks whether to close; the answer is No.
      boxes.Expect("confirm-close", GTK_RESPONSE_NO);
      dialog.CloseWithConfirmation();
      if (!boxes.Seen()) Fail("no question before closing");
    }

    // The suggested template directory, then the copying, held part way.
    wizard.ToDirectory("");
    shooter.Save(dialog.window(), "directory");
    CopyHeld(dialog, wizard.system(), [&] {
      if (all) shooter.Save(dialog.window(), "progress");
    });
    wizard.ExpectPage(CInstallerDlg::kStepSuccess, "success");
    shooter.Save(dialog.window(), "success");
    if (!all) return g_failed ? 1 : 0;
  }
  {
    // A directory that cannot be made: the error box, then the error page.
    BoxWatcher boxes(&shooter);
    Wizard wizard(app, "");
    if (!wizard.Start()) return 1;
    CInstallerDlg& dialog = wizard.dialog();
    wizard.ToDirectory(std::string(home) + "/templates-error");
    wizard.system().FailPath(kFailDirectory, EACCES, Ops(SysOp::kMkdir));
    boxes.Expect("error-box", GTK_RESPONSE_OK);
    gtk_button_clicked(GTK_BUTTON(dialog.next_button()));
    if (!boxes.Seen()) Fail("no error box");
    wizard.ExpectPage(CInstallerDlg::kStepError, "error");
    shooter.Save(dialog.window(), "error");
  }
  {
    // Cancel pressed while the files are being copied.
    Wizard wizard(app, kHoldFile);
    if (!wizard.Start()) return 1;
    CInstallerDlg& dialog = wizard.dialog();
    wizard.ToDirectory(std::string(home) + "/templates-cancelled");
    // Cancel asks, with the copying held; Yes rolls it back.
    BoxWatcher boxes(&shooter);
    CopyHeld(dialog, wizard.system(), [&] {
      boxes.Expect("cancel-question", GTK_RESPONSE_YES);
      gtk_button_clicked(GTK_BUTTON(dialog.cancel_button()));
      if (!boxes.Seen()) Fail("no question before cancelling");
    });
    wizard.ExpectPage(CInstallerDlg::kStepCancelled, "cancelled");
    shooter.Save(dialog.window(), "cancelled");
  }
  return g_failed ? 1 : 0;
}
