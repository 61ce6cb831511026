// Database conversion: brings the resource database into the current file form
// before anything is patched.
//
// ConvertResourceDatabase looks at "ResourceDatabase.*" in the given folder. A
// database counts as current when no "old_ResourceDatabase.*" file is left over,
// the format stamp of its data file is at least 145 and the creation option bit of
// its creation parameter block is set; then nothing happens. Otherwise the files
// are moved to "old_" names, a new pair is created under the old name, every
// record with a non-empty blob is copied in key order, the copy is checked
// against the old pair's last key (a walk that reached that key but could not
// read its record fails the check too), and the old files are deleted; each
// deletion that succeeds is logged ("Deleted <path>"), a failed one is not
// reported. A conversion
// that fails leaves the old files under their "old_" names, so the next call
// resumes from them; a half-written new pair next to them is deleted and copied
// again.
//
// Returns true when the database is current or the conversion completed; false
// with the reason in the message otherwise. Progress (bytes copied / size of the
// old files) goes to the function registered with SetConversionProgressCallback.
// Log lines go through WriteLog.
//
// Runs on one thread, as the only user of the database at that time.
#pragma once

#include <cstdint>
#include <string>

// The process-wide conversion progress function: the completed fraction in [0, 1].
using ConversionProgressProc = void (*)(float a_fFraction);
void SetConversionProgressCallback(ConversionProgressProc a_pCallback);

// `a_sFolder` ends in a separator ('\' or '/'), e.g. GetCdImagePath() + "data\db\".
bool ConvertResourceDatabase(const std::string& a_sFolder, std::string& a_rMessage);

// The format stamp of a data file: the byte pair at offset 40, read as the second
// byte when the first is 0, as the first when the second is 0, else 0. A missing
// or unreadable file, or one shorter than 42 bytes, gives 0.
unsigned ReadFormatStamp(const std::string& a_sDataFilePath);

// The free-space rule: free bytes must reach 1.2 times the old files' size (the
// size taken as a single-precision number, the comparison in floating point).
bool HasRoomForConversion(std::uint64_t a_nFreeBytes, std::uint64_t a_nOldFilesSize);

// Support and test tools: give an existing pair (path with or without ".dat") an
// older format stamp (1..255) or change its creation option bit, so that the
// conversion takes it for a database of an older form. 0 on success, otherwise
// the engine's code (12 when the pair does not exist).
int SetResourceDatabaseStamp(const std::string& a_sPath, unsigned a_nStamp);
int SetResourceDatabaseCreationOption(const std::string& a_sPath, bool a_bSet);
