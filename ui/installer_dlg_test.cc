#include "ui/installer_dlg.h"

#include <gdk/gdkkeysyms.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <clocale>
#include <condition_variable>
#include <mutex>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "kit/kit_checksum.h"
#include "l10n/string_table.h"
#include "platform/scoped_temp_dir.h"
#include "text/text_conversion_internal.h"
#include "ui/message_box.h"
#include "ui/toolkit_language.h"
#include "ui/ui_test_util.h"
#include "ui/utf8_text.h"

namespace {

// What the wizard's buttons look like.
struct Buttons {
  bool back_visible, back_sensitive;
  bool next_visible, next_sensitive;
  std::string next_label;
  bool cancel_visible, cancel_sensitive;
  bool operator==(const Buttons&) const = default;
};

void PrintTo(const Buttons& b, std::ostream* os) {
  *os << "back " << b.back_visible << b.back_sensitive << " next "
      << b.next_visible << b.next_sensitive << " '" << b.next_label
      << "' cancel " << b.cancel_visible << b.cancel_sensitive;
}

Buttons ButtonsOf(const CInstallerDlg& dialog) {
  return Buttons{
      Visible(dialog.back_button()),     Sensitive(dialog.back_button()),
      Visible(dialog.next_button()),     Sensitive(dialog.next_button()),
      ButtonLabel(dialog.next_button()), Visible(dialog.cancel_button()),
      Sensitive(dialog.cancel_button())};
}

// The three ways to ask the wizard to close.
enum class CloseHow { kEscape, kCancelButton, kCloseButton };

void AskToClose(CInstallerDlg& dialog, CloseHow how) {
  switch (how) {
    case CloseHow::kEscape:
      SendKey(dialog.window(), GDK_Escape);
      break;
    case CloseHow::kCancelButton:
      gtk_button_clicked(GTK_BUTTON(dialog.cancel_button()));
      break;
    case CloseHow::kCloseButton:
      SendDelete(dialog.window());
      break;
  }
}

// The window's focus widget is `widget` (whether or not the window itself
// has the keyboard now: other tests' windows share the display).
bool FocusIn(const CInstallerDlg& dialog, GtkWidget* widget) {
  return gtk_window_get_focus(GTK_WINDOW(dialog.window())) == widget;
}

// The access key of a label: GDK_VoidSymbol when it has none.
guint AccessKey(GtkWidget* label) {
  return gtk_label_get_mnemonic_keyval(GTK_LABEL(label));
}

struct Shown {
  std::string text;
  MessageBoxStyle style;
  std::string title;
  bool operator==(const Shown&) const = default;
};

void PrintTo(const Shown& s, std::ostream* os) {
  *os << "'" << s.text << "' kind " << static_cast<int>(s.style.kind)
      << (s.style.yes_no ? " yes/no" : " ok") << " '" << s.title << "'";
}

// A wizard on a kit in a fresh directory (found with "usecwd"), with its own
// home, temporary directory and a recording "xdg-open" first on PATH. Message
// boxes are recorded; questions get `answer_`.
class InstallerDlgTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!OpenTestDisplay()) GTEST_SKIP() << "no display";
    saved_language_ = StringTable::CurrentLanguage();
    StringTable::SetCurrentLanguage(kLanguageEnglish);
    for (const char* dir : {"home", "tmp", "kit", "bin"}) {
      ASSERT_EQ(0, mkdir(root_.Path(dir).c_str(), 0755));
    }
    home_ = root_.Path("home");
    default_target_ = home_ + "/.tqkt/WEX/wexkt/tmplts/";
    opener_log_ = root_.Path("opened");
    ASSERT_TRUE(WriteRecordingOpener(root_.Path("bin"), opener_log_));
    env_.push_back(std::make_unique<EnvScope>("HOME", home_));
    env_.push_back(std::make_unique<EnvScope>("TMPDIR", root_.Path("tmp")));
    const char* path = std::getenv("PATH");
    env_.push_back(std::make_unique<EnvScope>(
        "PATH", root_.Path("bin") + ":" + (path ? path : "/usr/bin:/bin")));
    cwd_ = std::make_unique<CwdScope>(root_.Path("kit"));
    ASSERT_TRUE(WriteTestKit(root_.Path("kit/tqkt.efd"), files_));
    SetMessageBoxHandler(
        [this](CWnd* dialog, const WideString& text, MessageBoxStyle style) {
          shown_.push_back(Shown{Narrow(text), style,
                                 dialog ? Narrow(dialog->GetTitle()) : ""});
          if (while_asked_) while_asked_();
          return style.yes_no ? answer_ : kMessageBoxOk;
        });
  }

  void TearDown() override {
    SetMessageBoxHandler(nullptr);
    cwd_.reset();
    env_.clear();
    if (saved_language_ != kLanguageNone) {
      StringTable::SetCurrentLanguage(saved_language_);
    }
  }

  // A session of its own for the next wizard, on a system that holds the
  // worker before "gate.txt" when InstallHeldAtGate asks.
  InstallSession& NewSession() {
    gates_.push_back(std::make_unique<GateSystem>("gate.txt"));
    gates_.back()->Release();
    sessions_.push_back(
        std::make_unique<InstallSession>(*gates_.back(), nullptr));
    return *sessions_.back();
  }

  // The wizard on its welcome page, as Run shows it.
  std::unique_ptr<CInstallerDlg> StartWizard(bool silent = false,
                                             const char* language = "en") {
    auto dialog = std::make_unique<CInstallerDlg>(
        NewSession(), silent, FromUtf8("Installer title"), FromUtf8(language),
        true);
    EXPECT_TRUE(dialog->PrepareInstall());
    dialog->BuildWindow();
    dialog->ShowWelcomeStep();
    PumpEvents();
    return dialog;
  }

  // From the welcome page to the directory page, with `dir` typed in.
  static void TypeDirectory(CInstallerDlg& dialog, const std::string& dir) {
    gtk_button_clicked(GTK_BUTTON(dialog.next_button()));
    ASSERT_EQ(CInstallerDlg::kStepDirectory, dialog.step());
    gtk_entry_set_text(GTK_ENTRY(dialog.dir_page()->path_entry()), dir.c_str());
  }

  // Presses Next on the directory page and, while the worker is held before
  // "gate.txt" (after copying "a.txt"), runs `during` inside the wizard's
  // install loop; lets the worker go one loop turn later. Returns when the
  // loop has ended.
  void InstallHeldAtGate(CInstallerDlg& dialog,
                         const std::function<void()>& during) {
    GateSystem& gate = *gates_.back();
    gate.Rearm();
    gate_ = &gate;
    struct Context {
      GateSystem* gate;
      const std::function<void()>* during;
      int ticks = 0;
      bool ran = false;
      bool done = false;
    } context{&gate, &during};
    const guint timer = g_timeout_add(
        5,
        [](gpointer data) -> gboolean {
          auto* c = static_cast<Context*>(data);
          // A worker that never arrives is a failure, not a hang.
          if (!c->gate->Reached() && ++c->ticks < 12000) return TRUE;
          if (c->gate->Reached() && !c->ran) {
            (*c->during)();
            c->ran = true;
            // The gate opens on a later tick, once the loop has seen what
            // `during` did (a signal is noticed between iterations).
            return TRUE;
          }
          c->gate->Release();
          c->done = true;
          return FALSE;
        },
        &context);
    gtk_button_clicked(GTK_BUTTON(dialog.next_button()));
    // The job may end before the timer's last turn: the timer must not
    // outlive its context.
    if (!context.done) g_source_remove(timer);
    gate_ = nullptr;
    EXPECT_TRUE(context.ran) << "the worker never reached the gate";
  }
  // Lets the worker held by InstallHeldAtGate go now.
  void ReleaseGate() {
    if (gate_ != nullptr) gate_->Release();
  }
  // Waits until the latest wizard's job stands held by an open question,
  // or has ended; true when held.
  bool WaitHeldOrEnded() {
    for (;;) {
      const ChannelState state = sessions_.back()->Poll();
      if (state.held) return true;
      if (state.state != JobState::kRunning) return false;
      std::this_thread::yield();
    }
  }

  // Backup directories left in the temporary directory.
  std::vector<std::string> Backups() const {
    std::vector<std::string> result;
    for (const std::string& name : ListTree(root_.Path("tmp"))) {
      if (name.rfind("ktstp", 0) == 0) result.push_back(name);
    }
    return result;
  }

  std::string UserConfig() const {
    return ReadFile(home_ + "/.Tq/tqlaunch/tqlaunch.cfg");
  }

  ScopedTempDir root_;
  std::string home_;
  std::string default_target_;
  std::string opener_log_;
  std::vector<TestFile> files_ = {
      {"a.txt", "A"}, {"gate.txt", "G"}, {"doc\\readme.html", "<html/>"}};
  std::vector<Shown> shown_;
  int answer_ = kMessageBoxNo;
  // Runs while a box is open, before it is answered.
  std::function<void()> while_asked_;
  GateSystem* gate_ = nullptr;
  // The wizards' systems and sessions, which outlive them.
  std::vector<std::unique_ptr<GateSystem>> gates_;
  std::vector<std::unique_ptr<InstallSession>> sessions_;

 private:
  LanguageId saved_language_ = kLanguageNone;
  std::vector<std::unique_ptr<EnvScope>> env_;
  std::unique_ptr<CwdScope> cwd_;
};

