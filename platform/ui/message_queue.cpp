#include "platform/ui/message_queue.h"

#include <algorithm>
#include <atomic>
#include <optional>
#include <thread>

#include "platform/ui/desktop.h"
#include "platform/ui/ui_internal.h"
#include "platform/ui/window.h"

namespace qx::ui::detail {

namespace {

DWORD TickCount() {
  return static_cast<DWORD>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch()).count());
}

void ShutDownQueue(const std::shared_ptr<ThreadQueue>& queue);

struct QueueHolder {
  std::shared_ptr<ThreadQueue> queue;
  ~QueueHolder() {
    if (queue) ShutDownQueue(queue);
  }
};

thread_local QueueHolder t_holder;

void Complete(const std::shared_ptr<SentMessage>& sent, LRESULT result) {
  sent->result = result;
  {
    std::lock_guard lock(sent->sender->m);
    sent->done = true;
    ++sent->sender->changes;
  }
  sent->sender->cv.notify_all();
}

// A thread's windows end with it; messages still sent to it get 0.
void ShutDownQueue(const std::shared_ptr<ThreadQueue>& queue) {
  std::vector<HWND> owned;
  {
    std::lock_guard lock(ModelLock());
    for (const auto& s : AllLocked()) {
      if (s->queue == queue && s->kind == WindowKind::kDialog) owned.push_back(s->handle);
    }
  }
  for (HWND h : owned) ForgetWindow(h);
  std::deque<std::shared_ptr<SentMessage>> pending;
  {
    std::lock_guard lock(queue->m);
    queue->alive = false;
    pending.swap(queue->incoming);
    queue->posted.clear();
    queue->timers.clear();
  }
  for (const auto& sent : pending) Complete(sent, 0);
}

// Which messages a retrieval takes.
struct Filter {
  bool any = true;          // no window filter
  bool threadOnly = false;  // only messages without a window
  std::vector<HWND> windows;
  UINT first = 0, last = 0;

  bool WindowMatches(HWND hwnd) const {
    if (threadOnly) return hwnd == nullptr;
    if (any) return true;
    return std::find(windows.begin(), windows.end(), hwnd) != windows.end();
  }
  bool RangeMatches(UINT message) const {
    if (first == 0 && last == 0) return true;
    return message >= first && message <= last;
  }
  bool Matches(const MSG& m) const { return WindowMatches(m.hwnd) && RangeMatches(m.message); }
  bool TimerMatches(const Timer& t) const { return WindowMatches(t.hwnd) && RangeMatches(WM_TIMER); }
};

// false when `hwnd` is a window that does not exist.
bool MakeFilter(HWND hwnd, UINT first, UINT last, Filter& filter) {
  filter.first = first;
  filter.last = last;
  if (hwnd == nullptr) return true;
  if (hwnd == reinterpret_cast<HWND>(static_cast<std::intptr_t>(-1))) {
    filter.any = false;
    filter.threadOnly = true;
    return true;
  }
  std::lock_guard lock(ModelLock());
  auto s = FindLocked(hwnd);
  if (!s) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return false;
  }
  filter.any = false;
  filter.windows.push_back(hwnd);
  for (HWND child : s->children) filter.windows.push_back(child);
  return true;
}

bool Retrieve(MSG* out, const Filter& filter, bool remove, bool wait, const IdleHook* idle) {
  const auto queue = CurrentQueue();
  bool idleCalled = false;
  for (;;) {
    ProcessIncoming(*queue);
    std::unique_lock lock(queue->m);
    if (!queue->incoming.empty()) continue;
    for (auto it = queue->posted.begin(); it != queue->posted.end(); ++it) {
      if (!filter.Matches(*it)) continue;
      *out = *it;
      if (remove) queue->posted.erase(it);
      return true;
    }
    if (queue->quitPosted) {
      *out = MSG{};
      out->message = WM_QUIT;
      out->wParam = static_cast<WPARAM>(queue->quitCode);
      out->time = TickCount();
      if (remove) queue->quitPosted = false;
      return true;
    }
    const auto now = Clock::now();
    Timer* due = nullptr;
    std::optional<Clock::time_point> next;
    for (Timer& t : queue->timers) {
      if (!filter.TimerMatches(t)) continue;
      if (t.due <= now && (!due || t.due < due->due)) due = &t;
      if (!next || t.due < *next) next = t.due;
    }
    if (due) {
      *out = MSG{};
      out->hwnd = due->hwnd;
      out->message = WM_TIMER;
      out->wParam = due->id;
      out->lParam = reinterpret_cast<LPARAM>(due->proc);
      out->time = TickCount();
      if (remove) due->due = now + std::chrono::milliseconds(due->period);
      return true;
    }
    if (!wait) return false;
    const std::uint64_t seen = queue->changes;
    auto changed = [&] { return queue->changes != seen; };
    if (idle && !idleCalled && queue->timers.empty()) {
      if (!queue->cv.wait_for(lock, idle->grace, changed)) {
        idleCalled = true;
        lock.unlock();
        idle->onIdle();
      }
      continue;
    }
    if (next) {
      queue->cv.wait_until(lock, *next, changed);
    } else {
      queue->cv.wait(lock, changed);
    }
  }
}

