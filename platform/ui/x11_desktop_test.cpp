// The X11 desktop against a real X server: Xvfb, started by the test on a free
// display (the test is skipped where Xvfb is not installed). The test makes
// the "other programs'" windows itself on a connection of its own.
#include "platform/ui/x11_desktop.h"

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/ui/ui_test_support.h"
#include "platform/ui/window.h"

// After the standard headers: Xlib defines macros such as None and Status.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace qx::ui::test {
namespace {

bool OnPath(const char* program) {
  const char* path = std::getenv("PATH");
  std::string dirs = path ? path : "/usr/bin:/bin";
  for (std::size_t at = 0; at <= dirs.size();) {
    std::size_t end = dirs.find(':', at);
    if (end == std::string::npos) end = dirs.size();
    if (::access((dirs.substr(at, end - at) + "/" + program).c_str(), X_OK) == 0) return true;
    at = end + 1;
  }
  return false;
}

// Xvfb on the first free display number, stopped with the object.
class XServer {
 public:
  XServer() {
    int fds[2];
    if (::pipe(fds) != 0) return;
    m_pid = ::fork();
    if (m_pid == 0) {
      ::close(fds[0]);
      const std::string fd = std::to_string(fds[1]);
      ::freopen("/dev/null", "w", stderr);
      ::execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-nolisten", "tcp", "-screen", "0", "320x240x24",
               static_cast<char*>(nullptr));
      ::_exit(127);
    }
    ::close(fds[1]);
    std::string number;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline) {
      pollfd p{fds[0], POLLIN, 0};
      if (::poll(&p, 1, 200) <= 0) continue;
      char c;
      if (::read(fds[0], &c, 1) != 1 || c == '\n') break;
      number += c;
    }
    ::close(fds[0]);
    if (!number.empty()) m_name = ":" + number;
  }
  ~XServer() {
    if (m_pid > 0) {
      ::kill(m_pid, SIGTERM);
      ::waitpid(m_pid, nullptr, 0);
    }
  }
  const std::string& name() const { return m_name; }  // empty when it did not start

 private:
  pid_t m_pid = -1;
  std::string m_name;
};

// The next client message on `display` within a second, if any.
bool NextClientMessage(Display* display, XClientMessageEvent* out) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
  while (std::chrono::steady_clock::now() < deadline) {
    while (XPending(display)) {
      XEvent event;
      XNextEvent(display, &event);
      if (event.type == ClientMessage) {
        *out = event.xclient;
        return true;
      }
    }
    ::usleep(10000);
  }
  return false;
}

using X11DesktopTest = UiTest;

TEST_F(X11DesktopTest, ListsTitlesAsksWindowsToCloseAndNoticesWhenTheyAreGone) {
  if (!OnPath("Xvfb")) GTEST_SKIP() << "Xvfb is not installed";
  XServer server;
  ASSERT_FALSE(server.name().empty()) << "Xvfb did not start";
  Display* own = XOpenDisplay(server.name().c_str());
  ASSERT_NE(own, nullptr);
  const Window root = DefaultRootWindow(own);
  Atom deleteWindow = XInternAtom(own, "WM_DELETE_WINDOW", False);
  const Window client = XCreateSimpleWindow(own, root, 0, 0, 10, 10, 0, 0, 0);
  XStoreName(own, client, "Quorvex Online");
  XSetWMProtocols(own, client, &deleteWindow, 1);
  const Window notes = XCreateSimpleWindow(own, root, 0, 0, 10, 10, 0, 0, 0);
  const std::string utf8 = "Patch notes \xE2\x9C\x93";
  XChangeProperty(own, notes, XInternAtom(own, "_NET_WM_NAME", False), XInternAtom(own, "UTF8_STRING", False), 8,
                  PropModeReplace, reinterpret_cast<const unsigned char*>(utf8.data()), static_cast<int>(utf8.size()));
  const Window untitled = XCreateSimpleWindow(own, root, 0, 0, 10, 10, 0, 0, 0);
  XSync(own, False);

  auto desktop = OpenX11Desktop(server.name().c_str());
  ASSERT_NE(desktop, nullptr);
  EXPECT_EQ(OpenX11Desktop(":999"), nullptr) << "no such display";

  // Without a window manager: the root's children that have a title.
  auto listed = desktop->ListWindows();
  ASSERT_EQ(listed.size(), 2u);
  EXPECT_EQ(listed[0].key, client);
  EXPECT_EQ(listed[0].title, "Quorvex Online");
  EXPECT_EQ(listed[1].key, notes);
  EXPECT_EQ(listed[1].title, utf8);
  EXPECT_EQ(desktop->WindowTitle(untitled), std::optional<std::string>(""));

  // Through the window model, as the patcher looks for the client.
  SetDesktop(desktop);
  std::vector<HWND> handles;
  EnumWindows([](HWND h, LPARAM p) {
    reinterpret_cast<std::vector<HWND>*>(p)->push_back(h);
    return TRUE;
  }, reinterpret_cast<LPARAM>(&handles));
  ASSERT_EQ(handles.size(), 2u);
  char title[64];
  GetWindowTextA(handles[0], title, sizeof title);
  EXPECT_STREQ(title, "Quorvex Online");

  // WM_CLOSE reaches the program as a request to close the window.
  EXPECT_TRUE(PostMessageA(handles[0], WM_CLOSE, 0, 0));
  XClientMessageEvent message{};
  ASSERT_TRUE(NextClientMessage(own, &message));
  EXPECT_EQ(message.window, client);
  EXPECT_EQ(static_cast<Atom>(message.data.l[0]), deleteWindow);
  EXPECT_TRUE(desktop->PostToWindow(client, WM_USER, 0, 0)) << "no counterpart: dropped, window there";
  EXPECT_FALSE(NextClientMessage(own, &message));

  // A window that has gone.
  XDestroyWindow(own, client);
  XSync(own, False);
  EXPECT_EQ(desktop->WindowTitle(client), std::nullopt);
  EXPECT_FALSE(desktop->PostToWindow(client, WM_CLOSE, 0, 0));
  EXPECT_FALSE(PostMessageA(handles[0], WM_CLOSE, 0, 0));

  // With a window manager's client list, that list is the answer.
  const long managed[] = {static_cast<long>(untitled), static_cast<long>(client)};
  XChangeProperty(own, root, XInternAtom(own, "_NET_CLIENT_LIST", False), XA_WINDOW, 32, PropModeReplace,
                  reinterpret_cast<const unsigned char*>(managed), 2);
  XSync(own, False);
  listed = desktop->ListWindows();
  ASSERT_EQ(listed.size(), 1u) << "the gone window is left out";
  EXPECT_EQ(listed[0].key, untitled);
  EXPECT_EQ(listed[0].title, "");

  SetDesktop(nullptr);
  desktop.reset();
  XCloseDisplay(own);
}

}  // namespace
}  // namespace qx::ui::test
