// The built installer's windows as a window manager and the user see them:
// each test starts its own X server (Xvfb, on a free display it chooses), with
// openbox on it or with no window manager at all, runs a copy of setup there
// against a small kit with a home and temporary directory of its own, drives
// it with the keyboard and the mouse (xdotool) and reads its windows through
// Xlib: types, transient-for, state, stacking, focus and where they lie. The
// labels of the boxes' buttons are read through window_manager_probe, a GTK
// module loaded into setup. The other GUI tests' display is never touched.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "l10n/string_table.h"
#include "platform/scoped_temp_dir.h"
#include "platform/test_process.h"
#include "ui/ui_test_util.h"

// Last: Xlib's macros (None, Bool, Status...) would break the headers above.
#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

// Generous: the machine may be busy with other builds and tests.
constexpr seconds kLimit(20);
constexpr int kScreenWidth = 1280;
constexpr int kScreenHeight = 1024;
// How far two centres may lie apart and still count as one: a window
// manager puts the frame, not the window inside it, where the program asked,
// so the window lies lower by the title bar and to the right by the border.
constexpr int kCentreSlack = 32;
// Where the wizard is moved before a box opens: far from the screen's
// centre and from its corner, with room around it for the folder chooser.
constexpr int kMovedX = 170;
constexpr int kMovedY = 180;

// Motif window manager hints: the first field's bit for "functions given",
// and the functions.
constexpr unsigned long kMotifHintsFunctions = 1;
constexpr unsigned long kMotifFunctionAll = 1;
constexpr unsigned long kMotifFunctionMove = 4;
constexpr unsigned long kMotifFunctionClose = 32;

constexpr long kWmStateNormal = NormalState;
constexpr long kWmStateIconic = IconicState;

// Polls `done` every 20 ms until it holds or `limit` has passed.
bool Poll(const std::function<bool()>& done, milliseconds limit = kLimit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(milliseconds(20));
  }
  return true;
}

