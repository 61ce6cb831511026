// The rdbtool program as support staff use it.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "tests/support/temp_dir.h"

namespace {

struct ToolRun {
  int status;
  std::string out;
};

// Runs rdbtool with `arguments` (shell words); standard error goes to the output too.
ToolRun Tool(const std::string& arguments) {
  std::string command = std::string(QX_BINARY_DIR) + "/bin/rdbtool " + arguments + " 2>&1";
  FILE* pipe = ::popen(command.c_str(), "r");
  ToolRun run{-1, ""};
  if (!pipe) return run;
  char buffer[4096];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof(buffer), pipe)) > 0) run.out.append(buffer, n);
  int status = ::pclose(pipe);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

TEST(RdbTool, HelpAndUsage) {
  ToolRun help = Tool("--help");
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("usage: rdbtool COMMAND DATABASE"), std::string::npos);
  EXPECT_NE(help.out.find("rebuild DATABASE"), std::string::npos);
  EXPECT_EQ(Tool("").status, 2);
  EXPECT_EQ(Tool("frobnicate x").status, 2);
  EXPECT_EQ(Tool("get x 1").status, 2);
  EXPECT_EQ(Tool("get x 1 banana").status, 2);
  EXPECT_EQ(Tool("stamp x 300").status, 2);
}

TEST(RdbTool, StoresInspectsAndRepairs) {
  qx::test::TempDir dir;
  const std::string db = dir / "ResourceDatabase";
  std::ofstream(dir / "blob.bin", std::ios::binary) << std::string("hello\0world", 11);

  EXPECT_EQ(Tool("put " + db + " 1000001 7 " + (dir / "blob.bin")).status, 1);  // no pair yet
  EXPECT_FALSE(std::filesystem::exists(db + ".dat"));
  ASSERT_EQ(Tool("put --create " + db + " 1000001 7 " + (dir / "blob.bin")).status, 0);
  ASSERT_EQ(Tool("put " + db + ".dat 0x10 0xffffffff " + (dir / "blob.bin")).status, 0);
  ToolRun list = Tool("list " + db);
  EXPECT_EQ(list.status, 0);
  EXPECT_EQ(list.out, "16 4294967295 11\n1000001 7 11\n");
  EXPECT_EQ(Tool("list " + db + " 16").out, "16 4294967295 11\n");
  ToolRun get = Tool("get " + db + " 1000001 7");
  EXPECT_EQ(get.status, 0);
  EXPECT_EQ(get.out, std::string("hello\0world", 11));
  EXPECT_EQ(Tool("get " + db + " 1000001 8").status, 1);

  ToolRun info = Tool("info " + db);
  EXPECT_EQ(info.status, 0);
  EXPECT_NE(info.out.find("format stamp    145\n"), std::string::npos);
  EXPECT_NE(info.out.find("creation option set\n"), std::string::npos);
  EXPECT_NE(info.out.find("records         2\n"), std::string::npos);
  EXPECT_NE(info.out.find("index \"ItemIdx\""), std::string::npos);

  // An older-format pair for conversion tests.
  EXPECT_EQ(Tool("stamp " + db + " 144").out, "144\n");
  EXPECT_EQ(Tool("stamp " + db).out, "144\n");
  EXPECT_EQ(Tool("option " + db + " off").out, "off\n");

  ToolRun verify = Tool("verify " + db);
  EXPECT_EQ(verify.status, 0) << verify.out;
  EXPECT_NE(verify.out.find("verdict         sound"), std::string::npos);
  std::filesystem::resize_file(db + ".idx", 10);
  verify = Tool("verify " + db);
  EXPECT_EQ(verify.status, 1);
  EXPECT_NE(verify.out.find("problem"), std::string::npos);
  ToolRun rebuild = Tool("rebuild " + db);
  EXPECT_EQ(rebuild.status, 0) << rebuild.out;
  EXPECT_NE(rebuild.out.find("Rebuilding index file."), std::string::npos);
  EXPECT_NE(rebuild.out.find("records before 2, after 2; result 0"), std::string::npos);
  EXPECT_EQ(Tool("verify " + db).status, 0);

  EXPECT_EQ(Tool("delete " + db + " 16 4294967295").status, 0);
  EXPECT_EQ(Tool("delete " + db + " 16 4294967295").status, 1);
  EXPECT_EQ(Tool("list " + db).out, "1000001 7 11\n");
}

}  // namespace
