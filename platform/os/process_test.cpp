#include "platform/os/process.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <optional>

#include "platform/os/command_line.h"
#include "platform/os/waitable.h"
#include "tests/support/temp_dir.h"

namespace {

using Args = std::vector<std::string>;

// Sets (or unsets) an environment variable for one scope.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, std::optional<std::string> value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    value ? ::setenv(name, value->c_str(), 1) : ::unsetenv(name);
  }
  ~ScopedEnv() { old_ ? ::setenv(name_, old_->c_str(), 1) : ::unsetenv(name_); }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

class ScopedWorkingFolder {
 public:
  explicit ScopedWorkingFolder(const std::filesystem::path& folder) : saved_(std::filesystem::current_path()) {
    std::filesystem::current_path(folder);
  }
  ~ScopedWorkingFolder() { std::filesystem::current_path(saved_); }

 private:
  std::filesystem::path saved_;
};

// What the test child wrote: its working folder, its rebuilt command line, its argv.
struct Report {
  std::string cwd;
  std::string commandLine;
  Args argv;
};

Report ReadReport(const std::string& file) {
  std::ifstream in(file, std::ios::binary);
  std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<std::string> fields;
  size_t start = 0;
  while (start < all.size()) {
    size_t end = all.find('\0', start);
    fields.push_back(all.substr(start, end - start));
    start = end + 1;
  }
  Report report;
  if (fields.size() >= 2) {
    report.cwd = fields[0];
    report.commandLine = fields[1];
    report.argv.assign(fields.begin() + 2, fields.end());
  }
  return report;
}

// Waits until the report file exists (for programs started without a handle).
Report AwaitReport(const std::string& file) {
  for (int i = 0; i < 500 && !std::filesystem::exists(file); ++i) ::usleep(10000);
  return ReadReport(file);
}

std::string Real(const std::filesystem::path& path) { return std::filesystem::canonical(path).string(); }

class ProcessTest : public ::testing::Test {
 protected:
  qx::test::TempDir dir_;
  std::string report_ = dir_ / "report";
  ScopedEnv reportEnv_{"QX_CHILD_REPORT", dir_ / "report"};
};

TEST_F(ProcessTest, CreateProcessSplitsTheCommandLineAndTheChildSeesItWhole) {
  std::string line = std::string("\"") + QX_TEST_CHILD + R"(" 15.2 "a b" "D:\My Backup\\" x\"y)";
  PROCESS_INFORMATION info{};
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  ASSERT_TRUE(CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info));
  EXPECT_EQ(WaitForSingleObject(info.hProcess, 10000), WAIT_OBJECT_0);
  DWORD code = 1;
  EXPECT_TRUE(GetExitCodeProcess(info.hProcess, &code));
  EXPECT_EQ(code, 0u);
  EXPECT_GT(info.dwProcessId, 0u);
  EXPECT_TRUE(CloseHandle(info.hProcess));
  EXPECT_TRUE(CloseHandle(info.hThread));

  Report report = ReadReport(report_);
  Args expected = {QX_TEST_CHILD, "15.2", "a b", R"(D:\My Backup\)", R"(x"y)"};
  EXPECT_EQ(report.argv, expected);
  EXPECT_EQ(report.cwd, std::filesystem::current_path().string());
  // The child's own command line splits back into exactly what was passed.
  EXPECT_EQ(qx::os::SplitWindowsCommandLine(report.commandLine), expected);
  // The process was collected: no zombie is left.
  EXPECT_EQ(::waitpid(static_cast<pid_t>(info.dwProcessId), nullptr, WNOHANG), -1);
}

TEST_F(ProcessTest, BareProgramNamesAreFoundInTheWorkingFolder) {
  std::filesystem::copy_file(QX_TEST_CHILD, dir_.path() / "Quorvex.exe");
  std::filesystem::create_directories(dir_.path() / "elsewhere");
  ScopedWorkingFolder cwd(dir_.path());
  std::string line = "quorvex.EXE 15.2 /Automation";
  PROCESS_INFORMATION info{};
  STARTUPINFOA startup{};
  ASSERT_TRUE(CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                             (dir_.str() + "\\ELSEWHERE").c_str(), &startup, &info));
  WaitForSingleObject(info.hProcess, 10000);
  CloseHandle(info.hProcess);
  CloseHandle(info.hThread);
  Report report = ReadReport(report_);
  EXPECT_EQ(report.argv, (Args{"quorvex.EXE", "15.2", "/Automation"}));
  EXPECT_EQ(report.cwd, Real(dir_.path() / "elsewhere"));
}