// Where a widget lies in the window, as laid out.
struct Box {
  int x, y, width, height;
};
Box AllocationOf(GtkWidget* widget) {
  GtkAllocation a;
  gtk_widget_get_allocation(widget, &a);
  return Box{a.x, a.y, a.width, a.height};
}

TEST_F(InstallerDlgTest, FrameHasFixedSizeAndButtons) {
  auto dialog = StartWizard();
  GtkWindow* window = GTK_WINDOW(dialog->window());
  int width = 0, height = 0;
  gtk_window_get_size(window, &width, &height);
  EXPECT_EQ(500, width);
  EXPECT_EQ(360, height);
  gtk_window_resize(window, 800, 600);
  PumpEvents();
  gtk_window_get_size(window, &width, &height);
  EXPECT_EQ(500, width);
  EXPECT_EQ(360, height);

  // An ordinary window: listed in the taskbar, minimisable; the boxes are
  // modal to it, it is not modal itself.
  EXPECT_EQ(GDK_WINDOW_TYPE_HINT_NORMAL, gtk_window_get_type_hint(window));
  EXPECT_FALSE(gtk_window_get_modal(window));
  EXPECT_FALSE(gtk_window_get_resizable(window));
  EXPECT_FALSE(gtk_window_get_skip_taskbar_hint(window));
  EXPECT_STREQ("Installer title", gtk_window_get_title(window));
  GdkPixbuf* icon = gtk_window_get_icon(window);
  ASSERT_NE(nullptr, icon);
  EXPECT_EQ(256, gdk_pixbuf_get_width(icon));
  EXPECT_EQ(256, gdk_pixbuf_get_height(icon));

  // The separator across, 10 from each side; the buttons in a row flush
  // right, 10 from the edge: Back and Next side by side, 20 to Cancel.
  const Box separator = AllocationOf(dialog->separator());
  EXPECT_EQ(10, separator.x);
  EXPECT_EQ(310, separator.y);
  EXPECT_EQ(480, separator.width);
  const Box back = AllocationOf(dialog->back_button());
  const Box next = AllocationOf(dialog->next_button());
  const Box cancel = AllocationOf(dialog->cancel_button());
  EXPECT_EQ(490, cancel.x + cancel.width);
  EXPECT_EQ(cancel.x - 20, next.x + next.width);
  EXPECT_EQ(next.x, back.x + back.width);
  for (const Box& button : {back, next, cancel}) {
    EXPECT_EQ(320, button.y);
    EXPECT_EQ(30, button.height);
    EXPECT_LE(80, button.width);
  }
  EXPECT_EQ(Text("IDS_WIZARD_BACK"), ButtonLabel(dialog->back_button()));
  EXPECT_EQ(Text("IDS_WIZARD_NEXT"), ButtonLabel(dialog->next_button()));
  EXPECT_EQ(Text("IDS_WIZARD_CANCEL"), ButtonLabel(dialog->cancel_button()));
  EXPECT_TRUE(gtk_widget_get_can_default(dialog->next_button()));
  EXPECT_TRUE(gtk_widget_has_default(dialog->next_button()));
  // Enter on the welcome page means Next.
  EXPECT_TRUE(FocusIn(*dialog, dialog->next_button()));

  // Centred on the screen.
  GdkScreen* screen = gtk_window_get_screen(window);
  int x = 0, y = 0;
  gtk_window_get_position(window, &x, &y);
  EXPECT_EQ((gdk_screen_get_width(screen) - 500) / 2, x);
  EXPECT_EQ((gdk_screen_get_height(screen) - 360) / 2, y);

  EXPECT_EQ(CInstallerDlg::kStepWelcome, dialog->step());
  EXPECT_EQ(
      "Welcome to the product installation program Quillbrook (Ardenvale).",
      LabelText(dialog->welcome_page()->text_label()));
  EXPECT_TRUE(shown_.empty());
}

TEST_F(InstallerDlgTest, ButtonsOnEveryStep) {
  const std::string finish = Text("IDS_WIZARD_FINISH");
  const std::string next = Text("IDS_WIZARD_NEXT");
  auto dialog = StartWizard();
  EXPECT_EQ((Buttons{true, false, true, true, next, true, true}),
            ButtonsOf(*dialog));
  TypeDirectory(*dialog, root_.Path("t"));
  EXPECT_EQ((Buttons{true, true, true, true, next, true, true}),
            ButtonsOf(*dialog));
  InstallHeldAtGate(*dialog, [&] {
    EXPECT_EQ(CInstallerDlg::kStepProgress, dialog->step());
    EXPECT_EQ((Buttons{true, false, true, false, next, true, true}),
              ButtonsOf(*dialog));
    for (GtkWidget* widget : dialog->progress_page()->widgets()) {
      EXPECT_TRUE(Visible(widget));
    }
    for (GtkWidget* widget : dialog->dir_page()->widgets()) {
      EXPECT_FALSE(Visible(widget));
    }
  });
  EXPECT_EQ(CInstallerDlg::kStepSuccess, dialog->step());
  EXPECT_EQ((Buttons{false, false, true, true, finish, true, false}),
            ButtonsOf(*dialog));
  EXPECT_TRUE(gtk_widget_has_default(dialog->next_button()));
  EXPECT_EQ(1.0, gtk_progress_bar_get_fraction(GTK_PROGRESS_BAR(
                     dialog->progress_page()->progress_bar())));
  EXPECT_EQ(Text("IDS_SUCCESS_FINISH"),
            LabelText(dialog->success_page()->text_label()));
  EXPECT_TRUE(dialog->success_page()->IsOpenDescriptionChecked());
  EXPECT_EQ(dialog->success_page(), dialog->current_page());
  EXPECT_TRUE(shown_.empty());
}

TEST_F(InstallerDlgTest, SilentWelcomeShowsOnlyCancel) {
  auto dialog = StartWizard(/*silent=*/true);
  const Buttons buttons = ButtonsOf(*dialog);
  EXPECT_FALSE(buttons.back_visible);
  EXPECT_FALSE(buttons.next_visible);
  EXPECT_TRUE(buttons.cancel_visible);
  EXPECT_TRUE(buttons.cancel_sensitive);
}

TEST_F(InstallerDlgTest, BackAndNextThroughThePages) {
  auto dialog = StartWizard();
  MessagePage* welcome = dialog->welcome_page();
  gtk_button_clicked(GTK_BUTTON(dialog->back_button()));  // nothing before
  EXPECT_EQ(CInstallerDlg::kStepWelcome, dialog->step());

  TypeDirectory(*dialog, "/somewhere/else");
  DirSelectPage* dir_page = dialog->dir_page();
  gtk_button_clicked(GTK_BUTTON(dialog->back_button()));
  EXPECT_EQ(CInstallerDlg::kStepWelcome, dialog->step());
  EXPECT_EQ(welcome, dialog->welcome_page());
  EXPECT_EQ(welcome, dialog->current_page());
  EXPECT_FALSE(Sensitive(dialog->back_button()));
  EXPECT_TRUE(Sensitive(dialog->next_button()));
  for (GtkWidget* widget : dir_page->widgets()) EXPECT_FALSE(Visible(widget));
  for (GtkWidget* widget : welcome->widgets()) EXPECT_TRUE(Visible(widget));

  // What was typed stays, and is where Next installs.
  gtk_button_clicked(GTK_BUTTON(dialog->next_button()));
  EXPECT_EQ(CInstallerDlg::kStepDirectory, dialog->step());
  EXPECT_EQ(dir_page, dialog->dir_page());
  const std::string typed = root_.Path("typed");
  EXPECT_EQ("/somewhere/else", Narrow(dir_page->GetPath()));
  for (GtkWidget* widget : welcome->widgets()) EXPECT_FALSE(Visible(widget));
  EXPECT_TRUE(shown_.empty());
  gtk_entry_set_text(GTK_ENTRY(dir_page->path_entry()), typed.c_str());
  gtk_button_clicked(GTK_BUTTON(dialog->back_button()));
  gtk_button_clicked(GTK_BUTTON(dialog->next_button()));
  gtk_button_clicked(GTK_BUTTON(dialog->next_button()));
  EXPECT_EQ(CInstallerDlg::kStepSuccess, dialog->step());
  EXPECT_EQ("A", ReadFile(typed + "/a.txt"));
  EXPECT_FALSE(std::filesystem::exists(default_target_));
}

