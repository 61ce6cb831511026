#include "patcher/resdb/rtpatch_entry.h"

namespace {
RTPATCHAPPLY32_FN s_pEntry = nullptr;
RTPATCH_CALLBACK s_pCallback = nullptr;
}  // namespace

void SetRTPatchEntry(RTPATCHAPPLY32_FN a_pEntry, RTPATCH_CALLBACK a_pCallback) {
  s_pEntry = a_pEntry;
  s_pCallback = a_pCallback;
}

RTPATCHAPPLY32_FN GetRTPatchEntry() { return s_pEntry; }

RTPATCH_CALLBACK GetRTPatchCallback() { return s_pCallback; }
