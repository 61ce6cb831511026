#include "patcher/resdb/binary_stream.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "tests/support/temp_dir.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteWholeFile(const std::string& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

TEST(BinaryStreamFixed, ConstructionStates) {
  std::uint8_t buffer[8] = {};
  struct Case {
    void* buffer;
    std::uint32_t length;
    std::int32_t state;
  } cases[] = {
      {buffer, 8, 0},
      {buffer, 0, 1},
      {nullptr, 8, 4},
      {nullptr, 0, 5},
  };
  for (const Case& c : cases) {
    BinaryStream s(c.buffer, c.length);
    EXPECT_EQ(s.State(), c.state) << "length " << c.length << (c.buffer ? "" : " null");
  }
}

TEST(BinaryStreamFixed, NullBufferTakesNoBytes) {
  BinaryStream s(nullptr, 16);
  s.SetState(0);
  s.WriteU32(1);
  EXPECT_EQ(s.State(), 5);
  std::uint32_t v = 7;
  s.SetState(0);
  s.ReadU32(&v);
  EXPECT_EQ(s.State(), 3);
  EXPECT_EQ(v, 0u);
}

TEST(BinaryStreamFixed, FullBufferRefusesNinthByte) {
  std::uint8_t buffer[8] = {};
  BinaryStream s(buffer, sizeof buffer);
  s.WriteU32(0x01020304).WriteU32(0x05060708);
  EXPECT_EQ(s.State(), 0);
  EXPECT_EQ(s.WritePosition(), 8u);
  std::uint8_t extra = 0xEE;
  s.Write(&extra, 1);
  EXPECT_EQ(s.State(), 5);
  EXPECT_EQ(s.WritePosition(), 8u);
  EXPECT_EQ(Bytes(buffer, buffer + 8), (Bytes{1, 2, 3, 4, 5, 6, 7, 8}));
}

TEST(BinaryStreamFixed, WholeCallerBufferIsReadable) {
  std::uint8_t buffer[6] = {0, 0, 0, 42, 0xAB, 0xCD};
  BinaryStream s(buffer, sizeof buffer);
  EXPECT_EQ(s.Size(), 6u);
  std::uint32_t a = 0;
  std::uint16_t b = 0;
  s.ReadU32(&a).ReadU16(&b);
  EXPECT_EQ(a, 42u);
  EXPECT_EQ(b, 0xABCD);
  EXPECT_EQ(s.State(), 0);
}

TEST(BinaryStreamByteOrder, IntegersTakeTheStreamsOrder) {
  struct Case {
    BinaryStream::ByteOrder_t order;
    Bytes u32;  // WriteU32(0x000F4254)
    Bytes u16;  // WriteU16(0xBEEF)
  } cases[] = {
      {BinaryStream::BigEndian, {0x00, 0x0F, 0x42, 0x54}, {0xBE, 0xEF}},
      {BinaryStream::Native, {0x54, 0x42, 0x0F, 0x00}, {0xEF, 0xBE}},
  };
  for (const Case& c : cases) {
    BinaryStream s(std::uint32_t{0});
    s.ByteOrder(c.order);
    s.WriteU32(0x000F4254).WriteU16(0xBEEF);
    Bytes expected = c.u32;
    expected.insert(expected.end(), c.u16.begin(), c.u16.end());
    EXPECT_EQ(Bytes(s.Buffer(), s.Buffer() + s.Size()), expected) << "order " << c.order;

    std::uint32_t a = 0;
    std::uint16_t b = 0;
    s.ReadU32(&a).ReadU16(&b);
    EXPECT_EQ(a, 0x000F4254u);
    EXPECT_EQ(b, 0xBEEF);
    EXPECT_EQ(s.State(), 0);
  }
}

TEST(BinaryStreamByteOrder, NewStreamIsBigEndian) {
  BinaryStream s(std::uint32_t{8});
  EXPECT_EQ(s.GetByteOrder(), BinaryStream::BigEndian);
}

