#include "platform/ui/window.h"

#include <atomic>
#include <future>

#include "platform/ui/app.h"
#include "platform/ui/controls.h"
#include "platform/ui/dialog.h"
#include "platform/ui/message_queue.h"
#include "platform/ui/ui_test_support.h"

namespace qx::ui::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

using WindowTest = UiTest;

// Dispatches the calling thread's messages until `done` or the time is up.
bool PumpUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = 3000ms) {
  const auto end = Clock::now() + limit;
  while (!done()) {
    if (Clock::now() > end) return false;
    PumpWaitingMessages();
    std::this_thread::sleep_for(2ms);
  }
  return true;
}

TEST_F(WindowTest, ControlsAreMadeFromTheTemplateAndAddressedById) {
  TestDialog dialog;
  ASSERT_TRUE(dialog.Create(kTestDialog));
  EXPECT_EQ(dialog.GetWindowText(), "Test Window");
  EXPECT_TRUE(dialog.IsWindowVisible());
  EXPECT_EQ(dialog.GetDlgItem(9999), nullptr);
  EXPECT_NE(dynamic_cast<CProgressCtrl*>(dialog.GetDlgItem(kProgress)), nullptr);
  EXPECT_NE(dynamic_cast<CButton*>(dialog.GetDlgItem(IDOK)), nullptr);
  EXPECT_NE(dynamic_cast<CEdit*>(dialog.GetDlgItem(kText)), nullptr);
  EXPECT_EQ(dialog.GetDlgItem(IDOK)->GetDlgCtrlID(), IDOK);
  EXPECT_EQ(dialog.GetDlgItem(IDOK)->GetParent(), &dialog);
  EXPECT_EQ(static_cast<CButton*>(dialog.GetDlgItem(kBrowse))->GetIcon(), LoadIcon(kBrowseIcon));

  std::string text;
  dialog.GetDlgItemText(kStatus, text);
  EXPECT_EQ(text, "Ready.");
  dialog.SetDlgItemText(kStatus, "Downloading...");
  char small[5];
  EXPECT_EQ(dialog.GetDlgItemText(kStatus, small, sizeof small), 4) << "cut to the buffer";
  EXPECT_STREQ(small, "Down");

  // EnableWindow answers whether the window was disabled before.
  CWnd* ok = dialog.GetDlgItem(IDOK);
  EXPECT_FALSE(ok->EnableWindow(FALSE));
  EXPECT_FALSE(ok->IsWindowEnabled());
  EXPECT_TRUE(ok->EnableWindow(TRUE));

  EXPECT_EQ(dialog.IsDlgButtonChecked(kCloseWhenDone), BST_UNCHECKED);
  dialog.CheckDlgButton(kCloseWhenDone, BST_CHECKED);
  EXPECT_EQ(dialog.SendDlgItemMessage(kCloseWhenDone, BM_GETCHECK), BST_CHECKED);
  EXPECT_EQ(dialog.SendDlgItemMessage(IDOK, BM_GETCHECK), BST_UNCHECKED) << "a push button has no check";

  dialog.DestroyWindow();
  EXPECT_EQ(dialog.m_hWnd, nullptr);
}

