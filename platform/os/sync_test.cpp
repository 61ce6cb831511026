#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "platform/os/clock.h"
#include "platform/os/critical_section.h"
#include "platform/os/event.h"
#include "platform/os/thread.h"

namespace {

using Clock = std::chrono::steady_clock;

long ElapsedMs(Clock::time_point start) {
  return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

TEST(EventTest, ManualResetStaysSignalledAutoResetLetsOneThrough) {
  HANDLE manual = CreateEvent(nullptr, TRUE, FALSE, nullptr);
  HANDLE automatic = CreateEvent(nullptr, FALSE, TRUE, nullptr);
  ASSERT_NE(manual, nullptr);
  ASSERT_NE(automatic, nullptr);

  auto start = Clock::now();
  EXPECT_EQ(WaitForSingleObject(manual, 100), WAIT_TIMEOUT);
  EXPECT_GE(ElapsedMs(start), 95);
  EXPECT_TRUE(SetEvent(manual));
  EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(manual, INFINITE), WAIT_OBJECT_0);
  EXPECT_TRUE(ResetEvent(manual));
  EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_TIMEOUT);

  EXPECT_EQ(WaitForSingleObject(automatic, 0), WAIT_OBJECT_0);  // initially signalled, now consumed
  EXPECT_EQ(WaitForSingleObject(automatic, 0), WAIT_TIMEOUT);

  // Three waiters, two signals: exactly two get through.
  std::atomic<int> through{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 3; ++i) {
    waiters.emplace_back([&] {
      if (WaitForSingleObject(automatic, 300) == WAIT_OBJECT_0) ++through;
    });
  }
  SetEvent(automatic);
  Sleep(50);
  SetEvent(automatic);
  for (auto& t : waiters) t.join();
  EXPECT_EQ(through.load(), 2);

  EXPECT_TRUE(CloseHandle(manual));
  EXPECT_TRUE(CloseHandle(automatic));
  EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_FALSE(SetEvent(manual));
}

TEST(EventTest, SignalFromAnotherThreadWakesAWaiterAtOnce) {
  CEvent exitRequest(FALSE, TRUE);
  std::thread signaller([&] {
    Sleep(30);
    exitRequest.SetEvent();
  });
  auto start = Clock::now();
  EXPECT_EQ(WaitForSingleObject(exitRequest, 5000), WAIT_OBJECT_0);
  EXPECT_LT(ElapsedMs(start), 2000);
  signaller.join();
}

TEST(EventTest, NamedEventsAreShared) {
  HANDLE a = CreateEventA(nullptr, TRUE, FALSE, "qx-test-event");
  EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
  HANDLE b = CreateEventA(nullptr, TRUE, FALSE, "qx-test-event");
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
  SetEvent(a);
  EXPECT_EQ(WaitForSingleObject(b, 0), WAIT_OBJECT_0);
  CloseHandle(a);
  CloseHandle(b);
  HANDLE c = CreateEventA(nullptr, TRUE, FALSE, "qx-test-event");
  EXPECT_EQ(GetLastError(), ERROR_SUCCESS);  // the old one went with its last handle
  EXPECT_EQ(WaitForSingleObject(c, 0), WAIT_TIMEOUT);
  CloseHandle(c);
}

TEST(WaitTest, WaitForMultipleObjectsReturnsTheFirstSignalled) {
  HANDLE events[3] = {CreateEvent(nullptr, TRUE, FALSE, nullptr), CreateEvent(nullptr, FALSE, FALSE, nullptr),
                      CreateEvent(nullptr, TRUE, FALSE, nullptr)};
  EXPECT_EQ(WaitForMultipleObjects(3, events, FALSE, 20), WAIT_TIMEOUT);
  SetEvent(events[1]);
  EXPECT_EQ(WaitForMultipleObjects(3, events, FALSE, 1000), WAIT_OBJECT_0 + 1);
  EXPECT_EQ(WaitForSingleObject(events[1], 0), WAIT_TIMEOUT);  // consumed
  EXPECT_EQ(WaitForMultipleObjects(3, events, TRUE, 0), WAIT_FAILED);
  for (HANDLE e : events) CloseHandle(e);
}

UINT CountTo(LPVOID param) {
  auto* counter = static_cast<std::atomic<int>*>(param);
  for (int i = 0; i < 1000; ++i) ++*counter;
  return 42;
}

