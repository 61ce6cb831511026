// The binary-patch library's entry as the running patch run has it.
//
// The file-patch step loads "patchw32.dll", finds "RTPatchApply32@12" and
// registers the entry here together with its own RTPatch callback before it
// applies a patch set; it clears both (null) before it frees the library.
// PatchDatabase calls the binary-patch library only through this entry, with
// that same callback, so the resource patch and the file patch report to the
// window alike. While no entry is registered a binary-patch entry of a
// resource patch fails (PatchDatabase returns -8) instead of calling nothing.
//
// Process-wide plain state: set and read on the patch run's thread only.
#pragma once

#include "platform/rtpatch/rtpatch.h"

void SetRTPatchEntry(RTPATCHAPPLY32_FN a_pEntry, RTPATCH_CALLBACK a_pCallback);
RTPATCHAPPLY32_FN GetRTPatchEntry();
RTPATCH_CALLBACK GetRTPatchCallback();