TEST_F(ProcessTest, EnvironmentBlockAndExitCode) {
  std::string block = "QX_CHILD_REPORT=" + report_ + std::string(1, '\0') + "QX_CHILD_EXIT=3" + std::string(2, '\0');
  std::string line = QX_TEST_CHILD;
  PROCESS_INFORMATION info{};
  STARTUPINFOA startup{};
  ScopedEnv noReport("QX_CHILD_REPORT", std::nullopt);
  ASSERT_TRUE(
      CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, block.data(), nullptr, &startup, &info));
  EXPECT_EQ(WaitForSingleObject(info.hThread, 10000), WAIT_OBJECT_0);
  DWORD code = 0;
  GetExitCodeProcess(info.hProcess, &code);
  EXPECT_EQ(code, 3u);
  EXPECT_TRUE(std::filesystem::exists(report_));
  CloseHandle(info.hProcess);
  CloseHandle(info.hThread);
}

TEST_F(ProcessTest, FailuresAreReportedBeforeAnythingRuns) {
  std::string text = dir_ / "notes.txt";
  std::ofstream(text) << "just text";
  std::string garbage = dir_ / "garbage.exe";
  std::ofstream(garbage) << "\x01\x02 not a program";
  ::chmod(garbage.c_str(), 0755);
  struct Case {
    std::string line;
    const char* folder;
    DWORD error;
  } cases[] = {
      {"NoSuchProgram.exe arg", nullptr, ERROR_FILE_NOT_FOUND},
      {dir_ / "missing/prog", nullptr, ERROR_PATH_NOT_FOUND},
      {text, nullptr, ERROR_ACCESS_DENIED},
      {dir_.str(), nullptr, ERROR_ACCESS_DENIED},
      {garbage, nullptr, ERROR_BAD_EXE_FORMAT},
      {QX_TEST_CHILD, "/no/such/folder", ERROR_DIRECTORY},
      {"", nullptr, ERROR_INVALID_PARAMETER},
  };
  for (Case& c : cases) {
    SCOPED_TRACE(c.line);
    PROCESS_INFORMATION info{};
    STARTUPINFOA startup{};
    EXPECT_FALSE(CreateProcessA(nullptr, c.line.data(), nullptr, nullptr, FALSE, 0, nullptr, c.folder, &startup, &info));
    EXPECT_EQ(GetLastError(), c.error);
  }
}

TEST_F(ProcessTest, TerminateEndsAProcessWithTheGivenCode) {
  ScopedEnv sleep("QX_CHILD_SLEEP_MS", std::string("20000"));
  std::string line = QX_TEST_CHILD;
  PROCESS_INFORMATION info{};
  STARTUPINFOA startup{};
  ASSERT_TRUE(CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info));
  EXPECT_EQ(WaitForSingleObject(info.hProcess, 50), WAIT_TIMEOUT);
  DWORD code = 0;
  GetExitCodeProcess(info.hProcess, &code);
  EXPECT_EQ(code, STILL_ACTIVE);
  EXPECT_TRUE(TerminateProcess(info.hProcess, 77));
  EXPECT_EQ(WaitForSingleObject(info.hProcess, 10000), WAIT_OBJECT_0);
  GetExitCodeProcess(info.hProcess, &code);
  EXPECT_EQ(code, 77u);
  CloseHandle(info.hProcess);
  CloseHandle(info.hThread);
}

TEST_F(ProcessTest, SpawnvPassesArgumentsExactly) {
  std::filesystem::copy_file(QX_TEST_CHILD, dir_.path() / "Quorvex.exe");
  std::string launcher = dir_.str() + "\\QUORVEX.EXE";
  const char* argv[] = {"Quorvex.exe", "two words", R"(back\slash\)", nullptr};
  std::intptr_t handle = _spawnv(P_NOWAIT, launcher.c_str(), argv);
  ASSERT_NE(handle, -1);
  EXPECT_EQ(WaitForSingleObject(reinterpret_cast<HANDLE>(handle), 10000), WAIT_OBJECT_0);
  CloseHandle(reinterpret_cast<HANDLE>(handle));
  EXPECT_EQ(ReadReport(report_).argv, (Args{"Quorvex.exe", "two words", R"(back\slash\)"}));

  ScopedEnv exitCode("QX_CHILD_EXIT", std::string("5"));
  EXPECT_EQ(_spawnv(P_WAIT, launcher.c_str(), argv), 5);
  errno = 0;
  EXPECT_EQ(_spawnv(P_NOWAIT, (dir_ / "missing.exe").c_str(), argv), -1);
  EXPECT_EQ(errno, ENOENT);
}

