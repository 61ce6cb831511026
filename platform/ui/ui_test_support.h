// Test support for the window model: a small dialog template, a dialog whose
// handlers tests can set, and a fixture that starts each test from a clean
// model (no renderer, no answers, empty transcript, a short idle delay).
#pragma once

#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/ui/answers.h"
#include "platform/ui/desktop.h"
#include "platform/ui/dialog.h"
#include "platform/ui/renderer.h"
#include "platform/ui/resources.h"
#include "platform/ui/transcript.h"

namespace qx::ui::test {

inline constexpr UINT kTestDialog = 900;
inline constexpr UINT kAboutDialog = 901;
inline constexpr int kStatus = 1006;
inline constexpr int kProgress = 1007;
inline constexpr int kCloseWhenDone = 1010;
inline constexpr int kText = 1015;
inline constexpr int kBrowse = 1001;
inline constexpr UINT kBrowseIcon = 130;
inline constexpr UINT kIdmAbout = 0x10;

inline void RegisterTestTemplates() {
  RegisterDialogTemplate(DialogTemplate_t{
      kTestDialog, "Test Window", WS_POPUP | WS_VISIBLE | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX,
      "MS Sans Serif", 8, 0, 0, 364, 284,
      {
          {kText, ControlKind::kEdit, "", 4, 6, 356, 224, ES_MULTILINE | ES_READONLY | WS_VSCROLL,
           ControlRole::kTextView},
          {kStatus, ControlKind::kStatic, "Ready.", 60, 235, 300, 11, SS_SUNKEN, ControlRole::kStatusLine},
          {kProgress, ControlKind::kProgressBar, "", 60, 250, 300, 11, PBS_SMOOTH, ControlRole::kProgressBar},
          {kCloseWhenDone, ControlKind::kCheckBox, "Close when &done", 5, 265, 122, 11},
          {IDCANCEL, ControlKind::kButton, "&Cancel", 200, 266, 66, 14},
          {IDOK, ControlKind::kDefaultButton, "&Start", 270, 266, 90, 14},
          {kBrowse, ControlKind::kIconButton, "", 340, 235, 19, 16, 0, ControlRole::kNone, kBrowseIcon},
      }});
  RegisterDialogTemplate(DialogTemplate_t{kAboutDialog, "About Test", WS_POPUP | WS_CAPTION | WS_SYSMENU,
                                          "MS Sans Serif", 8, 0, 0, 200, 55,
                                          {
                                              {IDC_STATIC, ControlKind::kStatic, "Test Version 1.0", 40, 10, 119, 8},
                                              {IDOK, ControlKind::kDefaultButton, "OK", 140, 30, 50, 14},
                                          }});
}

// A dialog whose handlers a test sets; records what it was asked to do.
class TestDialog : public CDialog {
 public:
  explicit TestDialog(UINT id = kTestDialog, CWnd* parent = nullptr) : CDialog(id, parent) {}

  std::function<void(TestDialog&)> onInit;
  std::function<void(TestDialog&, UINT_PTR)> onTimer;
  std::function<LRESULT(TestDialog&, UINT, WPARAM, LPARAM)> onUser;  // WM_USER and above
  std::function<bool(TestDialog&)> onCancel;  // true: close as usual
  std::function<void(TestDialog&, UINT)> onSysCommand;

  std::vector<std::string> Events() const {
    std::lock_guard lock(m_eventsLock);
    return m_events;
  }
  void Record(const std::string& event) {
    std::lock_guard lock(m_eventsLock);
    m_events.push_back(event);
  }
  std::thread::id handlerThread;

  using CDialog::EndDialog;

 protected:
  BOOL OnInitDialog() override {
    CDialog::OnInitDialog();
    handlerThread = std::this_thread::get_id();
    Record("init");
    if (onInit) onInit(*this);
    return TRUE;
  }
  void OnTimer(UINT_PTR id) override {
    handlerThread = std::this_thread::get_id();
    if (onTimer) onTimer(*this, id);
    CDialog::OnTimer(id);
  }
  LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override {
    if (message >= WM_USER && message < WM_APP && onUser) {
      handlerThread = std::this_thread::get_id();
      return onUser(*this, message, wParam, lParam);
    }
    return CDialog::WindowProc(message, wParam, lParam);
  }
  void OnOK() override {
    Record("ok");
    CDialog::OnOK();
  }
  void OnCancel() override {
    Record("cancel");
    if (!onCancel || onCancel(*this)) CDialog::OnCancel();
  }
  void OnDestroy() override {
    Record("destroy");
    CDialog::OnDestroy();
  }
  void OnSysCommand(UINT id, LPARAM lParam) override {
    Record("syscommand " + std::to_string(id));
    if (onSysCommand && (id & 0xFFF0) == kIdmAbout) {
      onSysCommand(*this, id);
      return;
    }
    CDialog::OnSysCommand(id, lParam);
  }
  BOOL OnCommand(WPARAM wParam, LPARAM lParam) override {
    Record("command " + std::to_string(LOWORD(wParam)));
    return CDialog::OnCommand(wParam, lParam);
  }

 private:
  mutable std::mutex m_eventsLock;
  std::vector<std::string> m_events;
};

class UiTest : public ::testing::Test {
 protected:
  void SetUp() override {
    RegisterTestTemplates();
    SetRenderer(nullptr);
    SetDesktop(nullptr);
    CAnswerList::Instance().Clear();
    CTranscript::Instance().Clear();
    SetModalIdleDelay(std::chrono::milliseconds(50));
  }
  void TearDown() override {
    SetRenderer(nullptr);
    SetDesktop(nullptr);
    CAnswerList::Instance().Clear();
    SetModalIdleDelay(std::chrono::milliseconds(200));
  }

  static std::vector<std::string> TranscriptTexts(TranscriptKind kind) {
    std::vector<std::string> out;
    for (const auto& e : CTranscript::Instance().Entries(kind)) out.push_back(e.text);
    return out;
  }
};

// Runs `step` on a thread of its own and waits for it.
inline void OnOtherThread(const std::function<void()>& step) {
  std::thread t(step);
  t.join();
}

}  // namespace qx::ui::test
