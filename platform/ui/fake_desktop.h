// A desktop of pretend programs for tests.
//
// Each window has a title and a way of reacting to WM_CLOSE and WM_QUIT: it
// ignores the message, or it goes away after a number of further
// enumerations (0: it is gone from the next one on). Every message posted to a
// window is recorded. Thread-safe.
#pragma once

#include <map>
#include <mutex>

#include "platform/ui/desktop.h"

namespace qx::ui {

// How a pretend window reacts to the messages that ask it to end.
struct FakeWindowReaction_t {
  int closeAfter = -1;  // enumerations after WM_CLOSE until the window is gone; -1 ignores it
  int quitAfter = -1;   // the same for WM_QUIT
};

class CFakeDesktop : public CDesktop {
 public:
  using Reaction_t = FakeWindowReaction_t;
  struct Posted_t {
    std::uint64_t key = 0;
    std::string title;
    UINT message = 0;
  };

  std::uint64_t AddWindow(std::string title, Reaction_t reaction = {});
  void RemoveWindow(std::uint64_t key);
  void SetTitle(std::uint64_t key, std::string title);
  size_t WindowCount() const;
  int EnumerationCount() const;
  std::vector<Posted_t> Posted() const;

  std::vector<DesktopWindow_t> ListWindows() override;
  std::optional<std::string> WindowTitle(std::uint64_t key) override;
  bool PostToWindow(std::uint64_t key, UINT message, WPARAM wParam, LPARAM lParam) override;

 private:
  struct Window {
    std::string title;
    Reaction_t reaction;
    int remaining = -1;  // enumerations left before it goes; -1: not going
  };
  mutable std::mutex m_lock;
  std::map<std::uint64_t, Window> m_windows;
  std::uint64_t m_nextKey = 1;
  int m_enumerations = 0;
  std::vector<Posted_t> m_posted;
};

}  // namespace qx::ui
