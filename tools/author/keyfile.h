// Key and signature files of the authoring tools.
//
// The public key file is what the patcher reads as "varnok.pub": the DER
// encoding of an X.509 SubjectPublicKeyInfo (RSA), written as hexadecimal
// digits on one line. The private key file is the DER PKCS #8 PrivateKeyInfo
// in the same hexadecimal form; it is written readable by its owner only.
// Signatures are RSASSA-PKCS1-v1_5 with SHA-1 over the whole signed file,
// written as hexadecimal digits. Readers skip anything that is not a
// hexadecimal digit (line breaks, spaces) and take either letter case.
//
// Functions report failure as false with a message; they hold no state.
#pragma once

#include <string>

namespace qx::author {

// The bytes that the hexadecimal digits of a text decode to.
std::string DecodeHexText(const std::string& text);

bool ReadTextFile(const std::string& path, std::string& content, std::string* error);

// Writes content to path through a temporary file; `privateFile` makes it
// readable by its owner only. With `overwrite` false an existing file is an error.
bool WriteTextFile(const std::string& path, const std::string& content, bool privateFile, bool overwrite,
                   std::string* error);

}  // namespace qx::author