TEST_F(WindowTest, ProgressBarKeepsItsPositionInRangeAndStepsRoundTheEnd) {
  TestDialog dialog;
  ASSERT_TRUE(dialog.Create(kTestDialog));
  auto* bar = static_cast<CProgressCtrl*>(dialog.GetDlgItem(kProgress));
  int lower = -1, upper = -1;
  bar->GetRange(lower, upper);
  EXPECT_EQ(lower, 0);
  EXPECT_EQ(upper, 100);

  struct Step {
    const char* what;
    std::function<void()> run;
    int pos;
  };
  const std::vector<Step> steps = {
      {"step from 0 by the default 10", [&] { bar->StepIt(); }, 10},
      {"position past the end", [&] { bar->SetPos(250); }, 100},
      {"step past the end starts over", [&] { bar->StepIt(); }, 10},
      {"wider range keeps the position", [&] { bar->SetRange32(0, 32767); }, 10},
      {"large position", [&] { bar->SetPos(32000); }, 32000},
      {"narrower range pulls it in", [&] { bar->SetRange32(0, 1000); }, 1000},
      {"offset below the start", [&] { bar->OffsetPos(-5000); }, 0},
      {"range above the position", [&] { bar->SetRange32(500, 600); }, 500},
      {"bigger step", [&] { bar->SetStep(70); }, 500},
      {"step wraps by the span", [&] { bar->StepIt(); bar->StepIt(); }, 540},
  };
  for (const Step& s : steps) {
    s.run();
    EXPECT_EQ(bar->GetPos(), s.pos) << s.what;
  }
  EXPECT_EQ(bar->SetStep(10), 70) << "SetStep answers the previous step";
  EXPECT_EQ(bar->SetPos(550), 540) << "SetPos answers the previous position";
  // The same through messages, as another thread would send them.
  OnOtherThread([&] {
    ::SendMessageA(bar->m_hWnd, PBM_SETRANGE32, 0, 2000000);
    ::SendMessageA(bar->m_hWnd, PBM_SETPOS, 1250000, 0);
  });
  EXPECT_EQ(bar->GetPos(), 1250000);
}

TEST_F(WindowTest, StateChangesFromAnotherThreadTakeEffectAtOnce) {
  TestDialog dialog;
  ASSERT_TRUE(dialog.Create(kTestDialog));
  OnOtherThread([&] {
    dialog.SetDlgItemText(kStatus, "Patches\\v15-1.rtp");
    dialog.GetDlgItem(IDOK)->EnableWindow(FALSE);
    dialog.SetWindowText("Test Window - Local version: 15.1");
  });
  std::string status;
  dialog.GetDlgItemText(kStatus, status);
  EXPECT_EQ(status, "Patches\\v15-1.rtp");
  EXPECT_FALSE(dialog.GetDlgItem(IDOK)->IsWindowEnabled());
  EXPECT_EQ(dialog.GetWindowText(), "Test Window - Local version: 15.1");
}

TEST_F(WindowTest, StaleHandlesAreRefused) {
  HWND dialogHandle = nullptr, controlHandle = nullptr;
  {
    TestDialog dialog;
    ASSERT_TRUE(dialog.Create(kTestDialog));
    dialogHandle = dialog.m_hWnd;
    controlHandle = ::GetDlgItem(dialogHandle, kStatus);
    ASSERT_TRUE(::IsWindow(controlHandle));
    ASSERT_TRUE(dialog.DestroyWindow());
    EXPECT_EQ(dialog.Events().back(), "destroy");
  }
  EXPECT_FALSE(::IsWindow(dialogHandle));
  EXPECT_FALSE(::IsWindow(controlHandle));
  SetLastError(0);
  EXPECT_FALSE(::PostMessageA(dialogHandle, WM_USER, 0, 0));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
  EXPECT_FALSE(::SetWindowTextA(controlHandle, "x"));
  EXPECT_EQ(::SetTimer(dialogHandle, 1, 10, nullptr), 0u);
  char buffer[8] = "junk";
  EXPECT_EQ(::GetWindowTextA(controlHandle, buffer, sizeof buffer), 0);
  EXPECT_STREQ(buffer, "");
}

TEST_F(WindowTest, BoundMemberControlIsTheControl) {
  struct BoundDialog : TestDialog {
    CProgressCtrl m_progress;
    CEdit m_edit;
    void DoDataExchange(CDataExchange* dx) override {
      DDX_Control(dx, kProgress, m_progress);
      DDX_Control(dx, kText, m_edit);
    }
  } dialog;
  ASSERT_TRUE(dialog.Create(kTestDialog));
  ASSERT_NE(dialog.m_progress.m_hWnd, nullptr);
  EXPECT_EQ(dialog.GetDlgItem(kProgress), &dialog.m_progress);
  dialog.m_progress.SetPos(42);
  EXPECT_EQ(static_cast<CProgressCtrl*>(dialog.GetDlgItem(kProgress))->GetPos(), 42);
  dialog.m_edit.SetWindowText("line 1\r\n");
  dialog.m_edit.ReplaceSel("line 2");
  EXPECT_EQ(dialog.m_edit.GetWindowText(), "line 1\r\nline 2");
  dialog.DestroyWindow();
  EXPECT_EQ(dialog.m_progress.m_hWnd, nullptr);
}

