// Pieces of the patch download (InetConnection_c::GetPatches) that stand on
// their own: the cause text of a failed download, the drive of the disk
// space check and the space it asks for.
//
// Functions only; thread-safe.
#pragma once

#include <cstdint>
#include <string>

// The cause appended to "Error getting file '...'" for the socket error of
// the failed transfer (0 when it failed without one).
std::string PatchDownloadCause(int a_nSocketError);

// The drive whose free space is checked: the working folder up to and
// including its ":\" when it has one (a Windows path), else the working
// folder itself with a trailing "/" (the file system that holds it).
std::string DownloadDrive(const std::string& a_sWorkingFolder);

// The disk-space question for `a_nNeeded` bytes with `a_nFree` bytes free.
std::string DiskSpaceQuestion(std::uint64_t a_nNeeded, std::uint64_t a_nFree, const std::string& a_sDrive);
