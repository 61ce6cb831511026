// The index file of a pair: a B+tree of 8-byte keys over 4096-byte pages, and the
// lists of free data-file slots by size class (see engine_format.h).
//
// The file is mapped shared, so every process that has the pair open works on the
// same pages and nodes stay in memory without a read per lookup. Changes are made
// in place by the one process that holds the pair's writer lock; the header's
// change sequence is odd while a change is under way, so readers in other
// processes can tell a consistent view from a torn one and look again.
//
// Every page number and count read from the file is checked before it is used; a
// damaged tree makes the lookups answer kDamaged, never read outside the mapping
// or loop. Not thread-safe; the record engine serialises all calls.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "patcher/engine/engine_format.h"

namespace qx::engine {

struct IndexEntry {
  uint64_t key;
  format::LeafValue value;
};

class IndexFile {
 public:
  enum class Result { kFound, kMissing, kDamaged };

  IndexFile() = default;
  ~IndexFile();
  IndexFile(const IndexFile&) = delete;
  IndexFile& operator=(const IndexFile&) = delete;

  // Opens (or, with `create`, creates or empties) the file and maps it. An opened
  // file is not checked here: see HeaderSound and CheckTree. Returns 0 or an errno.
  int Open(const std::string& path, bool create);
  void Close();
  bool IsOpen() const { return m_fd >= 0; }

  format::IndexHeader* Header() const { return reinterpret_cast<format::IndexHeader*>(m_map); }
  // The header belongs to a data file with `salt` and its numbers fit the file.
  bool HeaderSound(uint64_t salt) const;
  // Writes a fresh header for an empty tree (the file is truncated to one page when
  // `truncate`, else its pages stay and are reused).
  int Reset(uint64_t salt, bool truncate);

  // Maps pages that another process added. Returns false when the file is shorter
  // than the header claims.
  bool Refresh();
  // Makes sure `pages` more pages can be allocated without growing the file later.
  int Reserve(uint32_t pages);
  // Gives back unused space at the end of the file (only when no other process has it open).
  int TrimFile();
  int Sync();

  // --- tree ----------------------------------------------------------------
  Result Find(uint64_t key, format::LeafValue* value) const;
  Result First(IndexEntry* entry) const;
  Result Last(IndexEntry* entry) const;
  // The first entry with a key greater than `key`.
  Result After(uint64_t key, IndexEntry* entry) const;
  // Changes; the caller holds the writer lock, has reserved pages, and has checked
  // that the key is absent (Insert) or present (Update, Erase).
  bool Insert(uint64_t key, const format::LeafValue& value);
  bool Update(uint64_t key, const format::LeafValue& value);
  bool Erase(uint64_t key);
  // Builds the tree from entries sorted by key, on an index just Reset.
  bool BulkLoad(const std::vector<IndexEntry>& sorted);

  // --- free data-file slots ------------------------------------------------
  bool PushFree(uint64_t offset, uint32_t length);
  // Takes a slot of at least format::ClassSize(sizeClass) bytes from the lists.
  bool PopFree(uint32_t sizeClass, uint64_t* offset, uint32_t* length);

  // Full check of the tree and the free lists against a data file of
  // `dataFileSize` bytes: ordering, counts, page use, every entry and free slot
  // inside the data. Appends findings to `problems` and, when given, the entries
  // in key order to `entries`.
  bool CheckTree(uint64_t dataFileSize, std::vector<std::string>* problems, std::vector<IndexEntry>* entries) const;

  uint32_t MappedPages() const { return static_cast<uint32_t>(m_mapSize / format::kPageSize); }

 private:
  static constexpr uint32_t kMaxHeight = 24;

  struct PathStep {
    uint32_t page;
    uint32_t slot;  // child index taken (inner) or entry index (leaf)
  };
  // The steps from the root down to a leaf, kept without a heap allocation (a
  // tree is never deeper than kMaxHeight; deeper ones count as damaged).
  class Path {
   public:
    void clear() { m_size = 0; }
    void push_back(PathStep step) {
      if (m_size < kMaxHeight) m_steps[m_size++] = step;
    }
    bool empty() const { return m_size == 0; }
    size_t size() const { return m_size; }
    void resize(size_t size) { m_size = size < m_size ? size : m_size; }
    PathStep& back() { return m_steps[m_size - 1]; }
    const PathStep& back() const { return m_steps[m_size - 1]; }
    PathStep& operator[](size_t i) { return m_steps[i]; }

   private:
    PathStep m_steps[kMaxHeight];
    size_t m_size = 0;
  };

  uint8_t* Page(uint32_t page) const { return m_map + uint64_t{page} * format::kPageSize; }
  bool PageUsable(uint32_t page) const;
  const format::LeafNode* LeafAt(uint32_t page) const;
  const format::InnerNode* InnerAt(uint32_t page) const;
  // Descends to the leaf where `key` belongs, recording the path; false on damage.
  bool Descend(uint64_t key, Path* path) const;
  Result Edge(bool last, IndexEntry* entry) const;
  uint32_t AllocPage();
  void FreePage(uint32_t page);
  bool InsertIntoParent(Path& path, size_t level, uint64_t separator, uint32_t right);
  void RemoveChild(Path& path, size_t level);
  int Grow(uint64_t minPages);
  int Map(uint64_t size);

  int m_fd = -1;
  uint8_t* m_map = nullptr;
  uint64_t m_mapSize = 0;
};

}  // namespace qx::engine
