// The C entry of "patchw32.dll". The platform's GetProcAddress finds it under
// the decorated name "RTPatchApply32@12" as well as the plain one.
#include "platform/rtpatch/rtpatch.h"

extern "C" __attribute__((visibility("default"))) DWORD RTPatchApply32(LPCSTR commandLine,
                                                                       RTPATCH_CALLBACK callback,
                                                                       BOOL /*waitFlag: always synchronous*/) {
  try {
    return qx::rtpatch::ApplyCommandLine(commandLine, callback);
  } catch (...) {
    return qx::rtpatch::kPatchFailed;
  }
}
