// The record engine with several processes on one pair: record locks seen across
// processes, concurrent writers, and processes killed at random moments.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <thread>

#include "patcher/engine/engine_test_support.h"
#include "patcher/engine/record_engine.h"
#include "patcher/resdb/block_database.h"
#include "tests/support/temp_dir.h"

namespace qx::engine {
namespace {

using fixture::Image;
using fixture::Key;

// The blob stored for (instance, version): its text names both, and its length
// follows from them, so a reader can tell a whole record from a torn or mixed one.
std::string Blob(uint32_t instance, uint32_t version) {
  std::string text = "instance " + std::to_string(instance) + " version " + std::to_string(version) + " ";
  size_t length = text.size() + (uint64_t{instance} * 7919 + version * 104729) % 5000;
  text.resize(length, static_cast<char>('a' + version % 26));
  return text;
}

bool BlobConsistent(uint32_t instance, const std::string& blob, uint32_t* version) {
  unsigned i = 0, v = 0;
  if (std::sscanf(blob.c_str(), "instance %u version %u ", &i, &v) != 2 || i != instance) return false;
  *version = v;
  return blob == Blob(instance, v);
}

// What a locked read of another process's record may answer instead of the
// record: it is not there (101), it is locked (42), or it changed between
// positioning and reading (42, 33 when removed). The last happens when the read
// lock was only this process's own note, taken while it had the pair to itself
// just before another process opened it, or when another thread of the process
// ended its locking session in between (the lock mode belongs to the process).
bool ReadMayMiss(int code) { return code == kKeyNotFound || code == kRecordLocked || code == kNoCurrentRecord; }

// Engine helpers working on one open pair.
struct Pair {
  IFIL def;

  explicit Pair(const std::string& base) : def(fixture::ResourceDefinition(base)) {}

  int OpenOrCreate() {
    int rc = OpenFileSet(def);
    if (rc == kFileNotFound) rc = CreateFileSet(def, fixture::CreationBlock(), fixture::CreationBlock());
    return rc;
  }

  int Put(uint32_t type, uint32_t instance, const std::string& blob) {
    SetLockMode(kLockUpdate);
    uint8_t fixed[8];
    auto image = Image(type, instance, blob);
    int rc = GetEqualKey(def.dataFileNumber + 1, Key(type, instance).data(), fixed);
    if (rc == kOk) rc = ReplaceRecord(def.dataFileNumber, image.data(), static_cast<uint32_t>(image.size()));
    else if (rc == kKeyNotFound) rc = InsertRecord(def.dataFileNumber, image.data(), static_cast<uint32_t>(image.size()));
    SetLockMode(kLockNone);
    return rc;
  }

  int Delete(uint32_t type, uint32_t instance) {
    SetLockMode(kLockUpdate);
    uint8_t fixed[8];
    int rc = GetEqualKey(def.dataFileNumber + 1, Key(type, instance).data(), fixed);
    if (rc == kOk) rc = RemoveRecord(def.dataFileNumber);
    SetLockMode(kLockNone);
    return rc;
  }

  // The blob, or nullopt with `code` set.
  std::optional<std::string> Get(uint32_t type, uint32_t instance, int* code) {
    SetLockMode(kLockRead);
    uint8_t fixed[8];
    *code = GetEqualKey(def.dataFileNumber + 1, Key(type, instance).data(), fixed);
    std::optional<std::string> out;
    if (*code == kOk) {
      uint32_t n = GetRecordLength(def.dataFileNumber);
      std::vector<uint8_t> image(n);
      *code = n >= 12 ? ReadRecord(def.dataFileNumber, image.data(), n) : kRecordDamaged;
      if (*code == kOk) out = std::string(image.begin() + 12, image.end());
    }
    SetLockMode(kLockNone);
    return out;
  }

  // Closes the pair and checks it: the index matches the data file, no problem.
  void CloseAndExpectSound() {
    ASSERT_EQ(CloseFileSet(def), kOk);
    CheckReport report;
    ASSERT_EQ(CheckFileSet(def, report), kOk);
    EXPECT_TRUE(report.indexMatches);
    EXPECT_TRUE(report.problems.empty()) << report.problems[0];
  }

