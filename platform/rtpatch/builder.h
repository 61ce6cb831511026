// The patch builder: makes a patch file that turns one folder into another,
// or one file into another.
//
// BuildFolderPatch compares two folder trees (names matched without regard to
// letter case, as the applier matches them): files only in the new tree are
// added, files only in the old tree deleted, files whose content differs
// modified; equal files are left out. BuildFilePatch makes a patch of a single
// modify entry, named "tmp.dat" unless told otherwise, which the applier uses
// to turn that file in its working folder into the new content; a missing or
// empty old file stands for "no old content" (a missing file then counts as
// the old one when the patch is applied).
//
// Payloads are zstd frames; a modified file's frames are compressed with the
// matching range of the old file as reference prefix. Files are split into
// segments of at most `segmentSize` new bytes, each referring to at most three
// segments' worth of the old file around the same relative position, so the
// applier's memory stays bounded however large the files are.
//
// The patch is written under a temporary name and renamed into place. Errors
// are reported as false with a message; the trees are only read. The builder
// runs `threads` worker threads; the functions themselves may be called from
// any thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace qx::rtpatch {

struct BuildOptions_t {
  int level = 19;                              // zstd level, 1..22
  int threads = 2;                             // files compressed at once
  std::uint64_t segmentSize = 32ull << 20;     // new bytes per segment, 4 KiB .. 32 MiB
  std::vector<std::string> deferred;           // paths ('/' or '\') whose entries are marked deferred
};

struct BuildStats_t {
  unsigned added = 0;
  unsigned modified = 0;
  unsigned deleted = 0;
  unsigned unchanged = 0;
  std::uint64_t newBytes = 0;   // bytes of new content the patch produces
  std::uint64_t patchSize = 0;  // bytes of the patch file
};

bool BuildFolderPatch(const std::string& oldFolder, const std::string& newFolder, const std::string& patchPath,
                      const BuildOptions_t& options, BuildStats_t* stats, std::string* error);

bool BuildFilePatch(const std::string& oldFile, const std::string& newFile, const std::string& patchPath,
                    const BuildOptions_t& options, BuildStats_t* stats, std::string* error,
                    const std::string& entryName = "tmp.dat");

// The same for two blobs in memory (an empty old blob: no old content); the
// patch file's bytes are returned in `patch`. Works through a temporary folder.
bool BuildBlobPatch(std::string_view oldBlob, std::string_view newBlob, std::string& patch,
                    const BuildOptions_t& options, std::string* error, const std::string& entryName = "tmp.dat");

}  // namespace qx::rtpatch
