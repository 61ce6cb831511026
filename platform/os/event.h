// Events: kernel objects that one thread signals and others wait for.
//
// A manual-reset event stays signalled until ResetEvent; an auto-reset event
// lets exactly one wait through and then resets itself. Events are waited on
// with WaitForSingleObject (platform/os/waitable.h) and closed with
// CloseHandle. A named event is shared within this process: creating one
// whose name exists already returns a new handle to the same event and sets
// ERROR_ALREADY_EXISTS.
//
// CEvent is the class library's wrapper: it owns one event handle.
//
// Thread-safe.
#pragma once

#include "platform/os/waitable.h"
#include "platform/win32.h"

// Null (with GetLastError) on failure. `securityAttributes` is ignored.
HANDLE CreateEventA(void* securityAttributes, BOOL manualReset, BOOL initialState, LPCSTR name);
inline HANDLE CreateEvent(void* securityAttributes, BOOL manualReset, BOOL initialState, LPCSTR name) {
  return CreateEventA(securityAttributes, manualReset, initialState, name);
}
BOOL SetEvent(HANDLE event);
BOOL ResetEvent(HANDLE event);

class CEvent {
 public:
  explicit CEvent(BOOL initiallyOwn = FALSE, BOOL manualReset = FALSE, LPCSTR name = nullptr,
                  void* securityAttributes = nullptr);
  ~CEvent();
  CEvent(const CEvent&) = delete;
  CEvent& operator=(const CEvent&) = delete;

  BOOL SetEvent();
  BOOL ResetEvent();
  // TRUE when the event was signalled within the time-out.
  BOOL Lock(DWORD milliseconds = INFINITE);
  BOOL Unlock() { return TRUE; }
  operator HANDLE() const { return m_hObject; }

  HANDLE m_hObject = nullptr;
};