  std::map<uint32_t, std::string> All(uint32_t type) {
    std::map<uint32_t, std::string> out;
    uint8_t fixed[8];
    for (int rc = GetFirstKey(def.dataFileNumber + 1, fixed); rc == kOk; rc = GetNextKey(def.dataFileNumber + 1, fixed)) {
      uint32_t words[2];
      std::memcpy(words, fixed, 8);
      if (words[0] != type) continue;
      uint32_t n = GetRecordLength(def.dataFileNumber);
      std::vector<uint8_t> image(n);
      EXPECT_EQ(ReadRecord(def.dataFileNumber, image.data(), n), kOk);
      out[words[1]] = std::string(image.begin() + 12, image.end());
    }
    return out;
  }
};

// A child process that runs `body` and exits with its result.
template <typename F>
pid_t Spawn(F body) {
  pid_t pid = ::fork();
  if (pid == 0) {
    int status = body();
    ::_exit(status);
  }
  return pid;
}

int WaitFor(pid_t pid) {
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

TEST(EngineProcesses, RecordLockedByAnotherProcessAnswers42AtOnce) {
  test::TempDir dir;
  const std::string base = dir / "Res";
  {
    ASSERT_EQ(InitEngine(3000, 6, 32, 1000, 1), kOk);
    Pair pair(base);
    ASSERT_EQ(pair.OpenOrCreate(), kOk);
    ASSERT_EQ(pair.Put(1, 1, "held"), kOk);
    ASSERT_EQ(pair.Put(1, 2, "free"), kOk);
    ASSERT_EQ(CloseFileSet(pair.def), kOk);
    ASSERT_EQ(ShutdownEngine(), kOk);
  }
  int ready[2], release[2];
  ASSERT_EQ(::pipe(ready), 0);
  ASSERT_EQ(::pipe(release), 0);
  pid_t child = Spawn([&] {
    InitEngine(3000, 6, 32, 1000, 1);
    Pair pair(base);
    if (pair.OpenOrCreate() != kOk) return 2;
    SetLockMode(kLockUpdate);
    uint8_t fixed[8];
    if (GetEqualKey(pair.def.dataFileNumber + 1, Key(1, 1).data(), fixed) != kOk) return 3;
    char c = 'r';
    if (::write(ready[1], &c, 1) != 1) return 4;
    if (::read(release[0], &c, 1) != 1) return 5;  // hold the lock until told
    SetLockMode(kLockNone);
    // Now hold (1, 2) for reading.
    SetLockMode(kLockRead);
    if (GetEqualKey(pair.def.dataFileNumber + 1, Key(1, 2).data(), fixed) != kOk) return 6;
    if (::write(ready[1], &c, 1) != 1) return 4;
    if (::read(release[0], &c, 1) != 1) return 5;
    SetLockMode(kLockNone);
    CloseFileSet(pair.def);
    ShutdownEngine();
    return 0;
  });
  char c;
  ASSERT_EQ(::read(ready[0], &c, 1), 1);

  ASSERT_EQ(InitEngine(3000, 6, 32, 1000, 1), kOk);
  Pair pair(base);
  ASSERT_EQ(pair.OpenOrCreate(), kOk);
  int code = 0;
  auto started = std::chrono::steady_clock::now();
  EXPECT_FALSE(pair.Get(1, 1, &code));
  EXPECT_EQ(code, kRecordLocked);
  EXPECT_EQ(pair.Put(1, 1, "mine"), kRecordLocked);
  EXPECT_EQ(pair.Delete(1, 1), kRecordLocked);
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(500));
  // Other records and other work go on.
  EXPECT_EQ(pair.Get(1, 2, &code), "free");
  EXPECT_EQ(pair.Put(1, 3, "new"), kOk);
  {
    // Through the block database: -1 for the locked record, nothing waited for.
    BlockDatabase_t db;
    ASSERT_EQ(db.Open(base.c_str(), true), 0);
    std::uint32_t size = 5;
    std::uint8_t* data = nullptr;
    EXPECT_EQ(db.Get(1, 1, &size, &data), -1);
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(db.Put(1, 1, 4, "mine"), -1);
    EXPECT_EQ(db.Delete(1, 1), -1);
    ASSERT_EQ(db.Get(1, 2, &size, &data), 0);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(data), size), "free");
    delete[] data;
  }

