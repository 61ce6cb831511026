// Path mapping: how a path written the Windows way reaches the Linux file system.
//
// Every path the system hands to a file operation may use '\' or '/' and may
// differ in letter case from the names on disk. ResolvePath maps '\' to '/'
// and then, component by component, finds each existing component without
// regard to (ASCII) case; a component that does not exist keeps the case given,
// and so do all after it (a new file's name keeps the letters it was given).
// Every file operation of the platform layer goes through ResolvePath, and
// nothing else does this mapping.
//
// Thread-safe; no state is kept between calls.
#pragma once

#include <string>
#include <string_view>

namespace qx::fs {

// '\' becomes '/'; nothing else changes.
std::string ToSlashes(std::string_view path);

// The path to hand to the operating system for `path` (see above). An empty
// path stays empty. A relative path stays relative to the working folder.
std::string ResolvePath(std::string_view path);

// Case-insensitive (ASCII) comparison of two names, as the system compares file names.
bool NamesEqual(std::string_view a, std::string_view b);

// The last component of a path (after the last '/' or '\'), and everything before it
// including that separator.
std::string_view FileNamePart(std::string_view path);
std::string_view FolderPart(std::string_view path);

}  // namespace qx::fs