// The executable `name` on PATH (or the usual directories), or "".
std::string FindProgram(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::stringstream dirs(std::string(path != nullptr ? path : "") +
                         ":/usr/bin:/bin");
  std::string dir;
  while (std::getline(dirs, dir, ':')) {
    if (dir.empty()) continue;
    const std::string candidate = dir + "/" + name;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return "";
}

// A window that vanishes between two requests is no reason to end the test
// program, which is what Xlib's own handler does.
int IgnoreXError(Display*, XErrorEvent*) { return 0; }

struct Rect {
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;
  int CentreX() const { return x + width / 2; }
  int CentreY() const { return y + height / 2; }
};

std::string Describe(const Rect& r) {
  return std::to_string(r.width) + "x" + std::to_string(r.height) + " at " +
         std::to_string(r.x) + "," + std::to_string(r.y);
}

::testing::AssertionResult CentredOn(const Rect& inner, const Rect& outer,
                                     const char* outer_name) {
  const int dx = inner.CentreX() - outer.CentreX();
  const int dy = inner.CentreY() - outer.CentreY();
  if (std::abs(dx) <= kCentreSlack && std::abs(dy) <= kCentreSlack) {
    return ::testing::AssertionSuccess();
  }
  return ::testing::AssertionFailure()
         << Describe(inner) << " is not centred on " << outer_name << " ("
         << Describe(outer) << "): its centre is off by " << dx << "," << dy;
}

std::vector<std::string> SortedLabels(std::vector<std::string> labels) {
  std::sort(labels.begin(), labels.end());
  return labels;
}

constexpr Rect kScreen = {0, 0, kScreenWidth, kScreenHeight};

bool Contains(const std::vector<std::string>& names, const std::string& name) {
  return std::find(names.begin(), names.end(), name) != names.end();
}

class WindowManagerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* dir : {"home", "tmp", "bin", "work", "x", "wm"}) {
      ASSERT_EQ(0, mkdir(root_.Path(dir).c_str(), 0755));
    }
    home_ = root_.Path("home");
    std::filesystem::copy_file(SETUP_PATH, root_.Path("bin/setup"));
    ASSERT_EQ(0, chmod(root_.Path("bin/setup").c_str(), 0755));
    ASSERT_TRUE(WriteTestKit(root_.Path("bin/tqkt.efd"),
                             {{"a.txt", "A"}, {"sub\\b.txt", "B"}}));
    for (const char* name : {"Xvfb", "openbox", "xdotool"}) {
      ASSERT_NE("", FindProgram(name))
          << name << " is missing: run scripts/setup-machine";
    }
  }

  void TearDown() override { StopDisplay(); }

  // --- The display.

  // Starts Xvfb on a free display and connects to it; then openbox when
  // `window_manager`, waiting until it has taken the screen.
  void StartDisplay(bool window_manager) {
    test_process::Child server;
    server.argv = {FindProgram("Xvfb"),
                   "-displayfd",
                   "1",
                   "-screen",
                   "0",
                   std::to_string(kScreenWidth) + "x" +
                       std::to_string(kScreenHeight) + "x24",
                   "-nolisten",
                   "tcp",
                   "-noreset"};
    server.env = {"PATH=/usr/bin:/bin", "HOME=" + root_.Path("wm")};
    // The server writes the display's number to its standard output once it
    // accepts connections.
    server.stdout_path = root_.Path("x/number");
    server.stderr_path = root_.Path("x/server.err");
    ASSERT_EQ(0, test_process::Start(server, &server_pid_));
    std::string number;
    ASSERT_TRUE(Poll([&] {
      const std::string text = ReadFile(server.stdout_path);
      if (text.empty() || text.back() != '\n') return false;
      number = text.substr(0, text.size() - 1);
      return true;
    })) << "Xvfb did not start: "
        << ReadFile(server.stderr_path);
    display_name_ = ":" + number;
    ASSERT_TRUE(Poll([&] {
      display_ = XOpenDisplay(display_name_.c_str());
      return display_ != nullptr;
    })) << "cannot connect to "
        << display_name_;
    XSetErrorHandler(IgnoreXError);
    root_window_ = DefaultRootWindow(display_);

    with_wm_ = window_manager;
    if (!window_manager) return;
    test_process::Child wm;
    wm.argv = {FindProgram("openbox"), "--sm-disable"};
    // Its own home and configuration directory: the system's configuration,
    // never the user's.
    wm.env = {"PATH=/usr/bin:/bin", "DISPLAY=" + display_name_,
              "HOME=" + root_.Path("wm"),
              "XDG_CONFIG_HOME=" + root_.Path("wm/config"),
              "XDG_CACHE_HOME=" + root_.Path("wm/cache")};
    wm.stderr_path = root_.Path("x/wm.err");
    ASSERT_EQ(0, test_process::Start(wm, &wm_pid_));
    // A window manager that has taken the screen names its check window on
    // the root, and the check window names itself.
    ASSERT_TRUE(Poll([&] {
      const std::vector<unsigned long> check =
          Property32(root_window_, "_NET_SUPPORTING_WM_CHECK");
      return check.size() == 1 &&
             Property32(check[0], "_NET_SUPPORTING_WM_CHECK") == check;
    })) << "openbox did not take the screen: "
        << ReadFile(wm.stderr_path);
  }

  // Ends setup if it still runs, then the window manager and the server.
  void StopDisplay() {
    if (setup_pid_ > 0) {
      kill(setup_pid_, SIGKILL);
      waitpid(setup_pid_, nullptr, 0);
      setup_pid_ = -1;
    }
    if (display_ != nullptr) XCloseDisplay(display_);
    display_ = nullptr;
    const std::pair<pid_t*, const char*> children[] = {
        {&wm_pid_, "x/wm.err"}, {&server_pid_, "x/server.err"}};
    for (const auto& [pid, err] : children) {
      if (*pid <= 0) continue;
      kill(*pid, SIGTERM);
      test_process::Wait(*pid, root_.Path(err), seconds(10));
      *pid = -1;
    }
  }

  // --- setup.

  // Starts the copy of setup with `args` on the private display, with
  // `locale` as LANG, and waits for its wizard; with a window manager, also
  // until the wizard has the keyboard focus.
  void StartSetup(const std::vector<std::string>& args,
                  const std::string& locale) {
    test_process::Child child;
    child.argv = {root_.Path("bin/setup")};
    child.argv.insert(child.argv.end(), args.begin(), args.end());
    child.env = {"HOME=" + home_,      "TMPDIR=" + root_.Path("tmp"),
                 "PATH=/usr/bin:/bin", "DISPLAY=" + display_name_,
                 "LANG=" + locale,     "GTK_MODULES=" PROBE_PATH};
    for (const std::string& variable : test_process::Inherited(
             {"ASAN_OPTIONS", "LSAN_OPTIONS", "UBSAN_OPTIONS"})) {
      child.env.push_back(variable);
    }
    child.stderr_path = root_.Path("setup.err");
    child.work_dir = root_.Path("work");
    ASSERT_EQ(0, test_process::Start(child, &setup_pid_));
    std::vector<Window> windows;
    ASSERT_TRUE(Poll([&] {
      windows = SetupWindows();
      return !windows.empty();
    })) << "no window from setup: "
        << ReadFile(root_.Path("setup.err")) << DescribeScreen();
    ASSERT_EQ(1u, windows.size());
    wizard_ = windows[0];
    if (with_wm_) {
      ASSERT_TRUE(WaitForFocusIn(wizard_)) << "the new wizard has no focus";
    }
  }

  // True while the child `pid` has not ended (it is not reaped here).
  static bool Running(pid_t pid) {
    siginfo_t info{};
    return pid > 0 &&
           waitid(P_PID, pid, &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
           info.si_pid == 0;
  }

  // setup's exit status (-1 when it had to be killed at the limit).
  int WaitForExit() {
    const test_process::Ended ended =
        test_process::Wait(setup_pid_, root_.Path("setup.err"), kLimit);
    setup_pid_ = -1;
    return ended.Exited() ? ended.ExitStatus() : -1;
  }

  // Nothing is installed and no template directory recorded.
  void ExpectNothingInstalled() {
    EXPECT_FALSE(std::filesystem::exists(home_ + "/.tqkt"));
    EXPECT_FALSE(std::filesystem::exists(home_ + "/.Tq"));
  }

  // --- Windows.

  Atom Intern(const char* name) { return XInternAtom(display_, name, False); }

  std::vector<unsigned long> Property32(Window window, const char* name) {
    Atom type = None;
    int format = 0;
    unsigned long count = 0;
    unsigned long after = 0;
    unsigned char* data = nullptr;
    std::vector<unsigned long> values;
    if (XGetWindowProperty(display_, window, Intern(name), 0, 4096, False,
                           AnyPropertyType, &type, &format, &count, &after,
                           &data) == Success &&
        data != nullptr) {
      if (format == 32) {
        // Xlib hands 32-bit items over as longs.
        const auto* items = reinterpret_cast<const unsigned long*>(data);
        values.assign(items, items + count);
      }
      XFree(data);
    }
    return values;
  }

  std::string Property8(Window window, const char* name) {
    Atom type = None;
    int format = 0;
    unsigned long count = 0;
    unsigned long after = 0;
    unsigned char* data = nullptr;
    std::string text;
    if (XGetWindowProperty(display_, window, Intern(name), 0, 4096, False,
                           AnyPropertyType, &type, &format, &count, &after,
                           &data) == Success &&
        data != nullptr) {
      if (format == 8) text.assign(reinterpret_cast<char*>(data), count);
      XFree(data);
    }
    return text;
  }

  std::vector<std::string> AtomNames(Window window, const char* name) {
    std::vector<std::string> names;
    for (unsigned long atom : Property32(window, name)) {
      if (char* atom_name = XGetAtomName(display_, atom)) {
        names.push_back(atom_name);
        XFree(atom_name);
      }
    }
    return names;
  }

  // The labels of a dialog's buttons, sorted, as window_manager_probe
  // publishes them.
  std::vector<std::string> ButtonLabels(Window dialog) {
    // The probe writes the property while the dialog maps, which may reach
    // the server just after the window is viewable.
    std::string text;
    Poll([&] {
      text = Property8(dialog, "_TQ_TEST_BUTTONS");
      return !text.empty();
    });
    std::vector<std::string> labels;
    std::stringstream lines(text);
    for (std::string line; std::getline(lines, line);) labels.push_back(line);
    return SortedLabels(labels);
  }

  // The functions that the window's Motif hints allow the window manager to
  // offer; kMotifFunctionAll when they do not restrict them.
  unsigned long MotifFunctions(Window window) {
    const std::vector<unsigned long> hints =
        Property32(window, "_MOTIF_WM_HINTS");
    if (hints.size() < 2 || !(hints[0] & kMotifHintsFunctions)) {
      return kMotifFunctionAll;
    }
    return hints[1];
  }

  // The first of the window's types, "" when it names none.
  std::string WindowType(Window window) {
    const std::vector<std::string> types =
        AtomNames(window, "_NET_WM_WINDOW_TYPE");
    return types.empty() ? "" : types[0];
  }

  Window TransientFor(Window window) {
    Window owner = None;
    return XGetTransientForHint(display_, window, &owner) ? owner : None;
  }

  // The window's title as the window manager shows it.
  std::string Title(Window window) {
    const std::string title = Property8(window, "_NET_WM_NAME");
    return title.empty() ? Property8(window, "WM_NAME") : title;
  }

  long WmState(Window window) {
    const std::vector<unsigned long> state = Property32(window, "WM_STATE");
    return state.empty() ? -1 : static_cast<long>(state[0]);
  }

  // Where the window (without any frame around it) lies on the screen.
  Rect Geometry(Window window) {
    Rect rect;
    XWindowAttributes attributes;
    Window child = None;
    if (XGetWindowAttributes(display_, window, &attributes) &&
        XTranslateCoordinates(display_, window, root_window_, 0, 0, &rect.x,
                              &rect.y, &child)) {
      rect.width = attributes.width;
      rect.height = attributes.height;
    }
    return rect;
  }

  bool Viewable(Window window) {
    XWindowAttributes attributes;
    return XGetWindowAttributes(display_, window, &attributes) &&
           attributes.map_state == IsViewable;
  }

  // The root window's children, bottom first.
  std::vector<Window> RootChildren() {
    std::vector<Window> windows;
    Window root = None;
    Window parent = None;
    Window* children = nullptr;
    unsigned int count = 0;
    if (XQueryTree(display_, root_window_, &root, &parent, &children, &count)) {
      windows.assign(children, children + count);
      if (children != nullptr) XFree(children);
    }
    return windows;
  }

  // The top-level windows, bottom first: the window manager's list when
  // there is one, else the root's children.
  std::vector<Window> TopLevelWindows() {
    if (!with_wm_) return RootChildren();
    std::vector<Window> windows;
    for (unsigned long window :
         Property32(root_window_, "_NET_CLIENT_LIST_STACKING")) {
      windows.push_back(window);
    }
    return windows;
  }

  // setup's top-level windows that are on the screen (or minimised, under a
  // window manager), bottom first.
  std::vector<Window> SetupWindows() {
    std::vector<Window> windows;
    for (Window window : TopLevelWindows()) {
      const std::vector<unsigned long> pid = Property32(window, "_NET_WM_PID");
      if (pid.size() != 1 || static_cast<pid_t>(pid[0]) != setup_pid_) continue;
      if (with_wm_ ? WmState(window) != -1 : Viewable(window)) {
        windows.push_back(window);
      }
    }
    return windows;
  }

  // For failure messages: the top-level windows there are, and whether the
  // programs run.
  std::string DescribeScreen() {
    std::string text = "\nsetup " + std::to_string(setup_pid_) +
                       (Running(setup_pid_) ? " runs" : " has ended");
    if (with_wm_) {
      text += Running(wm_pid_) ? ", openbox runs" : ", openbox has ended";
      text += ": " + ReadFile(root_.Path("x/wm.err"));
    }
    for (Window window : TopLevelWindows()) {
      if (!with_wm_ && !Viewable(window)) continue;
      const std::vector<unsigned long> pid = Property32(window, "_NET_WM_PID");
      text += "\nwindow " + std::to_string(window) + " pid " +
              (pid.empty() ? "-" : std::to_string(pid[0])) + " state " +
              std::to_string(WmState(window)) + " " + WindowType(window) +
              " \"" + Title(window) + "\" " + Describe(Geometry(window));
    }
    return text;
  }

  // The next window of setup besides the wizard (the box or the chooser that
  // an action opens); None when none comes in time.
  Window WaitForSecondWindow() {
    Window found = None;
    Poll([&] {
      for (Window window : SetupWindows()) {
        if (window != wizard_ && Viewable(window)) found = window;
      }
      return found != None;
    });
    return found;
  }

  bool WaitForGone(Window window) {
    return Poll([&] {
      const std::vector<Window> windows = SetupWindows();
      return std::find(windows.begin(), windows.end(), window) == windows.end();
    });
  }

  // True when `window` is `ancestor` or lies inside it.
  bool Within(Window window, Window ancestor) {
    while (window != None && window != PointerRoot) {
      if (window == ancestor) return true;
      Window root = None;
      Window parent = None;
      Window* children = nullptr;
      unsigned int count = 0;
      if (!XQueryTree(display_, window, &root, &parent, &children, &count)) {
        return false;
      }
      if (children != nullptr) XFree(children);
      if (parent == root) return false;
      window = parent;
    }
    return false;
  }

  // Waits until keys typed go to `window` (X's keyboard focus is in it).
  bool WaitForFocusIn(Window window, milliseconds limit = kLimit) {
    return Poll(
        [&] {
          Window focus = None;
          int revert = 0;
          XGetInputFocus(display_, &focus, &revert);
          return Within(focus, window);
        },
        limit);
  }

  // Gives `window` the keyboard focus as a window manager would; for the
  // runs without one.
  bool Focus(Window window) {
    XSetInputFocus(display_, window, RevertToPointerRoot, CurrentTime);
    XSync(display_, False);
    return WaitForFocusIn(window);
  }

  // Runs xdotool with `args` on the private display; true when it succeeded.
  bool Xdotool(const std::vector<std::string>& args) {
    test_process::Child tool;
    tool.argv = {FindProgram("xdotool")};
    tool.argv.insert(tool.argv.end(), args.begin(), args.end());
    tool.env = {"PATH=/usr/bin:/bin", "DISPLAY=" + display_name_};
    tool.stderr_path = root_.Path("x/xdotool.err");
    const test_process::Ended ended = test_process::Run(tool, kLimit);
    EXPECT_EQ(0, ended.ExitStatus()) << "xdotool: " << ended.err;
    return ended.ExitStatus() == 0;
  }

  // Types the keys (xdotool names) into whatever has the focus, as the
  // keyboard would.
  bool Type(const std::vector<std::string>& keys) {
    std::vector<std::string> args = {"key", "--delay", "30"};
    args.insert(args.end(), keys.begin(), keys.end());
    return Xdotool(args);
  }

  // Moves the wizard so that it lies at kMovedX, kMovedY (its frame, under
  // a window manager) and waits until it is there.
  void MoveWizardAway() {
    XMoveWindow(display_, wizard_, kMovedX, kMovedY);
    XSync(display_, False);
    ASSERT_TRUE(Poll([&] {
      const Rect rect = Geometry(wizard_);
      return std::abs(rect.x - kMovedX) <= kCentreSlack &&
             std::abs(rect.y - kMovedY) <= kCentreSlack;
    })) << "the wizard did not move: "
        << Describe(Geometry(wizard_));
  }

  // Returns once the window manager has handled everything sent to it
  // before: it answers a request for the frame extents of a window of ours
  // by setting them on it, and it handles requests in order.
  void SyncWithWindowManager() {
    const Window probe =
        XCreateSimpleWindow(display_, root_window_, 0, 0, 10, 10, 0, 0, 0);
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = probe;
    event.xclient.message_type = Intern("_NET_REQUEST_FRAME_EXTENTS");
    event.xclient.format = 32;
    XSendEvent(display_, root_window_, False,
               SubstructureRedirectMask | SubstructureNotifyMask, &event);
    XSync(display_, False);
    EXPECT_TRUE(Poll([&] {
      return !Property32(probe, "_NET_FRAME_EXTENTS").empty();
    })) << "the window manager does not answer";
    XDestroyWindow(display_, probe);
    XSync(display_, False);
  }

  // The user clicks into the middle of the wizard's title bar.
  void ClickWizardTitle() {
    const Rect rect = Geometry(wizard_);
    const std::vector<unsigned long> frame =
        Property32(wizard_, "_NET_FRAME_EXTENTS");  // left right top bottom
    ASSERT_EQ(4u, frame.size());
    const int x = rect.CentreX();
    const int y = rect.y - static_cast<int>(frame[2]) / 2;
    ASSERT_TRUE(Xdotool(
        {"mousemove", std::to_string(x), std::to_string(y), "click", "1"}));
    SyncWithWindowManager();
  }

  // The window's place in the window manager's stacking order (0 at the
  // bottom); -1 when it is not in it.
  int StackingIndex(Window window) {
    const std::vector<unsigned long> stacking =
        Property32(root_window_, "_NET_CLIENT_LIST_STACKING");
    const auto found = std::find(stacking.begin(), stacking.end(), window);
    return found == stacking.end() ? -1
                                   : static_cast<int>(found - stacking.begin());
  }

  // The cancel question: Escape in the wizard opens it. Returns its window.
  Window OpenQuestion() {
    if (!with_wm_) Focus(wizard_);
    EXPECT_TRUE(WaitForFocusIn(wizard_)) << "the wizard has no focus";
    Type({"Escape"});
    const Window box = WaitForSecondWindow();
    EXPECT_NE(None, box) << "Escape opened no question" << DescribeScreen();
    return box;
  }

  // Answers the open question `box` Yes with the keyboard (from No, where
  // the focus starts, to Yes) and expects setup to end as cancelled, having
  // installed nothing.
  void AnswerYesAndExpectCancelled(Window box) {
    if (!with_wm_) Focus(box);
    EXPECT_TRUE(WaitForFocusIn(box)) << "the question has no focus";
    Type({"Tab", "Return"});
    EXPECT_EQ(2, WaitForExit()) << ReadFile(root_.Path("setup.err"));
    ExpectNothingInstalled();
  }

  ScopedTempDir root_;
  std::string home_;
  std::string display_name_;
  Display* display_ = nullptr;
  Window root_window_ = None;
  bool with_wm_ = false;
  pid_t server_pid_ = -1;
  pid_t wm_pid_ = -1;
  pid_t setup_pid_ = -1;
  Window wizard_ = None;
};

