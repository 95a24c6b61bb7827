// The wizard driven to its end in this process, on the virtual display, with
// nothing but recording stand-ins on PATH (xdg-open, the shells, the file and
// archive tools, the desktop's other openers): the only program ever started
// is "xdg-open", once, with the description's path as an argument of its
// own and no descriptor of the installer. Every platform call is logged on
// the way, so that the same run also shows that nothing outside the
// template directory is created other than exclusively.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cerrno>
#include <memory>
#include <string>
#include <vector>

#include "l10n/string_table.h"
#include "platform/fault_injection.h"
#include "platform/scoped_temp_dir.h"
#include "tests/security_test_util.h"
#include "ui/installer_dlg.h"
#include "ui/message_box.h"
#include "ui/ui_test_util.h"
#include "ui/utf8_text.h"

namespace {

TEST(SecurityWizardTest, OnlyTheOpenerIsStartedAndOnlyExclusiveFilesMade) {
  ScopedTempDir root;
  for (const char* dir : {"home", "tmp", "kit", "path"}) {
    ASSERT_EQ(0, mkdir(root.Path(dir).c_str(), 0755));
  }
  ASSERT_TRUE(MakeStandIns(root.Path("path")));
  const std::string log = root.Path("started");
  // Set before the toolkit starts, so that it too finds only the stand-ins.
  EnvScope home("HOME", root.Path("home"));
  EnvScope tmpdir("TMPDIR", root.Path("tmp"));
  EnvScope path("PATH", root.Path("path"));
  EnvScope stand_in_log("TQ_STAND_IN_LOG", log);
  if (!OpenTestDisplay()) GTEST_SKIP() << "no display";
  const LanguageId saved_language = StringTable::CurrentLanguage();
  StringTable::SetCurrentLanguage(kLanguageEnglish);
  CwdScope cwd(root.Path("kit"));
  // A description name a shell would take apart.
  const std::string description = "doc\\read me \"$(x)`;'.html";
  ASSERT_TRUE(WriteTestKit(root.Path("kit/tqkt.efd"),
                           {{"a.txt", "A"}, {description, "<html/>"}},
                           description));
  std::vector<std::string> shown;
  SetMessageBoxHandler([&](CWnd*, const WideString& text, MessageBoxStyle) {
    shown.push_back(Narrow(text));
    return kMessageBoxOk;
  });
  const std::string target = root.Path("templates");
  FaultInjectingSystem system;
  {
    InstallSession session(system, nullptr);
    auto dialog = std::make_unique<CInstallerDlg>(
        session, false, FromUtf8("Installer"), FromUtf8("en"), true);
    ASSERT_TRUE(dialog->PrepareInstall());
    dialog->BuildWindow();
    dialog->ShowWelcomeStep();
    PumpEvents();
    gtk_button_clicked(GTK_BUTTON(dialog->next_button()));
    ASSERT_EQ(CInstallerDlg::kStepDirectory, dialog->step());
    gtk_entry_set_text(GTK_ENTRY(dialog->dir_page()->path_entry()),
                       (target + "/").c_str());
    gtk_button_clicked(GTK_BUTTON(dialog->next_button()));  // installs
    ASSERT_EQ(CInstallerDlg::kStepSuccess, dialog->step());
    // The box is checked as the page comes up; Finish opens the description.
    ASSERT_TRUE(gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(
        dialog->success_page()->open_description_box())));
    gtk_button_clicked(GTK_BUTTON(dialog->next_button()));
    EXPECT_EQ(nullptr, dialog->window());
    EXPECT_EQ(0, dialog->exit_status());
  }
  SetMessageBoxHandler(nullptr);
  StringTable::SetCurrentLanguage(saved_language);
  EXPECT_EQ(std::vector<std::string>{}, shown);
  EXPECT_EQ("A", ReadFile(target + "/a.txt"));

  // The opener runs detached; its line comes when it has run.
  ASSERT_NE("<no line>", WaitForFileLine(log));
  const auto starts = StandInStarts(log);
  ASSERT_EQ(1u, starts.size());
  EXPECT_EQ((std::vector<std::string>{
                "xdg-open", target + "/doc/read me \"$(x)`;'.html",
                "fds=0:/dev/null,1:/dev/null,2:/dev/null"}),
            starts[0]);
  // Detached: no child of ours is left, running or as a zombie.
  EXPECT_EQ(-1, waitpid(-1, nullptr, WNOHANG));
  EXPECT_EQ(ECHILD, errno);

  // Outside the template directory nothing was created but exclusively,
  // and nothing in the temporary directory was opened through a link.
  int made_in_tmp = 0;
  int made_beside_config = 0;
  const std::string config_dir = root.Path("home") + "/.Tq/tqlaunch";
  for (const SysCall& call : system.Log()) {
    if (call.op == SysOp::kOpen && call.path == root.Path("tmp") &&
        (call.flags & O_TMPFILE) == O_TMPFILE && !call.failed) {
      ++made_in_tmp;  // an unnamed file: no name to put a link at
    }
    // The configuration's new text goes to a part file made exclusively
    // beside it.
    if (call.op == SysOp::kOpen && (call.flags & O_CREAT) != 0 &&
        (call.flags & O_EXCL) != 0 && IsUnder(call.path, config_dir)) {
      ++made_beside_config;
    }
    if (call.op != SysOp::kMakeTemp) continue;
    if (IsUnder(call.path, root.Path("tmp"))) ++made_in_tmp;
  }
  EXPECT_EQ(std::vector<std::string>{},
            CreationRuleBreaches(system.Log(), root.Path("tmp"), target));
  EXPECT_LE(1, made_in_tmp);  // the kit's container at least
  EXPECT_EQ(1, made_beside_config);
  EXPECT_NE(std::string::npos,
            ReadFile(root.Path("home") + "/.Tq/tqlaunch/tqlaunch.cfg")
                .find("=" + target));
}

}  // namespace