TEST_F(InstallerDlgTest, EmptyDirectoryAsksForOne) {
  auto dialog = StartWizard();
  TypeDirectory(*dialog, "");
  gtk_button_clicked(GTK_BUTTON(dialog->next_button()));
  EXPECT_EQ(CInstallerDlg::kStepDirectory, dialog->step());
  EXPECT_EQ((std::vector<Shown>{
                {Text("IDS_SETUP_EMPTYTARGET"), kMessageBoxWarning,
                 "Installer title"}}),
            shown_);
  EXPECT_EQ(nullptr, dialog->progress_page());
}

TEST_F(InstallerDlgTest, TypedDirectoryIsMadeAbsolute) {
  struct Case {
    std::string typed;
    std::string installed_into;
  } cases[] = {
      {"rel\\t", root_.Path("kit") + "/rel/t"},
      {"~/mine/", home_ + "/mine/"},
  };
  for (const Case& c : cases) {
    auto dialog = StartWizard();
    TypeDirectory(*dialog, c.typed);
    gtk_button_clicked(GTK_BUTTON(dialog->next_button()));
    EXPECT_EQ(CInstallerDlg::kStepSuccess, dialog->step()) << c.typed;
    EXPECT_EQ("A", ReadFile(c.installed_into + "/a.txt")) << c.typed;
    std::string recorded = c.installed_into;
    if (recorded.back() == '/') recorded.pop_back();
    EXPECT_NE(
        std::string::npos,
        UserConfig().find("ConfigurationTemplatesLocation=" + recorded + "\n"))
        << UserConfig();
  }
}

TEST_F(InstallerDlgTest, ToolkitGetsUtf8WhateverTheLocale) {
  if (!UseKoi8rConverter(root_.path())) {
    GTEST_SKIP() << "could not generate ru_RU.KOI8-R";
  }
  auto dialog = std::make_unique<CInstallerDlg>(
      NewSession(), false, FromUtf8("\xD0\xA3"), FromUtf8("ru"), true);
  ASSERT_TRUE(dialog->PrepareInstall());
  dialog->BuildWindow();
  dialog->ShowWelcomeStep();
  EXPECT_STREQ("\xD0\xA3", gtk_window_get_title(GTK_WINDOW(dialog->window())));
  // The Russian product name of the kit.
  EXPECT_NE(std::string::npos, LabelText(dialog->welcome_page()->text_label())
                                   .find(" \xD0\x9A\xD0\xB2 (Ardenvale)."));
  gtk_button_clicked(GTK_BUTTON(dialog->next_button()));
  const std::string dir = root_.Path("\xD0\xB0\xD0\xBD\xD1\x8F");
  dialog->dir_page()->SetPath(FromUtf8(dir.c_str()));
  EXPECT_STREQ(dir.c_str(),
               gtk_entry_get_text(GTK_ENTRY(dialog->dir_page()->path_entry())));
  gtk_button_clicked(GTK_BUTTON(dialog->next_button()));
  text_internal::RestoreConverterForTesting();
  // Installed where the entry said, named in the locale's encoding.
  EXPECT_EQ(CInstallerDlg::kStepSuccess, dialog->step());
  EXPECT_EQ("A", ReadFile(root_.Path("\xC1\xCE\xD1/a.txt")));
}

// Cancel, Escape and the window's close button mean one thing on every
// step: before the copying they ask, and Yes closes; on a final step they
// finish at once with that step's exit status.
TEST_F(InstallerDlgTest, CancelEscapeAndCloseMeanTheSameOnEveryStep) {
  using enum CloseHow;
  struct Case {
    int step;
    CloseHow how;
    int answer;
    bool asked;
    bool closed;
  } cases[] = {
      {CInstallerDlg::kStepWelcome, kEscape, kMessageBoxYes, true, true},
      {CInstallerDlg::kStepWelcome, kEscape, kMessageBoxNo, true, false},
      {CInstallerDlg::kStepWelcome, kCancelButton, kMessageBoxYes, true, true},
      {CInstallerDlg::kStepWelcome, kCancelButton, kMessageBoxOther, true,
       false},
      {CInstallerDlg::kStepWelcome, kCloseButton, kMessageBoxYes, true, true},
      {CInstallerDlg::kStepWelcome, kCloseButton, kMessageBoxNo, true, false},
      {CInstallerDlg::kStepDirectory, kEscape, kMessageBoxYes, true, true},
      {CInstallerDlg::kStepDirectory, kCancelButton, kMessageBoxNo, true,
       false},
      {CInstallerDlg::kStepDirectory, kCloseButton, kMessageBoxNo, true, false},
      {CInstallerDlg::kStepDirectory, kCloseButton, kMessageBoxYes, true, true},
      {CInstallerDlg::kStepSuccess, kEscape, kMessageBoxNo, false, true},
      {CInstallerDlg::kStepSuccess, kCloseButton, kMessageBoxNo, false, true},
      {CInstallerDlg::kStepError, kEscape, kMessageBoxNo, false, true},
      {CInstallerDlg::kStepError, kCloseButton, kMessageBoxNo, false, true},
  };
  // A file where the kit needs a directory makes the installation fail.
  const std::string failing = root_.Path("failing");
  ASSERT_EQ(0, mkdir(failing.c_str(), 0755));
  ASSERT_TRUE(WriteFile(failing + "/doc", "mine"));
  const Shown question{Text("IDS_ACCEPT_CANCEL"), kMessageBoxQuestion,
                       "Installer title"};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "step " << c.step << " how "
                                    << static_cast<int>(c.how) << " answer "
                                    << c.answer);
    auto dialog = StartWizard();
    if (c.step >= CInstallerDlg::kStepDirectory) {
      TypeDirectory(*dialog, c.step == CInstallerDlg::kStepError
                                 ? failing
                                 : root_.Path("t"));
    }
    if (c.step >= CInstallerDlg::kStepSuccess) {
      gtk_button_clicked(GTK_BUTTON(dialog->next_button()));
    }
    ASSERT_EQ(c.step, dialog->step());
    shown_.clear();
    answer_ = c.answer;
    AskToClose(*dialog, c.how);
    EXPECT_EQ(c.asked ? std::vector<Shown>{question} : std::vector<Shown>{},
              shown_);
    EXPECT_EQ(c.closed, dialog->window() == nullptr);
    if (!c.closed) {
      EXPECT_EQ(c.step, dialog->step());
      // Other keys are the widgets' business.
      shown_.clear();
      SendKey(dialog->window(), GDK_a);
      EXPECT_TRUE(shown_.empty());
      EXPECT_NE(nullptr, dialog->window());
    }
    EXPECT_EQ(c.step == CInstallerDlg::kStepSuccess ? 0
              : c.step == CInstallerDlg::kStepError ? 1
                                                    : 2,
              dialog->exit_status());
    // The description is opened only by Finish.
    EXPECT_EQ("<missing>", ReadFile(opener_log_));
  }
}

