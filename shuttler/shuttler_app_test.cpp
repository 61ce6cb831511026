#include "shuttler/shuttler_app.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include "shuttler/shuttler_test_support.h"

extern char** environ;

namespace shuttler::test {
namespace {

TEST(ShuttlerCommandLineTest, PassesOnTheFirstArgumentThatIsNoSwitch) {
  struct Case {
    std::vector<std::string> arguments;
    std::string passThrough;
  } cases[] = {
      {{}, ""},
      {{"15.2"}, "15.2"},
      {{"/auto", "15.2"}, "15.2"},
      {{"-x", "MAINTENANCE:15.2", "16.0"}, "MAINTENANCE:15.2"},
      {{"/p", "-q"}, ""},
      {{"C:\\Program Files\\x"}, "C:\\Program Files\\x"},
  };
  for (const Case& c : cases) {
    CCommandLineInfo info;
    CShuttlerApp::ParseArguments(c.arguments, info);
    EXPECT_EQ(info.m_strFileName, c.passThrough) << ::testing::PrintToString(c.arguments);
  }
}

// Runs the real Shuttler.exe in `folder` with `arguments` and the QX_*
// variables `variables` (others of the test's own environment are dropped);
// returns its exit status, or -1 when it had to be stopped.
int RunShuttler(const fs::path& folder, const std::vector<std::string>& arguments,
                const std::vector<std::string>& variables, const fs::path& output) {
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) {
    if (std::string(*e).rfind("QX_", 0) != 0) env.emplace_back(*e);
  }
  env.insert(env.end(), variables.begin(), variables.end());
  std::vector<char*> envp;
  for (std::string& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);

  std::vector<std::string> args{QX_SHUTTLER_EXE};
  args.insert(args.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  const std::string cwd = fs::current_path().string();
  fs::current_path(folder);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  pid_t pid = -1;
  const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  fs::current_path(cwd);
  if (spawned != 0) return -1;

  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  int status = 0;
  while (::waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > end) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

using ShuttlerProgramTest = ShuttlerTest;

TEST_F(ShuttlerProgramTest, UnattendedScanInstallAndPatcherStart) {
  const fs::path disk = Dir() / "disk", cdrom = Dir() / "cd";
  SetMounts({"/dev/sr0 " + cdrom.string() + " iso9660", "/dev/sda1 " + disk.string() + " ext4"});
  MakeInstallation(cdrom / "Quorvex");
  const fs::path inst = disk / "Games" / "Quorvex Online";
  MakeInstallation(inst);
  WriteFile(inst / "Patches" / "old.RTP", "old");
  WriteFile(inst / "Rename.ini", "[rename]");
  WriteFile(Medium() / "Patches" / "V1-1-V1-2.RTP", "rtp");
  WriteFile(Medium() / "Patches" / "V1-1-V1-2.RES", "res");

  const fs::path transcript = Dir() / "transcript.txt";
  const int status = RunShuttler(Medium(), {"/silent", "15.2", "16.0"},
                                 {"QX_REGISTRY_FILE=" + (Dir() / "registry.reg").string(),
                                  "QX_MOUNTS_FILE=" + (Dir() / "mounts").string(),
                                  "QX_ANSWERS=Click:1004, Yes, Click:Install",
                                  "QX_TRANSCRIPT=" + transcript.string()},
                                 Dir() / "output.txt");
  EXPECT_EQ(status, 0) << ReadFile(Dir() / "output.txt");

  const std::string lines = ReadFile(transcript);
  EXPECT_NE(lines.find("caption\tQuorvex Online Patch Installer\n"), std::string::npos) << lines;
  EXPECT_NE(lines.find("status\tScanning " + disk.string() + "/ Please wait\n"), std::string::npos) << lines;
  EXPECT_NE(lines.find("box\tYes/No\tquestion\t" + FoundQuestion(inst) + "\tYes\tlist\n"), std::string::npos)
      << lines;
  EXPECT_NE(lines.find("click\tInstall\tlist\n"), std::string::npos) << lines;
  EXPECT_EQ(lines.find(cdrom.string()), std::string::npos) << "the CD-ROM is not searched";

  EXPECT_EQ(Listing(inst / "Patches"), (std::vector<std::string>{"V1-1-V1-2.RES", "V1-1-V1-2.RTP"}));
  EXPECT_FALSE(fs::exists(inst / "Rename.ini"));
  const auto record = PatcherRecord(inst);
  ASSERT_TRUE(record);
  EXPECT_EQ(*record, (std::vector<std::string>{inst.string(), "15.2"}));
}

TEST_F(ShuttlerProgramTest, NobodyToAnswerClosesWithoutChanges) {
  const fs::path inst = Dir() / "Quorvex";
  MakeInstallation(inst);
  WriteFile(inst / "Patches" / "old.RTP", "old");
  SetInstallPath(inst.string());
  const fs::path transcript = Dir() / "transcript.txt";
  const int status = RunShuttler(Medium(), {},
                                 {"QX_REGISTRY_FILE=" + (Dir() / "registry.reg").string(),
                                  "QX_MOUNTS_FILE=" + (Dir() / "mounts").string(),
                                  "QX_TRANSCRIPT=" + transcript.string()},
                                 Dir() / "output.txt");
  EXPECT_EQ(status, 0) << ReadFile(Dir() / "output.txt");
  const std::string lines = ReadFile(transcript);
  EXPECT_NE(lines.find("status\t" + inst.string() + "\n"), std::string::npos) << lines;
  EXPECT_NE(lines.find("close\tQuorvex Online Patch Installer\tdefault"), std::string::npos) << lines;
  EXPECT_EQ(Listing(inst / "Patches"), std::vector<std::string>{"old.RTP"});
  EXPECT_FALSE(PatcherRecord(inst, std::chrono::milliseconds(200)));
}

}  // namespace
}  // namespace shuttler::test