// Under a window manager: the wizard is an ordinary window in the middle of
// the screen; the question that Escape opens belongs to it, stays above it,
// keeps the keyboard, goes down with it, lies over its middle wherever it
// was moved, and speaks the wizard's language whatever the locale.
TEST_F(WindowManagerTest, QuestionBelongsToTheWizard) {
  ASSERT_NO_FATAL_FAILURE(StartDisplay(true));
  struct Case {
    const char* language_switch;
    const char* locale;  // LANG: another language than the wizard's
    LanguageId language;
    // The buttons' labels as GTK has them, "_" before the access key.
    std::vector<std::string> buttons;
  } cases[] = {{"-Len", "ru_RU.UTF-8", kLanguageEnglish, {"_No", "_Yes"}},
               {"-Lru",
                "en_US.UTF-8",
                kLanguageRussian,
                {"_\xD0\x94\xD0\xB0",             // "_Да"
                 "_\xD0\x9D\xD0\xB5\xD1\x82"}}};  // "_Нет"
  for (const Case& c : cases) {
    SCOPED_TRACE(c.language_switch);
    ASSERT_NO_FATAL_FAILURE(StartSetup({c.language_switch}, c.locale));
    const std::string title = TextIn(c.language, "IDR_MAINFRAME");

    EXPECT_EQ(title, Title(wizard_));
    EXPECT_EQ("_NET_WM_WINDOW_TYPE_NORMAL", WindowType(wizard_));
    EXPECT_TRUE(CentredOn(Geometry(wizard_), kScreen, "the screen"));
    const std::vector<std::string> wizard_state =
        AtomNames(wizard_, "_NET_WM_STATE");
    EXPECT_FALSE(Contains(wizard_state, "_NET_WM_STATE_SKIP_TASKBAR"));
    EXPECT_FALSE(Contains(wizard_state, "_NET_WM_STATE_MODAL"));
    const std::vector<std::string> wizard_actions =
        AtomNames(wizard_, "_NET_WM_ALLOWED_ACTIONS");
    EXPECT_TRUE(Contains(wizard_actions, "_NET_WM_ACTION_MINIMIZE"));
    EXPECT_FALSE(Contains(wizard_actions, "_NET_WM_ACTION_RESIZE"));

    ASSERT_NO_FATAL_FAILURE(MoveWizardAway());
    Window box = OpenQuestion();
    ASSERT_NE(None, box);
    EXPECT_EQ(wizard_, TransientFor(box));
    EXPECT_EQ("_NET_WM_WINDOW_TYPE_DIALOG", WindowType(box));
    const std::vector<std::string> box_state = AtomNames(box, "_NET_WM_STATE");
    EXPECT_TRUE(Contains(box_state, "_NET_WM_STATE_SKIP_TASKBAR"));
    EXPECT_TRUE(Contains(box_state, "_NET_WM_STATE_MODAL"));
    // It asks for moving and closing only. (openbox keeps offering to
    // minimise a dialog all the same; what it does then is checked below.)
    EXPECT_EQ(kMotifFunctionMove | kMotifFunctionClose, MotifFunctions(box));
    EXPECT_TRUE(CentredOn(Geometry(box), Geometry(wizard_), "the wizard"));
    EXPECT_EQ(title, Title(box));
    EXPECT_EQ(SortedLabels(c.buttons), ButtonLabels(box));

    // The user clicks the wizard's title bar: the question stays above it
    // and keeps the keyboard, so Enter answers it (No) and not the wizard.
    ASSERT_NO_FATAL_FAILURE(ClickWizardTitle());
    EXPECT_GT(StackingIndex(box), StackingIndex(wizard_))
        << "the wizard was raised above its question";
    EXPECT_TRUE(WaitForFocusIn(box)) << "the keyboard left the question";
    Type({"Return"});
    EXPECT_TRUE(WaitForGone(box)) << "Enter did not answer the question";
    EXPECT_TRUE(Running(setup_pid_));
    EXPECT_EQ(kWmStateNormal, WmState(wizard_));

    // Minimised (openbox still gives a dialog the button), the question
    // takes the wizard down with it: the wizard is never left on the
    // screen, unusable, while its question is out of sight.
    box = OpenQuestion();
    ASSERT_NE(None, box);
    ASSERT_TRUE(Xdotool({"windowminimize", std::to_string(box)}));
    EXPECT_TRUE(Poll([&] { return WmState(box) == kWmStateIconic; }));
    EXPECT_TRUE(Poll([&] { return WmState(wizard_) == kWmStateIconic; }))
        << "the question was minimised without the wizard";
    // Brought back by the user, both are there again, the question on top.
    ASSERT_TRUE(Xdotool({"windowactivate", std::to_string(wizard_)}));
    EXPECT_TRUE(Poll([&] {
      return WmState(box) == kWmStateNormal &&
             WmState(wizard_) == kWmStateNormal;
    }));
    SyncWithWindowManager();
    EXPECT_GT(StackingIndex(box), StackingIndex(wizard_));

    AnswerYesAndExpectCancelled(box);
  }
}

