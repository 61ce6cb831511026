#include "patcher/app/patcher_dlg.h"

#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "patcher/app/patcher_dlg_test_support.h"
#include "patcher/layout/pref_archive.h"
#include "patcher/net/my_thread.h"
#include "patcher/net/run_state.h"
#include "patcher/net/transfer_progress.h"
#include "patcher/resources/resource.h"
#include "platform/format.h"
#include "platform/ui/answers.h"
#include "platform/ui/message_queue.h"
#include "platform/ui/renderer.h"
#include "platform/ui/transcript.h"
#include "platform/ui/window.h"
#include "tests/support/test_installation.h"
#include "tools/httpd/http_server.h"

namespace {

using ::testing::Contains;
using ::testing::HasSubstr;
using ::testing::Not;
using qx::test::RunInPatcherWindow;
using qx::test::TestInstallation;
using qx::ui::CAnswerList;
using qx::ui::CTranscript;
using qx::ui::TranscriptKind;

std::vector<std::string> Statuses() {
  std::vector<std::string> out;
  for (const auto& e : CTranscript::Instance().Entries(TranscriptKind::kStatus)) out.push_back(e.text);
  return out;
}

std::vector<qx::ui::TranscriptEntry_t> Boxes() { return CTranscript::Instance().Entries(TranscriptKind::kMessageBox); }

void WriteFile(const std::string& a_sPath, const std::string& a_sContent) {
  std::filesystem::create_directories(std::filesystem::path(a_sPath).parent_path());
  std::ofstream(a_sPath, std::ios::binary) << a_sContent;
}

class PatcherDlgTest : public ::testing::Test {
 protected:
  void SetUp() override {
    qx::ui::SetRenderer(nullptr);
    CAnswerList::Instance().Clear();
    CTranscript::Instance().Clear();
    ClearPreferences();
    GetTransferProgress().bytesDone = 0;
    GetTransferProgress().bytesTotal = 0;
    GetTransferProgress().SetCurrentFileText("None");
  }
  void TearDown() override { CAnswerList::Instance().Clear(); }

