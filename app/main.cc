// Process entry of the installer: thread support first, then the
// application object. The exit status is 0 whatever happened; failures
// reach the user as message boxes.
#include <gdk/gdk.h>
#include <glib.h>

#include "app/installer_app.h"

int main(int argc, char** argv) {
  // The install worker is a second thread; GLib and GDK must know before
  // any other GLib or GTK call. Newer GLib sets up threads by itself.
#if !GLIB_CHECK_VERSION(2, 32, 0)
  g_thread_init(nullptr);
#endif
  gdk_threads_init();

  InstallerApp app(argc, argv);
  app.Run();
  return 0;
}