TEST_F(WindowTest, PostedMessagesArriveInOrderOnTheWindowsThread) {
  TestDialog dialog;
  ASSERT_TRUE(dialog.Create(kTestDialog));
  std::vector<WPARAM> seen;
  dialog.onUser = [&](TestDialog& d, UINT, WPARAM w, LPARAM) {
    EXPECT_EQ(d.handlerThread, std::this_thread::get_id());
    seen.push_back(w);
    return 0;
  };
  std::thread worker([&] {
    for (WPARAM i = 0; i < 100; ++i) dialog.PostMessage(WM_USER + 10, i);
  });
  worker.join();
  ASSERT_TRUE(PumpUntil([&] { return seen.size() == 100; }));
  for (WPARAM i = 0; i < 100; ++i) EXPECT_EQ(seen[i], i);
  EXPECT_EQ(dialog.handlerThread, std::this_thread::get_id());
}

TEST_F(WindowTest, SendMessageWaitsForTheHandlerOnTheOwnersThread) {
  TestDialog dialog;
  ASSERT_TRUE(dialog.Create(kTestDialog));
  dialog.onUser = [](TestDialog&, UINT m, WPARAM w, LPARAM l) -> LRESULT {
    return m == WM_USER + 11 ? static_cast<LRESULT>(w) + l : -1;
  };
  EXPECT_EQ(dialog.SendMessage(WM_USER + 11, 2, 3), 5) << "same thread: a direct call";

  std::atomic<LRESULT> result{0};
  std::atomic<bool> returned{false};
  std::thread worker([&] {
    result = ::SendMessageA(dialog.m_hWnd, WM_USER + 11, 40, 2);
    returned = true;
  });
  std::this_thread::sleep_for(50ms);
  EXPECT_FALSE(returned) << "the sender waits while the owner does not look at its queue";
  ASSERT_TRUE(PumpUntil([&] { return returned.load(); }));
  worker.join();
  EXPECT_EQ(result, 42);
  EXPECT_EQ(dialog.handlerThread, std::this_thread::get_id());
}

TEST_F(WindowTest, ThreadsSendingToEachOtherDoNotDeadlock) {
  // We send to the other thread's window; its handler sends back to ours
  // while we wait, so the wait must run what is sent to us.
  TestDialog mine;
  ASSERT_TRUE(mine.Create(kTestDialog));
  mine.onUser = [](TestDialog&, UINT, WPARAM w, LPARAM) -> LRESULT { return static_cast<LRESULT>(w) + 1; };
  std::promise<HWND> theirsReady;
  std::atomic<bool> stop{false};
  const HWND mineHandle = mine.m_hWnd;
  std::thread other([&] {
    TestDialog theirs;
    theirs.Create(kTestDialog);
    theirs.onUser = [mineHandle](TestDialog&, UINT, WPARAM w, LPARAM) -> LRESULT {
      return ::SendMessageA(mineHandle, WM_USER, w, 0) * 2;
    };
    theirsReady.set_value(theirs.m_hWnd);
    while (!stop) {
      PumpWaitingMessages();
      std::this_thread::sleep_for(1ms);
    }
    theirs.DestroyWindow();
  });
  const HWND theirs = theirsReady.get_future().get();
  EXPECT_EQ(::SendMessageA(theirs, WM_USER, 20, 0), 42);
  stop = true;
  other.join();
}

