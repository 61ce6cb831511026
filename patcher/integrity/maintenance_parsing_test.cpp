#include <gtest/gtest.h>
#include <zlib.h>

#include <filesystem>
#include <string>
#include <vector>

#include "patcher/integrity/integrity_test_support.h"
#include "patcher/integrity/maintenance.h"
#include "tests/support/temp_dir.h"

namespace {

using qx::test::ReadBytes;
using qx::test::WriteBytes;

// "name>target" per file, "name>-" without a target.
std::vector<std::string> Pairs(const MaintenancePlan_t& plan) {
  std::vector<std::string> out;
  for (const MaintenanceFile_t& f : plan.files) {
    EXPECT_EQ(f.name + ".gz", f.download);
    out.push_back(f.name + ">" + (f.target ? *f.target : "-"));
  }
  return out;
}

TEST(MaintenanceRequest, NamesAndDirectNaming) {
  struct Case_t {
    const char* line;
    bool direct;
    std::vector<std::string> files;
  } cases[] = {
      {"", false, {}},
      {"0a1b", false, {"0a1b>-"}},
      {"0a1b  2c3d ", false, {"0a1b>-", "2c3d>-"}},
      {"checksums.chk.sig 0a1b", false, {"checksums.chk.sig>-", "0a1b>-"}},
      {"Quorvex.exe", true, {"Quorvex.exe>Quorvex.exe"}},
      {"VARNOK.PUB", true, {"VARNOK.PUB>cd_image\\data\\launcher\\VARNOK.PUB"}},
      {"patchw32.dll checksums.chk.sig data\\x.dll",
       true,
       {"patchw32.dll>patchw32.dll", "checksums.chk.sig>cd_image\\data\\launcher\\checksums.chk.sig",
        "data\\x.dll>data\\x.dll"}},
      {"Checksums.Chk", true, {"Checksums.Chk>cd_image\\data\\launcher\\Checksums.Chk"}},
  };
  for (const Case_t& c : cases) {
    SCOPED_TRACE(c.line);
    const MaintenancePlan_t plan = SplitMaintenanceRequest(c.line);
    EXPECT_EQ(c.direct, plan.directNaming);
    EXPECT_EQ(c.files, Pairs(plan));
  }
  EXPECT_EQ("15.4.1", MaintenanceVersion("15.4.1 extra words"));
  EXPECT_EQ("15.4.1", MaintenanceVersion("15.4.1"));
}

TEST(MaintenanceRequest, FilesArePairedWithTheirTargetsByKey) {
  const std::vector<std::string> list = {
      "# installation files",
      "",
      "data\\b.dat:2c3d",
      "data\\a.dat:0A1B",
      "keyonly",
      "data\\twice1.dat:dup",
      "data\\twice2.dat:dup",
      ":nopath",
  };
  struct Case_t {
    const char* name;
    const char* line;
    std::vector<std::string> files;
    std::size_t paired;
    std::size_t listEntries;
  } cases[] = {
      {"in the list's order", "2c3d 0a1b", {"2c3d>data\\b.dat", "0a1b>data\\a.dat"}, 2, 2},
      {"in another order", "0a1b 2c3d", {"0a1b>data\\a.dat", "2c3d>data\\b.dat"}, 2, 2},
      {"unknown key has no target", "0a1b ffff", {"0a1b>data\\a.dat", "ffff>-"}, 1, 1},
      {"a line without ':' or path is no target", "keyonly nopath", {"keyonly>-", "nopath>-"}, 0, 2},
      {"a key on two lines serves two requests", "dup dup dup",
       {"dup>data\\twice1.dat", "dup>data\\twice2.dat", "dup>-"}, 2, 2},
      {"a key on two lines requested once", "dup", {"dup>data\\twice1.dat"}, 1, 2},
      {"comments are not keys", "installation", {"installation>-"}, 0, 0},
  };
  for (const Case_t& c : cases) {
    SCOPED_TRACE(c.name);
    MaintenancePlan_t plan = SplitMaintenanceRequest(c.line);
    ASSERT_FALSE(plan.directNaming);
    const MaintenancePairing_t pairing = PairMaintenanceTargets(plan, list);
    EXPECT_EQ(c.paired, pairing.paired);
    EXPECT_EQ(c.listEntries, pairing.listEntries);
    EXPECT_EQ(c.files, Pairs(plan));
  }
}

TEST(MaintenanceRequest, CauseTexts) {
  struct Case_t {
    int error;
    const char* cause;
  } cases[] = {
      {0, "because the requested file does not exist!"},
      {10050, "because the network is down."},
      {10051, "because the network is unreachable (no route to host)."},
      {10060, "because of a timeout."},
      {10064, "because the server is down."},
      {10065, "because the server is unreachable."},
      {10061, "Unknown error 10061"},
  };
  for (const Case_t& c : cases) EXPECT_EQ(c.cause, MaintenanceCause(c.error)) << c.error;
}

TEST(MaintenanceRequest, ServerPath) {
  EXPECT_EQ("patches/Maintenance/15.4.1/0a1b.gz", MaintenanceServerPath("patches", "15.4.1", "0a1b.gz"));
  EXPECT_EQ("/patches/Maintenance/15.4.1/0a1b.gz", MaintenanceServerPath("/patches/", "15.4.1", "0a1b.gz"));
  EXPECT_EQ("\\p\\Maintenance/1/x.gz", MaintenanceServerPath("\\p\\", "1", "x.gz"));
  EXPECT_EQ("/Maintenance/1/x.gz", MaintenanceServerPath("", "1", "x.gz"));
}

std::string Gzip(const std::string& data) {
  std::string out(compressBound(static_cast<uLong>(data.size())) + 64, '\0');
  z_stream s{};
  deflateInit2(&s, Z_BEST_SPEED, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY);
  s.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  s.avail_in = static_cast<uInt>(data.size());
  s.next_out = reinterpret_cast<Bytef*>(out.data());
  s.avail_out = static_cast<uInt>(out.size());
  deflate(&s, Z_FINISH);
  out.resize(s.total_out);
  deflateEnd(&s);
  return out;
}

TEST(DecompressGzFile, OutcomesAndWhatIsLeftBehind) {
  std::string content;
  for (int i = 0; i < 20000; ++i) content += "line " + std::to_string(i) + "\n";  // several read blocks
  const std::string gz = Gzip(content);
  std::string badCrc = gz;
  badCrc[badCrc.size() - 6] ^= 0x55;  // inside the CRC-32 of the trailer
  struct Case_t {
    const char* name;
    std::string stored;    // the bytes in the ".gz" file ("" and !present: none)
    bool present;
    const char* argument;  // the name given
    bool ok;
    std::string output;    // the decompressed file on success
  } cases[] = {
      {"gzip data", gz, true, "Quorvex.exe.gz", true, content},
      {"name without .gz", gz, true, "Quorvex.exe", true, content},
      {"data that is not gzip passes through", "plain bytes\n", true, "Quorvex.exe.gz", true, "plain bytes\n"},
      {"empty file", "", true, "Quorvex.exe.gz", true, ""},
      {"stream cut short", gz.substr(0, gz.size() / 2), true, "Quorvex.exe.gz", false, ""},
      {"damaged check value", badCrc, true, "Quorvex.exe.gz", false, ""},
      {"no input", "", false, "Quorvex.exe.gz", false, ""},
  };
  for (const Case_t& c : cases) {
    SCOPED_TRACE(c.name);
    qx::test::TempDir dir;
    const std::string input = dir / "Quorvex.exe.gz";
    if (c.present) WriteBytes(input, c.stored);
    WriteBytes(dir / "Quorvex.exe", "old content");
    EXPECT_EQ(c.ok, DecompressGzFile((dir.str() + "/" + c.argument).c_str()));
    if (c.ok) {
      EXPECT_EQ(c.output, ReadBytes(dir / "Quorvex.exe"));
      EXPECT_FALSE(std::filesystem::exists(input));
    } else {
      EXPECT_EQ(c.present, std::filesystem::exists(input));  // kept for the next attempt
    }
  }
}

TEST(DecompressGzFile, OutputThatCannotBeWritten) {
  qx::test::TempDir dir;
  std::filesystem::create_directory(dir / "Quorvex.exe");  // a folder where the output goes
  WriteBytes(dir / "Quorvex.exe.gz", Gzip("x"));
  EXPECT_FALSE(DecompressGzFile((dir / "Quorvex.exe.gz").c_str()));
  EXPECT_TRUE(std::filesystem::exists(dir / "Quorvex.exe.gz"));
}

}  // namespace
