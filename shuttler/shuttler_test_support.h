// Test support for Shuttler: a temporary medium (the working folder with the
// patcher and "Patches\") and installations beside it, the registry store and
// mount table pointed at temporary files, and a dialog that shows its state.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/fs/shell_file_operation.h"
#include "platform/os/registry.h"
#include "platform/ui/answers.h"
#include "platform/ui/dialog.h"
#include "platform/ui/renderer.h"
#include "platform/ui/transcript.h"
#include "shuttler/resources.h"
#include "shuttler/shuttler_dlg.h"
#include "tests/support/temp_dir.h"

namespace shuttler::test {

namespace fs = std::filesystem;

inline void WriteFile(const fs::path& path, const std::string& content) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << content;
}

inline std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// Names below `folder`, relative, sorted ("sub/" for folders).
inline std::vector<std::string> Listing(const fs::path& folder) {
  std::vector<std::string> names;
  if (!fs::exists(folder)) return names;
  for (const auto& entry : fs::recursive_directory_iterator(folder)) {
    std::string name = fs::relative(entry.path(), folder).string();
    names.push_back(entry.is_directory() ? name + "/" : name);
  }
  std::sort(names.begin(), names.end());
  return names;
}

// Makes `folder` an installation (its marker file exists).
inline void MakeInstallation(const fs::path& folder) {
  WriteFile(folder / "cd_image" / "data" / "db" / "ResourceDatabase.dat", "db");
}

// What the fake patcher recorded in `folder`: its working folder, then its
// arguments. Waits up to `timeout` for the record, since the patcher is
// started without waiting.
inline std::optional<std::vector<std::string>> PatcherRecord(
    const fs::path& folder, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
  const auto end = std::chrono::steady_clock::now() + timeout;
  const fs::path file = folder / "QuorvexPatcher.started";
  while (!fs::exists(file)) {
    if (std::chrono::steady_clock::now() > end) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  std::vector<std::string> lines;
  std::istringstream in(ReadFile(file));
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// A Shuttler dialog that keeps what its controls showed when it opened and
// when it was closed.
class ProbeDlg : public CShuttlerDlg {
 public:
  struct State {
    bool install = false, cancel = false, browse = false, search = false;
    std::string folderText, searchText;
  };
  State atInit, atClose;
  std::function<void(ProbeDlg&)> onInit;

  State Capture() const {
    State s;
    s.install = GetDlgItem(IDOK)->IsWindowEnabled();
    s.cancel = GetDlgItem(IDCANCEL)->IsWindowEnabled();
    s.browse = GetDlgItem(IDC_BROWSE)->IsWindowEnabled();
    s.search = GetDlgItem(IDC_SEARCH)->IsWindowEnabled();
    GetDlgItemText(IDC_FOLDER, s.folderText);
    GetDlgItemText(IDC_SEARCH, s.searchText);
    return s;
  }

 protected:
  BOOL OnInitDialog() override {
    const BOOL result = CShuttlerDlg::OnInitDialog();
    atInit = Capture();
    if (onInit) onInit(*this);
    return result;
  }
  void OnCancel() override {
    atClose = Capture();
    CShuttlerDlg::OnCancel();
  }
};

// Each test runs in a medium folder of its own as the working folder (holding
// the fake patcher as "QuorvexPatcher.exe" and an empty "Patches"), with
// its own registry store and mount table, no renderer and an empty answers
// list and transcript.
class ShuttlerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    RegisterShuttlerResources();
    qx::ui::SetRenderer(nullptr);
    qx::ui::CAnswerList::Instance().Clear();
    qx::ui::CTranscript::Instance().Clear();
    qx::ui::SetModalIdleDelay(std::chrono::milliseconds(30));
    ::setenv("QX_REGISTRY_FILE", (m_dir / "registry.reg").c_str(), 1);
    ::setenv("QX_MOUNTS_FILE", (m_dir / "mounts").c_str(), 1);
    ::unsetenv("QX_SHFILEOP_ABORT_AFTER");
    m_medium = m_dir.path() / "medium";
    fs::create_directories(m_medium / "Patches");
    fs::copy_file(QX_FAKE_PATCHER, m_medium / "QuorvexPatcher.exe");
    m_oldCwd = fs::current_path();
    fs::current_path(m_medium);
    WriteFile(m_dir.path() / "mounts", "");
  }
  void TearDown() override {
    fs::current_path(m_oldCwd);
    qx::fs::SetShellFileOperationHook({});
    qx::ui::SetRenderer(nullptr);
    qx::ui::CAnswerList::Instance().Clear();
    qx::ui::SetModalIdleDelay(std::chrono::milliseconds(200));
    ::unsetenv("QX_REGISTRY_FILE");
    ::unsetenv("QX_MOUNTS_FILE");
  }

  fs::path Dir() const { return m_dir.path(); }
  const fs::path& Medium() const { return m_medium; }

  void SetInstallPath(const std::string& path) {
    ASSERT_EQ(SHSetValueA(HKEY_LOCAL_MACHINE, "Software\\Quorvex Online", "InstallPath", REG_SZ, path.c_str(),
                          static_cast<DWORD>(path.size() + 1)),
              ERROR_SUCCESS);
  }

  // Mount table lines "device folder type"; each folder is created.
  void SetMounts(const std::vector<std::string>& lines) {
    std::string table;
    for (const std::string& line : lines) {
      std::istringstream fields(line);
      std::string device, folder;
      fields >> device >> folder;
      fs::create_directories(folder);
      table += line + " rw 0 0\n";
    }
    WriteFile(Dir() / "mounts", table);
  }

  void Answers(std::vector<std::string> answers) { qx::ui::CAnswerList::Instance().Set(std::move(answers)); }

  static std::vector<qx::ui::TranscriptEntry_t> Entries(qx::ui::TranscriptKind kind) {
    return qx::ui::CTranscript::Instance().Entries(kind);
  }
  static std::vector<std::string> Texts(qx::ui::TranscriptKind kind) {
    std::vector<std::string> texts;
    for (const auto& e : Entries(kind)) texts.push_back(e.text);
    return texts;
  }

  static std::string FoundQuestion(const fs::path& folder) {
    return "Found an Quorvex Online installation in " + folder.string() +
           ". If this is the correct installation, click YES. If not, click NO to continue searching.";
  }

 private:
  qx::test::TempDir m_dir;
  fs::path m_medium;
  fs::path m_oldCwd;
};

}  // namespace shuttler::test