  ASSERT_EQ(::write(release[1], "x", 1), 1);
  ASSERT_EQ(::read(ready[0], &c, 1), 1);
  EXPECT_EQ(pair.Get(1, 1, &code), "held");
  EXPECT_EQ(pair.Put(1, 1, "mine"), kOk);
  // A record held for reading may be read, but not changed.
  EXPECT_EQ(pair.Get(1, 2, &code), "free");
  EXPECT_EQ(pair.Put(1, 2, "changed"), kRecordLocked);
  EXPECT_EQ(pair.Delete(1, 2), kRecordLocked);
  ASSERT_EQ(::write(release[1], "x", 1), 1);
  EXPECT_EQ(WaitFor(child), 0);
  EXPECT_EQ(pair.Get(1, 1, &code), "mine");
  EXPECT_EQ(CloseFileSet(pair.def), kOk);
  EXPECT_EQ(ShutdownEngine(), kOk);
  for (int fd : {ready[0], ready[1], release[0], release[1]}) ::close(fd);
}

// Makes a process dwell now and then where the engine lets others step in; longer
// around opening and creating a pair, where a whole run has only a few chances.
void RandomPause(PausePoint point) {
  thread_local std::mt19937 random(static_cast<unsigned>(::getpid()) ^
                                   static_cast<unsigned>(std::hash<std::thread::id>{}(std::this_thread::get_id())));
  const bool rare = point == PausePoint::kDataFileCreated || point == PausePoint::kOpening ||
                    point == PausePoint::kOpened || point == PausePoint::kClosing;
  uint32_t roll = random() % 64;
  if (rare ? roll < 32 : roll == 0) {
    ::usleep(random() % (rare ? 3000 : 300));
  } else if (roll < 16) {
    sched_yield();
  }
}

TEST(EngineProcesses, WritersInTwoProcessesShareOnePair) {
  test::TempDir dir;
  const std::string base = dir / "Res";
  constexpr uint32_t kPerWriter = 1500;
  auto writer = [&](uint32_t type, uint32_t otherType) {
    return [=] {
      SetPauseHook(RandomPause);
      InitEngine(3000, 6, 32, 1000, 1);
      Pair pair(base);
      int rc = kOk;
      for (int attempt = 0; attempt < 50 && (rc = pair.OpenOrCreate()) == kDataFileExists; ++attempt) ::usleep(1000);
      if (rc != kOk) return 2;
      std::mt19937 random(type);
      // The other process's reads lock records for a moment; a write that meets
      // such a lock answers 42 and is tried again.
      auto put = [&](uint32_t instance, uint32_t version) {
        int result;
        while ((result = pair.Put(type, instance, Blob(instance, version))) == kRecordLocked) sched_yield();
        return result;
      };
      for (uint32_t i = 0; i < kPerWriter; ++i) {
        if (put(i, type * 10 + 1) != kOk) return 3;
        if (i % 3 == 0 && put(i / 2, type * 10 + 2) != kOk) return 4;
        // Read what the other process writes: whole records or nothing, never a mix.
        int code;
        uint32_t instance = static_cast<uint32_t>(random() % kPerWriter), version;
        auto seen = pair.Get(otherType, instance, &code);
        if (seen && !BlobConsistent(instance, *seen, &version)) return 5;
        if (!seen && !ReadMayMiss(code)) return 6;
      }
      CloseFileSet(pair.def);
      ShutdownEngine();
      return 0;
    };
  };
  pid_t a = Spawn(writer(10, 20));
  pid_t b = Spawn(writer(20, 10));
  EXPECT_EQ(WaitFor(a), 0);
  EXPECT_EQ(WaitFor(b), 0);

  ASSERT_EQ(InitEngine(3000, 6, 32, 1000, 1), kOk);
  Pair pair(base);
  ASSERT_EQ(OpenFileSet(pair.def), kOk);
  for (uint32_t type : {10u, 20u}) {
    auto all = pair.All(type);
    ASSERT_EQ(all.size(), kPerWriter);
    for (auto& [instance, blob] : all) {
      uint32_t version;
      ASSERT_TRUE(BlobConsistent(instance, blob, &version)) << instance;
      bool updated = false;
      for (uint32_t i : {2 * instance, 2 * instance + 1}) updated |= i % 3 == 0 && i < kPerWriter;
      EXPECT_EQ(version, type * 10 + (updated ? 2 : 1)) << instance;
    }
  }
  pair.CloseAndExpectSound();
  ASSERT_EQ(ShutdownEngine(), kOk);
}

// The pipes to and from a child that a hook lets in while this process is inside
// CreateFileSet, between making the data file and setting up its index.
int g_toChild = -1;
int g_fromChild = -1;

void LetTheChildIn(PausePoint point) {
  if (point != PausePoint::kDataFileCreated) return;
  char c = 'c';
  if (::write(g_toChild, &c, 1) == 1) (void)!::read(g_fromChild, &c, 1);
}

