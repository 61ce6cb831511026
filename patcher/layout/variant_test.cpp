#include "patcher/layout/variant.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

namespace {

Variant Parsed(const char* text) {
  Variant v;
  EXPECT_TRUE(ParseVariant(v, text)) << text;
  return v;
}

TEST(Variant, ParseAndFormat) {
  struct Case {
    const char* text;
    bool recognised;
    std::int32_t type;
    const char* formatted;  // VariantToString of the result
  } cases[] = {
      {"true", true, TYPE_BOOL, "true"},
      {"FaLsE", true, TYPE_BOOL, "false"},
      {"42", true, TYPE_INT32, "42"},
      {"-5", true, TYPE_INT32, "-5"},
      {"007", true, TYPE_INT32, "7"},
      {"2147483647", true, TYPE_INT32, "2147483647"},
      {"-2147483648", true, TYPE_INT32, "-2147483648"},
      {"2147483648", true, TYPE_INT64, "2147483648"},
      {"-2147483649", true, TYPE_INT64, "-2147483649"},
      {"9223372036854775807", true, TYPE_INT64, "9223372036854775807"},
      {"99999999999999999999", false, 0, nullptr},
      {"7.9", true, TYPE_FLOAT, "7.900000"},
      {"-.5", true, TYPE_FLOAT, "-0.500000"},
      {"1.", true, TYPE_FLOAT, "1.000000"},
      {"1.2.3", false, 0, nullptr},
      {"", false, 0, nullptr},
      {"-", false, 0, nullptr},
      {".", false, 0, nullptr},
      {"-.", false, 0, nullptr},
      {"12a", false, 0, nullptr},
      {" 12", false, 0, nullptr},
      {"\"30\"", true, TYPE_STRING, "30"},
      {"\"", true, TYPE_STRING, ""},
      {"\"a", true, TYPE_STRING, ""},
      {"\"abc", true, TYPE_STRING, "ab"},
      {"\"a\"b\"", true, TYPE_STRING, "a\"b"},
      {"Rect(1,2,3,4)", true, TYPE_RECT, ""},
      {"Rect( 1, 2,\t3, 4)", true, TYPE_RECT, ""},
      {"Rect (1,2,3,4)", false, 0, nullptr},
      {"rect(1,2,3,4)", false, 0, nullptr},
      {"Rect(1,2,3)", false, 0, nullptr},
      {"IRect(1,2,3,4)", true, TYPE_IRECT, ""},
      {"Point(1.5,2)", true, TYPE_POINT, ""},
      {"IPoint(-1,2)", true, TYPE_IPOINT, ""},
      {"Identity(7,8)", true, TYPE_IDENTITY, ""},
      {"Vector3(1,2,3)", true, TYPE_VECTOR3, ""},
      {"Ptr(1234abcd)", true, TYPE_POINTER, "1234ABCD"},
      {"void", true, TYPE_ANY, "void"},
      {"VOID", true, TYPE_ANY, "void"},
      {"hello", false, 0, nullptr},
  };
  for (const Case& c : cases) {
    Variant v;
    v.SetInt32(-77);  // an unrecognised text leaves this in place
    EXPECT_EQ(ParseVariant(v, c.text), c.recognised) << '"' << c.text << '"';
    if (c.recognised) {
      EXPECT_EQ(v.Type(), c.type) << '"' << c.text << '"';
      EXPECT_EQ(VariantToString(v), c.formatted) << '"' << c.text << '"';
    } else {
      EXPECT_EQ(v.Type(), TYPE_INT32) << '"' << c.text << '"';
      EXPECT_EQ(v.AsInt32(), -77) << '"' << c.text << '"';
    }
  }
  Variant none;
  EXPECT_FALSE(ParseVariant(none, nullptr));
}

TEST(Variant, ParsedGeometricValues) {
  Rect_t r = Parsed("Rect(1, 2.5,-3,4)").AsRect();
  EXPECT_EQ(std::vector<float>({r.left, r.top, r.right, r.bottom}), std::vector<float>({1, 2.5f, -3, 4}));
  IRect_t ir = Parsed("IRect(1,-2,3,4)").AsIRect();
  EXPECT_EQ(std::vector<int>({ir.left, ir.top, ir.right, ir.bottom}), std::vector<int>({1, -2, 3, 4}));
  Identity_t id = Parsed("Identity(4000000000,8)").AsIdentity();
  EXPECT_EQ(id.first, 4000000000u);
  EXPECT_EQ(id.second, 8u);
  Vector3_t v3 = Parsed("Vector3(1,2,3.5)").AsVector3();
  EXPECT_EQ(v3.z, 3.5f);
  EXPECT_EQ(Parsed("Ptr(0x10)").AsPointer(), 0x10u);
}

TEST(Variant, NumberConversions) {
  Variant f79, neg, big, nan, s30, sAbc, sTrue, sZero, s12, sHalf, i64, i300, bTrue, v;
  f79.SetFloat(7.9f);
  neg.SetDouble(-7.9);
  big.SetDouble(1e30);
  nan.SetDouble(std::nan(""));
  s30.SetString("30");
  sAbc.SetString("abc");
  sTrue.SetString("TRUE");
  sZero.SetString("0");
  s12.SetString("12");
  sHalf.SetString("2.5");
  i64.SetInt64(0x100000005LL);
  i300.SetInt32(300);
  bTrue.SetBool(true);

  EXPECT_EQ(f79.AsInt32(), 7);
  EXPECT_EQ(neg.AsInt32(), -7);
  EXPECT_EQ(big.AsInt64(), std::numeric_limits<std::int64_t>::max());
  EXPECT_EQ(nan.AsInt32(), 0);
  EXPECT_EQ(s30.AsInt32(), 30);
  EXPECT_EQ(sAbc.AsInt32(), 0);
  EXPECT_TRUE(sTrue.AsBool());
  EXPECT_FALSE(sZero.AsBool());
  EXPECT_TRUE(s12.AsBool());
  EXPECT_FALSE(sAbc.AsBool());
  EXPECT_EQ(sHalf.AsDouble(), 2.5);
  EXPECT_EQ(i64.AsInt32(), 5);
  EXPECT_EQ(i64.AsInt64(), 0x100000005LL);
  EXPECT_EQ(i300.AsInt8(), 44);
  EXPECT_EQ(bTrue.AsInt32(), 1);
  EXPECT_EQ(bTrue.AsDouble(), 1.0);
  EXPECT_EQ(i300.AsPointer(), 0u);
  EXPECT_EQ(v.AsString(), "void");
  EXPECT_EQ(v.AsInt32(), 0);
  EXPECT_FALSE(v.AsBool());
}

TEST(Variant, GeometricConversions) {
  auto rect = [](const Rect_t& r) { return std::vector<float>{r.left, r.top, r.right, r.bottom}; };
  auto irect = [](const IRect_t& r) { return std::vector<int>{r.left, r.top, r.right, r.bottom}; };
  auto point = [](const Point_t& p) { return std::vector<float>{p.x, p.y}; };
  auto ipoint = [](const IPoint_t& p) { return std::vector<int>{p.x, p.y}; };
  Variant ir = Parsed("IRect(1,2,3,4)"), ip = Parsed("IPoint(5,6)"), r = Parsed("Rect(1.9,-2.9,3,4)"),
          p = Parsed("Point(7.5,8.5)"), i = Parsed("12");

  EXPECT_EQ(rect(ir.AsRect()), std::vector<float>({1, 2, 3, 4}));
  EXPECT_EQ(rect(ip.AsRect()), std::vector<float>({5, 6, 5, 6}));
  EXPECT_EQ(rect(p.AsRect()), std::vector<float>({7.5f, 8.5f, 7.5f, 8.5f}));
  EXPECT_EQ(rect(i.AsRect()), std::vector<float>({0, 0, -1, -1}));
  EXPECT_EQ(irect(r.AsIRect()), std::vector<int>({1, -2, 3, 4}));
  EXPECT_EQ(irect(p.AsIRect()), std::vector<int>({7, 8, 7, 8}));
  EXPECT_EQ(irect(i.AsIRect()), std::vector<int>({0, 0, -1, -1}));
  EXPECT_EQ(point(ir.AsPoint()), std::vector<float>({1, 2}));
  EXPECT_EQ(point(r.AsPoint()), std::vector<float>({1.9f, -2.9f}));
  EXPECT_EQ(point(i.AsPoint()), std::vector<float>({0, 0}));
  EXPECT_EQ(ipoint(r.AsIPoint()), std::vector<int>({1, -2}));
  EXPECT_EQ(ipoint(ip.AsIPoint()), std::vector<int>({5, 6}));
  EXPECT_EQ(ir.AsIdentity().first, 0u);
  EXPECT_EQ(ir.AsVector3().x, 0.0f);
}

TEST(Variant, Ordering) {
  struct Case {
    const char* value;
    const char* limit;
    bool less, greater;
  } cases[] = {
      {"2", "5", true, false},
      {"7", "7", false, false},
      {"7.5", "7", false, true},        // Float: the limit converted to Float
      {"7", "7.9", false, false},       // Int32: the limit truncated to 7
      {"3000000000", "5", false, true},  // Int64
      {"false", "true", true, false},
      {"\"b\"", "\"a\"", false, true},
      {"\"10\"", "9", true, false},     // against a number: by text form
      {"\"\xe9\"", "\"a\"", false, true},  // bytes compare unsigned
      {"Rect(0,0,0,0)", "Rect(1,1,1,1)", false, false},
      {"IPoint(0,0)", "IPoint(1,1)", false, false},
      {"void", "5", false, false},
  };
  for (const Case& c : cases) {
    Variant value = Parsed(c.value), limit = Parsed(c.limit);
    EXPECT_EQ(value.IsLessThan(limit), c.less) << c.value << " vs " << c.limit;
    EXPECT_EQ(value.IsGreaterThan(limit), c.greater) << c.value << " vs " << c.limit;
  }
}

TEST(Variant, CopiesOwnTheirContent) {
  Message m(9);
  m.AddInt32("x", 1);
  Variant a;
  ASSERT_TRUE(a.SetArchive(m));
  Variant b = a;
  a.SetString("other");
  EXPECT_EQ(b.Type(), TYPE_ARCHIVE);
  EXPECT_EQ(VariantToString(b), "[Archive]");
  Message back;
  ASSERT_TRUE(b.AsMessage(back));
  EXPECT_EQ(back.Code(), 9);
  EXPECT_EQ(back.GetInfo("x", nullptr, nullptr), 0);
  EXPECT_FALSE(a.AsMessage(back));
  EXPECT_EQ(back.CountNames(), 0);
}

TEST(Variant, FlatFormRoundTrip) {
  Message m(3);
  m.AddString("s", "t");
  Variant archive;
  archive.SetArchive(m);
  Variant bytes;
  bytes.SetBytes("\x01\x00\x02", 3);
  std::vector<Variant> values = {Variant(),           Parsed("Ptr(abc)"),       Parsed("-5"),
                                 Parsed("5000000000"), Parsed("true"),          Parsed("2.5"),
                                 Parsed("\"text\""),   Parsed("IRect(1,2,3,4)"), Parsed("IPoint(1,2)"),
                                 Parsed("Rect(1,2,3,4)"), Parsed("Point(1,2)"),  Parsed("Identity(1,2)"),
                                 Parsed("Vector3(1,2,3)"), archive,               bytes};
  Variant i8, i16, d;
  i8.SetInt8(-3);
  i16.SetInt16(-300);
  d.SetDouble(0.125);
  values.insert(values.end(), {i8, i16, d});
  for (const Variant& v : values) {
    std::vector<std::uint8_t> flat(v.FlattenedSize());
    ASSERT_EQ(v.Flatten(flat.data(), flat.size()), 0) << v.Type();
    EXPECT_EQ(v.Flatten(flat.data(), flat.size() - 1), -1) << v.Type();
    Variant back;
    ASSERT_TRUE(back.Unflatten(flat.data(), flat.size())) << v.Type();
    EXPECT_TRUE(back == v) << v.Type();
  }
}

TEST(Variant, BadFlatFormsAreRefused) {
  auto flat = [](std::int32_t type, std::vector<std::uint8_t> content) {
    std::vector<std::uint8_t> out(4);
    std::memcpy(out.data(), &type, 4);
    out.insert(out.end(), content.begin(), content.end());
    return out;
  };
  std::vector<std::vector<std::uint8_t>> bad = {
      {},
      {1, 0},
      flat(TYPE_INT32, {1, 2, 3}),
      flat(TYPE_INT32, {1, 2, 3, 4, 5}),
      flat(TYPE_STRING, {}),
      flat(TYPE_STRING, {'a', 'b'}),
      flat(13, {}),
      flat(TYPE_VARIANT, {}),
      flat(-1, {}),
  };
  for (const auto& b : bad) {
    Variant v;
    v.SetInt32(5);
    EXPECT_FALSE(v.Unflatten(b.data(), b.size())) << b.size();
    EXPECT_EQ(v.AsInt32(), 5);
  }
}

}  // namespace
