// One run of the resource-database workload on one store, for bench/run_engine.sh.
//
//   qx_bench_engine STORE FOLDER [RECORDS]
//
// STORE is "ours" (BlockDatabase_t over the record engine), "sqlite" (a table with
// primary key (type, instance) and a blob; WAL, synchronous=OFF; one prepared
// INSERT OR REPLACE per record) or "lmdb" (MDB_NOSYNC, one write transaction per
// record). FOLDER must be empty or missing. The workload is the same for all:
// RECORDS records (default 100,000) over five types, blob sizes from 16 B to
// 64 KiB spread evenly on a log scale (median about 1 KiB), stored one call at a
// time in a shuffled order; then as many random reads of present keys, each
// handing the blob to the caller in a buffer of its own; then a walk over all
// records in key order that copies each blob out. Prints "put", "get" and "walk"
// with operations per second, one per line.
#include <fcntl.h>
#include <lmdb.h>
#include <unistd.h>
#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "patcher/resdb/block_database.h"

namespace {

struct Record {
  std::uint32_t type;
  std::uint32_t instance;
  std::uint32_t size;
};

struct Workload {
  std::vector<Record> records;  // in the order they are stored
  std::vector<std::uint32_t> reads;  // indexes into records
  std::vector<std::uint8_t> bytes;  // blob contents are windows of this
  std::uint64_t totalBytes = 0;
};

Workload MakeWorkload(std::size_t count) {
  Workload w;
  std::mt19937_64 random(20240611);
  const std::uint32_t types[5] = {1000001, 1000009, 1000010, 1000020, 1000026};
  std::uniform_real_distribution<double> logSize(std::log(16.0), std::log(65536.0));
  for (std::size_t i = 0; i < count; ++i) {
    Record r;
    r.type = types[random() % 5];
    r.instance = static_cast<std::uint32_t>(i * 2654435761u);  // distinct per type
    r.size = static_cast<std::uint32_t>(std::lround(std::exp(logSize(random))));
    w.records.push_back(r);
    w.totalBytes += r.size;
  }
  std::shuffle(w.records.begin(), w.records.end(), random);
  for (std::size_t i = 0; i < count; ++i) w.reads.push_back(static_cast<std::uint32_t>(random() % count));
  w.bytes.resize(65536 + 4096);
  for (auto& b : w.bytes) b = static_cast<std::uint8_t>(random());
  return w;
}

const std::uint8_t* BlobOf(const Workload& w, const Record& r) { return w.bytes.data() + (r.instance % 4096); }

double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

[[noreturn]] void Fail(const std::string& what) {
  std::fprintf(stderr, "qx_bench_engine: %s\n", what.c_str());
  std::exit(1);
}

struct Rates {
  double put = 0, get = 0, walk = 0;
};

// Keeps the copies from being optimised away.
volatile std::uint64_t g_sink;

Rates RunOurs(const Workload& w, const std::string& folder) {
  Rates rates;
  BlockDatabase_t db;
  std::string path = folder + "/ResourceDatabase.dat";
  // The open writes its write-through notices to standard error; keep them out.
  std::fflush(stderr);
  int savedError = ::dup(2);
  int null = ::open("/dev/null", O_WRONLY);
  ::dup2(null, 2);
  int opened = db.Open(path.c_str(), false);
  std::fflush(stderr);
  ::dup2(savedError, 2);
  ::close(null);
  ::close(savedError);
  if (opened != 0) Fail("cannot open " + path);
  auto start = std::chrono::steady_clock::now();
  for (const Record& r : w.records)
    if (db.Put(r.type, r.instance, r.size, BlobOf(w, r)) != 0) Fail("Put failed");
  rates.put = w.records.size() / Seconds(start);

  std::uint64_t sink = 0;
  start = std::chrono::steady_clock::now();
  for (std::uint32_t index : w.reads) {
    const Record& r = w.records[index];
    std::uint32_t size;
    std::uint8_t* data;
    if (db.Get(r.type, r.instance, &size, &data) != 0 || size != r.size) Fail("Get failed");
    sink += data[size / 2];
    delete[] data;
  }
  rates.get = w.reads.size() / Seconds(start);

  std::vector<std::uint8_t> scratch(65536);
  std::size_t walked = 0;
  start = std::chrono::steady_clock::now();
  BlockDatabaseCursor cursor(db);
  std::uint32_t type, instance, size;
  const std::uint8_t* data;
  while (cursor.Next(&type, &instance, &size, &data) == 0) {
    std::memcpy(scratch.data(), data, size);
    sink += scratch[size / 2];
    ++walked;
  }
  rates.walk = walked / Seconds(start);
  if (walked != w.records.size()) Fail("walk saw " + std::to_string(walked) + " records");
  g_sink = sink;
  return rates;
}

void Check(int rc, sqlite3* db, const char* what) {
  if (rc != SQLITE_OK && rc != SQLITE_DONE && rc != SQLITE_ROW) Fail(std::string(what) + ": " + sqlite3_errmsg(db));
}

Rates RunSqlite(const Workload& w, const std::string& folder) {
  Rates rates;
  sqlite3* db = nullptr;
  std::string path = folder + "/resources.sqlite";
  Check(sqlite3_open(path.c_str(), &db), db, "open");
  Check(sqlite3_exec(db,
                     "PRAGMA journal_mode=WAL; PRAGMA synchronous=OFF;"
                     "CREATE TABLE resources(type INTEGER NOT NULL, instance INTEGER NOT NULL, blob BLOB NOT NULL,"
                     " PRIMARY KEY(type, instance));",
                     nullptr, nullptr, nullptr),
        db, "create");
  sqlite3_stmt* put = nullptr;
  Check(sqlite3_prepare_v2(db, "INSERT OR REPLACE INTO resources VALUES(?, ?, ?)", -1, &put, nullptr), db, "prepare");
  auto start = std::chrono::steady_clock::now();
  for (const Record& r : w.records) {
    sqlite3_bind_int64(put, 1, r.type);
    sqlite3_bind_int64(put, 2, r.instance);
    sqlite3_bind_blob(put, 3, BlobOf(w, r), static_cast<int>(r.size), SQLITE_STATIC);
    Check(sqlite3_step(put), db, "insert");
    sqlite3_reset(put);
  }
  rates.put = w.records.size() / Seconds(start);
  sqlite3_finalize(put);

  sqlite3_stmt* get = nullptr;
  Check(sqlite3_prepare_v2(db, "SELECT blob FROM resources WHERE type = ? AND instance = ?", -1, &get, nullptr), db,
        "prepare");
  std::uint64_t sink = 0;
  start = std::chrono::steady_clock::now();
  for (std::uint32_t index : w.reads) {
    const Record& r = w.records[index];
    sqlite3_bind_int64(get, 1, r.type);
    sqlite3_bind_int64(get, 2, r.instance);
    if (sqlite3_step(get) != SQLITE_ROW) Fail("select found nothing");
    int size = sqlite3_column_bytes(get, 0);
    std::uint8_t* data = new std::uint8_t[static_cast<std::size_t>(size)];
    std::memcpy(data, sqlite3_column_blob(get, 0), static_cast<std::size_t>(size));
    sink += data[size / 2];
    delete[] data;
    sqlite3_reset(get);
  }
  rates.get = w.reads.size() / Seconds(start);
  sqlite3_finalize(get);

  sqlite3_stmt* walk = nullptr;
  Check(sqlite3_prepare_v2(db, "SELECT type, instance, blob FROM resources ORDER BY type, instance", -1, &walk, nullptr),
        db, "prepare");
  std::vector<std::uint8_t> scratch(65536);
  std::size_t walked = 0;
  start = std::chrono::steady_clock::now();
  while (sqlite3_step(walk) == SQLITE_ROW) {
    int size = sqlite3_column_bytes(walk, 2);
    std::memcpy(scratch.data(), sqlite3_column_blob(walk, 2), static_cast<std::size_t>(size));
    sink += scratch[static_cast<std::size_t>(size) / 2];
    ++walked;
  }
  rates.walk = walked / Seconds(start);
  sqlite3_finalize(walk);
  sqlite3_close(db);
  if (walked != w.records.size()) Fail("walk saw " + std::to_string(walked) + " records");
  g_sink = sink;
  return rates;
}

void Key(const Record& r, std::uint8_t key[8]) {
  for (int i = 0; i < 4; ++i) {
    key[i] = static_cast<std::uint8_t>(r.type >> (24 - 8 * i));
    key[4 + i] = static_cast<std::uint8_t>(r.instance >> (24 - 8 * i));
  }
}

void Check(int rc, const char* what) {
  if (rc != MDB_SUCCESS) Fail(std::string(what) + ": " + mdb_strerror(rc));
}

Rates RunLmdb(const Workload& w, const std::string& folder) {
  Rates rates;
  MDB_env* env = nullptr;
  Check(mdb_env_create(&env), "env");
  Check(mdb_env_set_mapsize(env, std::size_t{16} << 30), "mapsize");
  Check(mdb_env_open(env, folder.c_str(), MDB_NOSYNC, 0644), "open");
  MDB_dbi dbi;
  {
    MDB_txn* txn;
    Check(mdb_txn_begin(env, nullptr, 0, &txn), "begin");
    Check(mdb_dbi_open(txn, nullptr, 0, &dbi), "dbi");
    Check(mdb_txn_commit(txn), "commit");
  }
  auto start = std::chrono::steady_clock::now();
  for (const Record& r : w.records) {
    MDB_txn* txn;
    std::uint8_t key[8];
    Key(r, key);
    MDB_val k{8, key}, v{r.size, const_cast<std::uint8_t*>(BlobOf(w, r))};
    Check(mdb_txn_begin(env, nullptr, 0, &txn), "begin");
    Check(mdb_put(txn, dbi, &k, &v, 0), "put");
    Check(mdb_txn_commit(txn), "commit");
  }
  rates.put = w.records.size() / Seconds(start);

  std::uint64_t sink = 0;
  start = std::chrono::steady_clock::now();
  for (std::uint32_t index : w.reads) {
    const Record& r = w.records[index];
    MDB_txn* txn;
    std::uint8_t key[8];
    Key(r, key);
    MDB_val k{8, key}, v;
    Check(mdb_txn_begin(env, nullptr, MDB_RDONLY, &txn), "begin");
    Check(mdb_get(txn, dbi, &k, &v), "get");
    std::uint8_t* data = new std::uint8_t[v.mv_size];
    std::memcpy(data, v.mv_data, v.mv_size);
    mdb_txn_abort(txn);
    sink += data[v.mv_size / 2];
    delete[] data;
  }
  rates.get = w.reads.size() / Seconds(start);

  std::vector<std::uint8_t> scratch(65536);
  std::size_t walked = 0;
  start = std::chrono::steady_clock::now();
  {
    MDB_txn* txn;
    MDB_cursor* cursor;
    Check(mdb_txn_begin(env, nullptr, MDB_RDONLY, &txn), "begin");
    Check(mdb_cursor_open(txn, dbi, &cursor), "cursor");
    MDB_val k, v;
    for (int rc = mdb_cursor_get(cursor, &k, &v, MDB_FIRST); rc == 0; rc = mdb_cursor_get(cursor, &k, &v, MDB_NEXT)) {
      std::memcpy(scratch.data(), v.mv_data, v.mv_size);
      sink += scratch[v.mv_size / 2];
      ++walked;
    }
    mdb_cursor_close(cursor);
    mdb_txn_abort(txn);
  }
  rates.walk = walked / Seconds(start);
  mdb_env_close(env);
  g_sink = sink;
  return rates;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: qx_bench_engine ours|sqlite|lmdb FOLDER [RECORDS]\n");
    return 2;
  }
  std::string store = argv[1];
  std::string folder = argv[2];
  std::size_t count = argc > 3 ? std::strtoul(argv[3], nullptr, 10) : 100000;
  std::filesystem::create_directories(folder);
  if (!std::filesystem::is_empty(folder)) Fail(folder + " is not empty");
  Workload w = MakeWorkload(count);
  Rates rates;
  if (store == "ours") {
    rates = RunOurs(w, folder);
  } else if (store == "sqlite") {
    rates = RunSqlite(w, folder);
  } else if (store == "lmdb") {
    rates = RunLmdb(w, folder);
  } else {
    Fail("unknown store " + store);
  }
  std::printf("records %zu\nbytes %llu\nput %.1f\nget %.1f\nwalk %.1f\n", count,
              static_cast<unsigned long long>(w.totalBytes), rates.put, rates.get, rates.walk);
  return 0;
}