TEST(EngineProcesses, AProcessThatOpensANewPairFirstKeepsItsRecords) {
  // Another process opens the pair as soon as its data file exists, sets up the
  // index itself and stores records, then closes it or keeps working; the creator
  // must leave that index as it is.
  for (bool keepsItOpen : {false, true}) {
    SCOPED_TRACE(keepsItOpen ? "the other process keeps the pair open" : "the other process closed the pair");
    test::TempDir dir;
    const std::string base = dir / "Res";
    int toChild[2], fromChild[2];
    ASSERT_EQ(::pipe(toChild), 0);
    ASSERT_EQ(::pipe(fromChild), 0);
    pid_t child = Spawn([&] {
      ::close(toChild[1]);
      ::close(fromChild[0]);
      char c;
      if (::read(toChild[0], &c, 1) != 1) return 2;
      InitEngine(3000, 6, 32, 1000, 1);
      Pair pair(base);
      if (OpenFileSet(pair.def) != kOk) return 3;
      for (uint32_t i = 0; i < 50; ++i) {
        if (pair.Put(1, i, Blob(i, 1)) != kOk) return 4;
      }
      if (!keepsItOpen && CloseFileSet(pair.def) != kOk) return 5;
      if (::write(fromChild[1], &c, 1) != 1) return 6;
      if (keepsItOpen) {
        if (::read(toChild[0], &c, 1) != 1) return 2;  // the creator has the pair open too
        for (uint32_t i = 50; i < 100; ++i) {
          if (pair.Put(1, i, Blob(i, 1)) != kOk) return 7;
        }
        if (CloseFileSet(pair.def) != kOk) return 5;
      }
      ShutdownEngine();
      return 0;
    });
    // Only the child writes to the one and reads the other: whichever side stops
    // early, the other meets the end of its pipe rather than waiting for ever.
    ::close(toChild[0]);
    ::close(fromChild[1]);
    struct Closer {
      int fds[2];
      ~Closer() {
        for (int fd : fds) ::close(fd);
      }
    } closer{{toChild[1], fromChild[0]}};
    g_toChild = toChild[1];
    g_fromChild = fromChild[0];
    SetPauseHook(LetTheChildIn);
    ASSERT_EQ(InitEngine(3000, 6, 32, 1000, 1), kOk);
    Pair pair(base);
    int created = CreateFileSet(pair.def, fixture::CreationBlock(), fixture::CreationBlock());
    SetPauseHook(nullptr);
    ASSERT_EQ(created, kOk);
    for (uint32_t i = 0; i < 20; ++i) ASSERT_EQ(pair.Put(2, i, Blob(i, 2)), kOk);
    if (keepsItOpen) {
      ASSERT_EQ(::write(toChild[1], "x", 1), 1);
    }
    ASSERT_EQ(WaitFor(child), 0);
    EXPECT_EQ(pair.All(1).size(), keepsItOpen ? 100u : 50u);
    for (auto& [instance, blob] : pair.All(1)) EXPECT_EQ(blob, Blob(instance, 1));
    EXPECT_EQ(pair.All(2).size(), 20u);
    pair.CloseAndExpectSound();
    ASSERT_EQ(ShutdownEngine(), kOk);
  }
}

// One step of a writer's plan: store `version` of `instance`, or remove it.
struct Step {
  bool removal;
  uint32_t instance;
  uint32_t version;
};

// What one writer does to its own records: stores each of `count` instances,
// stores some of them again and removes some, in an order fixed by `seed`.
std::vector<Step> WriterPlan(uint32_t count, uint32_t seed) {
  std::mt19937 random(seed);
  std::vector<Step> plan;
  std::vector<uint32_t> present;
  for (uint32_t instance = 0; instance < count; ++instance) {
    plan.push_back({false, instance, 1});
    present.push_back(instance);
    if (random() % 3 == 0) {
      plan.push_back({false, present[random() % present.size()], 2 + instance});
    } else if (random() % 8 == 0) {
      size_t at = random() % present.size();
      plan.push_back({true, present[at], 0});
      present.erase(present.begin() + static_cast<std::ptrdiff_t>(at));
    }
  }
  return plan;
}

std::map<uint32_t, uint32_t> PlanOutcome(const std::vector<Step>& plan) {
  std::map<uint32_t, uint32_t> out;
  for (const Step& step : plan) {
    if (step.removal) out.erase(step.instance);
    else out[step.instance] = step.version;
  }
  return out;
}

