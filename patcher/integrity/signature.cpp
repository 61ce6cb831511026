#include "patcher/integrity/signature.h"

#include <cryptopp/files.h>
#include <cryptopp/filters.h>
#include <cryptopp/hex.h>
#include <cryptopp/rsa.h>
#include <cryptopp/secblock.h>
#include <cryptopp/sha.h>

#include <string>

#include "platform/fs/path.h"

namespace {

using Verifier_t = CryptoPP::RSASS<CryptoPP::PKCS1v15, CryptoPP::SHA1>::Verifier;

// The bytes that the hexadecimal digits of a text file decode to. Crypto++'s
// hexadecimal decoder skips every character that is not a digit.
void ReadHexFile(const std::string& a_sPath, CryptoPP::BufferedTransformation& a_target) {
  CryptoPP::FileSource source(a_sPath.c_str(), true, new CryptoPP::HexDecoder(new CryptoPP::Redirector(a_target)),
                              /*binary=*/true);
}

bool Verify(const char* keyFile, const char* signedFile, const char* signatureFile) {
  if (keyFile == nullptr || signedFile == nullptr || signatureFile == nullptr) return false;

  // 1. The key: hexadecimal text of an X.509 SubjectPublicKeyInfo.
  CryptoPP::ByteQueue keyBytes;
  ReadHexFile(qx::fs::ResolvePath(keyFile), keyBytes);
  CryptoPP::RSA::PublicKey key;
  key.BERDecode(keyBytes);  // X.509 SubjectPublicKeyInfo
  // Only the cheap structural checks (odd modulus above 1, odd exponent below
  // it): a key that fails them cannot have signed anything.
  if (!key.Validate(CryptoPP::NullRNG(), 0)) return false;
  Verifier_t verifier(key);

  // 2. The signature must be exactly as long as the modulus; otherwise the
  //    signed file is not read at all.
  CryptoPP::ByteQueue signatureBytes;
  ReadHexFile(qx::fs::ResolvePath(signatureFile), signatureBytes);
  const std::size_t length = verifier.SignatureLength();
  if (length == 0 || signatureBytes.MaxRetrievable() != length) return false;

  // 3. Take the signature; SecByteBlock clears it before it is released.
  CryptoPP::SecByteBlock signature(length);
  signatureBytes.Get(signature, length);

  // 4-5. Signature first, then the whole signed file in binary; the filter
  //      puts out one result byte at the end.
  CryptoPP::byte result = 0;
  auto* filter = new CryptoPP::SignatureVerificationFilter(verifier, new CryptoPP::ArraySink(&result, sizeof result));
  CryptoPP::FileSource file(qx::fs::ResolvePath(signedFile).c_str(), false, filter, /*binary=*/true);
  filter->Put(signature, length);
  file.PumpAll();
  return result == 1;
}

}  // namespace

bool VerifyFileSignature(const char* keyFile, const char* signedFile, const char* signatureFile) {
  try {
    return Verify(keyFile, signedFile, signatureFile);
  } catch (...) {
    // Unreadable files, a key that does not decode, anything the library
    // throws: the verification failed.
    return false;
  }
}
