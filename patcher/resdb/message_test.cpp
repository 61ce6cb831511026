#include "patcher/resdb/message.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

std::uint32_t WordAt(const Bytes& b, std::size_t offset) {
  std::uint32_t v;
  std::memcpy(&v, b.data() + offset, 4);
  return v;
}

void SetWordAt(Bytes& b, std::size_t offset, std::uint32_t v) { std::memcpy(b.data() + offset, &v, 4); }

Bytes FlattenToBytes(const Message& m) {
  Bytes b(m.FlattenedSize());
  EXPECT_EQ(m.Flatten(b.data(), b.size()), 0);
  return b;
}

std::vector<std::string> FieldNames(const Message& m) {
  std::vector<std::string> names;
  for (int i = 0; i < m.CountNames(); ++i) {
    std::string name;
    m.GetFieldInfo(i, &name, nullptr, nullptr);
    names.push_back(name);
  }
  return names;
}

std::int32_t Int32At(const Message& m, const char* name, int index) {
  const void* data = nullptr;
  std::uint32_t size = 0;
  if (m.FindData(name, TYPE_INT32, index, &data, &size) != 0 || size != 4) return -999;
  std::int32_t v;
  std::memcpy(&v, data, 4);
  return v;
}

TEST(Message, EmptyMessageFlattensToHeaderOnly) {
  Message m(1234);
  m.SetFlags(0x10005);  // the 0x10000 bit never travels
  ASSERT_EQ(m.FlattenedSize(), 28u);
  Bytes b = FlattenToBytes(m);
  EXPECT_EQ(WordAt(b, 0), 28u);
  EXPECT_EQ(WordAt(b, 4), 1234u);
  EXPECT_EQ(WordAt(b, 8), 0xFFFFFFFFu);
  EXPECT_EQ(WordAt(b, 12), 0xFFFFFFFFu);
  EXPECT_EQ(WordAt(b, 16), 0xFFFFFFFFu);
  EXPECT_EQ(WordAt(b, 24), 5u);
  EXPECT_EQ(Message(0).Flags(), 0u);
}

TEST(Message, FixedItemsShareOneField) {
  Message m;
  ASSERT_EQ(m.AddInt32("a", 5), 0);
  EXPECT_EQ(m.FlattenedSize(), 61u);
  Bytes one = FlattenToBytes(m);
  EXPECT_EQ(WordAt(one, 28 + 8), 33u);   // used size
  EXPECT_EQ(WordAt(one, 28 + 12), 4u);   // item size
  EXPECT_EQ(WordAt(one, 28 + 16), 1u);   // count
  EXPECT_EQ(WordAt(one, 28 + 20), 4u);   // type
  EXPECT_EQ(one[28 + 24], 1);            // name length
  EXPECT_EQ(one[28 + 28], 'a');

  ASSERT_EQ(m.AddInt32("a", 6), 0);
  EXPECT_EQ(m.FlattenedSize(), 65u);
  Bytes two = FlattenToBytes(m);
  EXPECT_EQ(WordAt(two, 28 + 8), 37u);
  EXPECT_EQ(WordAt(two, 28 + 16), 2u);
  EXPECT_EQ(Int32At(m, "a", 1), 6);
  EXPECT_EQ(Int32At(m, "a", 0), 5);
  EXPECT_EQ(m.FindData("a", TYPE_INT32, 2, nullptr, nullptr), -1);
  EXPECT_EQ(m.FindData("a", TYPE_INT32, -1, nullptr, nullptr), -1);
  EXPECT_EQ(m.FindData("a", TYPE_INT16, 0, nullptr, nullptr), -1);
  EXPECT_EQ(m.FindData("b", TYPE_ANY, 0, nullptr, nullptr), -1);
  EXPECT_EQ(m.FindData("a", TYPE_ANY, 0, nullptr, nullptr), 0);
}

