// Test helpers for signed files: an RSA key pair made in the test, its public
// key file in the installation's form (hexadecimal DER SubjectPublicKeyInfo)
// and detached signatures (RSASSA-PKCS1-v1_5, SHA-1, as hexadecimal text).
// Header-only; for tests and benchmarks. Functions abort the test on I/O errors
// by returning empty results that the caller's checks catch.
#pragma once

#include <cryptopp/files.h>
#include <cryptopp/filters.h>
#include <cryptopp/hex.h>
#include <cryptopp/osrng.h>
#include <cryptopp/rsa.h>
#include <cryptopp/sha.h>

#include <fstream>
#include <iterator>
#include <string>

namespace qx::test {

class TestSigner_c {
 public:
  // 1024 bits keeps key generation fast; the check does not depend on the size.
  explicit TestSigner_c(unsigned a_bits = 1024) { m_key.GenerateRandomWithKeySize(m_rng, a_bits); }

  // The public key as the installation keeps it ("varnok.pub").
  std::string PublicKeyHex() const {
    std::string der;
    CryptoPP::StringSink sink(der);
    CryptoPP::RSA::PublicKey(m_key).DEREncode(sink);
    return Hex(der);
  }
  // The signature over the given bytes, as a ".SIG" file holds it.
  std::string SignHex(const std::string& a_data) {
    std::string signature;
    CryptoPP::RSASS<CryptoPP::PKCS1v15, CryptoPP::SHA1>::Signer signer(m_key);
    CryptoPP::StringSource(a_data, true, new CryptoPP::SignerFilter(m_rng, signer, new CryptoPP::StringSink(signature)));
    return Hex(signature);
  }
  std::size_t ModulusBytes() const { return m_key.GetModulus().ByteCount(); }

  static std::string Hex(const std::string& a_bytes) {
    std::string hex;
    CryptoPP::StringSource(a_bytes, true, new CryptoPP::HexEncoder(new CryptoPP::StringSink(hex)));
    return hex;
  }

 private:
  CryptoPP::AutoSeededRandomPool m_rng;
  CryptoPP::RSA::PrivateKey m_key;
};

inline void WriteBytes(const std::string& a_path, const std::string& a_data) {
  std::ofstream(a_path, std::ios::binary | std::ios::trunc) << a_data;
}

inline std::string ReadBytes(const std::string& a_path) {
  std::ifstream in(a_path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace qx::test
