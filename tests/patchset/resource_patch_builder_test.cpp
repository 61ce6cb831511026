#include "tools/author/resource_patch_builder.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "tests/patchset/patchset_test_support.h"

namespace qx::test {
namespace {

namespace fmt = ResourcePatchFormat;

class ResourcePatchBuilderTest : public ::testing::Test {
 protected:
  // Builds the patch from `a_old` to `a_new`; the patch file's bytes, or "" on failure.
  std::string Build(const Contents& a_old, const Contents& a_new, std::uint32_t a_nVersion = fmt::kVersionCurrent,
                    author::ResourcePatchStats_t* a_pStats = nullptr) {
    std::filesystem::remove_all(m_dir / "db");
    std::filesystem::create_directories(m_dir / "db");
    testing::internal::CaptureStderr();
    SeedDatabase(m_dir / "db/old.dat", a_old);
    SeedDatabase(m_dir / "db/new.dat", a_new);
    testing::internal::GetCapturedStderr();
    author::ResourcePatchOptions_t options;
    options.version = a_nVersion;
    m_error.clear();
    if (!author::BuildResourcePatch(m_dir / "db/old.dat", m_dir / "db/new.dat", m_dir / "out.res", options, a_pStats,
                                    &m_error))
      return "";
    return ReadFile(m_dir / "out.res");
  }

  TempDir m_dir;
  std::string m_error;
};

TEST_F(ResourcePatchBuilderTest, EntriesAreWrittenInTheFileLayout) {
  const std::string tpl1 = TemplateRecord(1000020, 1, "ab");
  const std::string tpl2 = TemplateRecord(1040005, 2, "c");
  // A blob with the template header of another key is an ordinary blob.
  const std::string foreign = TemplateRecord(1000020, 99, "x");
  const struct {
    const char* name;
    Contents old, now;
    std::uint32_t version;
    std::string expected;
  } cases[] = {
      {"no difference", {{{1, 1}, "a"}}, {{{1, 1}, "a"}}, fmt::kVersionCurrent,
       ResBytes().Header(fmt::kVersionCurrent, 0, 0).Word(0).str()},
      {"delete, change, add, empty",
       {{{1, 1}, "gone"}, {{2, 2}, "old"}, {{9, 9}, "full"}},
       {{{2, 2}, "new"}, {{3, 3}, "added"}, {{9, 9}, ""}},
       fmt::kVersionCurrent,
       ResBytes().Header(fmt::kVersionCurrent, 4, 1).Delete(1, 1).Word(3).StoreBlob(2, 2, "new").StoreBlob(3, 3, "added").StoreBlob(9, 9, "").str()},
      {"templates travel in one package after the other entries",
       {{{1040005, 2}, "not yet a template"}},
       {{{1000020, 1}, tpl1}, {{1040005, 2}, tpl2}, {{1000020, 5}, foreign}, {{7, 7}, "x"}},
       fmt::kVersionCurrent,
       ResBytes()
           .Header(fmt::kVersionCurrent, 3, 0)
           .Word(3)
           .StoreBlob(7, 7, "x")
           .StoreBlob(1000020, 5, foreign)
           .StoreRaw(1000020, 0, TemplatePackage(TemplateEntry(0x0002, 1, "ab") + TemplateEntry(0x8001, 2, "c")))
           .str()},
      {"the old format has no binary patches",
       {{{1000009, 1}, "old"}},
       {{{1000009, 1}, "new"}, {{1000026, 2}, "added"}},
       fmt::kVersionCompressedOnly,
       ResBytes().Header(fmt::kVersionCompressedOnly, 2, 0).Word(2).StoreBlob(1000009, 1, "new").StoreBlob(1000026, 2, "added").str()},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Build(c.old, c.now, c.version), c.expected) << m_error;
  }
}

TEST_F(ResourcePatchBuilderTest, BinaryPatchTypesGetBinaryPatches) {
  author::ResourcePatchStats_t stats;
  const std::string patch = Build({{{1000001, 1}, "old blob"}, {{1000010, 3}, "gone"}},
                                  {{{1000001, 1}, "new blob"}, {{1000026, 2}, "added"}, {{1000009, 4}, ""}},
                                  fmt::kVersionCurrent, &stats);
  ASSERT_FALSE(patch.empty()) << m_error;
  EXPECT_EQ(stats.deletes, 1u);
  EXPECT_EQ(stats.binaryPatches, 3u);
  EXPECT_EQ(stats.compressed, 0u);
  EXPECT_EQ(stats.size, patch.size());
}

TEST_F(ResourcePatchBuilderTest, WhatCannotBeBuilt) {
  // Key (1000020, 0) is the package's own: only a template can sit there.
  EXPECT_EQ(Build({}, {{{1000020, 0}, "not a template"}}), "");
  EXPECT_NE(m_error.find("(1000020, 0)"), std::string::npos) << m_error;
  EXPECT_FALSE(std::filesystem::exists(m_dir / "out.res"));
  EXPECT_FALSE(std::filesystem::exists(m_dir / "out.res.part"));
  EXPECT_FALSE(std::filesystem::exists(m_dir / "out.res.stores"));

  author::ResourcePatchOptions_t options;
  EXPECT_FALSE(author::BuildResourcePatch(m_dir / "missing.dat", "", m_dir / "out.res", options, nullptr, &m_error));
  options.version = 988537;
  EXPECT_FALSE(author::BuildResourcePatch("", "", m_dir / "out.res", options, nullptr, &m_error));
}

TEST_F(ResourcePatchBuilderTest, NoOldDatabaseStoresEverything) {
  author::ResourcePatchOptions_t options;
  testing::internal::CaptureStderr();
  SeedDatabase(m_dir / "new.dat", {{{1, 1}, "a"}, {{2, 2}, ""}});
  testing::internal::GetCapturedStderr();
  ASSERT_TRUE(author::BuildResourcePatch("", m_dir / "new.dat", m_dir / "out.res", options, nullptr, &m_error)) << m_error;
  EXPECT_EQ(ReadFile(m_dir / "out.res"),
            ResBytes().Header(fmt::kVersionCurrent, 2, 0).Word(2).StoreBlob(1, 1, "a").StoreBlob(2, 2, "").str());
}

}  // namespace
}  // namespace qx::test