// One writer of a race: opens (or creates) the pair, works through its plan on
// records of `type` (closing and reopening the pair half-way), and reads records
// of the other writers on the way. 0, or a code that says what went wrong.
int RunWriter(const std::string& base, uint32_t type, const std::vector<Step>& plan, uint32_t writers,
              uint32_t perWriter, unsigned seed) {
  std::mt19937 random(seed);
  Pair pair(base);
  auto open = [&] {
    int rc = kOk;
    for (int attempt = 0; attempt < 100 && (rc = pair.OpenOrCreate()) == kDataFileExists; ++attempt) ::usleep(100);
    return rc;
  };
  if (int rc = open(); rc != kOk) {
    std::fprintf(stderr, "writer %u: open answered %d\n", type, rc);
    return 2;
  }
  for (size_t k = 0; k < plan.size(); ++k) {
    if (k == plan.size() / 2 && (CloseFileSet(pair.def) != kOk || open() != kOk)) return 3;
    const Step& step = plan[k];
    int rc;
    do {
      rc = step.removal ? pair.Delete(type, step.instance) : pair.Put(type, step.instance, Blob(step.instance, step.version));
    } while (rc == kRecordLocked && (sched_yield(), true));
    if (rc != kOk) {
      std::fprintf(stderr, "writer %u, step %zu (%s of %u): code %d\n", type, k, step.removal ? "removal" : "store",
                   step.instance, rc);
      return 4;
    }
    // Another writer's record: whole or not there.
    int code;
    uint32_t other = 10 * (static_cast<uint32_t>(random() % writers) + 1), instance = random() % perWriter, version;
    auto seen = pair.Get(other, instance, &code);
    if (seen && !BlobConsistent(instance, *seen, &version)) {
      std::fprintf(stderr, "writer %u read %u/%u: %zu bytes \"%.40s\"\n", type, other, instance, seen->size(),
                   seen->c_str());
      return 5;
    }
    if (!seen && !ReadMayMiss(code)) {
      std::fprintf(stderr, "writer %u read %u/%u: code %d\n", type, other, instance, code);
      return 6;
    }
  }
  return CloseFileSet(pair.def) == kOk ? 0 : 7;
}

// Rounds of `processes` processes of `threads` threads each, every thread a writer
// of its own records, that race to create one pair and then change it at once.
// Every change that returned success must be in the pair afterwards, and the pair
// must check out whole.
void WriterRace(int rounds, uint32_t processes, uint32_t threads, uint32_t perWriter) {
  const unsigned runSeed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(runSeed));
  const uint32_t writers = processes * threads;
  for (int round = 0; round < rounds; ++round) {
    test::TempDir dir;
    const std::string base = dir / "Res";
    std::vector<std::vector<Step>> plans;
    for (uint32_t w = 0; w < writers; ++w) plans.push_back(WriterPlan(perWriter, runSeed + round * 31 + w));
    std::vector<pid_t> children;
    for (uint32_t p = 0; p < processes; ++p) {
      children.push_back(Spawn([&, p] {
        SetPauseHook(RandomPause);
        InitEngine(3000, 6, 32, 1000, 1);
        std::atomic<int> failure{0};
        std::vector<std::thread> running;
        for (uint32_t w = p * threads; w < (p + 1) * threads; ++w) {
          running.emplace_back([&, w] {
            int rc = RunWriter(base, 10 * (w + 1), plans[w], writers, perWriter, runSeed + round * 31 + w);
            if (rc != 0) failure.store(rc);
          });
        }
        for (auto& thread : running) thread.join();
        ShutdownEngine();
        return failure.load();
      }));
    }
    for (pid_t child : children) ASSERT_EQ(WaitFor(child), 0) << "round " << round;

    ASSERT_EQ(InitEngine(3000, 6, 32, 1000, 1), kOk);
    Pair pair(base);
    ASSERT_EQ(OpenFileSet(pair.def), kOk);
    for (uint32_t w = 0; w < writers; ++w) {
      std::map<uint32_t, uint32_t> expected = PlanOutcome(plans[w]), actual;
      for (auto& [instance, blob] : pair.All(10 * (w + 1))) {
        uint32_t version;
        ASSERT_TRUE(BlobConsistent(instance, blob, &version)) << "round " << round << " instance " << instance;
        actual[instance] = version;
      }
      ASSERT_EQ(actual, expected) << "round " << round << " writer " << w << ": " << actual.size() << " of "
                                  << expected.size() << " records";
    }
    {
      SCOPED_TRACE("round " + std::to_string(round));
      pair.CloseAndExpectSound();
    }
    ASSERT_EQ(ShutdownEngine(), kOk);
  }
}