bool PostToQueue(const std::shared_ptr<ThreadQueue>& queue, const MSG& msg) {
  {
    std::lock_guard lock(queue->m);
    if (!queue->alive) {
      SetLastError(ERROR_INVALID_WINDOW_HANDLE);
      return false;
    }
    queue->posted.push_back(msg);
    ++queue->changes;
  }
  queue->cv.notify_all();
  return true;
}

bool OnThisThread(const ThreadQueue& queue) { return queue.owner == std::this_thread::get_id(); }

}  // namespace

void ThreadQueue::Wake() {
  {
    std::lock_guard lock(m);
    ++changes;
  }
  cv.notify_all();
}

std::shared_ptr<ThreadQueue> CurrentQueue() {
  if (!t_holder.queue) {
    auto queue = std::make_shared<ThreadQueue>();
    queue->owner = std::this_thread::get_id();
    t_holder.queue = std::move(queue);
  }
  return t_holder.queue;
}

void ProcessIncoming(ThreadQueue& queue) {
  for (;;) {
    std::shared_ptr<SentMessage> sent;
    {
      std::lock_guard lock(queue.m);
      if (queue.incoming.empty()) return;
      sent = queue.incoming.front();
      queue.incoming.pop_front();
    }
    Complete(sent, CallWindowHere(sent->hwnd, sent->message, sent->wParam, sent->lParam));
  }
}

BOOL GetMessageInternal(MSG* msg, HWND hwnd, UINT first, UINT last, const IdleHook* idle) {
  if (!msg) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return -1;
  }
  Filter filter;
  if (!MakeFilter(hwnd, first, last, filter)) return -1;
  Retrieve(msg, filter, true, true, idle);
  return msg->message == WM_QUIT ? FALSE : TRUE;
}

void KillWindowTimers(ThreadQueue& queue, HWND hwnd) {
  {
    std::lock_guard lock(queue.m);
    auto& timers = queue.timers;
    timers.erase(std::remove_if(timers.begin(), timers.end(), [&](const Timer& t) { return t.hwnd == hwnd; }),
                 timers.end());
    ++queue.changes;
  }
  queue.cv.notify_all();
}

void RunWhileDispatching(const std::function<void()>& work) {
  const auto queue = CurrentQueue();
  std::atomic<bool> done{false};
  std::thread helper([&] {
    work();
    done = true;
    queue->Wake();
  });
  bool quit = false;
  int quitCode = 0;
  Filter all;
  while (!done) {
    MSG msg;
    if (Retrieve(&msg, all, true, false, nullptr)) {
      if (msg.message == WM_QUIT) {
        quit = true;
        quitCode = static_cast<int>(msg.wParam);
        continue;
      }
      TranslateMessage(&msg);
      DispatchMessageA(&msg);
      continue;
    }
    std::unique_lock lock(queue->m);
    if (done) break;
    const std::uint64_t seen = queue->changes;
    std::optional<Clock::time_point> next;
    for (const Timer& t : queue->timers) {
      if (!next || t.due < *next) next = t.due;
    }
    auto changed = [&] { return queue->changes != seen || done; };
    if (next) {
      queue->cv.wait_until(lock, *next, changed);
    } else {
      queue->cv.wait(lock, changed);
    }
  }
  helper.join();
  if (quit) PostQuitMessage(quitCode);
}

