// qxauthor sign: signs a file (a patch's checksum list) with the private key.
#include <cryptopp/files.h>
#include <cryptopp/hex.h>
#include <cryptopp/osrng.h>
#include <cryptopp/rsa.h>
#include <cryptopp/sha.h>

#include <ostream>

#include "platform/fs/path.h"
#include "tools/author/command.h"
#include "tools/author/keyfile.h"

namespace qx::author {

namespace {

int Run(const Args& args, std::ostream& out, std::ostream& err) {
  Options_c o(args, {"--key", "--out"}, {"--force"});
  if (!o.ok() || o.positional().size() != 1 || !o.Has("--key") || !o.Has("--out")) {
    err << "qxauthor sign: " << (o.ok() ? "wants --key PRIVATE --out SIGNATURE FILE" : o.error()) << "\n";
    return 2;
  }
  std::string keyText, error;
  if (!ReadTextFile(o.Get("--key"), keyText, &error)) {
    err << "qxauthor sign: " << error << "\n";
    return 1;
  }
  const std::string input = fs::ResolvePath(o.positional()[0]);
  std::string signature;
  try {
    const std::string der = DecodeHexText(keyText);
    CryptoPP::StringSource keySource(der, true);
    CryptoPP::RSA::PrivateKey key;
    key.BERDecode(keySource);
    CryptoPP::AutoSeededRandomPool rng;
    if (!key.Validate(rng, 1)) throw CryptoPP::Exception(CryptoPP::Exception::INVALID_DATA_FORMAT, "invalid key");
    CryptoPP::RSASS<CryptoPP::PKCS1v15, CryptoPP::SHA1>::Signer signer(key);
    CryptoPP::FileSource(input.c_str(), true,
                         new CryptoPP::SignerFilter(rng, signer,
                                                    new CryptoPP::HexEncoder(new CryptoPP::StringSink(signature))),
                         /*binary=*/true);
  } catch (const CryptoPP::Exception& e) {
    err << "qxauthor sign: " << o.Get("--key") << " or " << o.positional()[0] << ": " << e.what() << "\n";
    return 1;
  }
  if (!WriteTextFile(o.Get("--out"), signature + "\n", false, /*overwrite=*/true, &error)) {
    err << "qxauthor sign: " << error << "\n";
    return 1;
  }
  out << "signed " << o.positional()[0] << " into " << o.Get("--out") << "\n";
  return 0;
}

}  // namespace

extern const Command_t kSignCommand = {
    "sign", "sign a file (a checksum list) with the private key",
    "usage: qxauthor sign --key PRIVATE --out SIGNATURE FILE\n"
    "Signs every byte of FILE with RSASSA-PKCS1-v1_5 and SHA-1 and writes the signature\n"
    "as hexadecimal digits to SIGNATURE, as the patcher verifies a patch's .SIG file.\n"
    "PRIVATE is a private key file made by 'qxauthor keygen'.\n",
    Run};

}  // namespace qx::author
