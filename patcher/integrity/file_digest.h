// MD5 digests of files and the check of a patch's checksum list.
//
// ComputeFileMD5 streams a file through MD5 (RFC 1321) in large blocks, so a
// file of any size is digested without loading it whole. DigestText gives the
// 32-character text form ("%02x" per byte, lower case) that checksum lists
// hold; lists are compared with it byte for byte, so upper-case digits never
// match.
//
// CheckFileDigests checks every entry of a checksum list (checksum_list_format.h)
// against the file "Patches\" + name. It reports through the patcher window
// (the calling thread's main window, when there is one): a status line per
// file, the progress range 0..10 and the TIMER_ACTIVITY timer while a file is
// digested, and a message box (OK) for every failure. A file whose digest does
// not match, or that cannot be read, is deleted so that the next run fetches
// it again.
//
// Errors are results: false with the message described at each function.
// ComputeFileMD5 is thread-safe; CheckFileDigests runs on the user-interface
// thread and processes no window messages while a file is digested.
#pragma once

#include <string>

inline constexpr int kDigestBytes = 16;

// The digest of the whole file into `a_digest` (16 bytes). False when the
// file cannot be opened for reading: then "<path> can't be opened\n" goes to
// standard output and nothing else happens. A file that opens but cannot be
// read to its end (a folder, an I/O error) is false as well, without output:
// a digest of part of a file is never reported.
bool ComputeFileMD5(const char* a_pzPath, unsigned char* a_digest);

// The text form of a 16-byte digest.
std::string DigestText(const unsigned char* a_digest);

// True when every entry of the list at `a_pzListPath` names a file with the
// digest the entry gives. Messages (OK button), each ending the check:
//   "Fatal error! Couldn't open <list>"           the list cannot be opened
//   "Error in checksum file <list>"               an entry line without ":"
//   string 171 with the file and string 112       digest differs or file unreadable
//                                                 (the file is deleted)
bool CheckFileDigests(const char* a_pzListPath);