// During the copying the same three ask too, and the job waits between two
// entries while the question is open: Yes rolls back and shows the
// cancelled step, No lets the job go on to its end.
TEST_F(InstallerDlgTest, CancelWhileCopyingAsksWithTheJobHeld) {
  using enum CloseHow;
  for (const CloseHow how : {kEscape, kCancelButton, kCloseButton}) {
    for (const int answer : {kMessageBoxYes, kMessageBoxNo}) {
      SCOPED_TRACE(testing::Message()
                   << "how " << static_cast<int>(how) << " answer " << answer);
      auto dialog = StartWizard();
      const std::string target =
          root_.Path("t" + std::to_string(static_cast<int>(how)) +
                     std::to_string(answer));
      TypeDirectory(*dialog, target);
      shown_.clear();
      answer_ = answer;
      bool progress_held = false;
      InstallHeldAtGate(*dialog, [&] {
        EXPECT_EQ("A", ReadFile(target + "/a.txt"));  // copied before the gate
        while_asked_ = [&] {
          // The gate opens, yet the job stays where it is until the answer:
          // held, or gone on, whichever comes first tells.
          ReleaseGate();
          const bool held = WaitHeldOrEnded();
          progress_held =
              held && ReadFile(target + "/doc/readme.html") == "<missing>";
        };
        AskToClose(*dialog, how);
        while_asked_ = nullptr;
      });
      EXPECT_EQ(1u, shown_.size());
      EXPECT_TRUE(progress_held);
      ASSERT_NE(nullptr, dialog->window());
      if (answer == kMessageBoxYes) {
        EXPECT_EQ(CInstallerDlg::kStepCancelled, dialog->step());
        EXPECT_EQ(Text("IDS_CANCEL_FINISH"),
                  LabelText(dialog->cancel_page()->text_label()));
        EXPECT_EQ(std::vector<std::string>{}, ListTree(target));
        EXPECT_EQ(std::string::npos, UserConfig().find(target));
        EXPECT_EQ(2, dialog->exit_status());
      } else {
        EXPECT_EQ(CInstallerDlg::kStepSuccess, dialog->step());
        EXPECT_EQ("<html/>", ReadFile(target + "/doc/readme.html"));
        EXPECT_NE(std::string::npos, UserConfig().find(target));
        EXPECT_EQ(0, dialog->exit_status());
      }
      EXPECT_EQ(std::vector<std::string>{}, Backups());
      // On the final step Escape finishes without asking.
      shown_.clear();
      SendKey(dialog->window(), GDK_Escape);
      EXPECT_TRUE(shown_.empty());
      EXPECT_EQ(nullptr, dialog->window());
      dialog.reset();
      EXPECT_EQ(std::vector<std::string>{}, ListTree(root_.Path("tmp")));
    }
  }
}

// The job reaches its last entry while the question is open: it waits,
// uncommitted, and Yes still undoes all of it.
TEST_F(InstallerDlgTest, AJobAtItsEndWaitsForTheAnswer) {
  files_ = {{"a.txt", "A"}, {"doc\\readme.html", "<html/>"}, {"gate.txt", "G"}};
  ASSERT_TRUE(WriteTestKit(root_.Path("kit/tqkt.efd"), files_));
  auto dialog = StartWizard();
  const std::string target = root_.Path("t");
  TypeDirectory(*dialog, target);
  answer_ = kMessageBoxYes;
  InstallHeldAtGate(*dialog, [&] {
    while_asked_ = [&] {
      ReleaseGate();
      // The last file is written; the commit waits for the answer.
      EXPECT_TRUE(WaitHeldOrEnded());
      EXPECT_EQ("G", ReadFile(target + "/gate.txt"));
    };
    SendKey(dialog->window(), GDK_Escape);
    while_asked_ = nullptr;
  });
  EXPECT_EQ(CInstallerDlg::kStepCancelled, dialog->step());
  EXPECT_EQ(std::vector<std::string>{}, ListTree(target));
  EXPECT_EQ("<missing>", UserConfig());
  EXPECT_EQ(2, dialog->exit_status());
}

// A signal while copying closes the wizard once the job has rolled back.
TEST_F(InstallerDlgTest, SignalsWhileCopyingCloseAfterTheRollback) {
  for (const int signal : {SIGTERM, SIGINT, SIGHUP, SIGQUIT}) {
    SCOPED_TRACE(signal);
    auto dialog = StartWizard();
    const std::string target = root_.Path("t" + std::to_string(signal));
    TypeDirectory(*dialog, target);
    shown_.clear();
    InstallHeldAtGate(*dialog, [&] {
      raise(signal);
      // Nothing is torn down while the worker still copies.
      EXPECT_NE(nullptr, dialog->window());
    });
    EXPECT_TRUE(shown_.empty());
    EXPECT_EQ(nullptr, dialog->window());
    EXPECT_EQ(std::vector<std::string>{}, ListTree(target));
    EXPECT_EQ(std::string::npos, UserConfig().find(target));
    EXPECT_EQ(2, dialog->exit_status());
    EXPECT_EQ(std::vector<std::string>{}, Backups());
    dialog.reset();
    EXPECT_EQ(std::vector<std::string>{}, ListTree(root_.Path("tmp")));
  }
  // The handlers are gone with the copying.
  for (const int signal : {SIGTERM, SIGINT, SIGHUP, SIGQUIT}) {
    struct sigaction action;
    sigaction(signal, nullptr, &action);
    EXPECT_EQ(SIG_DFL, action.sa_handler) << signal;
  }
}

// Yes given late, after the job was held for the question, and Escape
// pressed the moment the rollback has ended: the cancelled page is drawn
// before anything else is handled, never left behind the copying page.
// Repeated, so that no timing of the answer and the worker's end escapes.
TEST_F(InstallerDlgTest, ALateYesAlwaysDrawsTheCancelledPage) {
  for (int round = 0; round < 50; ++round) {
    SCOPED_TRACE(round);
    auto dialog = StartWizard();
    const std::string target = root_.Path("t" + std::to_string(round));
    TypeDirectory(*dialog, target);
    answer_ = kMessageBoxYes;
    struct Watch {
      CInstallerDlg* dialog;
      InstallSession* session;
      bool escape_queued = false;
      bool drawn = false;
    } watch{dialog.get(), sessions_.back().get()};
    const gulong exposed = g_signal_connect(
        dialog->window(), "expose-event",
        G_CALLBACK(+[](GtkWidget*, GdkEventExpose*, gpointer data) -> gboolean {
          auto* w = static_cast<Watch*>(data);
          if (w->dialog->step() == CInstallerDlg::kStepCancelled) {
            w->drawn = true;
          }
          return FALSE;
        }),
        &watch);
    // The user's Escape, queued as soon as the job's end is posted.
    const guint timer = g_timeout_add(
        1,
        [](gpointer data) -> gboolean {
          auto* w = static_cast<Watch*>(data);
          if (w->escape_queued ||
              w->session->Poll().state == JobState::kRunning) {
            return TRUE;
          }
          w->escape_queued = true;
          GdkEvent* key = gdk_event_new(GDK_KEY_PRESS);
          key->key.window =
              GDK_WINDOW(g_object_ref(gtk_widget_get_window(w->dialog->window())));
          key->key.keyval = GDK_Escape;
          key->key.time = GDK_CURRENT_TIME;
          gdk_event_put(key);
          gdk_event_free(key);
          return TRUE;
        },
        &watch);
    InstallHeldAtGate(*dialog, [&] {
      while_asked_ = [&] {
        ReleaseGate();
        EXPECT_TRUE(WaitHeldOrEnded());
      };
      SendKey(dialog->window(), GDK_Escape);
      while_asked_ = nullptr;
    });
    // On a loaded machine the wizard may draw the final page before the
    // timer's next turn: the Escape then comes a little later, and still
    // closes the final page. Wait for it (bounded, a failure is no hang).
    const gint64 give_up = g_get_monotonic_time() + 10 * G_USEC_PER_SEC;
    while (!watch.escape_queued && g_get_monotonic_time() < give_up) {
      g_main_context_iteration(nullptr, TRUE);
    }
    PumpEvents();
    g_source_remove(timer);
    if (dialog->window() != nullptr) {
      g_signal_handler_disconnect(dialog->window(), exposed);
    }
    EXPECT_TRUE(watch.escape_queued);
    EXPECT_TRUE(watch.drawn);
    // The queued Escape closed the final page, as on any final page.
    EXPECT_EQ(nullptr, dialog->window());
    EXPECT_EQ(std::vector<std::string>{}, ListTree(target));
    EXPECT_EQ(2, dialog->exit_status());
    if (HasFailure()) break;
  }
}

