#include "app/setup_main.h"

#include <gdk/gdk.h>
#include <glib.h>
#include <gtk/gtk.h>

#include <clocale>
#include <cstdio>
#include <iostream>

#include "app/console_face.h"
#include "app/installer_app.h"
#include "app/setup_console.h"
#include "engine/install_session.h"
#include "ui/installer_dlg.h"

int SetupMain(SystemApi& sys, int argc, char** argv) {
  // Asking for help or the version touches nothing: no recovery, no kit,
  // no window.
  const CommandLine asked = ParseCommandLine(argc, argv);
  if (asked.help || asked.version) {
    std::fputs(asked.help ? kUsageText : kVersionText, stdout);
    return std::fflush(stdout) == 0 ? 0 : 1;
  }
  // What was typed and not read, said before anything happens; the run
  // then goes on as without it.
  for (const std::string& note : asked.notes) {
    std::fprintf(stderr, "setup: %s\n", note.c_str());
  }

  // The install worker is a second thread; GLib and GDK must know before
  // any other GLib or GTK call. Newer GLib sets up threads by itself.
#if !GLIB_CHECK_VERSION(2, 32, 0)
  g_thread_init(nullptr);
#endif
  gdk_threads_init();

  // An installation killed earlier (even one started without a kit at hand)
  // is undone, or finished, before anything looks for a kit.
  // A dry run changes nothing: it says what the recovery would do.
  InstallSession session(sys, nullptr);
  for (const RecoveryEvent& event : asked.dry_run ? session.PendingRecoveries()
                                                  : session.Recover()) {
    std::fprintf(stderr, "setup: %s\n", DescribeRecoveryEvent(event).c_str());
  }

  InstallerApp app(argc, argv);
  app.Run();
  const CommandLine& command_line = app.command_line();
  // The toolkit sets the environment's locale itself; where that locale is
  // not installed it would only say so on standard error and keep the one
  // the process has, which the messages already took into account.
  if (std::setlocale(LC_ALL, "") == nullptr) gtk_disable_setlocale();
  // A dry run only reports, on the console whatever the display.
  if (command_line.dry_run) {
    return RunSetupConsole(session, command_line, std::cout, std::cerr);
  }
  // gtk_init would abort without a display; a silent run can do without one.
  int gtk_argc = argc;
  char** gtk_argv = argv;
  const bool display = gtk_init_check(&gtk_argc, &gtk_argv);
  if (!display) {
    if (command_line.silent) {
      return RunSetupConsole(session, command_line, std::cout, std::cerr);
    }
    std::fputs(
        "setup: cannot open a display; run with -S for a silent "
        "installation\n",
        stderr);
    return ExitStatusFor(RunOutcome::kNoDisplay);
  }
  CInstallerDlg dialog(session, command_line.silent, app.title(),
                       command_line.language_code,
                       command_line.use_current_dir);
  dialog.SetStart(command_line.kit, command_line.target);
  dialog.Run();
  TellAftermath(session.result(), "setup", std::cerr);
  return dialog.exit_status();
}