// Without a window manager the program places its windows itself: the
// wizard in the middle of the screen, the question over the middle of the
// wizard (which was moved away from the screen's middle first), not in the
// screen's corner nor its middle, and still belonging to the wizard.
TEST_F(WindowManagerTest, WithoutWindowManagerWindowsAreCentred) {
  ASSERT_NO_FATAL_FAILURE(StartDisplay(false));
  ASSERT_NO_FATAL_FAILURE(StartSetup({"-Len"}, "C"));
  // Here nothing but the program itself can have centred the wizard.
  EXPECT_TRUE(CentredOn(Geometry(wizard_), kScreen, "the screen"));
  ASSERT_NO_FATAL_FAILURE(MoveWizardAway());
  const Window box = OpenQuestion();
  ASSERT_NE(None, box);
  EXPECT_EQ(wizard_, TransientFor(box));
  EXPECT_EQ("_NET_WM_WINDOW_TYPE_DIALOG", WindowType(box));
  EXPECT_TRUE(CentredOn(Geometry(box), Geometry(wizard_), "the wizard"));
  AnswerYesAndExpectCancelled(box);
}

// The "..." button on the directory page opens the folder chooser: titled,
// labelled in the wizard's language, belonging to the wizard and over its
// middle, with and without a window manager. Escape closes it, and the
// wizard goes on: its own Escape asks again.
TEST_F(WindowManagerTest, FolderChooserBelongsToTheWizard) {
  for (bool window_manager : {true, false}) {
    SCOPED_TRACE(window_manager ? "openbox" : "no window manager");
    ASSERT_NO_FATAL_FAILURE(StartDisplay(window_manager));
    ASSERT_NO_FATAL_FAILURE(StartSetup({"-Len"}, "C"));
    ASSERT_NO_FATAL_FAILURE(MoveWizardAway());
    if (!window_manager) Focus(wizard_);
    // Enter: Next to the directory page, whose field has the focus; Tab to
    // "...", space presses it.
    Type({"Return", "Tab", "space"});
    const Window chooser = WaitForSecondWindow();
    ASSERT_NE(None, chooser) << "no folder chooser" << DescribeScreen();
    EXPECT_EQ(TextIn(kLanguageEnglish, "IDS_CHOOSEDIR_TITLE"), Title(chooser));
    EXPECT_EQ(wizard_, TransientFor(chooser));
    EXPECT_EQ("_NET_WM_WINDOW_TYPE_DIALOG", WindowType(chooser));
    const std::vector<std::string> state = AtomNames(chooser, "_NET_WM_STATE");
    EXPECT_TRUE(Contains(state, "_NET_WM_STATE_SKIP_TASKBAR"));
    EXPECT_TRUE(Contains(state, "_NET_WM_STATE_MODAL"));
    EXPECT_TRUE(CentredOn(Geometry(chooser), Geometry(wizard_), "the wizard"));
    EXPECT_EQ(SortedLabels({TextIn(kLanguageEnglish, "IDS_BROWSE_CANCEL"),
                            TextIn(kLanguageEnglish, "IDS_BROWSE_OK")}),
              ButtonLabels(chooser));

    if (!window_manager) Focus(chooser);
    EXPECT_TRUE(WaitForFocusIn(chooser)) << "the chooser has no focus";
    Type({"Escape"});
    EXPECT_TRUE(WaitForGone(chooser)) << "Escape did not close the chooser";
    const Window box = OpenQuestion();
    ASSERT_NE(None, box);
    AnswerYesAndExpectCancelled(box);
    StopDisplay();
  }
}

