// Detached RSA signature of a file: the check that a patch's checksum list
// comes from the publisher.
//
// The public key file and the signature file are text files of hexadecimal
// digits (either case; every other character, line breaks and spaces
// included, is skipped). The key decodes to the DER form of an X.509
// SubjectPublicKeyInfo holding an RSA key; the signature decodes to exactly
// as many bytes as the key's modulus and is RSASSA-PKCS1-v1_5 with SHA-1 over
// every byte of the signed file. The signed file is streamed, never loaded
// whole.
//
// Errors: VerifyFileSignature answers only true (the signature is valid for
// the whole file) or false. A missing or unreadable file, a key that does not
// decode, a signature of the wrong length and a wrong signature are all
// false; nothing is thrown out of the function, so the download worker that
// runs it survives whatever the files hold.
//
// Thread-safe: each call touches only its own objects and the three files.
#pragma once

// Paths may use '\' or '/' and any letter case (see platform/fs/path.h).
bool VerifyFileSignature(const char* keyFile, const char* signedFile, const char* signatureFile);
