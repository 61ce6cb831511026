#include "platform/ui/x11_desktop.h"

#include <dlfcn.h>

#include <cstdlib>
#include <mutex>
#include <type_traits>
#include <utility>

// After the standard headers: Xlib defines macros such as None and Status.
#include <X11/Xatom.h>
#include <X11/Xlib.h>

namespace qx::ui {

namespace {

// The libX11 entries this desktop uses, loaded once and kept for the life of
// the process (an error handler of ours may still be called through it).
struct XLib_t {
  decltype(&XOpenDisplay) openDisplay = nullptr;
  decltype(&XCloseDisplay) closeDisplay = nullptr;
  decltype(&XDefaultRootWindow) defaultRootWindow = nullptr;
  decltype(&XInternAtom) internAtom = nullptr;
  decltype(&XGetWindowProperty) getWindowProperty = nullptr;
  decltype(&XFree) free = nullptr;
  decltype(&XQueryTree) queryTree = nullptr;
  decltype(&XSendEvent) sendEvent = nullptr;
  decltype(&XSync) sync = nullptr;
  decltype(&XSetErrorHandler) setErrorHandler = nullptr;
};

const XLib_t* LoadXLib() {
  static const XLib_t* loaded = []() -> const XLib_t* {
    void* handle = ::dlopen("libX11.so.6", RTLD_NOW | RTLD_LOCAL);
    if (!handle) return nullptr;
    auto* x = new XLib_t;
    bool all = true;
    auto get = [&](auto& entry, const char* name) {
      entry = reinterpret_cast<std::remove_reference_t<decltype(entry)>>(::dlsym(handle, name));
      all = all && entry != nullptr;
    };
    get(x->openDisplay, "XOpenDisplay");
    get(x->closeDisplay, "XCloseDisplay");
    get(x->defaultRootWindow, "XDefaultRootWindow");
    get(x->internAtom, "XInternAtom");
    get(x->getWindowProperty, "XGetWindowProperty");
    get(x->free, "XFree");
    get(x->queryTree, "XQueryTree");
    get(x->sendEvent, "XSendEvent");
    get(x->sync, "XSync");
    get(x->setErrorHandler, "XSetErrorHandler");
    if (!all) {
      delete x;
      return nullptr;
    }
    return x;
  }();
  return loaded;
}

// Errors on the connection being watched are noted and otherwise ignored;
// errors of every other connection go to the handler that was installed
// before. The process has one error handler, so one watch at a time.
std::mutex s_watchLock;
Display* s_watched = nullptr;
bool s_failed = false;
XErrorHandler s_previous = nullptr;

int OnXError(Display* display, XErrorEvent* event) {
  if (display == s_watched) {
    s_failed = true;
    return 0;
  }
  return s_previous ? s_previous(display, event) : 0;
}

// Watches `display` for errors while it lives.
class ErrorWatch_c {
 public:
  ErrorWatch_c(const XLib_t& x, Display* display) : m_x(x), m_display(display), m_guard(s_watchLock) {
    s_watched = display;
    s_failed = false;
    s_previous = m_x.setErrorHandler(&OnXError);
  }
  ~ErrorWatch_c() {
    m_x.sync(m_display, False);
    m_x.setErrorHandler(s_previous);
    s_watched = nullptr;
  }
  ErrorWatch_c(const ErrorWatch_c&) = delete;
  ErrorWatch_c& operator=(const ErrorWatch_c&) = delete;
  // True when a request so far failed (waits for the server's answers).
  bool Failed() {
    m_x.sync(m_display, False);
    return s_failed;
  }

 private:
  const XLib_t& m_x;
  Display* m_display;
  std::lock_guard<std::mutex> m_guard;
};

enum class Title_e { kGone, kNone, kHas };

class CX11Desktop : public CDesktop {
 public:
  CX11Desktop(const XLib_t& x, Display* display) : m_x(x), m_display(display) {
    m_clientList = m_x.internAtom(m_display, "_NET_CLIENT_LIST", False);
    m_netName = m_x.internAtom(m_display, "_NET_WM_NAME", False);
    m_utf8 = m_x.internAtom(m_display, "UTF8_STRING", False);
    m_protocols = m_x.internAtom(m_display, "WM_PROTOCOLS", False);
    m_deleteWindow = m_x.internAtom(m_display, "WM_DELETE_WINDOW", False);
  }
  ~CX11Desktop() override { m_x.closeDisplay(m_display); }