TEST(ThreadTest, WorkerThreadRunsAndIsJoinedThroughItsHandle) {
  std::atomic<int> counter{0};
  CWinThread* thread = AfxBeginThread(CountTo, &counter, THREAD_PRIORITY_NORMAL, 20000, CREATE_SUSPENDED);
  ASSERT_NE(thread, nullptr);
  thread->m_bAutoDelete = FALSE;
  Sleep(20);
  EXPECT_EQ(counter.load(), 0);  // still suspended
  DWORD code = 0;
  EXPECT_TRUE(GetExitCodeThread(thread->m_hThread, &code));
  EXPECT_EQ(code, STILL_ACTIVE);
  EXPECT_EQ(thread->ResumeThread(), 1u);
  EXPECT_EQ(WaitForSingleObject(thread->m_hThread, 5000), WAIT_OBJECT_0);
  EXPECT_EQ(counter.load(), 1000);
  EXPECT_TRUE(GetExitCodeThread(thread->m_hThread, &code));
  EXPECT_EQ(code, 42u);
  EXPECT_NE(thread->m_nThreadID, 0u);
  EXPECT_NE(thread->m_nThreadID, GetCurrentThreadId());
  delete thread;
}

// A thread with the small stack the download worker asks for still has room
// for deep calls and big buffers.
UINT UseStack(LPVOID param) {
  volatile char buffer[256 * 1024];
  for (size_t i = 0; i < sizeof buffer; i += 4096) buffer[i] = static_cast<char>(i);
  *static_cast<int*>(param) = buffer[4096];
  return 0;
}

TEST(ThreadTest, SmallStackRequestsGetTheDefaultStack) {
  int result = -1;
  CWinThread* thread = AfxBeginThread(UseStack, &result, THREAD_PRIORITY_NORMAL, 20000, CREATE_SUSPENDED);
  ASSERT_NE(thread, nullptr);
  thread->m_bAutoDelete = FALSE;
  thread->ResumeThread();
  EXPECT_EQ(WaitForSingleObject(*thread, 5000), WAIT_OBJECT_0);
  EXPECT_EQ(result, 0);
  delete thread;
}

// A derived thread object, as the download worker is: the object is the parameter.
class Worker : public CWinThread {
 public:
  explicit Worker(HANDLE exitEvent) : CWinThread(&Worker::Entry, this), m_exit(exitEvent) { m_bAutoDelete = FALSE; }
  std::atomic<int> rounds{0};

 private:
  static UINT Entry(LPVOID self) { return static_cast<Worker*>(self)->Main(); }
  UINT Main() {
    while (WaitForSingleObject(m_exit, 10) == WAIT_TIMEOUT) ++rounds;
    return 7;
  }
  HANDLE m_exit;
};

TEST(ThreadTest, DerivedThreadStopsOnItsExitEvent) {
  HANDLE exitEvent = CreateEvent(nullptr, TRUE, FALSE, nullptr);
  Worker worker(exitEvent);
  ASSERT_TRUE(worker.CreateThread(0, 20000));
  while (worker.rounds.load() < 3) Sleep(5);
  SetEvent(exitEvent);
  EXPECT_EQ(WaitForSingleObject(worker.m_hThread, INFINITE), WAIT_OBJECT_0);
  DWORD code = 0;
  GetExitCodeThread(worker.m_hThread, &code);
  EXPECT_EQ(code, 7u);
  CloseHandle(exitEvent);
}

std::atomic<int> g_deleted{0};
class SelfDeleting : public CWinThread {
 public:
  SelfDeleting() : CWinThread(&SelfDeleting::Entry, nullptr) {}
  ~SelfDeleting() override { ++g_deleted; }
  static UINT Entry(LPVOID) { return 0; }
};

TEST(ThreadTest, AutoDeleteObjectsGoWithTheirThread) {
  auto* thread = new SelfDeleting();
  HANDLE handle = nullptr;
  ASSERT_TRUE(thread->CreateThread(CREATE_SUSPENDED));
  ASSERT_TRUE(DuplicateHandle(nullptr, thread->m_hThread, nullptr, &handle, 0, FALSE, 0));
  thread->ResumeThread();
  EXPECT_EQ(WaitForSingleObject(handle, 5000), WAIT_OBJECT_0);
  for (int i = 0; i < 100 && g_deleted.load() == 0; ++i) Sleep(5);
  EXPECT_EQ(g_deleted.load(), 1);
  CloseHandle(handle);
}

TEST(CriticalSectionTest, IsRecursiveAndExcludesOtherThreads) {
  CCriticalSection section;
  long shared = 0;
  {
    CSingleLock outer(&section, TRUE);
    CSingleLock inner(&section, TRUE);  // the same thread may enter again
    EXPECT_TRUE(inner.IsLocked());
    std::thread other([&] {
      CSingleLock attempt(&section);
      EXPECT_FALSE(attempt.Lock(20));
    });
    other.join();
  }
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 10000; ++i) {
        CSingleLock lock(&section, TRUE);
        ++shared;
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(shared, 40000);
}

}  // namespace