TEST(BinaryStreamMemory, ShortReadFailsWithoutMoving) {
  std::uint8_t buffer[3] = {1, 2, 3};
  BinaryStream s(buffer, sizeof buffer);
  std::uint32_t v = 0xFFFFFFFF;
  s.ReadU32(&v);
  EXPECT_EQ(s.State(), 3);
  EXPECT_EQ(v, 0u);
  EXPECT_EQ(s.ReadPosition(), 0u);

  std::uint16_t w = 0xFFFF;
  s.ReadU16(&w);  // fits, but the state stays until the caller clears it
  EXPECT_EQ(w, 0x0102);
  EXPECT_EQ(s.State(), 3);
  s.SetState(0);
  EXPECT_EQ(s.State(), 0);
}

TEST(BinaryStreamMemory, ReadAndWritePositionsAreIndependent) {
  BinaryStream s(std::uint32_t{4});
  s.ByteOrder(BinaryStream::Native);
  s.WriteU32(11).WriteU32(22);
  std::uint32_t v = 0;
  s.ReadU32(&v);
  EXPECT_EQ(v, 11u);
  s.WriteU32(33);
  s.ReadU32(&v);
  EXPECT_EQ(v, 22u);
  EXPECT_EQ(s.ReadPosition(), 8u);
  EXPECT_EQ(s.WritePosition(), 12u);
  s.SeekWrite(4);
  s.WriteU32(44);  // overwrites inside the data: data end stays
  EXPECT_EQ(s.Size(), 12u);
  s.SeekRead(4);
  s.ReadU32(&v);
  EXPECT_EQ(v, 44u);
  EXPECT_EQ(s.State(), 0);
}

TEST(BinaryStreamMemory, GrowableKeepsDataAndAtLeastDoubles) {
  BinaryStream s(std::uint32_t{2});
  EXPECT_EQ(s.Capacity(), 2u);
  EXPECT_EQ(s.Size(), 0u);
  std::vector<std::uint8_t> expected;
  std::uint32_t capacity = s.Capacity();
  int growths = 0;
  for (std::uint32_t i = 0; i < 1000; ++i) {
    std::uint8_t b = static_cast<std::uint8_t>(i * 7);
    s.Write(&b, 1);
    expected.push_back(b);
    if (s.Capacity() != capacity) {
      EXPECT_GE(s.Capacity(), 2 * capacity);
      capacity = s.Capacity();
      ++growths;
    }
  }
  EXPECT_EQ(s.State(), 0);
  EXPECT_LE(growths, 10);
  ASSERT_EQ(s.Size(), 1000u);
  EXPECT_EQ(Bytes(s.Buffer(), s.Buffer() + s.Size()), expected);

  // One write larger than twice the capacity grows straight to fit.
  BinaryStream big(std::uint32_t{0});
  std::vector<std::uint8_t> block(5000, 0x5A);
  big.Write(block.data(), static_cast<std::uint32_t>(block.size()));
  EXPECT_EQ(big.State(), 0);
  EXPECT_EQ(big.Size(), 5000u);
  EXPECT_GE(big.Capacity(), 5000u);
}

TEST(BinaryStreamMemory, GrowablePositionsSurviveGrowth) {
  BinaryStream s(std::uint32_t{8});
  s.ByteOrder(BinaryStream::Native);
  s.WriteU32(1).WriteU32(2);
  std::uint32_t v = 0;
  s.ReadU32(&v);
  s.WriteU32(3);  // grows
  EXPECT_EQ(s.ReadPosition(), 4u);
  EXPECT_EQ(s.WritePosition(), 12u);
  s.ReadU32(&v);
  EXPECT_EQ(v, 2u);
  s.ReadU32(&v);
  EXPECT_EQ(v, 3u);
}

