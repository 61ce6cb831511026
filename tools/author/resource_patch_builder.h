// Building a resource patch (".RES", layout in patcher/resdb/resource_patch_format.h)
// from two resource databases.
//
// BuildResourcePatch walks the old and the new database side by side in key
// order. A key only in the old one becomes a delete entry; a key only in the
// new one, or whose blob differs, becomes a store entry:
//  - records of the template types (1000020, 1040005) whose blob has the
//    template form (12-byte header naming the key, then at most 32767 bytes)
//    travel in the one item template package, entry (1000020, 0);
//  - in formats 988535 and 988536, keys of the types 1000001, 1000009,
//    1000010 and 1000026 get binary-patch entries (a blob patch whose entry
//    "tmp.dat" turns the old blob, or nothing, into the new one);
//  - every other key gets a compressed entry, or an empty one for an empty blob.
// Equal keys are left out. Record (1000020, 0) itself can only be carried as
// a template; a blob of another form under that key is an error.
//
// Memory: one record of each database and one entry's payload at a time,
// plus the template data of the package; store entries are spooled to a file
// beside the output. The output is written under a temporary name and renamed
// into place. The databases are only read. Errors: false with a message.
#pragma once

#include <cstdint>
#include <string>

#include "platform/rtpatch/builder.h"

namespace qx::author {

struct ResourcePatchOptions_t {
  std::uint32_t version = 988536;  // 988534, 988535 or 988536
  int level = 9;                   // zlib level of compressed entries and the package, 1..9
  rtpatch::BuildOptions_t blobPatch;
};

struct ResourcePatchStats_t {
  unsigned deletes = 0;
  unsigned compressed = 0;     // compressed and empty entries
  unsigned binaryPatches = 0;
  unsigned templates = 0;      // entries in the package (0: no package)
  unsigned unchanged = 0;
  std::uint64_t size = 0;      // bytes of the patch file
};

// `oldDatabase`/`newDatabase`: paths of the data files (".dat", ".idx" or no
// extension); an empty path stands for an empty database.
bool BuildResourcePatch(const std::string& oldDatabase, const std::string& newDatabase, const std::string& patchPath,
                        const ResourcePatchOptions_t& options, ResourcePatchStats_t* stats, std::string* error);

}  // namespace qx::author
