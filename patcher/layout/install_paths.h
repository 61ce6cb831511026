// Where the installation's folders are: the client root, the client folder, the
// per-user data folder, the preferences folder and the cd_image folder.
//
// Each path is worked out on its first request and then kept unchanged for the
// life of the process (a folder created or removed later does not change it).
// Every path ends in "/" and uses "/" only up to where callers append their own
// names (which may use '\' or '/'; the file layer accepts both).
//
// The client root is found from the working folder: the folder itself when it
// holds an entry "cd_image", else its parent when that does, else the value of
// the environment variable "QUORVEX" (relative to the working folder, '\'
// allowed). The root is at most 511 characters long, trailing "/" included.
// The per-user data folder lies below the user's local application-data folder
// in "Varnok/Quorvex Online/<hash of the installation's parent>/<folder name>/";
// the launcher computes the same name, so the hash is reproduced bit for bit.
//
// None of the functions returns an error. When no root can be found, or it
// would be longer than 511 characters, or the application-data folder cannot be
// obtained, a line goes to standard output and the process ends at once with
// exit status 3 (no clean-up, no message box).
//
// Thread-safe: the first computation is serialised; afterwards every call only
// reads the cached text. The returned references stay valid until the process ends.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

const std::string& GetClientRootPath();
const std::string& GetClientPath();
const std::string& GetUserDataPath();
const std::string& GetPrefsPath();
const std::string& GetCdImagePath();

// The folder hash: unsigned 32-bit, wrapping, each character taken as a signed
// byte: h = h ^ ((h << 6) + (h >> 2) + c + 0x9E3779B9), starting from 0.
std::uint32_t HashInstallFolder(std::string_view a_sFolder);

// The longest client root accepted, in characters (it lives in a 512-byte buffer).
inline constexpr std::size_t kMaxClientRootLength = 511;

// Forgets every computed path so that the next request works them out again.
// For tests only; no path reference may be in use by another thread.
void ResetInstallPathsForTesting();