// A few rounds in the suite; QX_ENGINE_RACE_ROUNDS asks for more.
TEST(EngineProcesses, WritersRacingOnANewPairLoseNothing) {
  int rounds = 4;
  if (const char* text = std::getenv("QX_ENGINE_RACE_ROUNDS"); text && std::atoi(text) > 0) rounds = std::atoi(text);
  {
    SCOPED_TRACE("three processes");
    WriterRace(rounds, 3, 1, 200);
  }
  {
    SCOPED_TRACE("two processes of two threads");
    WriterRace(rounds, 2, 2, 200);
  }
}

// What the child reports through the pipe: an operation about to start, and one
// that returned.
struct Report {
  uint8_t done;      // 0: starting, 1: returned
  uint8_t deletion;  // 1: delete, 0: put
  uint16_t pad;
  uint32_t instance;
  uint32_t version;
};

// Rounds of: a child storing and deleting records through BlockDatabase_t,
// reporting each call before it starts and after it returned, killed at a random
// moment; then the pair is read back. With `watch`, this process has the pair open
// (and reads from it) while the child works and is killed, so the repair happens
// under its eyes rather than at the next open.
void KillLoop(int rounds, bool watch) {
  test::TempDir dir;
  const std::string base = dir / "Res";
  constexpr uint32_t kKeys = 400;
  std::map<uint32_t, uint32_t> model;  // instance -> version (absent: deleted)
  const unsigned runSeed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(runSeed));
  std::mt19937 random(runSeed);
  uint32_t nextVersion = 1;
  int pipes[2];
  ASSERT_EQ(::pipe(pipes), 0);
  ::fcntl(pipes[0], F_SETFL, O_NONBLOCK);
  if (watch) {
    ASSERT_EQ(InitEngine(3000, 6, 32, 1000, 1), kOk);
    Pair pair(base);
    ASSERT_EQ(pair.OpenOrCreate(), kOk);
    ASSERT_EQ(CloseFileSet(pair.def), kOk);
    ASSERT_EQ(ShutdownEngine(), kOk);
  }
  int roundsWithWork = 0;
  for (int round = 0; round < rounds; ++round) {
    const uint32_t firstVersion = nextVersion;
    const uint32_t seed = static_cast<uint32_t>(random());
    pid_t child = Spawn([&] {
      // The patcher's way in: each change one BlockDatabase_t call. Killed during
      // Open, the pair may be half created or its definition half stored.
      BlockDatabase_t db;
      std::fclose(stderr);  // the write-through notices
      if (db.Open(base.c_str(), false) != 0) return 2;
      std::mt19937 childRandom(seed);
      for (uint32_t version = firstVersion;; ++version) {
        Report r{0, static_cast<uint8_t>(childRandom() % 4 == 0), 0, static_cast<uint32_t>(childRandom() % kKeys), version};
        if (::write(pipes[1], &r, sizeof(r)) != sizeof(r)) return 3;
        // -1 also answers a record that a watcher holds for a moment: try again.
        bool done = false;
        for (int attempt = 0; attempt < 10000 && !done; ++attempt) {
          if (attempt > 0) sched_yield();
          if (r.deletion) {
            // -1 also answers a missing key; then the key must indeed be missing.
            std::uint32_t size;
            std::uint8_t* data = nullptr;
            done = db.Delete(7, r.instance) == 0;
            if (!done) {
              int found = db.Get(7, r.instance, &size, &data);
              if (found == 0) delete[] data;
              done = found == 1;
            }
          } else {
            std::string blob = Blob(r.instance, version);
            done = db.Put(7, r.instance, static_cast<std::uint32_t>(blob.size()), blob.data()) == 0;
          }
        }
        if (!done) return r.deletion ? 4 : 5;
        r.done = 1;
        if (::write(pipes[1], &r, sizeof(r)) != sizeof(r)) return 3;
      }
    });
    // Opened after the fork, so that the child has descriptors (and locks) of its own.
    ASSERT_EQ(InitEngine(3000, 6, 32, 1000, 1), kOk);
    Pair pair(base);
    if (watch) {
      ASSERT_EQ(OpenFileSet(pair.def), kOk);
    }
    // Let it run for a random while, reading its reports. Most rounds kill it
    // while it works; some while it is still opening (and maybe repairing) the pair.
    std::vector<Report> reports;
    auto drain = [&] {
      Report r;
      while (::read(pipes[0], &r, sizeof(r)) == sizeof(r)) reports.push_back(r);
    };
    auto glance = [&] {
      // A watcher's reads see whole records, or wait, or meet a lock.
      if (!watch) return;
      int code;
      uint32_t instance = static_cast<uint32_t>(random() % kKeys), version;
      auto seen = pair.Get(7, instance, &code);
      if (seen) {
        ASSERT_TRUE(BlobConsistent(instance, *seen, &version)) << instance;
      } else {
        ASSERT_TRUE(ReadMayMiss(code)) << code;
      }
    };
    bool early = random() % 8 == 0;
    auto now = std::chrono::steady_clock::now;
    auto deadline = now() + std::chrono::microseconds(early ? random() % 10000 : 2000000);
    while (!early && reports.empty() && now() < deadline) {
      struct pollfd p{pipes[0], POLLIN, 0};
      ::poll(&p, 1, 1);
      drain();
    }
    if (!early) deadline = now() + std::chrono::microseconds(random() % 15000);
    // A third of the rounds kill it in the middle of a change: the index's change
    // sequence is odd from the start of a change to its end.
    const bool midChange = !early && random() % 3 == 0;
    int index = midChange ? ::open((base + ".idx").c_str(), O_RDONLY) : -1;
    while (now() < deadline) {
      if (index >= 0) {
        uint64_t sequence = 0;
        if (::pread(index, &sequence, sizeof(sequence), 24) == sizeof(sequence) && (sequence & 1)) break;
        continue;
      }
      struct pollfd p{pipes[0], POLLIN, 0};
      ::poll(&p, 1, 1);
      drain();
      glance();
    }
    ::kill(child, SIGKILL);
    if (index >= 0) ::close(index);
    int status = WaitFor(child);
    ASSERT_EQ(status, 128 + SIGKILL) << "the child failed on its own in round " << round;
    drain();

    // Every returned operation counts; the one under way may have happened or not.
    Report open{};  // valid when hasOpen
    bool hasOpen = false;
    for (const Report& r : reports) {
      if (!r.done) {
        open = r;
        hasOpen = true;
        continue;
      }
      hasOpen = false;
      if (r.deletion) model.erase(r.instance);
      else model[r.instance] = r.version;
      nextVersion = std::max(nextVersion, r.version + 1);
    }
    if (hasOpen) nextVersion = std::max(nextVersion, open.version + 1);
    if (!reports.empty()) ++roundsWithWork;

    if (!watch) {
      int rc = OpenFileSet(pair.def);
      if (rc == kFileNotFound) {
        ASSERT_TRUE(model.empty());
        ASSERT_EQ(ShutdownEngine(), kOk);
        continue;
      }
      ASSERT_EQ(rc, kOk) << "round " << round;
    }
    auto all = pair.All(7);
    for (uint32_t instance = 0; instance < kKeys; ++instance) {
      auto found = all.find(instance);
      std::optional<uint32_t> expected;
      if (model.count(instance)) expected = model[instance];
      std::optional<uint32_t> actual;
      if (found != all.end()) {
        uint32_t version;
        ASSERT_TRUE(BlobConsistent(instance, found->second, &version)) << "round " << round << " instance " << instance;
        actual = version;
      }
      if (hasOpen && open.instance == instance) {
        // The interrupted operation: before or after, nothing else.
        std::optional<uint32_t> after;
        if (!open.deletion) after = open.version;
        ASSERT_TRUE(actual == expected || actual == after) << "round " << round << " instance " << instance;
        if (actual == after) {
          if (after) model[instance] = *after;
          else model.erase(instance);
        }
      } else {
        ASSERT_EQ(actual, expected) << "round " << round << " instance " << instance;
      }
    }
    ASSERT_EQ(CloseFileSet(pair.def), kOk);
    ASSERT_EQ(ShutdownEngine(), kOk);
  }
  ::close(pipes[0]);
  ::close(pipes[1]);
  EXPECT_GT(roundsWithWork, rounds / 2);
  // After all that the pair is whole and has not grown without bound.
  ASSERT_EQ(InitEngine(3000, 6, 32, 1000, 1), kOk);
  CheckReport report;
  ASSERT_EQ(CheckFileSet(fixture::ResourceDefinition(base), report), kOk);
  EXPECT_TRUE(report.indexMatches);
  EXPECT_EQ(report.liveRecords, model.size());
  EXPECT_LT(report.dataFileSize, uint64_t{kKeys} * 6000 * 3);
  ASSERT_EQ(ShutdownEngine(), kOk);
}