// The access keys from the keyboard, as a user presses them: Escape asks,
// Alt+Y answers Yes and the wizard ends cancelled; in a new run Alt+N twice
// goes from the welcome page through the directory page to the copying,
// and Alt+F finishes on the success page.
TEST_F(WindowManagerTest, AccessKeysAnswerAndGoOn) {
  ASSERT_NO_FATAL_FAILURE(StartDisplay(true));
  ASSERT_NO_FATAL_FAILURE(StartSetup({"-Len"}, "C"));
  const Window box = OpenQuestion();
  ASSERT_NE(None, box);
  EXPECT_TRUE(WaitForFocusIn(box)) << "the question has no focus";
  Type({"alt+y"});
  EXPECT_EQ(2, WaitForExit()) << ReadFile(root_.Path("setup.err"));
  ExpectNothingInstalled();

  ASSERT_NO_FATAL_FAILURE(StartSetup({"-Len"}, "C"));
  Type({"alt+n", "alt+n"});
  // The location is recorded once the success page is up.
  EXPECT_TRUE(Poll([&] {
    return std::filesystem::exists(home_ + "/.Tq/tqlaunch/tqlaunch.cfg");
  })) << "Alt+N did not install";
  Type({"alt+f"});
  EXPECT_EQ(0, WaitForExit()) << ReadFile(root_.Path("setup.err"));
  EXPECT_EQ("B", ReadFile(home_ + "/.tqkt/WEX/wexkt/tmplts/sub/b.txt"));
}

}  // namespace