TEST_F(WindowTest, WindowsEndWithTheirThread) {
  HWND orphan = nullptr;
  std::thread t([&] {
    static TestDialog* leaked = new TestDialog;  // outlives its thread, as a forgotten window would
    leaked->Create(kTestDialog);
    orphan = leaked->m_hWnd;
  });
  t.join();
  EXPECT_FALSE(::IsWindow(orphan));
  EXPECT_EQ(::SendMessageA(orphan, WM_USER, 0, 0), 0);
}

TEST_F(WindowTest, TimersFireOnTheOwnersThreadUntilKilledFromAnywhere) {
  TestDialog dialog;
  ASSERT_TRUE(dialog.Create(kTestDialog));
  std::atomic<int> fired{0};
  dialog.onTimer = [&](TestDialog& d, UINT_PTR id) {
    EXPECT_EQ(id, 0xfeedabeeu);
    EXPECT_EQ(d.handlerThread, std::this_thread::get_id());
    ++fired;
  };
  // Started and killed by a worker, as the download does.
  OnOtherThread([&] { EXPECT_EQ(dialog.SetTimer(0xfeedabee, 20), 0xfeedabeeu); });
  ASSERT_TRUE(PumpUntil([&] { return fired >= 3; }));
  OnOtherThread([&] { EXPECT_TRUE(dialog.KillTimer(0xfeedabee)); });
  const int atKill = fired;
  PumpUntil([] { return false; }, 100ms);
  EXPECT_EQ(fired, atKill);
  EXPECT_FALSE(dialog.KillTimer(0xfeedabee)) << "no such timer any more";
}

TEST_F(WindowTest, ALateTimerFiresOnceAndResettingItRestartsThePeriod) {
  TestDialog dialog;
  ASSERT_TRUE(dialog.Create(kTestDialog));
  int fired = 0;
  dialog.onTimer = [&](TestDialog&, UINT_PTR) { ++fired; };
  dialog.SetTimer(7, 10);
  std::this_thread::sleep_for(100ms);  // ten periods pass unseen
  PumpWaitingMessages();
  EXPECT_EQ(fired, 1);
  dialog.SetTimer(7, 1000);
  std::this_thread::sleep_for(30ms);
  PumpWaitingMessages();
  EXPECT_EQ(fired, 1) << "the new period counts from now";
}

TEST_F(WindowTest, ThreadTimerCallsItsProcedure) {
  static std::atomic<int> calls{0};
  calls = 0;
  const UINT_PTR id = ::SetTimer(nullptr, 0, 10, [](HWND hwnd, UINT message, UINT_PTR, DWORD) {
    EXPECT_EQ(hwnd, nullptr);
    EXPECT_EQ(message, WM_TIMER);
    ++calls;
  });
  ASSERT_NE(id, 0u);
  EXPECT_TRUE(PumpUntil([] { return calls >= 2; }));
  EXPECT_TRUE(::KillTimer(nullptr, id));
}

