#include "platform/ui/desktop.h"

#include <map>
#include <mutex>

#include "platform/ui/fake_desktop.h"
#include "platform/ui/x11_desktop.h"
#include "platform/ui/ui_internal.h"

namespace qx::ui {

namespace {

struct Installed {
  std::mutex lock;
  std::shared_ptr<CDesktop> desktop;
};

Installed& TheInstalled() {
  static Installed* installed = new Installed;
  return *installed;
}

}  // namespace

CDesktop::~CDesktop() = default;

void SetDesktop(std::shared_ptr<CDesktop> desktop) {
  Installed& i = TheInstalled();
  std::lock_guard lock(i.lock);
  i.desktop = std::move(desktop);
}

std::shared_ptr<CDesktop> GetDesktop() {
  Installed& i = TheInstalled();
  std::lock_guard lock(i.lock);
  if (!i.desktop) {
    // The machine's display when there is one; otherwise no other windows.
    i.desktop = OpenX11Desktop();
    if (!i.desktop) i.desktop = std::make_shared<CEmptyDesktop>();
  }
  return i.desktop;
}

// ---------------------------------------------------------------------------
// CFakeDesktop

std::uint64_t CFakeDesktop::AddWindow(std::string title, Reaction_t reaction) {
  std::lock_guard lock(m_lock);
  const std::uint64_t key = m_nextKey++;
  m_windows[key] = Window{std::move(title), reaction, -1};
  return key;
}

void CFakeDesktop::RemoveWindow(std::uint64_t key) {
  std::lock_guard lock(m_lock);
  m_windows.erase(key);
}

void CFakeDesktop::SetTitle(std::uint64_t key, std::string title) {
  std::lock_guard lock(m_lock);
  if (auto it = m_windows.find(key); it != m_windows.end()) it->second.title = std::move(title);
}

size_t CFakeDesktop::WindowCount() const {
  std::lock_guard lock(m_lock);
  return m_windows.size();
}

int CFakeDesktop::EnumerationCount() const {
  std::lock_guard lock(m_lock);
  return m_enumerations;
}

std::vector<CFakeDesktop::Posted_t> CFakeDesktop::Posted() const {
  std::lock_guard lock(m_lock);
  return m_posted;
}

std::vector<DesktopWindow_t> CFakeDesktop::ListWindows() {
  std::lock_guard lock(m_lock);
  ++m_enumerations;
  std::vector<DesktopWindow_t> out;
  for (auto it = m_windows.begin(); it != m_windows.end();) {
    Window& w = it->second;
    if (w.remaining == 0) {
      it = m_windows.erase(it);
      continue;
    }
    if (w.remaining > 0) --w.remaining;
    out.push_back({it->first, w.title});
    ++it;
  }
  return out;
}

std::optional<std::string> CFakeDesktop::WindowTitle(std::uint64_t key) {
  std::lock_guard lock(m_lock);
  const auto it = m_windows.find(key);
  if (it == m_windows.end()) return std::nullopt;
  return it->second.title;
}

bool CFakeDesktop::PostToWindow(std::uint64_t key, UINT message, WPARAM, LPARAM) {
  std::lock_guard lock(m_lock);
  const auto it = m_windows.find(key);
  if (it == m_windows.end()) return false;
  Window& w = it->second;
  m_posted.push_back({key, w.title, message});
  const int after = message == WM_CLOSE ? w.reaction.closeAfter : message == WM_QUIT ? w.reaction.quitAfter : -1;
  if (after >= 0 && (w.remaining < 0 || after < w.remaining)) w.remaining = after;
  return true;
}

}  // namespace qx::ui

using namespace qx::ui::detail;

namespace {

// Handles of other programs' windows, by desktop and key; an entry goes when
// its window is no longer listed.
std::map<std::pair<const qx::ui::CDesktop*, std::uint64_t>, HWND>& ForeignHandles() {
  static auto* handles = new std::map<std::pair<const qx::ui::CDesktop*, std::uint64_t>, HWND>;
  return *handles;
}

}  // namespace

BOOL EnumWindows(WNDENUMPROC enumFunc, LPARAM lParam) {
  if (!enumFunc) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::vector<HWND> windows;
  {
    std::lock_guard lock(ModelLock());
    for (const auto& s : AllLocked()) {
      if (s->kind == WindowKind::kDialog && !s->destroying) windows.push_back(s->handle);
    }
  }
  const auto desktop = qx::ui::GetDesktop();
  const auto listed = desktop->ListWindows();
  {
    std::lock_guard lock(ModelLock());
    auto& handles = ForeignHandles();
    std::map<std::pair<const qx::ui::CDesktop*, std::uint64_t>, HWND> current;
    for (const auto& w : listed) {
      const auto key = std::make_pair(desktop.get(), w.key);
      HWND h = nullptr;
      if (auto it = handles.find(key); it != handles.end() && FindLocked(it->second)) {
        h = it->second;
        handles.erase(it);
      } else {
        auto s = std::make_shared<WindowState>();
        s->kind = WindowKind::kForeign;
        s->text = w.title;
        s->visible = true;
        s->desktop = desktop;
        s->foreignKey = w.key;
        h = AddLocked(std::move(s));
      }
      current[key] = h;
      windows.push_back(h);
    }
    // Windows of this desktop that were not listed are gone.
    for (auto it = handles.begin(); it != handles.end();) {
      if (it->first.first == desktop.get()) {
        RemoveLocked(it->second);
        it = handles.erase(it);
      } else {
        ++it;
      }
    }
    for (auto& [key, h] : current) handles[key] = h;
  }
  for (HWND h : windows) {
    if (!enumFunc(h, lParam)) return FALSE;
  }
  return TRUE;
}