  std::vector<DesktopWindow_t> ListWindows() override {
    std::lock_guard lock(m_lock);
    std::vector<DesktopWindow_t> out;
    const Window root = m_x.defaultRootWindow(m_display);
    std::vector<Window> candidates;
    bool managed = false;
    {
      ErrorWatch_c watch(m_x, m_display);
      Atom type = None;
      int format = 0;
      unsigned long count = 0, after = 0;
      unsigned char* data = nullptr;
      if (m_x.getWindowProperty(m_display, root, m_clientList, 0, 1L << 20, False, XA_WINDOW, &type, &format, &count,
                                &after, &data) == Success &&
          type == XA_WINDOW && format == 32 && data) {
        const long* ids = reinterpret_cast<const long*>(data);  // format 32 comes as longs
        for (unsigned long i = 0; i < count; ++i) candidates.push_back(static_cast<Window>(ids[i]));
        managed = true;
      }
      if (data) m_x.free(data);
      if (!managed) {
        Window rootReturn = 0, parent = 0;
        Window* children = nullptr;
        unsigned int n = 0;
        if (m_x.queryTree(m_display, root, &rootReturn, &parent, &children, &n) && children) {
          candidates.assign(children, children + n);
        }
        if (children) m_x.free(children);
      }
    }
    for (Window w : candidates) {
      std::string title;
      const Title_e t = ReadTitle(w, &title);
      if (t == Title_e::kGone || (!managed && t == Title_e::kNone)) continue;
      out.push_back(DesktopWindow_t{static_cast<std::uint64_t>(w), std::move(title)});
    }
    return out;
  }

  std::optional<std::string> WindowTitle(std::uint64_t key) override {
    std::lock_guard lock(m_lock);
    std::string title;
    if (ReadTitle(static_cast<Window>(key), &title) == Title_e::kGone) return std::nullopt;
    return title;
  }

  bool PostToWindow(std::uint64_t key, UINT message, WPARAM, LPARAM) override {
    std::lock_guard lock(m_lock);
    const Window w = static_cast<Window>(key);
    std::string title;
    if (ReadTitle(w, &title) == Title_e::kGone) return false;
    if (message != WM_CLOSE && message != WM_QUIT) return true;  // no counterpart: dropped
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = w;
    event.xclient.message_type = m_protocols;
    event.xclient.format = 32;
    event.xclient.data.l[0] = static_cast<long>(m_deleteWindow);
    event.xclient.data.l[1] = CurrentTime;
    ErrorWatch_c watch(m_x, m_display);
    m_x.sendEvent(m_display, w, False, NoEventMask, &event);
    return !watch.Failed();
  }

 private:
  // The title of `w` (caller holds m_lock).
  Title_e ReadTitle(Window w, std::string* title) {
    ErrorWatch_c watch(m_x, m_display);
    const std::pair<Atom, Atom> sources[] = {{m_netName, m_utf8}, {XA_WM_NAME, AnyPropertyType}};
    for (const auto& [property, wanted] : sources) {
      Atom type = None;
      int format = 0;
      unsigned long count = 0, after = 0;
      unsigned char* data = nullptr;
      const int rc = m_x.getWindowProperty(m_display, w, property, 0, 4096, False, wanted, &type, &format, &count,
                                           &after, &data);
      if (rc != Success || watch.Failed()) {
        if (data) m_x.free(data);
        return Title_e::kGone;
      }
      // A property of another type than the one asked for comes back empty.
      const bool found = type != None && (wanted == AnyPropertyType || type == wanted) && format == 8 && data;
      if (found) title->assign(reinterpret_cast<const char*>(data), count);
      if (data) m_x.free(data);
      if (found) return Title_e::kHas;
    }
    title->clear();
    return Title_e::kNone;
  }

  const XLib_t& m_x;
  Display* m_display;
  std::mutex m_lock;
  Atom m_clientList = None, m_netName = None, m_utf8 = None, m_protocols = None, m_deleteWindow = None;
};

}  // namespace

std::shared_ptr<CDesktop> OpenX11Desktop(const char* displayName) {
  if (!displayName) displayName = std::getenv("DISPLAY");
  if (!displayName || !*displayName) return nullptr;
  const XLib_t* x = LoadXLib();
  if (!x) return nullptr;
  Display* display = x->openDisplay(displayName);
  if (!display) return nullptr;
  return std::make_shared<CX11Desktop>(*x, display);
}

}  // namespace qx::ui