TEST(BinaryStreamMemory, Seeks) {
  struct Case {
    const char* what;
    bool write;
    std::uint32_t offset;
    std::int32_t state;
    std::uint32_t position;  // resulting position of that side
    std::uint32_t size;      // resulting data end
  } cases[] = {
      // Stream: capacity 16, data 8 bytes, both positions 0.
      {"write inside data", true, 5, 0, 5, 8},
      {"write at data end", true, 8, 0, 8, 8},
      {"write between data end and capacity", true, 12, 0, 12, 12},
      {"write at capacity", true, 16, 0, 16, 16},
      {"write beyond capacity", true, 17, 2, 0, 8},
      {"read inside data", false, 6, 0, 6, 8},
      {"read beyond data within capacity", false, 12, 0, 12, 8},
      {"read beyond capacity", false, 17, 3, 0, 8},
  };
  for (const Case& c : cases) {
    BinaryStream s(std::uint32_t{16});
    s.WriteU32(1).WriteU32(2);
    s.SeekWrite(0);
    if (c.write) {
      s.SeekWrite(c.offset);
      EXPECT_EQ(s.WritePosition(), c.position) << c.what;
    } else {
      s.SeekRead(c.offset);
      EXPECT_EQ(s.ReadPosition(), c.position) << c.what;
    }
    EXPECT_EQ(s.State(), c.state) << c.what;
    EXPECT_EQ(s.Size(), c.size) << c.what;
  }
}

TEST(BinaryStreamMemory, ReadFromBeyondDataEndFails) {
  BinaryStream s(std::uint32_t{16});
  s.WriteU32(9);
  s.SeekRead(8);
  std::uint8_t b = 0;
  s.Read(&b, 1);
  EXPECT_EQ(s.State(), 3);
  EXPECT_EQ(s.ReadPosition(), 8u);
}

TEST(BinaryStreamMemory, FixedStreamCannotSeekWritePastItsEnd) {
  std::uint8_t buffer[4] = {};
  BinaryStream s(buffer, sizeof buffer);
  s.SeekWrite(5);
  EXPECT_EQ(s.State(), 2);
  s.SetState(0);
  s.SeekWrite(4);
  EXPECT_EQ(s.State(), 0);
  std::uint8_t b = 1;
  s.Write(&b, 1);
  EXPECT_EQ(s.State(), 5);
}

TEST(BinaryStreamFile, OpenModes) {
  qx::test::TempDir dir;
  struct Case {
    const char* name;
    BinaryStream::OpenMode_e mode;
    bool create_first;
    std::int32_t state;
    bool exists_after;
    std::uint32_t size_after;
  } cases[] = {
      {"missing.bin", BinaryStream::MODE_READ, false, 4, false, 0},
      {"missing.bin", BinaryStream::MODE_UPDATE, false, 0, true, 0},
      {"missing.bin", BinaryStream::MODE_CREATE, false, 0, true, 0},
      {"existing.bin", BinaryStream::MODE_READ, true, 0, true, 4},
      {"existing.bin", BinaryStream::MODE_UPDATE, true, 0, true, 4},
      {"existing.bin", BinaryStream::MODE_CREATE, true, 0, true, 0},
  };
  for (const Case& c : cases) {
    const std::string path = dir / c.name;
    std::filesystem::remove(path);
    if (c.create_first) WriteWholeFile(path, {1, 2, 3, 4});
    testing::internal::CaptureStderr();
    std::uint32_t size = 0;
    {
      BinaryStream s(path, c.mode);
      EXPECT_EQ(s.State(), c.state) << c.name << " mode " << c.mode;
      size = s.Size();
    }
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(std::filesystem::exists(path), c.exists_after) << c.name << " mode " << c.mode;
    EXPECT_EQ(size, c.size_after) << c.name << " mode " << c.mode;
    if (c.state == 4) {
      EXPECT_EQ(err, "ERROR: BinaryStream: Cannot open file " + path +
                         "\nERROR: BinaryStream: No such file or directory\n");
    } else {
      EXPECT_EQ(err, "");
    }
  }
}

TEST(BinaryStreamFile, UnknownModeOpensNothing) {
  qx::test::TempDir dir;
  const std::string path = dir / "x.bin";
  testing::internal::CaptureStderr();
  BinaryStream s(path, static_cast<BinaryStream::OpenMode_e>(7));
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(s.State(), 4);
  EXPECT_FALSE(std::filesystem::exists(path));
  EXPECT_EQ(err.rfind("Programmers error: no mode 7\nERROR: BinaryStream: Cannot open file " + path + "\n", 0), 0u)
      << err;
  // Operations on the unopened stream fail quietly instead of touching a handle.
  std::uint32_t v = 1;
  s.ReadU32(&v);
  EXPECT_EQ(v, 0u);
  EXPECT_NE(s.State(), 0);
  EXPECT_EQ(s.Size(), 0u);
}