TEST_F(WindowTest, PeekMessageFiltersAndCanLeaveTheMessage) {
  TestDialog dialog;
  ASSERT_TRUE(dialog.Create(kTestDialog));
  dialog.PostMessage(WM_USER + 1);
  dialog.PostMessage(WM_USER + 2);
  ::PostMessageA(nullptr, WM_APP, 0, 0);  // a message of the thread, not of a window
  MSG msg;
  ASSERT_TRUE(::PeekMessageA(&msg, nullptr, WM_USER + 2, WM_USER + 2, PM_NOREMOVE));
  EXPECT_EQ(msg.message, WM_USER + 2u);
  ASSERT_TRUE(::PeekMessageA(&msg, reinterpret_cast<HWND>(-1), 0, 0, PM_REMOVE));
  EXPECT_EQ(msg.message, WM_APP);
  EXPECT_EQ(msg.hwnd, nullptr);
  ASSERT_TRUE(::PeekMessageA(&msg, dialog.m_hWnd, 0, 0, PM_REMOVE));
  EXPECT_EQ(msg.message, WM_USER + 1u);
  ASSERT_TRUE(::PeekMessageA(&msg, dialog.m_hWnd, 0, 0, PM_REMOVE));
  EXPECT_EQ(msg.message, WM_USER + 2u);
  EXPECT_FALSE(::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
}

TEST_F(WindowTest, DoModalRunsUntilEndDialog) {
  struct Case {
    const char* what;
    std::function<void(TestDialog&)> onInit;
    INT_PTR result;
    std::vector<std::string> events;
  };
  const std::vector<Case> cases = {
      {"ended in OnInitDialog", [](TestDialog& d) { d.EndDialog(77); }, 77, {"init", "destroy"}},
      {"OK pressed", [](TestDialog& d) { ClickButton(d.m_hWnd, IDOK); }, IDOK,
       {"init", "command 1", "ok", "destroy"}},
      {"close request", [](TestDialog& d) { d.PostMessage(WM_CLOSE); }, IDCANCEL,
       {"init", "command 2", "cancel", "destroy"}},
      {"close from the system menu", [](TestDialog& d) { d.PostMessage(WM_SYSCOMMAND, SC_CLOSE); }, IDCANCEL,
       {"init", "syscommand 61536", "command 2", "cancel", "destroy"}},
  };
  SetModalIdleDelay(10s);  // nobody waits for a user here
  for (const Case& c : cases) {
    TestDialog dialog;
    dialog.onInit = c.onInit;
    EXPECT_EQ(dialog.DoModal(), c.result) << c.what;
    EXPECT_EQ(dialog.Events(), c.events) << c.what;
    EXPECT_EQ(dialog.m_hWnd, nullptr) << c.what;
  }
}

TEST_F(WindowTest, EndDialogFromAnotherThreadWakesTheLoop) {
  SetModalIdleDelay(10s);
  TestDialog dialog;
  std::thread ender;
  dialog.onInit = [&](TestDialog& d) {
    ender = std::thread([&d] {
      std::this_thread::sleep_for(20ms);
      d.EndDialog(5);
    });
  };
  EXPECT_EQ(dialog.DoModal(), 5);
  ender.join();
}

TEST_F(WindowTest, DoModalWithoutTemplateFails) {
  TestDialog dialog(4242);
  SetLastError(0);
  EXPECT_EQ(dialog.DoModal(), -1);
  EXPECT_EQ(GetLastError(), ERROR_RESOURCE_NAME_NOT_FOUND);
  EXPECT_TRUE(dialog.Events().empty());
}

TEST_F(WindowTest, QuitEndsTheModalLoopAndIsPassedOn) {
  TestDialog dialog;
  dialog.onInit = [](TestDialog&) { PostQuitMessage(3); };
  EXPECT_EQ(dialog.DoModal(), -1);
  MSG msg;
  ASSERT_TRUE(::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
  EXPECT_EQ(msg.message, WM_QUIT);
  EXPECT_EQ(msg.wParam, 3u);
}

TEST_F(WindowTest, LongStepPumpsAndEndsOnlyWhenItReturns) {
  // A run inside a timer handler keeps the window alive by dispatching its
  // messages; a Cancel handled meanwhile ends the dialog once the run returns.
  SetModalIdleDelay(10s);
  TestDialog dialog;
  int progressSeen = 0;
  bool stillRunningAfterCancel = false;
  dialog.onUser = [&](TestDialog&, UINT, WPARAM, LPARAM) -> LRESULT {
    ++progressSeen;
    return 0;
  };
  dialog.onInit = [](TestDialog& d) { d.SetTimer(0xbada55e5, 10); };
  dialog.onTimer = [&](TestDialog& d, UINT_PTR id) {
    if (id != 0xbada55e5) return;
    d.KillTimer(id);
    std::thread worker([h = d.m_hWnd] {
      for (int i = 0; i < 5; ++i) ::PostMessageA(h, WM_USER + 10, static_cast<WPARAM>(i), 0);
      ::PostMessageA(h, WM_CLOSE, 0, 0);
    });
    worker.join();
    PumpUntil([&] { return !d.IsModalRunning(); });
    stillRunningAfterCancel = d.m_hWnd != nullptr;
    PumpUntil([] { return false; }, 30ms);
  };
  EXPECT_EQ(dialog.DoModal(), IDCANCEL);
  EXPECT_EQ(progressSeen, 5);
  EXPECT_TRUE(stillRunningAfterCancel);
}

TEST_F(WindowTest, SystemMenuCarriesAppendedCommands) {
  SetModalIdleDelay(10s);
  TestDialog dialog;
  dialog.onInit = [](TestDialog& d) {
    CMenu* menu = d.GetSystemMenu(FALSE);
    ASSERT_NE(menu, nullptr);
    const int standard = menu->GetMenuItemCount();
    EXPECT_EQ(menu->GetMenuString(SC_CLOSE, MF_BYCOMMAND), "&Close");
    menu->AppendMenu(MF_SEPARATOR);
    menu->AppendMenu(MF_STRING, kIdmAbout, "&About Test...");
    EXPECT_EQ(menu->GetMenuItemCount(), standard + 2);
    EXPECT_EQ(menu->GetMenuItemID(standard), 0u);
    EXPECT_EQ(menu->GetMenuItemID(standard + 1), kIdmAbout);
    d.PostMessage(WM_SYSCOMMAND, kIdmAbout);
  };
  INT_PTR aboutResult = 0;
  dialog.onSysCommand = [&](TestDialog& d, UINT) {
    TestDialog about(kAboutDialog, &d);
    about.onInit = [](TestDialog& a) { ClickButton(a.m_hWnd, IDOK); };
    aboutResult = about.DoModal();
    d.EndDialog(IDOK);
  };
  EXPECT_EQ(dialog.DoModal(), IDOK);
  EXPECT_EQ(aboutResult, IDOK);
  TestDialog plain(kAboutDialog);
  ASSERT_TRUE(plain.Create(kAboutDialog));
  EXPECT_NE(plain.GetSystemMenu(FALSE), nullptr);
  EXPECT_EQ(plain.GetSystemMenu(TRUE), nullptr) << "reverting answers nothing";
}

TEST_F(WindowTest, ClickButtonDoesWhatAUserCanDo) {
  TestDialog dialog;
  ASSERT_TRUE(dialog.Create(kTestDialog));
  EXPECT_TRUE(ClickButton(dialog.m_hWnd, kCloseWhenDone));
  EXPECT_EQ(dialog.IsDlgButtonChecked(kCloseWhenDone), BST_CHECKED) << "an auto check box changes at once";
  dialog.GetDlgItem(IDOK)->EnableWindow(FALSE);
  EXPECT_FALSE(ClickButton(dialog.m_hWnd, IDOK));
  EXPECT_FALSE(ClickButton(dialog.m_hWnd, kStatus)) << "a static cannot be pressed";
  EXPECT_FALSE(ClickButton(dialog.m_hWnd, 4711));
  PumpWaitingMessages();
  EXPECT_EQ(dialog.Events(), (std::vector<std::string>{"init", "command 1010"}));
}

TEST_F(WindowTest, MainWindowIsTheApplicationsUnlessTheThreadHasItsOwn) {
  CWinApp app("Test");
  TestDialog dialog;
  app.m_pMainWnd = &dialog;
  EXPECT_EQ(AfxGetApp(), &app);
  EXPECT_EQ(AfxGetAppName(), "Test");
  EXPECT_EQ(AfxGetMainWnd(), &dialog);
  OnOtherThread([&] { EXPECT_EQ(AfxGetMainWnd(), &dialog) << "a worker reaches the same window"; });
  TestDialog other;
  SetThreadMainWindow(&other);
  EXPECT_EQ(AfxGetMainWnd(), &other);
  SetThreadMainWindow(nullptr);
  EXPECT_EQ(app.LoadIcon(128), LoadIcon(128));
  EXPECT_EQ(IconResourceId(app.LoadIcon(128)), 128u);
}

}  // namespace
}  // namespace qx::ui::test