// A window destroyed before the end (the window manager's destroy, not its
// close request), during the copying or while the question is up, is a
// close before the end: the job rolls back and the run ends as cancelled.
TEST_F(InstallerDlgTest, AWindowDestroyedBeforeTheEndIsACancel) {
  for (const bool asked : {false, true}) {
    SCOPED_TRACE(asked ? "while asked" : "while copying");
    auto dialog = StartWizard();
    const std::string target = root_.Path(asked ? "asked" : "copying");
    TypeDirectory(*dialog, target);
    shown_.clear();
    // The box goes with its window: no answer.
    answer_ = kMessageBoxOther;
    InstallHeldAtGate(*dialog, [&] {
      if (!asked) {
        gtk_widget_destroy(dialog->window());
        return;
      }
      while_asked_ = [&] { gtk_widget_destroy(dialog->window()); };
      SendKey(dialog->window(), GDK_Escape);
      while_asked_ = nullptr;
    });
    EXPECT_EQ(asked ? 1u : 0u, shown_.size());
    EXPECT_EQ(nullptr, dialog->window());
    EXPECT_EQ(std::vector<std::string>{}, ListTree(target));
    EXPECT_EQ(std::string::npos, UserConfig().find(target));
    EXPECT_EQ(2, dialog->exit_status());
    EXPECT_EQ(std::vector<std::string>{}, Backups());
  }
}

// Another installation holds the template directory: the progress page says
// that this one waits, and the installation runs once the other has ended.
TEST_F(InstallerDlgTest, WaitsForAnotherInstallationIntoTheDirectory) {
  auto dialog = StartWizard();
  const std::string target = root_.Path("t");
  ASSERT_EQ(0, mkdir(target.c_str(), 0755));
  const int other = open(target.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_NE(-1, other);
  ASSERT_EQ(0, flock(other, LOCK_EX));
  TypeDirectory(*dialog, target);
  struct Context {
    CInstallerDlg* dialog;
    int other;
    int ticks = 0;
    std::string seen;
  } context{dialog.get(), other, 0, {}};
  g_timeout_add(
      5,
      [](gpointer data) -> gboolean {
        auto* c = static_cast<Context*>(data);
        ProgressPage* page = c->dialog->progress_page();
        if (page != nullptr) c->seen = LabelText(page->status_label());
        if (c->seen.find("Waiting") == std::string::npos && ++c->ticks < 4000) {
          return TRUE;
        }
        close(c->other);  // the other installation ends
        return FALSE;
      },
      &context);
  gtk_button_clicked(GTK_BUTTON(dialog->next_button()));
  EXPECT_EQ(Text("IDS_WAIT_OTHER_INSTALL") + "\n\"" + target + "\"",
            context.seen);
  EXPECT_EQ(CInstallerDlg::kStepSuccess, dialog->step());
  EXPECT_EQ("A", ReadFile(target + "/a.txt"));
  EXPECT_TRUE(shown_.empty());
}

// Return and nothing else, from the welcome page to the end: Next has the
// focus on the welcome page, the field has it on the directory page and
// Enter there means Next, Finish has it on the last page.
TEST_F(InstallerDlgTest, TheWholeInstallationByKeyboard) {
  auto dialog = StartWizard();
  // A button pressed with the keyboard clicks when the key comes up, or a
  // moment later when the key went to another widget (the field): wait for
  // the step to change.
  auto press_return = [&] {
    const int step = dialog->step();
    SendKey(dialog->window(), GDK_Return);
    SendKey(dialog->window(), GDK_Return, /*release=*/true);
    for (int i = 0;
         i < 400 && dialog->window() != nullptr && dialog->step() == step;
         ++i) {
      while (gtk_events_pending()) gtk_main_iteration();
      usleep(5 * 1000);
    }
  };
  EXPECT_TRUE(FocusIn(*dialog, dialog->next_button()));
  press_return();
  ASSERT_EQ(CInstallerDlg::kStepDirectory, dialog->step());
  EXPECT_TRUE(FocusIn(*dialog, dialog->dir_page()->path_entry()));
  press_return();
  ASSERT_EQ(CInstallerDlg::kStepSuccess, dialog->step());
  EXPECT_EQ("A", ReadFile(default_target_ + "a.txt"));
  EXPECT_TRUE(FocusIn(*dialog, dialog->next_button()));
  press_return();
  EXPECT_EQ(nullptr, dialog->window());
  EXPECT_EQ(0, dialog->exit_status());
  EXPECT_TRUE(shown_.empty());
}

// A folder the installation cannot write to is found when Next is pressed:
// the box names it with the system's reason and the page stays, so that
// another folder can be chosen.
TEST_F(InstallerDlgTest, AnUnwritableFolderIsFoundWhenNextIsPressed) {
  const std::string ro = root_.Path("ro");
  ASSERT_EQ(0, mkdir(ro.c_str(), 0755));
  if (mount("tmpfs", ro.c_str(), "tmpfs", MS_RDONLY, "size=64k") != 0) {
    GTEST_SKIP() << "cannot mount a read-only tmpfs: " << std::strerror(errno);
  }
  auto dialog = StartWizard();
  TypeDirectory(*dialog, ro + "/templates");
  gtk_button_clicked(GTK_BUTTON(dialog->next_button()));
  umount(ro.c_str());
  EXPECT_EQ((std::vector<Shown>{{Text("IDS_ERROR_TARGET_NOT_WRITABLE") +
                                     "\n\"" + ro + "\": Read-only file system",
                                 kMessageBoxError, "Installer title"}}),
            shown_);
  EXPECT_EQ(CInstallerDlg::kStepDirectory, dialog->step());
  EXPECT_EQ(std::vector<std::string>{}, Backups());
  // Another folder then installs.
  shown_.clear();
  gtk_entry_set_text(GTK_ENTRY(dialog->dir_page()->path_entry()),
                     root_.Path("t").c_str());
  gtk_button_clicked(GTK_BUTTON(dialog->next_button()));
  EXPECT_EQ(CInstallerDlg::kStepSuccess, dialog->step());
  EXPECT_TRUE(shown_.empty());
}

// The real boxes, not the test's stand-in: over the wizard, modal to it,
// centred on it, out of the taskbar, and in the wizard's language.
TEST_F(InstallerDlgTest, RealBoxesStayOverTheWizardInItsLanguage) {
  StringTable::SetCurrentLanguage(kLanguageRussian);
  SetMessageBoxHandler(nullptr);
  auto dialog = StartWizard(false, "ru");
  GtkWindow* wizard = GTK_WINDOW(dialog->window());
  // Away from the screen's centre, where a box without a parent would go.
  gtk_window_move(wizard, 40, 30);
  PumpEvents();
  struct Seen {
    GtkWindow* wizard;
    bool found = false;
    GtkWindow* parent = nullptr;
    bool modal = false, skips_taskbar = false;
    GdkWindowTypeHint type = GDK_WINDOW_TYPE_HINT_NORMAL;
    std::vector<std::string> buttons;
    std::set<guint> keys;      // the buttons' access keys
    int dx = 1000, dy = 1000;  // box centre less wizard centre
  } seen{wizard, false, nullptr, false, false, GDK_WINDOW_TYPE_HINT_NORMAL,
         {},     {},    1000,    1000};
  const GSourceFunc look = [](gpointer data) -> gboolean {
        auto* s = static_cast<Seen*>(data);
        GList* windows = gtk_window_list_toplevels();
        for (GList* w = windows; w != nullptr; w = w->next) {
          GtkWindow* box = GTK_WINDOW(w->data);
          if (!GTK_IS_MESSAGE_DIALOG(box) ||
              !gtk_widget_get_mapped(GTK_WIDGET(box))) {
            continue;
          }
          s->found = true;
          s->parent = gtk_window_get_transient_for(box);
          s->modal = gtk_window_get_modal(box);
          s->skips_taskbar = gtk_window_get_skip_taskbar_hint(box);
          s->type = gtk_window_get_type_hint(box);
          GList* children = gtk_container_get_children(
              GTK_CONTAINER(gtk_dialog_get_action_area(GTK_DIALOG(box))));
          for (GList* c = children; c != nullptr; c = c->next) {
            s->buttons.push_back(ButtonLabel(GTK_WIDGET(c->data)));
            s->keys.insert(AccessKey(ButtonTextLabel(GTK_WIDGET(c->data))));
          }
          g_list_free(children);
          int bx, by, bw, bh, wx, wy, ww, wh;
          gtk_window_get_position(box, &bx, &by);
          gtk_window_get_size(box, &bw, &bh);
          if (s->wizard != nullptr) {
            gtk_window_get_position(s->wizard, &wx, &wy);
            gtk_window_get_size(s->wizard, &ww, &wh);
            s->dx = (bx + bw / 2) - (wx + ww / 2);
            s->dy = (by + bh / 2) - (wy + wh / 2);
          }
          gtk_dialog_response(GTK_DIALOG(box), GTK_RESPONSE_NO);
        }
        g_list_free(windows);
        return s->found ? FALSE : TRUE;
      };
  g_timeout_add(20, look, &seen);
  SendKey(dialog->window(), GDK_Escape);
  ASSERT_TRUE(seen.found);
  EXPECT_EQ(wizard, seen.parent);
  EXPECT_TRUE(seen.modal);
  EXPECT_TRUE(seen.skips_taskbar);
  EXPECT_EQ(GDK_WINDOW_TYPE_HINT_DIALOG, seen.type);
  std::sort(seen.buttons.begin(), seen.buttons.end());
  std::vector<std::string> words = {Text("IDS_BUTTON_YES"),
                                    Text("IDS_BUTTON_NO")};
  std::sort(words.begin(), words.end());
  EXPECT_EQ(words, seen.buttons);
  EXPECT_EQ("\xD0\x94\xD0\xB0", Text("IDS_BUTTON_YES"));  // "Да"
  // Each with an access key of its own.
  EXPECT_EQ(2u, seen.keys.size());
  EXPECT_EQ(0u, seen.keys.count(GDK_VoidSymbol));
  EXPECT_LE(std::abs(seen.dx), 2);
  EXPECT_LE(std::abs(seen.dy), 40);  // a title bar may or may not count
  // No: the wizard stays.
  EXPECT_NE(nullptr, dialog->window());

  // A box before the wizard exists (a kit that failed its check) has no
  // window to stay over: it is one of its own, in the taskbar, so that it
  // can be found again when something covers it.
  seen = Seen{nullptr, false, nullptr, false, true, GDK_WINDOW_TYPE_HINT_DIALOG,
              {},      {},    1000,  1000};
  g_timeout_add(20, look, &seen);
  MessageBox(nullptr, u"text", kMessageBoxError);
  ASSERT_TRUE(seen.found);
  EXPECT_EQ(nullptr, seen.parent);
  EXPECT_FALSE(seen.skips_taskbar);
  EXPECT_EQ(GDK_WINDOW_TYPE_HINT_NORMAL, seen.type);
}

// Presses Alt and `key` in `window` as the keyboard would, then runs events
// until `done` holds (a button clicks a moment after its key). Does nothing
// and returns false when the test's keyboard has no such key.
bool PressAccessKey(GtkWidget* window, guint key,
                    const std::function<bool()>& done) {
  if (!KeyboardHas(key)) return false;
  // The window learns of the keys of a page just made when it is idle.
  PumpEvents();
  SendKey(window, key, false, GDK_MOD1_MASK);
  SendKey(window, key, true, GDK_MOD1_MASK);
  for (int i = 0; i < 400 && !done(); ++i) {
    PumpEvents();
    g_usleep(5000);
  }
  EXPECT_TRUE(done()) << "Alt+" << gdk_keyval_name(key);
  return true;
}

// In every language each button of the wizard, the field's label and the
// check box show the string table's text and have an access key, no two the
// same. Alt with the key of Next leaves the welcome page, that of the label
// goes into the field, that of the box unticks it and that of Finish ends
// the wizard (where the test's keyboard has the key: Latin letters).
TEST_F(InstallerDlgTest, WizardControlsHaveAccessKeysInEveryLanguage) {
  ASSERT_TRUE(KeyboardHas(GDK_n));
  int pressed = 0;
  for (const StringTable::Language& language : StringTable::Languages()) {
    SCOPED_TRACE(language.code.c_str());
    StringTable::SetCurrentLanguage(language.id);
    auto dialog = StartWizard(false, language.code.c_str());
    GtkWidget* window = dialog->window();
    std::set<guint> keys;
    auto expect_key = [&](GtkWidget* label, const char* text) {
      EXPECT_EQ(Text(text), LabelText(label));
      EXPECT_NE(GDK_VoidSymbol, AccessKey(label)) << text;
      EXPECT_TRUE(keys.insert(AccessKey(label)).second) << text;
    };
    expect_key(ButtonTextLabel(dialog->back_button()), "IDS_WIZARD_BACK");
    expect_key(ButtonTextLabel(dialog->cancel_button()), "IDS_WIZARD_CANCEL");
    GtkWidget* next = ButtonTextLabel(dialog->next_button());
    expect_key(next, "IDS_WIZARD_NEXT");
    if (!PressAccessKey(window, AccessKey(next), [&] {
          return dialog->step() == CInstallerDlg::kStepDirectory;
        })) {
      gtk_button_clicked(GTK_BUTTON(dialog->next_button()));
    } else {
      ++pressed;
    }
    ASSERT_EQ(CInstallerDlg::kStepDirectory, dialog->step());

    DirSelectPage* page = dialog->dir_page();
    expect_key(page->catalog_label(), "IDS_TEMPLATE_CATALOG");
    EXPECT_EQ(page->path_entry(),
              gtk_label_get_mnemonic_widget(GTK_LABEL(page->catalog_label())));
    gtk_widget_grab_focus(dialog->next_button());
    PressAccessKey(window, AccessKey(page->catalog_label()),
                   [&] { return FocusIn(*dialog, page->path_entry()); });

    gtk_entry_set_text(
        GTK_ENTRY(page->path_entry()),
        root_.Path(std::string("t_") + language.code.c_str()).c_str());
    gtk_button_clicked(GTK_BUTTON(dialog->next_button()));
    ASSERT_EQ(CInstallerDlg::kStepSuccess, dialog->step());
    GtkWidget* box = dialog->success_page()->open_description_box();
    GtkWidget* finish = ButtonTextLabel(dialog->next_button());
    expect_key(ButtonTextLabel(box), "IDS_SUCCESS_OPENDESCR");
    expect_key(finish, "IDS_WIZARD_FINISH");
    if (!PressAccessKey(window, AccessKey(ButtonTextLabel(box)), [&] {
          return !dialog->success_page()->IsOpenDescriptionChecked();
        })) {
      gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(box), FALSE);
    }
    PressAccessKey(window, AccessKey(finish),
                   [&] { return dialog->window() == nullptr; });
    if (HasFailure()) break;
  }
  // Not only English: every language written in Latin letters.
  EXPECT_LE(8, pressed);
  EXPECT_EQ("<missing>", ReadFile(opener_log_));
}

