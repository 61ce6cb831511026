// qxauthor keygen: makes the RSA key pair that patch sets are signed with.
#include <cryptopp/hex.h>
#include <cryptopp/osrng.h>
#include <cryptopp/rsa.h>

#include <ostream>

#include "tools/author/command.h"
#include "tools/author/keyfile.h"

namespace qx::author {

namespace {

std::string Hex(const std::string& bytes) {
  std::string hex;
  CryptoPP::StringSource(bytes, true, new CryptoPP::HexEncoder(new CryptoPP::StringSink(hex)));
  return hex + "\n";
}

int Run(const Args& args, std::ostream& out, std::ostream& err) {
  Options_c o(args, {"--public", "--private", "--bits"}, {"--force"});
  const long long bits = o.GetNumber("--bits", 2048, 1024, 8192);
  if (!o.ok() || !o.positional().empty() || !o.Has("--public") || !o.Has("--private")) {
    err << "qxauthor keygen: " << (o.ok() ? "wants --public FILE --private FILE" : o.error()) << "\n";
    return 2;
  }
  std::string publicDer, privateDer;
  try {
    CryptoPP::AutoSeededRandomPool rng;
    CryptoPP::RSA::PrivateKey privateKey;
    privateKey.GenerateRandomWithKeySize(rng, static_cast<unsigned>(bits));
    CryptoPP::RSA::PublicKey publicKey(privateKey);
    CryptoPP::StringSink publicSink(publicDer), privateSink(privateDer);
    publicKey.DEREncode(publicSink);    // SubjectPublicKeyInfo
    privateKey.DEREncode(privateSink);  // PKCS #8 PrivateKeyInfo
  } catch (const CryptoPP::Exception& e) {
    err << "qxauthor keygen: " << e.what() << "\n";
    return 1;
  }
  std::string error;
  const bool force = o.Has("--force");
  if (!WriteTextFile(o.Get("--private"), Hex(privateDer), true, force, &error) ||
      !WriteTextFile(o.Get("--public"), Hex(publicDer), false, force, &error)) {
    err << "qxauthor keygen: " << error << "\n";
    return 1;
  }
  out << "wrote " << bits << "-bit key pair: public " << o.Get("--public") << ", private " << o.Get("--private")
      << "\n";
  return 0;
}

}  // namespace

extern const Command_t kKeygenCommand = {
    "keygen", "make the RSA key pair that patch sets are signed with",
    "usage: qxauthor keygen --public FILE --private FILE [--bits N] [--force]\n"
    "Writes a new RSA key pair. The public key file holds the hexadecimal digits of the\n"
    "DER SubjectPublicKeyInfo, as the patcher reads \"cd_image\\data\\launcher\\varnok.pub\";\n"
    "the private key file holds the hexadecimal DER PKCS #8 key, readable by its owner only.\n"
    "options:\n"
    "  --bits N   modulus length, 1024..8192 (default 2048)\n"
    "  --force    replace existing files\n",
    Run};

}  // namespace qx::author