TEST(Message, StringItemsCarryTheirLength) {
  Message m;
  ASSERT_EQ(m.AddString("s", "hi"), 0);
  Bytes b = FlattenToBytes(m);
  EXPECT_EQ(WordAt(b, 28 + 8), 28u + 1 + 4 + 3);
  EXPECT_EQ(WordAt(b, 28 + 12), 0u);  // variable-size items
  EXPECT_EQ(WordAt(b, 28 + 29), 3u);
  EXPECT_EQ(std::memcmp(b.data() + 28 + 33, "hi", 3), 0);

  ASSERT_EQ(m.AddString("s", "longer text"), 0);
  const void* data = nullptr;
  std::uint32_t size = 0;
  ASSERT_EQ(m.FindData("s", TYPE_STRING, 1, &data, &size), 0);
  EXPECT_EQ(size, 12u);
  EXPECT_STREQ(static_cast<const char*>(data), "longer text");
  ASSERT_EQ(m.FindData("s", TYPE_STRING, 0, &data, &size), 0);
  EXPECT_STREQ(static_cast<const char*>(data), "hi");
}

TEST(Message, SameNameOtherTypeIsASecondField) {
  Message m;
  m.AddInt32("v", 1);
  ASSERT_EQ(m.AddInt16("v", 2), 0);
  EXPECT_EQ(m.CountNames(), 2);
  std::int32_t type = 0, count = 0;
  ASSERT_EQ(m.GetInfo("v", &type, &count), 0);
  EXPECT_EQ(type, TYPE_INT16);
  EXPECT_EQ(count, 1);
  EXPECT_EQ(m.GetInfo("w", &type, &count), -1);
}