// The toolkit's own texts (those of the folder chooser) follow the wizard's
// language too, not the locale's.
TEST_F(InstallerDlgTest, ToolkitTextsFollowTheWizardsLanguage) {
  const std::string saved = std::setlocale(LC_MESSAGES, nullptr);
  if (std::setlocale(LC_MESSAGES, "de_DE.UTF-8") == nullptr) {
    GTEST_SKIP() << "no de_DE.UTF-8 locale (scripts/setup-machine makes it)";
  }
  const std::string german = g_dpgettext2("gtk20", "Stock label", "_Cancel");
  {
    ToolkitLanguage russian("ru");
    EXPECT_EQ(
        "\xD0\x9E_\xD1\x82\xD0\xBC\xD0\xB5\xD0\xBD\xD0\xB8\xD1\x82"
        "\xD1\x8C",  // "О_тменить"
        std::string(g_dpgettext2("gtk20", "Stock label", "_Cancel")));
  }
  EXPECT_EQ(german, g_dpgettext2("gtk20", "Stock label", "_Cancel"));
  EXPECT_EQ("_Abbrechen", german);
  std::setlocale(LC_MESSAGES, saved.c_str());
}

// Redrawing the progress only when it changes keeps the interface thread
// far below the copier: a quarter of its processor time at the most.
TEST_F(InstallerDlgTest, TheInterfaceThreadWorksLessThanTheCopier) {
  std::vector<TestFile> many;
  for (int i = 0; i < 20000; ++i) {
    many.push_back({"d" + std::to_string(i % 100) + "\\f" + std::to_string(i),
                    std::to_string(i)});
  }
  ASSERT_TRUE(WriteTestKit(root_.Path("kit/tqkt.efd"), many));
  auto dialog = StartWizard();
  TypeDirectory(*dialog, root_.Path("t"));
  struct timespec before, after;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &before);
  gtk_button_clicked(GTK_BUTTON(dialog->next_button()));
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &after);
  ASSERT_EQ(CInstallerDlg::kStepSuccess, dialog->step());
  const double interface =
      (after.tv_sec - before.tv_sec) + (after.tv_nsec - before.tv_nsec) / 1e9;
  const double copier = dialog->worker().cpu_seconds();
  std::printf("interface thread %.3f s, copier %.3f s\n", interface, copier);
  EXPECT_GT(copier, 0.0);
  EXPECT_LE(interface, copier / 4);
}

