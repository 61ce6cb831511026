#include "patcher/layout/pref_archive.h"

#include <gtest/gtest.h>
#include <tinyxml.h>

#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "patcher/layout/layout_test_support.h"

namespace {

namespace fs = std::filesystem;
using qx::test::Touch;

class PrefArchiveTest : public testing::Test {
 protected:
  void SetUp() override { ClearPreferences(); }
  void TearDown() override { ClearPreferences(); }

  std::string Write(const std::string& name, const std::string& xml) {
    std::string path = dir_ / name;
    Touch(path, xml);
    return path;
  }

  qx::test::TempDir dir_;
};

Variant Parsed(const char* text) {
  Variant v;
  EXPECT_TRUE(ParseVariant(v, text)) << text;
  return v;
}

std::string Prefs(const std::string& children) { return "<Prefs>" + children + "</Prefs>"; }

const std::string kDeclared =
    Prefs(R"(<value name="DimensionNetworkTimeout" value="20" min="5" max="60"/>)");

TEST_F(PrefArchiveTest, NetworkTimeout) {
  struct Case {
    const char* what;
    std::optional<std::string> defaults;  // nullopt: no file
    std::optional<std::string> user;
    int timeout;
  } cases[] = {
      {"declared, no user file", kDeclared, std::nullopt, 20},
      {"user value below the minimum", kDeclared, Prefs(R"(<value name="DimensionNetworkTimeout" value="2"/>)"), 5},
      {"user value above the maximum", kDeclared,
       Prefs(R"(<value name="DimensionNetworkTimeout" value="1000"/>)"), 60},
      {"user value within the limits", kDeclared, Prefs(R"(<value name="DimensionNetworkTimeout" value="30.5"/>)"),
       30},
      {"user value not recognised", kDeclared, Prefs(R"(<value name="DimensionNetworkTimeout" value="abc"/>)"), 20},
      {"user value for an undeclared name", Prefs(R"(<value name="Other" value="1"/>)"),
       Prefs(R"(<value name="DimensionNetworkTimeout" value="30"/>)"), 5},
      {"user limits are ignored", Prefs(R"(<value name="DimensionNetworkTimeout" value="20"/>)"),
       Prefs(R"(<value name="DimensionNetworkTimeout" value="3" min="10" max="15"/>)"), 3},
      {"declared as a float", Prefs(R"(<value name="DimensionNetworkTimeout" value="7.9"/>)"), std::nullopt, 7},
      {"declared as a string", Prefs(R"(<value name="DimensionNetworkTimeout" value='"30"'/>)"), std::nullopt, 30},
      {"element names in any case", Prefs(R"(<VALUE name="DimensionNetworkTimeout" value="9"/>)"), std::nullopt, 9},
      {"attribute names are exact", Prefs(R"(<value NAME="DimensionNetworkTimeout" value="9"/>)"), std::nullopt, 5},
      {"a later declaration overwrites",
       Prefs(R"(<value name="DimensionNetworkTimeout" value="10"/><value name="DimensionNetworkTimeout" value="12"/>)"),
       std::nullopt, 12},
      {"no defaults file", std::nullopt, Prefs(R"(<value name="DimensionNetworkTimeout" value="30"/>)"), 5},
      {"defaults file does not parse", "<Prefs><value name=", std::nullopt, 5},
      {"defaults file has no root element", "<!-- nothing -->", std::nullopt, 5},
      {"empty defaults file", "", std::nullopt, 5},
      {"user file does not parse", kDeclared, "<Prefs><value", 20},
      {"children without name or value", Prefs(R"(<value value="9"/><value name="DimensionNetworkTimeout"/>)"),
       std::nullopt, 5},
  };
  for (const Case& c : cases) {
    ClearPreferences();
    std::string defaults = dir_ / "MainPrefs.xml", user = dir_ / "Prefs.xml";
    fs::remove(defaults);
    fs::remove(user);
    if (c.defaults) Write("MainPrefs.xml", *c.defaults);
    if (c.user) Write("Prefs.xml", *c.user);
    EXPECT_EQ(LoadNetworkTimeoutPreference(defaults, user), c.timeout) << c.what;
  }
}

TEST_F(PrefArchiveTest, LoadResultAndDeclarations) {
  EXPECT_FALSE(LoadPrefArchive(dir_ / "missing.xml", 1, true));
  EXPECT_FALSE(LoadPrefArchiveText("not xml at all <", 1, true));
  EXPECT_TRUE(LoadPrefArchiveText("<Root/>", 1, true));
  // Windows line ends and a path written the Windows way.
  fs::create_directories(dir_ / "Gui/Default");
  Write("Gui/Default/MainPrefs.xml", "<Prefs>\r\n<value name=\"A\" value=\"1\"/>\r\n</Prefs>\r\n");
  EXPECT_TRUE(LoadPrefArchive(dir_.str() + "\\gui\\default\\mainprefs.XML", 1, true));
  EXPECT_EQ(GetPrefValue("A").AsInt32(), 1);
  EXPECT_TRUE(PrefExists("A"));
  EXPECT_FALSE(PrefExists("a"));  // names are case-sensitive
  Variant missing = GetPrefValue("nothing");
  EXPECT_EQ(missing.Type(), TYPE_BOOL);
  EXPECT_FALSE(missing.AsBool());

  // Source numbers outside 0 to 4 are not registered.
  Preference_t entry;
  entry.m_sName = "B";
  entry.m_vValue.SetInt32(1);
  entry.m_nSource = 5;
  RegisterPrefDefault(entry, true, true);
  EXPECT_FALSE(PrefExists("B"));
  entry.m_nSource = 4;
  RegisterPrefDefault(entry, true, true);
  EXPECT_TRUE(PrefExists("B"));
  entry.m_vValue.SetInt32(2);
  RegisterPrefDefault(entry, false, false);  // no overwrite: the first declaration stands
  EXPECT_EQ(GetPrefValue("B").AsInt32(), 1);
  RegisterPrefDefault(entry, true, false);
  EXPECT_EQ(GetPrefValue("B").AsInt32(), 2);
  EXPECT_EQ(GetPrefValue("B", true).AsInt32(), 1);  // the kept copy is from the keeping declaration
}

TEST_F(PrefArchiveTest, KeptDefaults) {
  ASSERT_TRUE(LoadPrefArchiveText(Prefs(R"(<value name="Absent" value="1"/>)"
                                        R"(<value name="True" value="2" keep_default="TRUE"/>)"
                                        R"(<value name="False" value="3" keep_default="false"/>)"
                                        R"(<value name="Other" value="4" keep_default="yes"/>)"),
                                  1, true));
  ASSERT_TRUE(LoadPrefArchiveText(Prefs(R"(<value name="Absent" value="10"/><value name="False" value="30"/>)"), 1,
                                  false));
  struct Case {
    const char* name;
    int registered;
    std::optional<int> kept;
  } cases[] = {{"Absent", 10, 1}, {"True", 2, 2}, {"False", 30, std::nullopt}, {"Other", 4, std::nullopt}};
  for (const Case& c : cases) {
    EXPECT_EQ(GetPrefValue(c.name).AsInt32(), c.registered) << c.name;
    Variant kept = GetPrefValue(c.name, true);
    if (c.kept) {
      EXPECT_EQ(kept.AsInt32(), *c.kept) << c.name;
    } else {
      EXPECT_EQ(kept.Type(), TYPE_BOOL) << c.name;
    }
  }
}

TEST_F(PrefArchiveTest, ClampingKeepsTheLimitsType) {
  ASSERT_TRUE(LoadPrefArchiveText(Prefs(R"(<value name="V" value="1.5" min="1" max="2.5"/>)"), 1, true));
  SetPrefValue("V", Parsed("0"));
  EXPECT_EQ(GetPrefValue("V").Type(), TYPE_INT32);  // the minimum as declared
  EXPECT_EQ(GetPrefValue("V").AsInt32(), 1);
  SetPrefValue("V", Parsed("3.5"));
  EXPECT_EQ(GetPrefValue("V").Type(), TYPE_FLOAT);
  EXPECT_EQ(GetPrefValue("V").AsFloat(), 2.5f);
  SetPrefValue("V", Parsed("\"text\""));  // "text" sorts after "1" and "2.500000"
  EXPECT_EQ(GetPrefValue("V").AsFloat(), 2.5f);
  SetPrefValue("V", Parsed("Rect(9,9,9,9)"));  // never clamped
  EXPECT_EQ(GetPrefValue("V").Type(), TYPE_RECT);
}

// Reads one archive element from XML text.
Message ReadArchiveText(const std::string& xml) {
  TiXmlDocument document;
  document.Parse(xml.c_str());
  EXPECT_FALSE(document.Error()) << xml;
  Message m(-1);
  if (document.RootElement()) ReadMessageFromXml(m, *document.RootElement());
  return m;
}

template <class T>
T ItemOf(const Message& m, const char* name, std::int32_t type, int index = 0) {
  const void* data = nullptr;
  std::uint32_t size = 0;
  T value{};
  EXPECT_EQ(m.FindData(name, type, index, &data, &size), 0) << name;
  if (data && size == sizeof(T)) std::memcpy(&value, data, sizeof(T));
  return value;
}

std::string StringOf(const Message& m, const char* name, int index = 0) {
  const void* data = nullptr;
  if (m.FindData(name, TYPE_STRING, index, &data, nullptr) != 0) return "<missing>";
  return static_cast<const char*>(data);
}

TEST_F(PrefArchiveTest, ArchiveFields) {
  Message m = ReadArchiveText(R"xml(
    <Archive name="Main" code="42">
      <Int32 name="i" value="5"/>
      <INT8 name="i8" value="300"/>
      <Int16 name="bad" value="abc"/>
      <Int64 name="big" value="5000000000"/>
      <Bool name="b" value="true"/>
      <Float name="f" value="2.5"/>
      <Double name="d" value="7"/>
      <String name="s" value='"hello"'/>
      <String name="unquoted" value="hello"/>
      <String name="number" value="12"/>
      <Rect name="r" value="Rect(1,2,3,4)"/>
      <Rect name="fromPoint" value="IPoint(1,2)"/>
      <IRect name="ir" value="nonsense"/>
      <Point name="p" value="Point(1,2)"/>
      <IPoint name="ip" value="IPoint(3,4)"/>
      <Vector3 name="v" value="Vector3(1,2,3)"/>
      <Identity name="id" value="Identity(7,8)"/>
      <Pointer name="ptr" value="Ptr(10)"/>
      <Variant name="var" value="IPoint(5,6)"/>
      <Int32 name="novalue"/>
      <Int32 value="1"/>
      <Unknown name="u" value="1"/>
      <Array name="list">
        <Int32 value="1"/><Int32 value="2"/><String value='"x"'/>
        <Array name="inner"><Int32 value="9"/></Array>
      </Array>
      <Archive name="child" code="7"><Int32 name="c" value="3"/></Archive>
      <VariantArchive name="va"><Int32 name="c" value="4"/></VariantArchive>
    </Archive>)xml");
  EXPECT_EQ(m.Code(), 42);
  EXPECT_EQ(ItemOf<std::int32_t>(m, "i", TYPE_INT32), 5);
  EXPECT_EQ(ItemOf<std::int8_t>(m, "i8", TYPE_INT8), 44);
  EXPECT_EQ(ItemOf<std::int16_t>(m, "bad", TYPE_INT16), 0);
  EXPECT_EQ(ItemOf<std::int64_t>(m, "big", TYPE_INT64), 5000000000LL);
  EXPECT_EQ(ItemOf<std::uint8_t>(m, "b", TYPE_BOOL), 1);
  EXPECT_EQ(ItemOf<float>(m, "f", TYPE_FLOAT), 2.5f);
  EXPECT_EQ(ItemOf<double>(m, "d", TYPE_DOUBLE), 7.0);
  EXPECT_EQ(StringOf(m, "s"), "hello");
  EXPECT_EQ(StringOf(m, "unquoted"), "void");
  EXPECT_EQ(StringOf(m, "number"), "12");
  EXPECT_EQ(ItemOf<Rect_t>(m, "r", TYPE_RECT).bottom, 4.0f);
  EXPECT_EQ(ItemOf<Rect_t>(m, "fromPoint", TYPE_RECT).right, 1.0f);
  EXPECT_EQ(ItemOf<IRect_t>(m, "ir", TYPE_IRECT).right, -1);
  EXPECT_EQ(ItemOf<Point_t>(m, "p", TYPE_POINT).y, 2.0f);
  EXPECT_EQ(ItemOf<IPoint_t>(m, "ip", TYPE_IPOINT).x, 3);
  EXPECT_EQ(ItemOf<Vector3_t>(m, "v", TYPE_VECTOR3).z, 3.0f);
  EXPECT_EQ(ItemOf<Identity_t>(m, "id", TYPE_IDENTITY).second, 8u);
  EXPECT_EQ(ItemOf<std::uint32_t>(m, "ptr", TYPE_POINTER), 0x10u);
  for (const char* skipped : {"novalue", "u", "inner"}) {
    EXPECT_EQ(m.GetInfo(skipped, nullptr, nullptr), -1) << skipped;
  }

  // The Array: one Int32 field of two items and one String field, under its name.
  std::int32_t type = 0, count = 0;
  EXPECT_EQ(ItemOf<std::int32_t>(m, "list", TYPE_INT32, 1), 2);
  EXPECT_EQ(m.FindData("list", TYPE_INT32, 2, nullptr, nullptr), -1);
  EXPECT_EQ(StringOf(m, "list"), "x");
  ASSERT_EQ(m.GetInfo("child", &type, &count), 0);
  EXPECT_EQ(type, TYPE_ARCHIVE);

  const void* data = nullptr;
  std::uint32_t size = 0;
  ASSERT_EQ(m.FindData("child", TYPE_ARCHIVE, 0, &data, &size), 0);
  Message child(data, size);
  EXPECT_EQ(child.Code(), 7);
  EXPECT_EQ(ItemOf<std::int32_t>(child, "c", TYPE_INT32), 3);

  ASSERT_EQ(m.FindData("va", TYPE_VARIANT, 0, &data, &size), 0);
  Variant va;
  ASSERT_TRUE(va.Unflatten(data, size));
  Message inner;
  ASSERT_TRUE(va.AsMessage(inner));
  EXPECT_EQ(ItemOf<std::int32_t>(inner, "c", TYPE_INT32), 4);

  ASSERT_EQ(m.FindData("var", TYPE_VARIANT, 0, &data, &size), 0);
  Variant var;
  ASSERT_TRUE(var.Unflatten(data, size));
  EXPECT_EQ(var.Type(), TYPE_IPOINT);
  EXPECT_EQ(var.AsIPoint().y, 6);
}

TEST_F(PrefArchiveTest, ArchiveCodes) {
  struct Case {
    const char* attribute;
    std::int32_t code;
  } cases[] = {{"", 0}, {R"(code="12")", 12}, {R"(code="-3")", -3}, {R"(code="x")", 0}, {R"(code="5x")", 5}};
  for (const Case& c : cases) {
    EXPECT_EQ(ReadArchiveText(std::string("<Archive ") + c.attribute + "/>").Code(), c.code) << c.attribute;
  }
}

TEST_F(PrefArchiveTest, DeepNestingIsNotFollowed) {
  std::string open, close;
  for (int i = 0; i < kMaxArchiveDepth + 10; ++i) {
    open += "<Archive name=\"n\">";
    close += "</Archive>";
  }
  Message m = ReadArchiveText("<Archive>" + open + close + "</Archive>");
  int depth = 0;
  const void* data = nullptr;
  std::uint32_t size = 0;
  while (m.FindData("n", TYPE_ARCHIVE, 0, &data, &size) == 0) {
    m = Message(data, size);
    ++depth;
  }
  EXPECT_EQ(depth, kMaxArchiveDepth);

  // A document nested far deeper than any archive is refused before parsing.
  std::string deep(200000, ' ');
  for (std::size_t i = 0; i < deep.size(); i += 3) deep.replace(i, 3, "<a>");
  EXPECT_FALSE(LoadPrefArchiveText(deep, 1, true));
}

TEST_F(PrefArchiveTest, UserArchivesAreCompletedFromDeclarations) {
  ASSERT_TRUE(LoadPrefArchiveText(Prefs(R"(
      <Archive name="Colors" code="1"><Int32 name="a" value="1"/><Int32 name="b" value="2"/></Archive>
      <Archive name="KeyBindings"><Int32 name="a" value="1"/><Int32 name="b" value="2"/></Archive>)"),
                                  1, true));
  ASSERT_TRUE(LoadPrefArchiveText(Prefs(R"(
      <Archive name="Colors" code="2"><Int32 name="b" value="5"/><String name="c" value='"x"'/></Archive>
      <Archive name="KeyBindings"><Int32 name="b" value="5"/></Archive>
      <Archive name="Undeclared"><Int32 name="b" value="5"/></Archive>)"),
                                  1, false));
  Message colors, keys;
  ASSERT_TRUE(GetPrefValue("Colors").AsMessage(colors));
  EXPECT_EQ(colors.Code(), 2);
  EXPECT_EQ(ItemOf<std::int32_t>(colors, "a", TYPE_INT32), 1);
  EXPECT_EQ(ItemOf<std::int32_t>(colors, "b", TYPE_INT32), 5);
  EXPECT_EQ(StringOf(colors, "c"), "x");
  EXPECT_EQ(colors.CountNames(), 3);

  ASSERT_TRUE(GetPrefValue("KeyBindings").AsMessage(keys));
  EXPECT_EQ(keys.CountNames(), 1);
  EXPECT_EQ(ItemOf<std::int32_t>(keys, "b", TYPE_INT32), 5);
  EXPECT_FALSE(PrefExists("Undeclared"));
}

TEST(PrefArchiveLayout, TimeoutFromTheInstallationsArchives) {
  qx::test::TempDir dir;
  std::string base = fs::canonical(dir.path()).string();
  std::string inst = base + "/Games/Quorvex Online";
  Touch(inst + "/cd_image/Gui/Default/MainPrefs.xml", kDeclared);
  qx::test::ChildResult r = qx::test::RunInChild([&] {
    qx::test::EnterInstallation(inst, nullptr, base + "/appdata");
    Touch(GetPrefsPath() + "Prefs.xml", Prefs(R"(<value name="DimensionNetworkTimeout" value="45"/>)"));
    std::printf("%d", LoadNetworkTimeoutPreference());
  });
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.out, "45");
}

}  // namespace