TEST(Message, AddsThatCannotBeStoredFail) {
  Message m;
  m.AddInt32("v", 1);
  std::uint32_t before = m.FlattenedSize();
  std::uint64_t wide = 7;
  std::string longName(256, 'n');
  struct Case {
    const char* what;
    std::string name;
    std::int32_t type;
    std::uint32_t size;
    bool fixed;
  } cases[] = {
      {"other item size on a fixed field", "v", TYPE_INT32, 8, true},
      {"name longer than 255 bytes", longName, TYPE_INT32, 4, true},
      {"the any-type code", "x", TYPE_ANY, 4, true},
      {"a fixed item of no bytes", "x", TYPE_INT32, 0, true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(m.AddData(c.name, c.type, &wide, c.size, c.fixed, 1), -1) << c.what;
    EXPECT_EQ(m.FlattenedSize(), before) << c.what;
    EXPECT_EQ(m.CountNames(), 1) << c.what;
  }
  EXPECT_EQ(m.AddData(std::string(255, 'n'), TYPE_INT32, &wide, 4, true, 1), 0);
}

TEST(Message, FieldOrder) {
  struct Case {
    const char* what;
    void (*build)(Message&);
    std::vector<std::string> order;  // list order: newest first
  } cases[] = {
      {"new fields go to the front", [](Message& m) { m.AddInt32("a", 1); m.AddInt32("b", 2); }, {"b", "a"}},
      {"a field that grows moves to the front",
       [](Message& m) { m.AddInt32("a", 1); m.AddInt32("b", 2); m.AddInt32("a", 3); },
       {"a", "b"}},
      {"room from the count hint keeps the place",
       [](Message& m) {
         std::int32_t v = 1;
         m.AddData("a", TYPE_INT32, &v, 4, true, 4);
         m.AddInt32("b", 2);
         m.AddInt32("a", 3);
       },
       {"b", "a"}},
  };
  for (const Case& c : cases) {
    Message m;
    c.build(m);
    EXPECT_EQ(FieldNames(m), c.order) << c.what;
    // Flatten writes the list in order; unflattening reverses it.
    Bytes b = FlattenToBytes(m);
    EXPECT_EQ(std::string(1, static_cast<char>(b[28 + 28])), c.order[0]) << c.what;
    Message back;
    ASSERT_EQ(back.Unflatten(b.data(), b.size()), 0) << c.what;
    std::vector<std::string> reversed(c.order.rbegin(), c.order.rend());
    EXPECT_EQ(FieldNames(back), reversed) << c.what;
    EXPECT_EQ(back.FlattenedSize(), m.FlattenedSize()) << c.what;
    EXPECT_EQ(Int32At(back, "a", 0), 1) << c.what;
  }
}

TEST(Message, CopyReversesOrderAndClearsFlags) {
  Message m(7);
  m.SetFlags(3);
  m.AddInt32("a", 1);
  m.AddString("b", "x");
  Message copy(m);
  EXPECT_EQ(copy.Code(), 7);
  EXPECT_EQ(copy.Flags(), 0u);
  EXPECT_EQ(copy.FlattenedSize(), m.FlattenedSize());
  EXPECT_EQ(FieldNames(copy), (std::vector<std::string>{"a", "b"}));
  Message assigned(99);
  assigned.AddInt32("z", 0);
  assigned = m;
  EXPECT_EQ(FieldNames(assigned), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(assigned.Code(), 7);
  assigned = assigned;
  EXPECT_EQ(assigned.CountNames(), 2);
}

TEST(Message, FlattenIntoTooSmallABuffer) {
  Message m;
  m.AddInt32("a", 1);
  Bytes b(m.FlattenedSize() - 1, 0xAA);
  errno = 0;
  EXPECT_EQ(m.Flatten(b.data(), b.size()), -1);
  EXPECT_EQ(errno, E2BIG);
  EXPECT_EQ(WordAt(b, 0), 0xAAAAAAAAu);  // no size word

  Bytes tiny(8, 0xAA);
  errno = 0;
  EXPECT_EQ(m.Flatten(tiny.data(), tiny.size()), -1);
  EXPECT_EQ(errno, E2BIG);
  EXPECT_EQ(tiny, Bytes(8, 0xAA));  // not even the header is written
}

TEST(Message, NestedMessagesAndFlatObjects) {
  Message inner(5);
  inner.AddString("name", "inner");
  Message outer(6);
  ASSERT_EQ(outer.AddMessage("child", inner), 0);
  ASSERT_EQ(outer.AddMessage("child", outer), 0);  // a message may take a copy of itself
  const void* data = nullptr;
  std::uint32_t size = 0;
  ASSERT_EQ(outer.FindData("child", TYPE_ARCHIVE, 0, &data, &size), 0);
  EXPECT_EQ(size, inner.FlattenedSize());
  Message back(data, size);
  EXPECT_EQ(back.Code(), 5);
  ASSERT_EQ(back.FindData("name", TYPE_STRING, 0, &data, &size), 0);
  EXPECT_STREQ(static_cast<const char*>(data), "inner");
  ASSERT_EQ(outer.FindData("child", TYPE_ARCHIVE, 1, &data, &size), 0);
  Message self(data, size);
  EXPECT_EQ(self.Code(), 6);
  EXPECT_EQ(self.CountNames(), 1);

  struct Flat {
    std::uint32_t FlattenedSize() const { return 3; }
    int Flatten(void* out, std::size_t capacity) const {
      if (capacity < 3) return -1;
      std::memcpy(out, "xyz", 3);
      return 0;
    }
  } flat;
  ASSERT_EQ(outer.AddFlat("obj", flat), 0);
  ASSERT_EQ(outer.FindData("obj", TYPE_VARIANT, 0, &data, &size), 0);
  EXPECT_EQ(std::string(static_cast<const char*>(data), size), "xyz");
}

TEST(Message, FieldCopiesKeepTypeAndItems) {
  Message src;
  src.AddInt32("n", 1);
  src.AddInt32("n", 2);
  src.AddString("s", "t");
  Message dst;
  dst.AddBool("b", true);
  ASSERT_EQ(dst.AddFieldCopy(src, 1), 0);  // "n"
  EXPECT_EQ(dst.AddFieldCopy(src, 2), -1);
  EXPECT_EQ(Int32At(dst, "n", 1), 2);
  EXPECT_EQ(dst.FlattenedSize(), 28u + (28 + 1 + 1) + (28 + 1 + 8));
  Bytes b = FlattenToBytes(dst);
  Message back;
  EXPECT_EQ(back.Unflatten(b.data(), b.size()), 0);
}

TEST(Message, UnflattenMismatchLeavesMessageEmpty) {
  Message m;
  m.AddInt32("a", 1);
  Bytes b = FlattenToBytes(m);
  b.resize(b.size() + 4, 0);
  SetWordAt(b, 0, WordAt(b, 0) + 4);

  Message target;
  target.AddInt32("old", 1);
  testing::internal::CaptureStdout();
  errno = 0;
  EXPECT_EQ(target.Unflatten(b.data(), b.size()), -1);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(errno, EINVAL);
  EXPECT_EQ(target.CountNames(), 0);
  EXPECT_EQ(target.FlattenedSize(), 28u);
  EXPECT_EQ(out, "Message::Unflatten() mismatch between size 65, and bytes read 61\n");

  testing::internal::CaptureStdout();
  EXPECT_THROW(
      {
        try {
          Message bad(b.data(), b.size());
        } catch (const std::invalid_argument& e) {
          EXPECT_STREQ(e.what(), "Invalid flatten buffer");
          throw;
        }
      },
      std::invalid_argument);
  testing::internal::GetCapturedStdout();
}

// A buffer of two fields: "s" (one string "hi") at 28, "n" (Int32 1 and 2) at 64.
Bytes TwoFieldBuffer() {
  Message m;
  m.AddInt32("n", 1);
  m.AddInt32("n", 2);
  m.AddString("s", "hi");
  Bytes b = FlattenToBytes(m);
  EXPECT_EQ(b.size(), 101u);
  return b;
}

TEST(Message, UnflattenRejectsBuffersNotMadeByFlatten) {
  constexpr std::size_t s = 28, n = 64;
  struct Case {
    const char* what;
    std::size_t offset;  // word to overwrite (SIZE_MAX: none)
    std::uint32_t value;
    std::size_t length;  // bytes handed to Unflatten
  } cases[] = {
      {"buffer shorter than a header", SIZE_MAX, 0, 27},
      {"size word beyond the buffer", SIZE_MAX, 0, 100},
      {"size word below the header", 0, 20, 101},
      {"size word far beyond the buffer", 0, 0xFFFFFFF0u, 101},
      {"field used size below its header", s + 8, 20, 101},
      {"field used size below header and name", s + 8, 28, 101},
      {"field used size beyond the size word", n + 8, 38, 101},
      {"field used size wraps", n + 8, 0xFFFFFFFFu, 101},
      {"name length beyond the field", s + 24, 200, 101},
      {"fixed items do not fill the field", n + 16, 3, 101},
      {"fixed item size does not divide", n + 12, 3, 101},
      {"variable item beyond the field", s + 29, 1000, 101},
      {"variable items leave bytes over", s + 29, 2, 101},
      {"variable item count beyond the items", s + 16, 0xFFFFFFFFu, 101},
      {"fixed field read as variable", n + 12, 0, 101},
  };
  for (const Case& c : cases) {
    Bytes b = TwoFieldBuffer();
    if (c.offset != SIZE_MAX) {
      if (c.offset == s + 24) {
        b[c.offset] = static_cast<std::uint8_t>(c.value);
      } else {
        SetWordAt(b, c.offset, c.value);
      }
    }
    Message m;
    m.AddInt32("old", 1);
    testing::internal::CaptureStdout();
    errno = 0;
    EXPECT_EQ(m.Unflatten(b.data(), c.length), -1) << c.what;
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(errno, EINVAL) << c.what;
    EXPECT_EQ(m.CountNames(), 0) << c.what;
    EXPECT_EQ(m.FlattenedSize(), 28u) << c.what;
    EXPECT_FALSE(out.empty()) << c.what;
  }

  Bytes good = TwoFieldBuffer();
  Message m;
  EXPECT_EQ(m.Unflatten(good.data(), good.size()), 0);
  EXPECT_EQ(Int32At(m, "n", 1), 2);
  Message trusted;
  EXPECT_EQ(trusted.Unflatten(good.data()), 0);
  EXPECT_EQ(trusted.CountNames(), 2);
  // Bytes after the size word are not part of the message.
  good.resize(good.size() + 16, 0xEE);
  EXPECT_EQ(m.Unflatten(good.data(), good.size()), 0);
}

}  // namespace