TEST_F(ProcessTest, ShellExecuteStartsProgramsInTheirFolder) {
  std::filesystem::create_directories(dir_.path() / "game");
  std::filesystem::copy_file(QX_TEST_CHILD, dir_.path() / "game" / "QuorvexPatcher.exe");
  std::string folder = dir_.str() + "\\Game\\";
  HINSTANCE result = ShellExecuteA(nullptr, nullptr, (folder + "QuorvexPatcher.exe").c_str(), "15.2", folder.c_str(),
                                   SW_SHOWNORMAL);
  EXPECT_GT(reinterpret_cast<std::intptr_t>(result), 32);
  Report report = AwaitReport(report_);
  EXPECT_EQ(report.argv, (Args{Real(dir_.path() / "game" / "QuorvexPatcher.exe"), "15.2"}));
  EXPECT_EQ(report.cwd, Real(dir_.path() / "game"));

  // A relative name is looked up in the given folder; empty parameters give no arguments.
  std::filesystem::remove(report_);
  result = ShellExecuteA(nullptr, "open", "quorvexpatcher.exe", "", folder.c_str(), SW_SHOWNORMAL);
  EXPECT_GT(reinterpret_cast<std::intptr_t>(result), 32);
  EXPECT_EQ(AwaitReport(report_).argv.size(), 1u);

  auto code = [](HINSTANCE h) { return static_cast<int>(reinterpret_cast<std::intptr_t>(h)); };
  EXPECT_EQ(code(ShellExecuteA(nullptr, nullptr, (folder + "Missing.exe").c_str(), nullptr, nullptr, 1)), SE_ERR_FNF);
  EXPECT_EQ(code(ShellExecuteA(nullptr, nullptr, "x.exe", nullptr, (dir_ / "nofolder").c_str(), 1)), SE_ERR_PNF);
  EXPECT_EQ(code(ShellExecuteA(nullptr, "print", (folder + "QuorvexPatcher.exe").c_str(), nullptr, nullptr, 1)),
            SE_ERR_NOASSOC);
}

TEST_F(ProcessTest, ShellExecuteHandsAddressesAndDocumentsToTheDesktop) {
  std::filesystem::create_directories(dir_.path() / "bin");
  std::string opened = dir_ / "opened";
  {
    std::ofstream script(dir_.path() / "bin" / "xdg-open");
    script << "#!/bin/sh\nprintf '%s\\n' \"$@\" > \"" << opened << ".part\"\nmv \"" << opened << ".part\" \""
           << opened << "\"\n";
  }
  ::chmod((dir_.path() / "bin" / "xdg-open").c_str(), 0755);
  std::ofstream(dir_.path() / "Changes.txt") << "notes";

  auto code = [](HINSTANCE h) { return static_cast<int>(reinterpret_cast<std::intptr_t>(h)); };
  {
    ScopedEnv path("PATH", dir_.str() + "/bin:/usr/bin:/bin");
    EXPECT_GT(code(ShellExecuteA(nullptr, nullptr, "https://news.example/patch?x=1", nullptr, nullptr, 1)), 32);
    for (int i = 0; i < 500 && !std::filesystem::exists(opened); ++i) ::usleep(10000);
    std::ifstream in(opened);
    std::string line;
    std::getline(in, line);
    EXPECT_EQ(line, "https://news.example/patch?x=1");
    std::filesystem::remove(opened);

    EXPECT_GT(code(ShellExecuteA(nullptr, nullptr, (dir_ / "changes.TXT").c_str(), nullptr, nullptr, 1)), 32);
    for (int i = 0; i < 500 && !std::filesystem::exists(opened); ++i) ::usleep(10000);
    std::ifstream in2(opened);
    std::getline(in2, line);
    EXPECT_EQ(line, Real(dir_.path() / "Changes.txt"));
  }
  ScopedEnv path("PATH", dir_ / "empty");
  EXPECT_EQ(code(ShellExecuteA(nullptr, nullptr, "https://news.example/", nullptr, nullptr, 1)), SE_ERR_NOASSOC);
}

}  // namespace