  TestInstallation m_install;
};

TEST_F(PatcherDlgTest, OpensWithTheWorkerAndTheTimeOutOfThePreferences) {
  struct Case {
    const char* defaults;  // cd_image/Gui/Default/MainPrefs.xml, or none
    int timeout;
  } cases[] = {
      {nullptr, 5},
      {R"(<Prefs><value name="DimensionNetworkTimeout" value="12"/></Prefs>)", 12},
  };
  for (const Case& c : cases) {
    ClearPreferences();
    if (c.defaults) WriteFile(m_install / "cd_image/Gui/Default/MainPrefs.xml", c.defaults);
    bool ran = false;
    const INT_PTR result = RunInPatcherWindow([&](CQuorvexPatcherDlg& a_rDialog) {
      ran = true;
      ASSERT_TRUE(MyThread_c::HasInstance());
      EXPECT_NE(MyThread_c::GetInstance()->GetSocket(), nullptr) << "the worker runs";
      EXPECT_EQ(MyThread_c::GetInstance()->GetTimeout(), c.timeout);
      EXPECT_EQ(a_rDialog.m_strWorkDir, m_install.Root().substr(0, m_install.Root().size() - 1) + "\\");
    });
    EXPECT_TRUE(ran);
    EXPECT_EQ(result, IDOK);
    EXPECT_FALSE(MyThread_c::HasInstance()) << "WM_DESTROY stops the worker";
    EXPECT_THAT(TestInstallation::LogText(), HasSubstr(FormatString("Setting timeout to %i seconds\n", c.timeout)));
  }
}

TEST_F(PatcherDlgTest, DownloadStatusShowsSizesAndTheTimeLeft) {
  RunInPatcherWindow([](CQuorvexPatcherDlg& a_rDialog) {
    TransferProgress& progress = GetTransferProgress();
    progress.bytesTotal = 2000000;
    progress.bytesDone = 500000;
    progress.SetCurrentFileText("Patches\\V1-V2.RTP (Resuming Download)");
    a_rDialog.SendMessage(WM_PATCHER_DOWNLOADSTART);
    EXPECT_EQ(a_rDialog.m_nStartBytes, 500000);
    EXPECT_EQ(a_rDialog.m_nTicks, 1);

    // Nothing has arrived yet: no estimate.
    a_rDialog.SendMessage(WM_TIMER, TIMER_DOWNLOAD_PROGRESS);
    EXPECT_EQ(a_rDialog.GetStatusText(), "Patches\\V1-V2.RTP ( 488 KB / 1953 KB ) Time left: 00:00:00 ");
    // 250,000 bytes in the first 5 ticks, 1,250,000 still to come: 25 s.
    for (int tick = 2; tick <= 5; ++tick) {
      progress.bytesDone = 500000 + 62500 * (tick - 1);
      a_rDialog.SendMessage(WM_TIMER, TIMER_DOWNLOAD_PROGRESS);
    }
    EXPECT_EQ(a_rDialog.m_nSecondsLeft, 25);
    EXPECT_EQ(a_rDialog.GetStatusText(), "Patches\\V1-V2.RTP ( 732 KB / 1953 KB ) Time left: 00:00:25 ");
    EXPECT_EQ(a_rDialog.GetProgressCtrl().GetPos(), 100) << "the range is still 0..100 and holds the position";
    EXPECT_EQ(a_rDialog.m_nTicks, 6);

    a_rDialog.SendMessage(WM_PATCHER_SETRANGE, 0, 2000000);
    a_rDialog.SendMessage(WM_PATCHER_SETPOS, 750000);
    EXPECT_EQ(a_rDialog.GetProgressCtrl().GetPos(), 750000);
    const std::string status = "From the worker";
    a_rDialog.SendMessage(WM_PATCHER_SETSTATUS, reinterpret_cast<WPARAM>(status.c_str()));
    EXPECT_EQ(a_rDialog.GetStatusText(), status);
  });
}

TEST(PatcherDlgTimeSpan, FormatsHoursWithinTheDay) {
  struct Case {
    long long seconds;
    const char* text;
  } cases[] = {{0, " Time left: 00:00:00 "},
               {25, " Time left: 00:00:25 "},
               {3661, " Time left: 01:01:01 "},
               {90061, " Time left: 01:01:01 "}};
  for (const Case& c : cases) EXPECT_EQ(FormatTimeSpan(" Time left: %H:%M:%S ", c.seconds), c.text) << c.seconds;
  EXPECT_EQ(FormatTimeSpan("%D days, 100%%", 200000), "2 days, 100%");
}

TEST_F(PatcherDlgTest, ProgressCallbacksShowFractionsAndSkipRepeats) {
  RunInPatcherWindow([](CQuorvexPatcherDlg& a_rDialog) {
    a_rDialog.GetProgressCtrl().SetRange32(0, 1000);
    a_rDialog.m_strStatusSuffix = "from V1-V2.RES";
    CTranscript::Instance().Clear();

    CQuorvexPatcherDlg::PatchDatabaseProgress(0.5f);
    CQuorvexPatcherDlg::PatchDatabaseProgress(0.5004f);  // same position: no update
    EXPECT_EQ(a_rDialog.GetProgressCtrl().GetPos(), 500);
    CQuorvexPatcherDlg::ItemDataProgress(1.0f);
    CQuorvexPatcherDlg::ConversionProgress(0.256f);
    CQuorvexPatcherDlg::ConversionProgress(7.0f);  // beyond the end: shown as the end
    EXPECT_EQ(a_rDialog.GetProgressCtrl().GetPos(), 1000);
    EXPECT_EQ(CQuorvexPatcherDlg::RebuildProgress(300, 0, "Rebuilding"), 0);
    CQuorvexPatcherDlg::RebuildProgress(400, 0, nullptr);
    EXPECT_EQ(a_rDialog.GetProgressCtrl().GetPos(), 400);

    a_rDialog.GetProgressCtrl().SetStep(7);
    a_rDialog.SendMessage(WM_TIMER, TIMER_ACTIVITY);
    EXPECT_EQ(a_rDialog.GetProgressCtrl().GetPos(), 407);
  });
  EXPECT_EQ(Statuses(), (std::vector<std::string>{"Patching resourcedatabase ( 50.0 % ) from V1-V2.RES",
                                                  "Patching itemdata ( 100.0 % ) from V1-V2.RES",
                                                  "Converting RDB: 25.6%", "Converting RDB: 100.0%", "Rebuilding"}));
}

TEST_F(PatcherDlgTest, CancelDependsOnThePhase) {
  struct Case {
    const char* phase;
    bool patching;
    bool busy;
    bool quitRequested;
    const char* answer;  // nullptr: no question expected
    bool closes;
    bool quitAfter;
  } cases[] = {
      {"applying patches", true, true, false, nullptr, false, false},
      {"run over", false, false, true, nullptr, true, true},
      {"idle, No", false, false, false, "No", false, false},
      {"idle, Yes", false, false, false, "Yes", true, true},
      {"busy, Yes", false, true, false, "Yes", false, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.phase);
    CAnswerList::Instance().Clear();
    if (c.answer) CAnswerList::Instance().Set({c.answer});
    CTranscript::Instance().Clear();
    TestInstallation::ClearLog();
    bool stillOpen = false;
    const INT_PTR result = RunInPatcherWindow([&](CQuorvexPatcherDlg& a_rDialog) {
      a_rDialog.m_bPatching = c.patching;
      a_rDialog.m_bBusy = c.busy;
      SetQuitRequested(c.quitRequested);
      a_rDialog.SetStatusText("Working");
      a_rDialog.PostMessage(WM_CLOSE);
      qx::ui::PumpWaitingMessages();
      qx::ui::PumpWaitingMessages();  // WM_CLOSE turns into the Cancel command
      stillOpen = a_rDialog.IsModalRunning();
      if (stillOpen && !c.quitAfter) {
        EXPECT_EQ(a_rDialog.GetStatusText(), "Working");
      }
    });
    EXPECT_EQ(stillOpen, !c.closes);
    EXPECT_EQ(result, c.closes ? IDCANCEL : IDOK);
    EXPECT_EQ(IsQuitRequested(), c.quitAfter);
    const auto boxes = Boxes();
    if (c.answer) {
      ASSERT_EQ(boxes.size(), 1u);
      EXPECT_EQ(boxes[0].text, "Are you sure you want to cancel ?");
      EXPECT_EQ(boxes[0].buttons, "Yes/No");
      EXPECT_EQ(boxes[0].answer, c.answer);
    } else {
      EXPECT_TRUE(boxes.empty());
    }
    const std::string log = TestInstallation::LogText();
    if (c.patching) {
      EXPECT_THAT(Statuses(), Contains("YOU CAN NOT ABORT WHILE PATCHING!"));
      EXPECT_THAT(log, HasSubstr("User tried to abort while patching\n"));
    }
    if (c.quitAfter && c.answer) {
      EXPECT_THAT(Statuses(), Contains("Aborting..."));
      EXPECT_THAT(log, HasSubstr("User aborted operation.\n"));
      EXPECT_TRUE(GetTransferProgress().abortRequested);
    }
  }
  SetQuitRequested(false);
}

// The worker and the window together, against the fault server.
class PatcherDlgDownloadTest : public PatcherDlgTest {
 protected:
  void SetUp() override {
    PatcherDlgTest::SetUp();
    std::string error;
    ASSERT_TRUE(m_server.Start(0, "127.0.0.1", &error)) << error;
    std::filesystem::create_directories(m_install / "Patches");
  }
  void Trickle(int a_nChunk, int a_nDelayMs) {
    qx::httpd::FaultRule_t rule;
    rule.fault = qx::httpd::Fault::kTrickle;
    rule.method = "GET";
    rule.chunk = a_nChunk;
    rule.delayMs = a_nDelayMs;
    m_server.AddFault(rule);
  }