TEST(BinaryStreamFile, ReadAndWritePositionsAreIndependent) {
  qx::test::TempDir dir;
  const std::string path = dir / "rw.bin";
  {
    BinaryStream s(path, BinaryStream::MODE_UPDATE);
    const char ten[] = "0123456789";
    s.Write(ten, 10);
    char first[4] = {};
    s.Read(first, 4);
    EXPECT_EQ(std::string(first, 4), "0123");
    EXPECT_EQ(s.ReadPosition(), 4u);
    s.Write("abcd", 4);
    EXPECT_EQ(s.WritePosition(), 14u);
    s.Read(first, 4);
    EXPECT_EQ(std::string(first, 4), "4567");
    EXPECT_EQ(s.Size(), 14u);
    EXPECT_EQ(s.ReadPosition(), 8u);  // Size leaves the handle where it was
    EXPECT_EQ(s.State(), 0);
  }
  Bytes bytes = ReadWholeFile(path);
  EXPECT_EQ(std::string(bytes.begin(), bytes.end()), "0123456789abcd");
}

TEST(BinaryStreamFile, SeeksOnEachSide) {
  qx::test::TempDir dir;
  const std::string path = dir / "seek.bin";
  BinaryStream s(path, BinaryStream::MODE_CREATE);
  s.ByteOrder(BinaryStream::Native);
  s.WriteU32(1).WriteU32(2).WriteU32(3);
  s.SeekWrite(4);
  s.WriteU32(20);
  s.SeekRead(4);
  std::uint32_t v = 0;
  s.ReadU32(&v);
  EXPECT_EQ(v, 20u);
  s.ReadU32(&v);
  EXPECT_EQ(v, 3u);
  EXPECT_EQ(s.WritePosition(), 8u);
  EXPECT_EQ(s.State(), 0);
}

TEST(BinaryStreamFile, ReadPastEndIsEndOfData) {
  qx::test::TempDir dir;
  const std::string path = dir / "short.bin";
  WriteWholeFile(path, {0, 0, 1});
  BinaryStream s(path, BinaryStream::MODE_READ);
  std::uint32_t v = 99;
  s.ReadU32(&v);
  EXPECT_EQ(s.State(), 1);
  EXPECT_EQ(v, 0u);
  // The end-of-file indicator was cleared with the state: after a seek, reading works.
  s.SetState(0);
  s.SeekRead(1);
  std::uint16_t w = 0;
  s.ReadU16(&w);
  EXPECT_EQ(w, 1);
  EXPECT_EQ(s.State(), 0);
}

TEST(BinaryStreamFile, WriteToReadOnlyStreamReportsTheHandlesError) {
  qx::test::TempDir dir;
  const std::string path = dir / "ro.bin";
  WriteWholeFile(path, {1, 2, 3, 4});
  BinaryStream s(path, BinaryStream::MODE_READ);
  testing::internal::CaptureStderr();
  s.WriteU32(5);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(s.State(), 5);
  EXPECT_EQ(err.rfind("BinaryStream: ", 0), 0u) << err;
  EXPECT_EQ(ReadWholeFile(path), (Bytes{1, 2, 3, 4}));
}

TEST(BinaryStreamFile, PathsMapSeparatorsAndLetterCase) {
  qx::test::TempDir dir;
  std::filesystem::create_directory(dir / "sub");
  WriteWholeFile(dir / "sub/data.bin", {0xCA, 0xFE});
  BinaryStream s(dir.str() + "\\SUB\\Data.BIN", BinaryStream::MODE_READ);
  std::uint16_t v = 0;
  s.ReadU16(&v);
  EXPECT_EQ(s.State(), 0);
  EXPECT_EQ(v, 0xCAFE);
}

}  // namespace
