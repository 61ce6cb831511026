#include "platform/os/event.h"

#include <map>
#include <memory>
#include <string>

namespace {

class EventObject : public qx::os::WaitableObject {
 public:
  EventObject(bool manualReset, bool initialState) : m_manualReset(manualReset), m_signalled(initialState) {}
  void Set() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_signalled = true;
    NotifyLocked();
  }
  void Reset() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_signalled = false;
  }

 private:
  bool IsSignalledLocked() const override { return m_signalled; }
  void OnWaitSatisfiedLocked() override {
    if (!m_manualReset) m_signalled = false;
  }
  const bool m_manualReset;
  bool m_signalled;
};

std::mutex g_namesMutex;
std::map<std::string, std::weak_ptr<EventObject>>& Names() {
  static auto* names = new std::map<std::string, std::weak_ptr<EventObject>>();
  return *names;
}

}  // namespace

HANDLE CreateEventA(void* /*securityAttributes*/, BOOL manualReset, BOOL initialState, LPCSTR name) {
  if (!name || !*name) {
    HANDLE handle = qx::RegisterHandle(std::make_shared<EventObject>(manualReset, initialState));
    SetLastError(ERROR_SUCCESS);
    return handle;
  }
  std::lock_guard<std::mutex> lock(g_namesMutex);
  std::weak_ptr<EventObject>& slot = Names()[name];
  if (std::shared_ptr<EventObject> existing = slot.lock()) {
    HANDLE handle = qx::RegisterHandle(existing);
    SetLastError(ERROR_ALREADY_EXISTS);
    return handle;
  }
  auto event = std::make_shared<EventObject>(manualReset, initialState);
  slot = event;
  HANDLE handle = qx::RegisterHandle(event);
  SetLastError(ERROR_SUCCESS);
  return handle;
}

BOOL SetEvent(HANDLE event) {
  auto object = qx::LookUpHandleAs<EventObject>(event);
  if (!object) return FALSE;
  object->Set();
  return TRUE;
}

BOOL ResetEvent(HANDLE event) {
  auto object = qx::LookUpHandleAs<EventObject>(event);
  if (!object) return FALSE;
  object->Reset();
  return TRUE;
}

CEvent::CEvent(BOOL initiallyOwn, BOOL manualReset, LPCSTR name, void* securityAttributes)
    : m_hObject(CreateEventA(securityAttributes, manualReset, initiallyOwn, name)) {}

CEvent::~CEvent() {
  if (m_hObject) CloseHandle(m_hObject);
}

BOOL CEvent::SetEvent() { return ::SetEvent(m_hObject); }
BOOL CEvent::ResetEvent() { return ::ResetEvent(m_hObject); }
BOOL CEvent::Lock(DWORD milliseconds) { return WaitForSingleObject(m_hObject, milliseconds) == WAIT_OBJECT_0; }