TEST(EngineProcesses, KilledWritersLoseNothingThatReturned) { KillLoop(120, false); }

TEST(EngineProcesses, KilledWriterIsRepairedUnderAWatcher) { KillLoop(40, true); }

}  // namespace
}  // namespace qx::engine

namespace qx::engine {
namespace {

// Each process keeps its own copy of the data file's header; a header change
// made by one must not be undone by another's later change of another field.
TEST(EngineProcesses, HeaderChangesOfTwoProcessesAreBothKept) {
  test::TempDir dir;
  const std::string base = dir / "Res";
  ASSERT_EQ(InitEngine(3000, 6, 32, 1000, 1), kOk);
  Pair pair(base);
  ASSERT_EQ(pair.OpenOrCreate(), kOk);  // this process's copy is read now

  pid_t child = Spawn([&] {
    InitEngine(3000, 6, 32, 1000, 1);
    Pair other(base);
    if (other.OpenOrCreate() != kOk) return 2;
    if (SetFormatStamp(other.def.dataFileNumber, 100) != kOk) return 3;
    CloseFileSet(other.def);
    ShutdownEngine();
    return 0;
  });
  ASSERT_EQ(WaitFor(child), 0);

  uint8_t block[kCreationBlockSize];
  ASSERT_EQ(GetCreationParameters(pair.def.dataFileNumber, block), kOk);
  block[5] ^= 0x5a;
  ASSERT_EQ(SetCreationParameters(pair.def.dataFileNumber, block), kOk);
  uint16_t stamp = 0;
  ASSERT_EQ(GetFormatStamp(pair.def.dataFileNumber, &stamp), kOk);
  EXPECT_EQ(stamp, 100) << "the other process's stamp";
  ASSERT_EQ(CloseFileSet(pair.def), kOk);

  ASSERT_EQ(OpenFileSet(pair.def), kOk);
  uint8_t stored[kCreationBlockSize];
  ASSERT_EQ(GetCreationParameters(pair.def.dataFileNumber, stored), kOk);
  ASSERT_EQ(GetFormatStamp(pair.def.dataFileNumber, &stamp), kOk);
  EXPECT_EQ(stamp, 100);
  EXPECT_EQ(std::memcmp(stored, block, kCreationBlockSize), 0);
  ASSERT_EQ(CloseFileSet(pair.def), kOk);
  ASSERT_EQ(ShutdownEngine(), kOk);
}

// Two programs that open a pair that does not exist yet, at the same moment,
// both through the block database: whichever creates it, both end up using the
// one pair, and neither ends the process because the other was first.
TEST(EngineProcesses, TwoOpenersOfANewPairBothGetIt) {
  const int rounds = 40;
  for (int round = 0; round < rounds; ++round) {
    test::TempDir dir;
    const std::string path = dir / "ResourceDatabase.dat";
    int go[2];
    ASSERT_EQ(::pipe(go), 0);
    auto opener = [&](uint32_t type) {
      return [&, type] {
        char c;
        if (::read(go[0], &c, 1) != 1) return 2;
        BlockDatabase_t db(true);
        if (db.Open(path.c_str(), false) != 0) return 3;
        const char blob[] = "x";
        if (db.Put(type, 1, sizeof blob, blob) != 0) return 4;
        return 0;
      };
    };
    pid_t a = Spawn(opener(1));
    pid_t b = Spawn(opener(2));
    ASSERT_EQ(::write(go[1], "ab", 2), 2);
    EXPECT_EQ(WaitFor(a), 0) << "round " << round;
    EXPECT_EQ(WaitFor(b), 0) << "round " << round;
    ::close(go[0]);
    ::close(go[1]);

    BlockDatabase_t db(true);
    ASSERT_EQ(db.Open(path.c_str(), true), 0);
    for (uint32_t type : {1u, 2u}) {
      std::uint32_t size = 0;
      unsigned char* data = nullptr;
      ASSERT_EQ(db.Get(type, 1, &size, &data), 0) << "round " << round << " type " << type;
      delete[] data;
    }
    if (HasFailure()) return;
  }
}

}  // namespace
}  // namespace qx::engine