LRESULT CallWindowHere(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  CWnd* object = nullptr;
  WindowKind kind;
  {
    std::lock_guard lock(ModelLock());
    auto s = FindLocked(hwnd);
    if (!s) {
      SetLastError(ERROR_INVALID_WINDOW_HANDLE);
      return 0;
    }
    kind = s->kind;
    object = s->object;
  }
  if (kind == WindowKind::kForeign) return 0;
  if (kind == WindowKind::kControl || !object) {
    bool handled = false;
    return StandardProc(hwnd, message, wParam, lParam, handled);
  }
  return CallObject(object, hwnd, message, wParam, lParam);
}

}  // namespace qx::ui::detail

using namespace qx::ui::detail;

BOOL PostMessageA(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  MSG msg;
  msg.hwnd = hwnd;
  msg.message = message;
  msg.wParam = wParam;
  msg.lParam = lParam;
  msg.time = TickCount();
  if (!hwnd) return PostToQueue(CurrentQueue(), msg) ? TRUE : FALSE;
  std::shared_ptr<ThreadQueue> queue;
  std::shared_ptr<qx::ui::CDesktop> desktop;
  std::uint64_t key = 0;
  {
    std::lock_guard lock(ModelLock());
    auto s = FindLocked(hwnd);
    if (!s) {
      SetLastError(ERROR_INVALID_WINDOW_HANDLE);
      return FALSE;
    }
    if (s->kind == WindowKind::kForeign) {
      desktop = s->desktop;
      key = s->foreignKey;
    } else {
      queue = s->queue;
    }
  }
  if (desktop) {
    if (desktop->PostToWindow(key, message, wParam, lParam)) return TRUE;
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  return PostToQueue(queue, msg) ? TRUE : FALSE;
}

LRESULT SendMessageA(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  std::shared_ptr<ThreadQueue> queue;
  WindowKind kind;
  {
    std::lock_guard lock(ModelLock());
    auto s = FindLocked(hwnd);
    if (!s) {
      SetLastError(ERROR_INVALID_WINDOW_HANDLE);
      return 0;
    }
    kind = s->kind;
    queue = s->queue;
  }
  if (kind == WindowKind::kForeign) return 0;
  if (kind == WindowKind::kControl) {
    bool handled = false;
    return StandardProc(hwnd, message, wParam, lParam, handled);
  }
  if (OnThisThread(*queue)) return CallWindowHere(hwnd, message, wParam, lParam);

  auto sent = std::make_shared<SentMessage>();
  sent->hwnd = hwnd;
  sent->message = message;
  sent->wParam = wParam;
  sent->lParam = lParam;
  sent->sender = CurrentQueue();
  {
    std::lock_guard lock(queue->m);
    if (!queue->alive) return 0;
    queue->incoming.push_back(sent);
    ++queue->changes;
  }
  queue->cv.notify_all();
  // Wait for the answer, running what other threads send to this one meanwhile.
  ThreadQueue& self = *sent->sender;
  for (;;) {
    std::unique_lock lock(self.m);
    if (sent->done) return sent->result;
    if (!self.incoming.empty()) {
      lock.unlock();
      ProcessIncoming(self);
      continue;
    }
    const std::uint64_t seen = self.changes;
    self.cv.wait(lock, [&] { return self.changes != seen || sent->done; });
  }
}

BOOL PeekMessageA(LPMSG msg, HWND hwnd, UINT filterMin, UINT filterMax, UINT removeMsg) {
  if (!msg) return FALSE;
  Filter filter;
  if (!MakeFilter(hwnd, filterMin, filterMax, filter)) return FALSE;
  return Retrieve(msg, filter, (removeMsg & PM_REMOVE) != 0, false, nullptr) ? TRUE : FALSE;
}

BOOL GetMessageA(LPMSG msg, HWND hwnd, UINT filterMin, UINT filterMax) {
  return GetMessageInternal(msg, hwnd, filterMin, filterMax, nullptr);
}

BOOL TranslateMessage(const MSG*) { return FALSE; }

LRESULT DispatchMessageA(const MSG* msg) {
  if (!msg) return 0;
  if (msg->message == WM_TIMER && msg->lParam != 0) {
    reinterpret_cast<TIMERPROC>(msg->lParam)(msg->hwnd, WM_TIMER, msg->wParam, TickCount());
    return 0;
  }
  if (!msg->hwnd) return 0;
  {
    std::lock_guard lock(ModelLock());
    auto s = FindLocked(msg->hwnd);
    if (!s) {
      SetLastError(ERROR_INVALID_WINDOW_HANDLE);
      return 0;
    }
    if (s->kind == WindowKind::kForeign || !OnThisThread(*s->queue)) {
      SetLastError(ERROR_INVALID_WINDOW_HANDLE);
      return 0;
    }
  }
  return CallWindowHere(msg->hwnd, msg->message, msg->wParam, msg->lParam);
}

void PostQuitMessage(int exitCode) {
  const auto queue = CurrentQueue();
  {
    std::lock_guard lock(queue->m);
    queue->quitPosted = true;
    queue->quitCode = exitCode;
    ++queue->changes;
  }
  queue->cv.notify_all();
}

BOOL WaitMessage() {
  const auto queue = CurrentQueue();
  ProcessIncoming(*queue);
  std::unique_lock lock(queue->m);
  if (!queue->posted.empty() || queue->quitPosted) return TRUE;
  std::optional<Clock::time_point> next;
  for (const Timer& t : queue->timers) {
    if (!next || t.due < *next) next = t.due;
  }
  const std::uint64_t seen = queue->changes;
  auto changed = [&] { return queue->changes != seen; };
  if (next) {
    queue->cv.wait_until(lock, *next, changed);
  } else {
    queue->cv.wait(lock, changed);
  }
  return TRUE;
}

UINT_PTR SetTimer(HWND hwnd, UINT_PTR id, UINT elapseMs, TIMERPROC timerFunc) {
  const UINT period = std::clamp<UINT>(elapseMs, 10, 0x7FFFFFFF);
  std::shared_ptr<ThreadQueue> queue;
  if (hwnd) {
    std::lock_guard lock(ModelLock());
    auto s = FindLocked(hwnd);
    if (!s || s->kind == WindowKind::kForeign) {
      SetLastError(ERROR_INVALID_WINDOW_HANDLE);
      return 0;
    }
    queue = s->queue;
  } else {
    queue = CurrentQueue();
  }
  UINT_PTR result = id;
  {
    std::lock_guard lock(queue->m);
    if (!queue->alive) {
      SetLastError(ERROR_INVALID_WINDOW_HANDLE);
      return 0;
    }
    auto it = std::find_if(queue->timers.begin(), queue->timers.end(),
                           [&](const Timer& t) { return t.hwnd == hwnd && t.id == id; });
    if (!hwnd && it == queue->timers.end()) {
      // A thread timer gets an id of its own.
      result = ++queue->nextThreadTimer;
    }
    if (it == queue->timers.end()) {
      queue->timers.push_back(Timer{hwnd, result, period, {}, timerFunc});
      it = queue->timers.end() - 1;
    }
    it->period = period;
    it->proc = timerFunc;
    it->due = Clock::now() + std::chrono::milliseconds(period);
    ++queue->changes;
  }
  queue->cv.notify_all();
  return result == 0 ? 1 : result;
}

BOOL KillTimer(HWND hwnd, UINT_PTR id) {
  std::shared_ptr<ThreadQueue> queue;
  if (hwnd) {
    std::lock_guard lock(ModelLock());
    auto s = FindLocked(hwnd);
    if (!s || s->kind == WindowKind::kForeign) {
      SetLastError(ERROR_INVALID_WINDOW_HANDLE);
      return FALSE;
    }
    queue = s->queue;
  } else {
    queue = CurrentQueue();
  }
  bool found = false;
  {
    std::lock_guard lock(queue->m);
    auto& timers = queue->timers;
    const auto it = std::find_if(timers.begin(), timers.end(),
                                 [&](const Timer& t) { return t.hwnd == hwnd && t.id == id; });
    if (it != timers.end()) {
      timers.erase(it);
      found = true;
      ++queue->changes;
    }
  }
  queue->cv.notify_all();
  if (!found) SetLastError(ERROR_INVALID_PARAMETER);
  return found ? TRUE : FALSE;
}

namespace qx::ui {

void PumpWaitingMessages() {
  MSG msg;
  while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
    if (msg.message == WM_QUIT) {
      PostQuitMessage(static_cast<int>(msg.wParam));
      return;
    }
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
  }
}

}  // namespace qx::ui
