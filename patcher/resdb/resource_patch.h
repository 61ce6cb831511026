// Resource patch application: PatchDatabase applies one resource patch file
// (".RES", layout in resource_patch_format.h) to the resource database.
//
// The file deletes keys and stores new blobs: compressed with zlib, as binary
// patches against the blob in the database (applied by the binary-patch
// library through the entry registered in rtpatch_entry.h, in the working
// folder with the files "tmp.dat" and "patch.rtp"), or, for key (1000020, 0),
// as the item template package that ItemTemplatePatcher splits into records.
//
// Result: 0 when the whole file was applied, otherwise one negative code:
//   -1  the patch file could not be opened
//   -2  unknown format version (nothing changed)
//   -3  the file ended or failed inside its header or delete list
//   -4  a compressed payload did not inflate to its size
//   -5  the file ended or failed inside the store list, or an entry announces
//       more bytes than the file has left
//   -6  fewer elements were processed than the element total announced
//   -7  out of memory while handling a binary patch or a template package
//   -8  a temporary file could not be written or read, or the binary patch failed
//   -10 the database could not be opened for reading and writing
// Every problem is written to the patcher log (WriteLog) as one line; no
// message box is shown here (the template package shows its own). Entries
// applied before a failure stay applied. A delete of a missing key and a Put
// that fails are logged and counted as done.
//
// Memory: entries are handled one at a time; sizes are checked against what
// is left of the file before anything is allocated, and compressed data is
// inflated into a buffer that grows with the output, so memory follows the
// largest entry really present, not what a damaged size word claims.
//
// Progress: after every element the function registered with
// SetPatchDatabaseProgressCallback (if any) receives done / T.
//
// Runs on the patch run's thread; the temporary files have fixed names, so one
// call at a time per process.
#pragma once

using PatchDatabaseProgressProc = void (*)(float a_fFraction);
void SetPatchDatabaseProgressCallback(PatchDatabaseProgressProc a_pCallback);

// `a_pzDatabasePath`: the data file, e.g. "cd_image\data\db\ResourceDatabase.dat";
// `a_pzPatchPath`: the patch file, e.g. "Patches\V15-1-V15-2.res".
int PatchDatabase(const char* a_pzDatabasePath, const char* a_pzPatchPath);