// The room a button's text keeps at least on each side inside the button's
// label, and so inside the focus ring drawn around it.
constexpr int kTextRoomInButton = 4;

// Every label of the window that is on screen has at least the room its
// text asks for, inside the window: nothing is cut. A button's text stands
// clear of the focus ring.
void ExpectNothingCut(GtkWidget* widget, const Box& window,
                      const std::string& where) {
  if (!gtk_widget_get_mapped(widget)) return;
  if (GTK_IS_LABEL(widget)) {
    GtkRequisition wanted;
    gtk_widget_size_request(widget, &wanted);
    const Box got = AllocationOf(widget);
    const std::string text = gtk_label_get_text(GTK_LABEL(widget));
    EXPECT_LE(wanted.width, got.width) << where << ": " << text;
    EXPECT_LE(wanted.height, got.height) << where << ": " << text;
    EXPECT_LE(got.x + got.width, window.width) << where << ": " << text;
    EXPECT_LE(got.y + got.height, window.height) << where << ": " << text;
    // A wrapped text's lines fit its width too.
    int width = 0, height = 0;
    pango_layout_get_pixel_size(gtk_label_get_layout(GTK_LABEL(widget)), &width,
                                &height);
    EXPECT_LE(width, got.width) << where << ": " << text;
    EXPECT_LE(height, got.height) << where << ": " << text;
  }
  if (GTK_IS_BUTTON(widget) && !GTK_IS_TOGGLE_BUTTON(widget)) {
    GtkWidget* label = ButtonTextLabel(widget);
    int width = 0, height = 0;
    pango_layout_get_pixel_size(gtk_label_get_layout(GTK_LABEL(label)), &width,
                                &height);
    EXPECT_LE(width + 2 * kTextRoomInButton, AllocationOf(label).width)
        << where << ": the button " << LabelText(label);
  }
  if (GTK_IS_CONTAINER(widget)) {
    GList* children = gtk_container_get_children(GTK_CONTAINER(widget));
    for (GList* c = children; c != nullptr; c = c->next) {
      ExpectNothingCut(GTK_WIDGET(c->data), window, where);
    }
    g_list_free(children);
  }
}

// Runs events until the window has the size it asks for: one that grows
// waits for the display to grant it before it lays its contents out anew.
void Settle(GtkWidget* window) {
  for (int i = 0; i < 200; ++i) {
    PumpEvents();
    gdk_display_sync(gtk_widget_get_display(window));
    PumpEvents();
    GtkRequisition wanted;
    gtk_widget_size_request(window, &wanted);
    const Box got = AllocationOf(window);
    if (wanted.width == got.width && wanted.height == got.height) return;
    g_usleep(5000);
  }
  ADD_FAILURE() << "the window never got the size it asks for";
}

// Returns the window's size.
Box ExpectNothingCut(CInstallerDlg& dialog, const std::string& where) {
  Settle(dialog.window());
  int width = 0, height = 0;
  gtk_window_get_size(GTK_WINDOW(dialog.window()), &width, &height);
  ExpectNothingCut(dialog.window(), Box{0, 0, width, height}, where);
  return Box{0, 0, width, height};
}

// The desktop's font for the scope.
class FontScope {
 public:
  explicit FontScope(const std::string& font) {
    gchar* usual = nullptr;
    g_object_get(Settings(), "gtk-font-name", &usual, nullptr);
    usual_ = usual != nullptr ? usual : "Sans 10";
    g_free(usual);
    Set(font.empty() ? usual_ : font);
  }
  ~FontScope() { Set(usual_); }
  FontScope(const FontScope&) = delete;
  FontScope& operator=(const FontScope&) = delete;
  const std::string& usual() const { return usual_; }
  void Set(const std::string& font) {
    gtk_settings_set_string_property(Settings(), "gtk-font-name", font.c_str(),
                                     "test");
  }

 private:
  static GtkSettings* Settings() { return gtk_settings_get_default(); }
  std::string usual_;
};

// Every step in every language, at the usual font and at the desktop's
// large ones up to 22 points: no label is cut, no button's text touches its
// focus ring, the window grows with the font (never beyond the screen) and
// keeps its size from page to page; at the usual font it is 500 x 360.
TEST_F(InstallerDlgTest, NoLabelIsCutInAnyLanguageOrFontSize) {
  FontScope font("");
  struct Run {
    std::string code;
    LanguageId id;
    std::string font;
  };
  std::vector<Run> runs;
  for (const StringTable::Language& language : StringTable::Languages()) {
    runs.push_back({language.code.c_str(), language.id, font.usual()});
    runs.push_back({language.code.c_str(), language.id, "DejaVu Sans 22"});
  }
  for (const char* size : {"14", "18", "20"}) {
    runs.push_back(
        {"en", kLanguageEnglish, std::string("DejaVu Sans ") + size});
    runs.push_back({"de", kLanguageGerman, std::string("DejaVu Sans ") + size});
  }
  GdkScreen* screen = gdk_screen_get_default();
  for (const Run& run : runs) {
    SCOPED_TRACE(run.code + ", " + run.font);
    font.Set(run.font);
    StringTable::SetCurrentLanguage(run.id);
    auto dialog = StartWizard(false, run.code.c_str());
    std::vector<Box> sizes = {ExpectNothingCut(*dialog, "welcome")};
    TypeDirectory(*dialog, root_.Path("t_" + run.code + run.font));
    sizes.push_back(ExpectNothingCut(*dialog, "directory"));
    // Grown around its centre, where it was placed: a window that grew to
    // the right from where its smaller self was centred could leave the
    // screen.
    int x = 0, y = 0;
    gtk_window_get_position(GTK_WINDOW(dialog->window()), &x, &y);
    EXPECT_NEAR(gdk_screen_get_width(screen) / 2, x + sizes.back().width / 2,
                2);
    EXPECT_NEAR(gdk_screen_get_height(screen) / 2,
                y + sizes.back().height / 2, 2);
    InstallHeldAtGate(*dialog, [&] {
      sizes.push_back(ExpectNothingCut(*dialog, "progress"));
    });
    ASSERT_EQ(CInstallerDlg::kStepSuccess, dialog->step());
    sizes.push_back(ExpectNothingCut(*dialog, "success"));
    dialog->ShowErrorStep();
    sizes.push_back(ExpectNothingCut(*dialog, "error"));
    dialog->ShowCancelledStep();
    sizes.push_back(ExpectNothingCut(*dialog, "cancelled"));
    for (size_t i = 0; i < sizes.size(); ++i) {
      EXPECT_LE(sizes[i].width, gdk_screen_get_width(screen)) << i;
      EXPECT_LE(sizes[i].height, gdk_screen_get_height(screen)) << i;
      if (run.font == font.usual()) {
        EXPECT_EQ(500, sizes[i].width) << i;
        EXPECT_EQ(360, sizes[i].height) << i;
      } else {
        // The larger font asks for more room, and gets it.
        EXPECT_LT(500 * 360, sizes[i].width * sizes[i].height) << i;
      }
      if (i > 0) {
        EXPECT_LE(sizes[i - 1].width, sizes[i].width) << i;
        EXPECT_LE(sizes[i - 1].height, sizes[i].height) << i;
      }
    }
    if (HasFailure()) break;
  }
}