  qx::test::TempDir m_site;
  qx::httpd::HttpServer_c m_server{m_site.str()};
};

TEST_F(PatcherDlgDownloadTest, ADownloadReportsItsProgressToTheWindow) {
  WriteFile(m_site / "V1.RTP", std::string(60000, 'd'));
  Trickle(2000, 45);  // about 1.4 s
  RunInPatcherWindow([this](CQuorvexPatcherDlg& a_rDialog) {
    MyThread_c* worker = MyThread_c::GetInstance();
    worker->SetTimeout(-1);
    worker->GetFile("127.0.0.1", m_server.GetPort(), "V1.RTP", "Patches\\V1.RTP");
    EXPECT_TRUE(worker->WaitForCompletion());
    qx::ui::PumpWaitingMessages();
    int lower = -1, upper = -1;
    a_rDialog.GetProgressCtrl().GetRange(lower, upper);
    EXPECT_EQ(upper, 60000);
    EXPECT_EQ(a_rDialog.GetProgressCtrl().GetPos(), 0) << "the bar is reset when the download ends";
  });
  const auto statuses = Statuses();
  EXPECT_THAT(statuses, Contains("Patches\\V1.RTP"));
  bool timed = false;
  for (const std::string& s : statuses) {
    if (s.rfind("Patches\\V1.RTP ( ", 0) == 0 && s.find(" KB / 58 KB ) Time left: 00:00:0") != std::string::npos)
      timed = true;
  }
  EXPECT_TRUE(timed) << ::testing::PrintToString(statuses);
}

TEST_F(PatcherDlgDownloadTest, CancelInTheWindowStopsARunningDownloadAtOnce) {
  const std::string content(3000000, 'c');
  WriteFile(m_site / "V1.RTP", content);
  Trickle(8192, 10);  // several seconds for the whole file
  CAnswerList::Instance().Set({"Yes"});
  RunInPatcherWindow([this](CQuorvexPatcherDlg& a_rDialog) {
    a_rDialog.m_bBusy = true;
    MyThread_c* worker = MyThread_c::GetInstance();
    worker->SetTimeout(-1);
    std::thread user([&a_rDialog] {
      while (GetTransferProgress().bytesDone < 100000) std::this_thread::sleep_for(std::chrono::milliseconds(5));
      qx::ui::ClickButton(a_rDialog.GetSafeHwnd(), IDCANCEL);
    });
    const auto start = std::chrono::steady_clock::now();
    worker->GetFile("127.0.0.1", m_server.GetPort(), "V1.RTP", "Patches\\V1.RTP");
    EXPECT_FALSE(worker->WaitForCompletion());
    user.join();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    EXPECT_TRUE(IsQuitRequested());
    EXPECT_TRUE(a_rDialog.IsModalRunning()) << "a busy run ends by itself";
  });
  const auto kept = std::filesystem::file_size(m_install / "Patches/V1.RTP");
  EXPECT_GE(kept, 100000u);
  EXPECT_LT(kept, content.size());
  EXPECT_THAT(Statuses(), Contains("Aborting..."));
  SetQuitRequested(false);
}

TEST_F(PatcherDlgTest, OkStartsTheLauncherWhenTheButtonSaysSo) {
  const std::string marker = m_install / "launcher-ran";
  struct Case {
    const char* button;
    bool launcherPresent;
    bool started;
    bool failureBox;
  } cases[] = {
      {"Start Quorvex Online", true, true, false},
      {"START QUORVEX ONLINE", false, false, true},
      {"Quit", true, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.button);
    std::filesystem::remove(marker);
    std::filesystem::remove(m_install / "Quorvex.exe");
    if (c.launcherPresent) {
      WriteFile(m_install / "Quorvex.exe", "#!/bin/sh\ntouch '" + marker + "'\n");
      ::chmod((m_install / "Quorvex.exe").c_str(), 0755);
    }
    CTranscript::Instance().Clear();
    const INT_PTR result = RunInPatcherWindow([&](CQuorvexPatcherDlg& a_rDialog) {
      a_rDialog.SetDlgItemText(IDOK, c.button);
      a_rDialog.SendMessage(WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED));
      EXPECT_FALSE(a_rDialog.IsModalRunning());
    });
    EXPECT_EQ(result, IDOK);
    for (int i = 0; i < 200 && c.started && !std::filesystem::exists(marker); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(std::filesystem::exists(marker), c.started);
    EXPECT_EQ(Boxes().size(), c.failureBox ? 1u : 0u);
    if (c.failureBox) {
      EXPECT_EQ(Boxes()[0].text, "The launcher could not be started. Try running QX manually");
    }
  }
}

}  // namespace
