#include <cryptopp/files.h>
#include <cryptopp/filters.h>
#include <cryptopp/hex.h>
#include <cryptopp/rsa.h>
#include <cryptopp/sha.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <sstream>

#include "patcher/integrity/signature.h"
#include "platform/rtpatch/testing/tree_fixture.h"
#include "tests/support/temp_dir.h"
#include "tools/author/command.h"

namespace qx::author {
namespace {

using namespace qx::rtpatch::testing;

struct Result {
  int status;
  std::string out, err;
};

Result Author(const Args& args) {
  std::ostringstream out, err;
  int status = RunAuthor(args, out, err);
  return {status, out.str(), err.str()};
}

// Verifies the way the patcher does: the key file and the signature file are
// read through a hexadecimal decoder, the key decoded as SubjectPublicKeyInfo,
// the signature length checked against the modulus, then the filter fed the
// signature and then the whole signed file.
bool Verify(const std::string& keyFile, const std::string& signedFile, const std::string& sigFile) {
  using namespace CryptoPP;
  try {
    RSA::PublicKey key;
    FileSource keySource(keyFile.c_str(), true, new HexDecoder);
    key.BERDecode(keySource);
    RSASS<PKCS1v15, SHA1>::Verifier verifier(key);
    std::string signature;
    FileSource(sigFile.c_str(), true, new HexDecoder(new StringSink(signature)));
    if (signature.size() != verifier.SignatureLength()) return false;
    bool valid = false;
    SignatureVerificationFilter filter(verifier, new ArraySink(reinterpret_cast<byte*>(&valid), sizeof valid));
    filter.Put(reinterpret_cast<const byte*>(signature.data()), signature.size());
    FileSource(signedFile.c_str(), true, new Redirector(filter), true);
    return valid;
  } catch (const Exception&) {
    return false;
  }
}

TEST(Author, EveryCommandHasHelp) {
  Result overview = Author({"--help"});
  EXPECT_EQ(overview.status, 0);
  for (const Command_t& c : Commands()) {
    EXPECT_NE(overview.out.find(c.name), std::string::npos) << c.name;
    Result help = Author({c.name, "--help"});
    EXPECT_EQ(help.status, 0) << c.name;
    EXPECT_EQ(help.out.rfind(std::string("usage: qxauthor ") + c.name, 0), 0u) << help.out;
  }
  EXPECT_EQ(Author({}).status, 2);
  EXPECT_EQ(Author({"frobnicate"}).status, 2);
}

TEST(Author, UsageErrorsAreReportedWithStatusTwo) {
  const Args cases[] = {
      {"rtpatch", "a", "b"},
      {"rtpatch", "--level", "0", "a", "b", "c"},
      {"rtpatch", "--level"},
      {"rtpatch", "--bogus", "a", "b", "c"},
      {"apply"},
      {"apply", "a", "b", "c"},
      {"keygen", "--public", "x.pub"},
      {"keygen", "--public", "x.pub", "--private", "x.key", "--bits", "512"},
      {"sign", "--key", "k", "file"},
  };
  for (const Args& args : cases) {
    Result r = Author(args);
    EXPECT_EQ(r.status, 2) << args[0] << " " << r.err;
    EXPECT_FALSE(r.err.empty());
  }
}

TEST(Author, SignatureVerifiesAsThePatcherChecksIt) {
  qx::test::TempDir dir;
  const std::string pub = dir / "varnok.pub", key = dir / "varnok.key";
  ASSERT_EQ(Author({"keygen", "--public", pub, "--private", key, "--bits", "1024"}).status, 0);
  struct stat st;
  ASSERT_EQ(::stat(key.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(Author({"keygen", "--public", pub, "--private", key}).status, 1) << "no silent overwrite";

  WriteFile(dir / "V1-V2.CHK", "V1-V2.RTP:0123456789abcdef0123456789abcdef\n");
  ASSERT_EQ(Author({"sign", "--key", key, "--out", dir / "V1-V2.SIG", dir / "V1-V2.CHK"}).status, 0);
  EXPECT_TRUE(Verify(pub, dir / "V1-V2.CHK", dir / "V1-V2.SIG"));
  EXPECT_TRUE(VerifyFileSignature(pub.c_str(), (dir / "V1-V2.CHK").c_str(), (dir / "V1-V2.SIG").c_str()))
      << "the patcher's own check";

  // Line breaks and lower-case digits in the key and signature files are read the same.
  std::string keyText = ReadFile(pub), sigText = ReadFile(dir / "V1-V2.SIG");
  for (std::string* text : {&keyText, &sigText}) {
    for (char& c : *text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    for (std::size_t at = 40; at < text->size(); at += 41) text->insert(at, "\r\n");
  }
  WriteFile(dir / "wrapped.pub", keyText);
  WriteFile(dir / "wrapped.sig", sigText);
  EXPECT_TRUE(Verify(dir / "wrapped.pub", dir / "V1-V2.CHK", dir / "wrapped.sig"));

  WriteFile(dir / "V1-V2.CHK", "V1-V2.RTP:0123456789abcdef0123456789abcdee\n");
  EXPECT_FALSE(Verify(pub, dir / "V1-V2.CHK", dir / "V1-V2.SIG"));
  EXPECT_FALSE(VerifyFileSignature(pub.c_str(), (dir / "V1-V2.CHK").c_str(), (dir / "V1-V2.SIG").c_str()));

  WriteFile(dir / "bad.key", "00112233");
  EXPECT_EQ(Author({"sign", "--key", dir / "bad.key", "--out", dir / "x.sig", dir / "V1-V2.CHK"}).status, 1);
  EXPECT_FALSE(std::filesystem::exists(dir / "x.sig"));
}

TEST(Author, RtpatchAndApplyUpdateAFolderAndABlob) {
  qx::test::TempDir dir;
  WriteTree(dir / "old", {{"a.bin", Binary(20000, 1)}, {"b.txt", "b"}});
  WriteTree(dir / "new", {{"a.bin", Edited(Binary(20000, 1), 2)}, {"c/d.txt", "d"}});
  WriteTree(dir / "work", {{"a.bin", Binary(20000, 1)}, {"b.txt", "b"}});
  Result made = Author({"rtpatch", "--level", "9", dir / "old", dir / "new", dir / "p.rtp"});
  ASSERT_EQ(made.status, 0) << made.err;
  EXPECT_NE(made.out.find("1 added, 1 modified, 1 deleted"), std::string::npos) << made.out;
  Result applied = Author({"apply", "-v", dir / "p.rtp", dir / "work"});
  ASSERT_EQ(applied.status, 0) << applied.err;
  EXPECT_NE(applied.out.find("file: c\\d.txt"), std::string::npos) << applied.out;
  EXPECT_EQ(Snapshot(dir / "work"), Snapshot(dir / "new"));

  // Two files: the entry is "tmp.dat" in the updated folder.
  WriteFile(dir / "blob/tmp.dat", "old blob");
  ASSERT_EQ(Author({"rtpatch", "--quiet", dir / "old/b.txt", dir / "new/c/d.txt", dir / "blob.rtp"}).status, 0);
  WriteFile(dir / "blob/tmp.dat", "b");
  ASSERT_EQ(Author({"apply", dir / "blob.rtp", dir / "blob"}).status, 0);
  EXPECT_EQ(ReadFile(dir / "blob/tmp.dat"), "d");

  std::string damaged = ReadFile(dir / "p.rtp");
  damaged[damaged.size() / 2] ^= 1;
  WriteFile(dir / "bad.rtp", damaged);
  Result refused = Author({"apply", dir / "bad.rtp", dir / "work"});
  EXPECT_EQ(refused.status, 1);
  EXPECT_NE(refused.err.find("code 9"), std::string::npos) << refused.err;
  EXPECT_EQ(Author({"rtpatch", dir / "old", dir / "new/c/d.txt", dir / "x.rtp"}).status, 2);
}

TEST(Author, ProgramRunsFromTheBuild) {
  const std::string program = QX_BINARY_DIR "/bin/qxauthor";
  EXPECT_EQ(std::system((program + " --help > /dev/null").c_str()), 0);
  EXPECT_NE(std::system((program + " apply /nonexistent.rtp 2> /dev/null").c_str()), 0);
}

}  // namespace
}  // namespace qx::author