TEST_F(InstallerDlgTest, FailedInstallationShowsErrorAndRollsBack) {
  const std::string target = root_.Path("t");
  ASSERT_EQ(0, mkdir(target.c_str(), 0755));
  // A file where the kit needs a directory.
  ASSERT_TRUE(WriteFile(target + "/doc", "mine"));
  auto dialog = StartWizard();
  TypeDirectory(*dialog, target);
  gtk_button_clicked(GTK_BUTTON(dialog->next_button()));
  // The box names the file in the way and why.
  EXPECT_EQ((std::vector<Shown>{{Text("IDS_INSTALL_ERROR") + "\n\"" + target +
                                     "/doc\": Not a directory",
                                 kMessageBoxError, "Installer title"}}),
            shown_);
  EXPECT_EQ(CInstallerDlg::kStepError, dialog->step());
  EXPECT_EQ(Text("IDS_ERROR_FINISH"),
            LabelText(dialog->error_page()->text_label()));
  EXPECT_EQ((Buttons{false, false, true, true, Text("IDS_WIZARD_FINISH"), true,
                     false}),
            ButtonsOf(*dialog));
  EXPECT_EQ(std::vector<std::string>{"doc"}, ListTree(target));
  EXPECT_EQ("mine", ReadFile(target + "/doc"));
  EXPECT_EQ("<missing>", UserConfig());
  EXPECT_EQ(1, dialog->exit_status());
  gtk_button_clicked(GTK_BUTTON(dialog->next_button()));
  EXPECT_EQ(nullptr, dialog->window());
  EXPECT_EQ(1, dialog->exit_status());
  EXPECT_EQ("<missing>", ReadFile(opener_log_));
}

TEST_F(InstallerDlgTest, FinishOpensDescriptionOnlyWhenCheckedAndPresent) {
  struct Case {
    std::string description;  // as the kit names it
    bool check;
  } cases[] = {
      {"doc\\readme.html", false},
      {"doc\\missing.html", true},
      // Handed over unchanged, whatever a shell would make of it.
      {"doc\\read me \"$(x)`;'.html", true},
  };
  std::string last_target;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.description);
    files_ = {{"a.txt", "A"},
              {"doc\\readme.html", "<html/>"},
              {"doc\\read me \"$(x)`;'.html", "<html/>"}};
    ASSERT_TRUE(
        WriteTestKit(root_.Path("kit/tqkt.efd"), files_, c.description));
    auto dialog = StartWizard();
    const std::string target =
        root_.Path("t") + std::to_string(&c - cases) + "/";
    last_target = target;
    TypeDirectory(*dialog, target);
    gtk_button_clicked(GTK_BUTTON(dialog->next_button()));
    ASSERT_EQ(CInstallerDlg::kStepSuccess, dialog->step());
    gtk_toggle_button_set_active(
        GTK_TOGGLE_BUTTON(dialog->success_page()->open_description_box()),
        c.check);
    gtk_button_clicked(GTK_BUTTON(dialog->next_button()));  // Finish
    EXPECT_EQ(nullptr, dialog->window());
    EXPECT_EQ(0, dialog->exit_status());
  }
  // Only the last run started the opener; the earlier ones would have
  // written their lines first.
  EXPECT_EQ(last_target +
                "doc/read me \"$(x)`;'.html\n"
                "fd0=/dev/null\nfd1=/dev/null\nfd2=/dev/null\n",
            WaitForFileLine(opener_log_));
  // Detached: no child of ours is left, running or as a zombie.
  EXPECT_EQ(-1, waitpid(-1, nullptr, WNOHANG));
  EXPECT_EQ(ECHILD, errno);
}

// The description opens whatever form the directory was given in (typed
// without or with repeated trailing separators, "~", recorded by an
// earlier run and proposed again) and whatever separator the kit's name
// begins with: one "/" joins them.
TEST_F(InstallerDlgTest, TheDescriptionOpensForEveryFormOfTheDirectory) {
  const struct {
    const char* typed;  // null: the proposed (recorded) directory
    std::string opened_dir;
    std::string description;
  } cases[] = {
      {"plain", root_.Path("kit/plain"), "doc\\readme.html"},
      {"~/tilde", home_ + "/tilde", "doc\\readme.html"},
      {"slashes//", root_.Path("kit/slashes"), "\\doc\\readme.html"},
      {nullptr, root_.Path("kit/slashes"), "doc\\readme.html"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.typed != nullptr ? c.typed : "recorded");
    ASSERT_TRUE(
        WriteTestKit(root_.Path("kit/tqkt.efd"), files_, c.description));
    std::filesystem::remove(opener_log_);
    auto dialog = StartWizard();
    gtk_button_clicked(GTK_BUTTON(dialog->next_button()));
    if (c.typed != nullptr) {
      gtk_entry_set_text(GTK_ENTRY(dialog->dir_page()->path_entry()),
                         c.typed);
    }
    gtk_button_clicked(GTK_BUTTON(dialog->next_button()));
    ASSERT_EQ(CInstallerDlg::kStepSuccess, dialog->step());
    gtk_toggle_button_set_active(
        GTK_TOGGLE_BUTTON(dialog->success_page()->open_description_box()),
        TRUE);
    gtk_button_clicked(GTK_BUTTON(dialog->next_button()));  // Finish
    const std::string log = WaitForFileLine(opener_log_);
    EXPECT_EQ(c.opened_dir + "/doc/readme.html", log.substr(0, log.find('\n')));
  }
}

}  // namespace

namespace {

// The wizard checks the kit against its checksum file before its first
// page. A kit stored without compression and with one byte of a file
// changed still inflates: without a checksum file the wizard installs the
// wrong byte, with one it shows the damaged-kit message (or, when the
// checksum file cannot serve, one naming that file) and no page, and
// nothing is written.
TEST_F(InstallerDlgTest, AKitThatDoesNotMatchItsChecksumShowsNoPage) {
  const std::string kit = root_.Path("kit/tqkt.efd");
  ASSERT_TRUE(WriteTestKit(kit, {{"a.txt", "alpha MARKER alpha"}},
                           "doc\\readme.html", 0));
  std::string bytes = ReadFile(kit);
  Sha256 sha;
  sha.Update(bytes.data(), bytes.size());
  const std::string good = sha.HexDigest();
  const size_t marker = bytes.find("MARKER");
  ASSERT_NE(std::string::npos, marker);
  bytes[marker] ^= 0x20;
  ASSERT_TRUE(WriteFile(kit, bytes));

  const std::string target = root_.Path("t");
  {
    auto dialog = StartWizard();
    TypeDirectory(*dialog, target);
    gtk_button_clicked(GTK_BUTTON(dialog->next_button()));
    EXPECT_EQ(CInstallerDlg::kStepSuccess, dialog->step());
    EXPECT_EQ("alpha mARKER alpha", ReadFile(target + "/a.txt"));
  }
  std::filesystem::remove_all(target);
  const std::string config = UserConfig();

  // A checksum file that cannot serve is named as such, not the kit.
  const struct {
    std::string sidecar;
    const char* key;
  } cases[] = {
      {good + "  tqkt.efd\n", "IDS_ERROR_DAMAGEDSOURCE"},
      {std::string(64, '0') + "  tqkt.efd\n", "IDS_ERROR_DAMAGEDSOURCE"},
      {good.substr(1) + "  tqkt.efd\n", "IDS_ERROR_CHECKSUM_UNUSABLE"},
      {good + "  other.efd\n", "IDS_ERROR_CHECKSUM_UNUSABLE"},
      {std::string(), "IDS_ERROR_CHECKSUM_UNUSABLE"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.sidecar);
    ASSERT_TRUE(WriteFile(kit + ".sha256", c.sidecar));
    shown_.clear();
    CInstallerDlg dialog(NewSession(), false, FromUtf8("Installer title"),
                         FromUtf8("en"), true);
    EXPECT_FALSE(dialog.PrepareInstall());
    ASSERT_EQ(1u, shown_.size());
    EXPECT_EQ(0u, shown_[0].text.find(Text(c.key))) << shown_[0].text;
    if (std::string(c.key) == "IDS_ERROR_DAMAGEDSOURCE") {
      // The cause after the text: the checksum file it does not match.
      EXPECT_NE(std::string::npos,
                shown_[0].text.find("\n\"" + kit + ".sha256\": " +
                                    Text("IDS_REASON_CHECKSUM_MISMATCH")))
          << shown_[0].text;
    }
    EXPECT_FALSE(std::filesystem::exists(target));
    EXPECT_EQ(config, UserConfig());
    EXPECT_EQ(std::vector<std::string>{}, ListTree(root_.Path("tmp")));
  }
  // The kit as packed, with its digest: the wizard goes on as before.
  bytes[marker] ^= 0x20;
  ASSERT_TRUE(WriteFile(kit, bytes));
  ASSERT_TRUE(WriteFile(kit + ".sha256", good + "  tqkt.efd\n"));
  shown_.clear();
  auto dialog = StartWizard();
  EXPECT_TRUE(shown_.empty());
  EXPECT_EQ(CInstallerDlg::kStepWelcome, dialog->step());
}

}  // namespace
