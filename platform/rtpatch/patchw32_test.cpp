// The library as the patcher uses it: loaded from "patchw32.dll" in the
// working folder, entry found by name, patch named relative to the working
// folder with '\' and in any letter case.
#include <dlfcn.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>

#include "platform/os/library.h"
#include "platform/rtpatch/builder.h"
#include "platform/rtpatch/rtpatch.h"
#include "platform/rtpatch/testing/tree_fixture.h"
#include "tests/support/temp_dir.h"

namespace qx::rtpatch {
namespace {

using namespace testing;

class WorkingFolder {
 public:
  explicit WorkingFolder(const std::string& path) : m_previous(std::filesystem::current_path()) {
    std::filesystem::current_path(path);
  }
  ~WorkingFolder() { std::filesystem::current_path(m_previous); }

 private:
  std::filesystem::path m_previous;
};

TEST(Patchw32, LoadedLibraryAppliesAPatchOfThePatchesFolder) {
  qx::test::TempDir dir;
  const std::string install = dir / "install";
  WriteTree(dir / "old", {{"Quorvex.exe", Binary(8000, 1)}, {"cd_image/data/a.dat", Binary(9000, 2)}});
  WriteTree(dir / "new", {{"Quorvex.exe", Edited(Binary(8000, 1), 3)}, {"cd_image/data/a.dat", Binary(9000, 2)},
                          {"cd_image/data/b.dat", "b"}});
  WriteTree(install, {{"Quorvex.exe", Binary(8000, 1)}, {"cd_image/data/a.dat", Binary(9000, 2)}});
  std::string error;
  ASSERT_TRUE(BuildFolderPatch(dir / "old", dir / "new", dir / "V15-1-V15-2.RTP", {}, nullptr, &error)) << error;
  std::filesystem::create_directory(install + "/Patches");
  std::filesystem::rename(dir / "V15-1-V15-2.RTP", install + "/Patches/V15-1-V15-2.RTP");
  std::filesystem::copy_file(QX_BINARY_DIR "/bin/patchw32.dll", install + "/patchw32.dll");

  WorkingFolder cwd(install);
  // Only the C entry is exported; the library's own symbols stay inside.
  void* raw = ::dlopen("./patchw32.dll", RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(raw, nullptr) << ::dlerror();
  EXPECT_NE(::dlsym(raw, "RTPatchApply32"), nullptr);
  EXPECT_EQ(::dlsym(raw, "_ZN2qx7rtpatch14DescribeResultEj"), nullptr);
  ::dlclose(raw);

  // As the patcher loads it.
  HMODULE library = LoadLibraryA("patchw32.dll");
  ASSERT_NE(library, nullptr);
  auto apply = reinterpret_cast<RTPATCHAPPLY32_FN>(GetProcAddress(library, "RTPatchApply32@12"));
  ASSERT_NE(apply, nullptr);
  Recording rec;
  EXPECT_EQ(apply("Patches\\v15-1-v15-2.rtp", &Recorder::Callback, 1), kOk);
  EXPECT_EQ(rec.recorder.Count(kCallbackFileCount), 1);
  EXPECT_EQ(rec.recorder.Names(), (std::vector<std::string>{"Quorvex.exe", "cd_image\\data\\b.dat"}));
  EXPECT_EQ(apply("Patches\\missing.rtp", &Recorder::Callback, 1), kPatchNotFound);
  FreeLibrary(library);

  Tree expected = Snapshot(dir / "new");
  expected["patchw32.dll"] = ReadFile(install + "/patchw32.dll");
  expected["Patches/"] = "";
  expected["Patches/V15-1-V15-2.RTP"] = ReadFile(install + "/Patches/V15-1-V15-2.RTP");
  EXPECT_EQ(Snapshot(install), expected);
}

}  // namespace
}  // namespace qx::rtpatch
