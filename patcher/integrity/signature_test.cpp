#include "patcher/integrity/signature.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <string>

#include "patcher/integrity/integrity_test_support.h"
#include "tests/support/temp_dir.h"

namespace {

using qx::test::ReadBytes;
using qx::test::TestSigner_c;
using qx::test::WriteBytes;

class VerifyFileSignatureTest : public ::testing::Test {
 public:
  static TestSigner_c& Signer() {
    static TestSigner_c signer;
    return signer;
  }
  void SetUp() override {
    m_key = m_dir / "varnok.pub";
    m_list = m_dir / "V1-0-V1-1.CHK";
    m_sig = m_dir / "V1-0-V1-1.SIG";
    m_content = "a.txt:0cc175b9c0f1b6a831c399e269772661\n# comment\r\nb.bin:92eb5ffee6ae2fec3ad71c777531578f\n";
    WriteValidSet();
  }
  // A valid key, list and signature, whatever lay at their paths before.
  void WriteValidSet() {
    for (const std::string* path : {&m_key, &m_list, &m_sig}) std::filesystem::remove_all(*path);
    WriteBytes(m_key, Signer().PublicKeyHex() + "\n");
    WriteBytes(m_list, m_content);
    WriteBytes(m_sig, Signer().SignHex(m_content) + "\n");
  }
  bool Verify() { return VerifyFileSignature(m_key.c_str(), m_list.c_str(), m_sig.c_str()); }

  qx::test::TempDir m_dir;
  std::string m_key, m_list, m_sig, m_content;
};

TEST_F(VerifyFileSignatureTest, AcceptsTheSignatureOverTheWholeFile) {
  EXPECT_TRUE(Verify());
}

// Every change below must turn a valid set into a failed verification (false,
// never an exception).
TEST_F(VerifyFileSignatureTest, RejectsEveryKindOfDamage) {
  struct Case_t {
    const char* name;
    std::function<void(VerifyFileSignatureTest&)> damage;
  };
  auto flipFirstDigit = [](const std::string& path) {
    std::string text = ReadBytes(path);
    text[0] = text[0] == '0' ? '1' : '0';
    WriteBytes(path, text);
  };
  const Case_t cases[] = {
      {"signed file one byte changed", [](auto& t) { WriteBytes(t.m_list, "A" + t.m_content.substr(1)); }},
      {"signed file one byte longer", [](auto& t) { WriteBytes(t.m_list, t.m_content + "\n"); }},
      {"signed file empty", [](auto& t) { WriteBytes(t.m_list, ""); }},
      {"signature digit flipped", [&](auto& t) { flipFirstDigit(t.m_sig); }},
      {"signature one byte short", [](auto& t) { WriteBytes(t.m_sig, ReadBytes(t.m_sig).substr(2)); }},
      {"signature one byte long", [](auto& t) { WriteBytes(t.m_sig, "00" + ReadBytes(t.m_sig)); }},
      {"signature empty", [](auto& t) { WriteBytes(t.m_sig, ""); }},
      {"signature not hexadecimal", [](auto& t) { WriteBytes(t.m_sig, "this is no signature\n"); }},
      {"key digit flipped", [&](auto& t) { flipFirstDigit(t.m_key); }},
      {"key of another pair", [](auto& t) { WriteBytes(t.m_key, TestSigner_c().PublicKeyHex()); }},
      {"key truncated", [](auto& t) { WriteBytes(t.m_key, ReadBytes(t.m_key).substr(0, 100)); }},
      {"key empty", [](auto& t) { WriteBytes(t.m_key, ""); }},
      {"key is a signature", [](auto& t) { WriteBytes(t.m_key, ReadBytes(t.m_sig)); }},
      // A well-formed SubjectPublicKeyInfo whose modulus is even (2^64):
      // structurally an RSA key, but not one that can verify anything.
      {"key with an even modulus",
       [](auto& t) {
         CryptoPP::RSA::PublicKey key;
         key.Initialize(CryptoPP::Integer::Power2(64), CryptoPP::Integer(3));
         std::string der;
         CryptoPP::StringSink sink(der);
         key.DEREncode(sink);
         WriteBytes(t.m_key, TestSigner_c::Hex(der));
       }},
      {"key missing", [](auto& t) { std::filesystem::remove(t.m_key); }},
      {"signature missing", [](auto& t) { std::filesystem::remove(t.m_sig); }},
      {"signed file missing", [](auto& t) { std::filesystem::remove(t.m_list); }},
      {"signed file is a folder",
       [](auto& t) {
         std::filesystem::remove(t.m_list);
         std::filesystem::create_directory(t.m_list);
       }},
      {"key is a folder",
       [](auto& t) {
         std::filesystem::remove(t.m_key);
         std::filesystem::create_directory(t.m_key);
       }},
  };
  for (const Case_t& c : cases) {
    SCOPED_TRACE(c.name);
    WriteValidSet();
    ASSERT_TRUE(Verify());
    c.damage(*this);
    bool result = true;
    EXPECT_NO_THROW(result = Verify());
    EXPECT_FALSE(result);
  }
}

TEST_F(VerifyFileSignatureTest, ReadsHexTextWithLineBreaksAndEitherCase) {
  auto reflow = [](const std::string& hex, bool lower) {
    std::string text;
    for (std::size_t i = 0; i < hex.size(); ++i) {
      text += lower ? static_cast<char>(std::tolower(static_cast<unsigned char>(hex[i]))) : hex[i];
      if (i % 64 == 63) text += "\r\n";
      else if (i % 16 == 15) text += ' ';
    }
    return text;
  };
  WriteBytes(m_key, reflow(Signer().PublicKeyHex(), true));
  WriteBytes(m_sig, reflow(Signer().SignHex(m_content), false));
  EXPECT_TRUE(Verify());
}

TEST_F(VerifyFileSignatureTest, PathsMayUseBackslashesAndOtherLetterCase) {
  const std::string folder = m_dir.str();
  ASSERT_EQ(0, ::chdir(folder.c_str()));
  EXPECT_TRUE(VerifyFileSignature("VARNOK.PUB", ".\\v1-0-v1-1.chk", "./V1-0-V1-1.sig"));
  ASSERT_EQ(0, ::chdir("/"));
}

TEST(VerifyFileSignature, NullPathsAreAFailedVerification) {
  EXPECT_FALSE(VerifyFileSignature(nullptr, "a", "b"));
  EXPECT_FALSE(VerifyFileSignature("a", nullptr, "b"));
  EXPECT_FALSE(VerifyFileSignature("a", "b", nullptr));
}

}  // namespace
