#include "patcher/engine/index_file.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace qx::engine {

using namespace format;

namespace {

constexpr uint32_t kInitialPages = 16;
constexpr uint64_t kMaxGrowthPages = 4096;  // grow by at most 16 MiB at a time

std::string Describe(const char* what, uint32_t page) {
  char text[96];
  std::snprintf(text, sizeof(text), "%s (page %u)", what, page);
  return text;
}

}  // namespace

IndexFile::~IndexFile() { Close(); }

int IndexFile::Open(const std::string& path, bool create) {
  Close();
  int flags = O_RDWR | O_CLOEXEC | (create ? O_CREAT : 0);
  int fd = ::open(path.c_str(), flags, 0644);
  if (fd < 0) return errno;
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    int e = errno ? errno : EINVAL;
    ::close(fd);
    return e;
  }
  m_fd = fd;
  int rc = Map(static_cast<uint64_t>(st.st_size));
  if (rc != 0) Close();
  return rc;
}

void IndexFile::Close() {
  if (m_map) ::munmap(m_map, m_mapSize);
  m_map = nullptr;
  m_mapSize = 0;
  if (m_fd >= 0) ::close(m_fd);
  m_fd = -1;
}

int IndexFile::Map(uint64_t size) {
  size = size / kPageSize * kPageSize;
  if (size == m_mapSize) return 0;
  if (size == 0) {
    if (m_map) ::munmap(m_map, m_mapSize);
    m_map = nullptr;
    m_mapSize = 0;
    return 0;
  }
  void* p;
  if (m_map) {
    p = ::mremap(m_map, m_mapSize, size, MREMAP_MAYMOVE);
  } else {
    p = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, m_fd, 0);
  }
  if (p == MAP_FAILED) return errno;
  m_map = static_cast<uint8_t*>(p);
  m_mapSize = size;
  return 0;
}

bool IndexFile::HeaderSound(uint64_t salt) const {
  if (!m_map || m_mapSize < kPageSize) return false;
  const IndexHeader* h = Header();
  if (std::memcmp(h->magic, kIndexMagic, sizeof(kIndexMagic)) != 0) return false;
  if (h->layoutVersion != kLayoutVersion || h->pageSize != kPageSize || h->salt != salt) return false;
  if (h->pageCount < 1 || h->pageCount > MappedPages()) return false;
  if (h->height > kMaxHeight || (h->root == 0) != (h->height == 0) || h->root >= h->pageCount) return false;
  if (h->freePageHead >= h->pageCount) return false;
  for (uint32_t head : h->classHeads) {
    if (head >= h->pageCount) return false;
  }
  if (h->dataEnd < kDataHeaderSize || h->dataEnd > kMaxDataFileSize || h->dataEnd % kSlotAlign != 0) return false;
  return true;
}

int IndexFile::Reset(uint64_t salt, bool truncate) {
  // The change sequence and the opener count belong to the processes using the
  // pair, not to the tree: they survive a reset.
  uint64_t sequence = (m_map && m_mapSize >= kPageSize) ? Header()->changeSequence : 0;
  uint64_t openers = (m_map && m_mapSize >= kPageSize) ? Header()->openers : 0;
  if (truncate) {
    if (::ftruncate(m_fd, 0) != 0 || ::ftruncate(m_fd, kInitialPages * kPageSize) != 0) return errno;
    if (m_map) {
      ::munmap(m_map, m_mapSize);
      m_map = nullptr;
      m_mapSize = 0;
    }
    int rc = Map(kInitialPages * kPageSize);
    if (rc != 0) return rc;
  } else if (m_mapSize < kInitialPages * kPageSize) {
    int rc = Grow(kInitialPages);
    if (rc != 0) return rc;
  }
  std::memset(m_map, 0, kPageSize);
  IndexHeader* h = Header();
  std::memcpy(h->magic, kIndexMagic, sizeof(kIndexMagic));
  h->layoutVersion = kLayoutVersion;
  h->pageSize = kPageSize;
  h->salt = salt;
  h->changeSequence = sequence;
  h->openers = openers;
  h->clean = 0;
  h->pageCount = 1;
  h->dataEnd = kDataHeaderSize;
  h->nextSequence = 1;
  return 0;
}

bool IndexFile::Refresh() {
  if (!m_map) return false;
  if (Header()->pageCount <= MappedPages()) return true;
  struct stat st;
  if (::fstat(m_fd, &st) != 0) return false;
  if (Map(static_cast<uint64_t>(st.st_size)) != 0) return false;
  return Header()->pageCount <= MappedPages();
}

int IndexFile::Grow(uint64_t minPages) {
  // Another process may have grown the file past this process's mapping, and may
  // use the pages it added: the file only ever grows here, from its own size.
  struct stat st;
  if (::fstat(m_fd, &st) != 0) return errno;
  uint64_t current = std::max<uint64_t>(MappedPages(), static_cast<uint64_t>(st.st_size) / kPageSize);
  if (current >= minPages) return Map(current * kPageSize);
  uint64_t pages = std::max<uint64_t>(minPages, current + std::min<uint64_t>(std::max<uint64_t>(current, kInitialPages), kMaxGrowthPages));
  if (pages > 0xffffffffULL) return EFBIG;
  if (::ftruncate(m_fd, static_cast<off_t>(pages * kPageSize)) != 0) return errno;
  return Map(pages * kPageSize);
}

int IndexFile::Reserve(uint32_t pages) {
  uint64_t need = uint64_t{Header()->pageCount} + pages;
  if (need <= MappedPages()) return 0;
  return Grow(need);
}

int IndexFile::TrimFile() {
  uint64_t pages = std::max<uint64_t>(Header()->pageCount, 1);
  if (pages >= MappedPages()) return 0;
  if (::ftruncate(m_fd, static_cast<off_t>(pages * kPageSize)) != 0) return errno;
  return Map(pages * kPageSize);
}

int IndexFile::Sync() {
  if (m_map && ::msync(m_map, m_mapSize, MS_SYNC) != 0) return errno;
  return 0;
}

// ---------------------------------------------------------------------------
// Pages

bool IndexFile::PageUsable(uint32_t page) const {
  return page >= 1 && page < Header()->pageCount && page < MappedPages();
}

const LeafNode* IndexFile::LeafAt(uint32_t page) const {
  if (!PageUsable(page)) return nullptr;
  const LeafNode* leaf = reinterpret_cast<const LeafNode*>(Page(page));
  if (leaf->h.type != kLeafNode || leaf->h.count > kLeafCapacity) return nullptr;
  return leaf;
}

const InnerNode* IndexFile::InnerAt(uint32_t page) const {
  if (!PageUsable(page)) return nullptr;
  const InnerNode* inner = reinterpret_cast<const InnerNode*>(Page(page));
  if (inner->h.type != kInnerNode || inner->h.count > kInnerCapacity) return nullptr;
  return inner;
}

uint32_t IndexFile::AllocPage() {
  IndexHeader* h = Header();
  uint32_t page = 0;
  if (h->freePageHead != 0 && PageUsable(h->freePageHead)) {
    page = h->freePageHead;
    uint32_t next = reinterpret_cast<NodeHeader*>(Page(page))->next;
    h->freePageHead = (next < h->pageCount) ? next : 0;
  } else {
    h->freePageHead = 0;
    if (h->pageCount >= MappedPages()) return 0;
    page = h->pageCount++;
  }
  std::memset(Page(page), 0, kPageSize);
  return page;
}

void IndexFile::FreePage(uint32_t page) {
  if (!PageUsable(page)) return;
  NodeHeader* node = reinterpret_cast<NodeHeader*>(Page(page));
  std::memset(Page(page), 0, kPageSize);
  node->type = kUnusedPage;
  node->next = Header()->freePageHead;
  Header()->freePageHead = page;
}

// ---------------------------------------------------------------------------
// Lookups

bool IndexFile::Descend(uint64_t key, Path* path) const {
  path->clear();
  const IndexHeader* h = Header();
  if (h->height == 0) return true;
  if (h->height > kMaxHeight) return false;
  uint32_t page = h->root;
  for (uint32_t level = 0; level < h->height; ++level) {
    if (level + 1 == h->height) {
      const LeafNode* leaf = LeafAt(page);
      if (!leaf) return false;
      uint32_t slot = static_cast<uint32_t>(std::lower_bound(leaf->keys, leaf->keys + leaf->h.count, key) - leaf->keys);
      path->push_back({page, slot});
      return true;
    }
    const InnerNode* inner = InnerAt(page);
    if (!inner) return false;
    uint32_t index = static_cast<uint32_t>(std::upper_bound(inner->keys, inner->keys + inner->h.count, key) - inner->keys);
    path->push_back({page, index});
    page = inner->children[index];
  }
  return false;
}

IndexFile::Result IndexFile::Find(uint64_t key, LeafValue* value) const {
  Path path;
  if (!Descend(key, &path)) return Result::kDamaged;
  if (path.empty()) return Result::kMissing;
  // Looked at again: another process may have changed the page since the descent.
  const LeafNode* leaf = LeafAt(path.back().page);
  if (!leaf) return Result::kDamaged;
  uint32_t slot = path.back().slot;
  if (slot < leaf->h.count && leaf->keys[slot] == key) {
    *value = leaf->values[slot];
    return Result::kFound;
  }
  return Result::kMissing;
}

IndexFile::Result IndexFile::Edge(bool last, IndexEntry* entry) const {
  const IndexHeader* h = Header();
  if (h->height == 0) return Result::kMissing;
  uint32_t page = h->root;
  for (uint32_t level = 0; level + 1 < h->height; ++level) {
    const InnerNode* inner = InnerAt(page);
    if (!inner) return Result::kDamaged;
    page = inner->children[last ? inner->h.count : 0];
  }
  const LeafNode* leaf = LeafAt(page);
  if (!leaf) return Result::kDamaged;
  if (leaf->h.count == 0) return h->height == 1 ? Result::kMissing : Result::kDamaged;
  uint32_t slot = last ? leaf->h.count - 1u : 0u;
  entry->key = leaf->keys[slot];
  entry->value = leaf->values[slot];
  return Result::kFound;
}

IndexFile::Result IndexFile::First(IndexEntry* entry) const { return Edge(false, entry); }

IndexFile::Result IndexFile::Last(IndexEntry* entry) const { return Edge(true, entry); }

IndexFile::Result IndexFile::After(uint64_t key, IndexEntry* entry) const {
  if (key == ~uint64_t{0}) return Result::kMissing;
  Path path;
  if (!Descend(key + 1, &path)) return Result::kDamaged;
  if (path.empty()) return Result::kMissing;
  const uint32_t height = Header()->height;
  // Each round moves to the next leaf to the right; a damaged tree cannot make it
  // go round for longer than there are pages.
  for (uint32_t guard = 0; guard <= Header()->pageCount; ++guard) {
    const LeafNode* leaf = LeafAt(path.back().page);
    if (!leaf) return Result::kDamaged;
    uint32_t slot = path.back().slot;
    if (slot < leaf->h.count) {
      entry->key = leaf->keys[slot];
      entry->value = leaf->values[slot];
      return entry->key > key ? Result::kFound : Result::kDamaged;
    }
    // Climb to the nearest ancestor with a child further right.
    int level = static_cast<int>(path.size()) - 2;
    for (; level >= 0; --level) {
      const InnerNode* inner = InnerAt(path[level].page);
      if (!inner) return Result::kDamaged;
      if (path[level].slot < inner->h.count) break;
    }
    if (level < 0) return Result::kMissing;
    path.resize(static_cast<size_t>(level) + 1);
    path.back().slot += 1;
    const InnerNode* parent = InnerAt(path.back().page);
    if (!parent) return Result::kDamaged;
    uint32_t page = parent->children[path.back().slot];
    for (uint32_t l = static_cast<uint32_t>(level) + 1; l + 1 < height; ++l) {
      const InnerNode* inner = InnerAt(page);
      if (!inner) return Result::kDamaged;
      path.push_back({page, 0});
      page = inner->children[0];
    }
    path.push_back({page, 0});
  }
  return Result::kDamaged;
}

// ---------------------------------------------------------------------------
// Changes

bool IndexFile::Insert(uint64_t key, const LeafValue& value) {
  IndexHeader* h = Header();
  if (h->height == 0) {
    uint32_t page = AllocPage();
    if (!page) return false;
    LeafNode* leaf = reinterpret_cast<LeafNode*>(Page(page));
    leaf->h.type = kLeafNode;
    leaf->h.count = 1;
    leaf->keys[0] = key;
    leaf->values[0] = value;
    h->root = page;
    h->height = 1;
    return true;
  }
  Path path;
  if (!Descend(key, &path) || path.empty()) return false;
  LeafNode* leaf = reinterpret_cast<LeafNode*>(Page(path.back().page));
  uint32_t slot = path.back().slot;
  uint32_t count = leaf->h.count;
  if (count < kLeafCapacity) {
    std::memmove(leaf->keys + slot + 1, leaf->keys + slot, (count - slot) * sizeof(uint64_t));
    std::memmove(leaf->values + slot + 1, leaf->values + slot, (count - slot) * sizeof(LeafValue));
    leaf->keys[slot] = key;
    leaf->values[slot] = value;
    leaf->h.count = static_cast<uint16_t>(count + 1);
    return true;
  }
  uint32_t rightPage = AllocPage();
  if (!rightPage) return false;
  leaf = reinterpret_cast<LeafNode*>(Page(path.back().page));
  LeafNode* right = reinterpret_cast<LeafNode*>(Page(rightPage));
  right->h.type = kLeafNode;
  // Gather the count + 1 entries in order, then split them. Inserts at the end
  // (keys arriving in order) leave the left node full.
  uint64_t keys[kLeafCapacity + 1];
  LeafValue values[kLeafCapacity + 1];
  std::memcpy(keys, leaf->keys, slot * sizeof(uint64_t));
  std::memcpy(values, leaf->values, slot * sizeof(LeafValue));
  keys[slot] = key;
  values[slot] = value;
  std::memcpy(keys + slot + 1, leaf->keys + slot, (count - slot) * sizeof(uint64_t));
  std::memcpy(values + slot + 1, leaf->values + slot, (count - slot) * sizeof(LeafValue));
  uint32_t total = count + 1;
  uint32_t leftCount = (slot == count) ? count : total / 2;
  std::memcpy(leaf->keys, keys, leftCount * sizeof(uint64_t));
  std::memcpy(leaf->values, values, leftCount * sizeof(LeafValue));
  leaf->h.count = static_cast<uint16_t>(leftCount);
  std::memcpy(right->keys, keys + leftCount, (total - leftCount) * sizeof(uint64_t));
  std::memcpy(right->values, values + leftCount, (total - leftCount) * sizeof(LeafValue));
  right->h.count = static_cast<uint16_t>(total - leftCount);
  return InsertIntoParent(path, path.size() - 1, right->keys[0], rightPage);
}

// The node at path[level] was split; `right` (with keys from `separator` up) goes
// next to it in the parent.
bool IndexFile::InsertIntoParent(Path& path, size_t level, uint64_t separator, uint32_t right) {
  IndexHeader* h = Header();
  if (level == 0) {
    uint32_t rootPage = AllocPage();
    if (!rootPage) return false;
    InnerNode* root = reinterpret_cast<InnerNode*>(Page(rootPage));
    root->h.type = kInnerNode;
    root->h.count = 1;
    root->keys[0] = separator;
    root->children[0] = path[0].page;
    root->children[1] = right;
    h->root = rootPage;
    h->height += 1;
    return true;
  }
  PathStep parentStep = path[level - 1];
  InnerNode* inner = reinterpret_cast<InnerNode*>(Page(parentStep.page));
  uint32_t index = parentStep.slot;  // child index that was split
  uint32_t count = inner->h.count;
  if (count < kInnerCapacity) {
    std::memmove(inner->keys + index + 1, inner->keys + index, (count - index) * sizeof(uint64_t));
    std::memmove(inner->children + index + 2, inner->children + index + 1, (count - index) * sizeof(uint32_t));
    inner->keys[index] = separator;
    inner->children[index + 1] = right;
    inner->h.count = static_cast<uint16_t>(count + 1);
    return true;
  }
  uint32_t newPage = AllocPage();
  if (!newPage) return false;
  inner = reinterpret_cast<InnerNode*>(Page(parentStep.page));
  InnerNode* sibling = reinterpret_cast<InnerNode*>(Page(newPage));
  sibling->h.type = kInnerNode;
  uint64_t keys[kInnerCapacity + 1];
  uint32_t children[kInnerCapacity + 2];
  std::memcpy(keys, inner->keys, index * sizeof(uint64_t));
  keys[index] = separator;
  std::memcpy(keys + index + 1, inner->keys + index, (count - index) * sizeof(uint64_t));
  std::memcpy(children, inner->children, (index + 1) * sizeof(uint32_t));
  children[index + 1] = right;
  std::memcpy(children + index + 2, inner->children + index + 1, (count - index) * sizeof(uint32_t));
  uint32_t total = count + 1;                              // keys
  uint32_t promote = (index == count) ? total - 2 : total / 2;  // index of the key moving up
  std::memcpy(inner->keys, keys, promote * sizeof(uint64_t));
  std::memcpy(inner->children, children, (promote + 1) * sizeof(uint32_t));
  inner->h.count = static_cast<uint16_t>(promote);
  uint32_t rightKeys = total - promote - 1;
  std::memcpy(sibling->keys, keys + promote + 1, rightKeys * sizeof(uint64_t));
  std::memcpy(sibling->children, children + promote + 1, (rightKeys + 1) * sizeof(uint32_t));
  sibling->h.count = static_cast<uint16_t>(rightKeys);
  return InsertIntoParent(path, level - 1, keys[promote], newPage);
}

bool IndexFile::Update(uint64_t key, const LeafValue& value) {
  Path path;
  if (!Descend(key, &path) || path.empty()) return false;
  LeafNode* leaf = reinterpret_cast<LeafNode*>(Page(path.back().page));
  uint32_t slot = path.back().slot;
  if (slot >= leaf->h.count || leaf->keys[slot] != key) return false;
  leaf->values[slot] = value;
  return true;
}

bool IndexFile::Erase(uint64_t key) {
  Path path;
  if (!Descend(key, &path) || path.empty()) return false;
  LeafNode* leaf = reinterpret_cast<LeafNode*>(Page(path.back().page));
  uint32_t slot = path.back().slot;
  uint32_t count = leaf->h.count;
  if (slot >= count || leaf->keys[slot] != key) return false;
  std::memmove(leaf->keys + slot, leaf->keys + slot + 1, (count - slot - 1) * sizeof(uint64_t));
  std::memmove(leaf->values + slot, leaf->values + slot + 1, (count - slot - 1) * sizeof(LeafValue));
  leaf->h.count = static_cast<uint16_t>(count - 1);
  if (count - 1 == 0) RemoveChild(path, path.size() - 1);
  return true;
}

// The node at path[level] is empty: free it and take it out of its parent.
void IndexFile::RemoveChild(Path& path, size_t level) {
  IndexHeader* h = Header();
  FreePage(path[level].page);
  if (level == 0) {
    h->root = 0;
    h->height = 0;
    return;
  }
  InnerNode* inner = reinterpret_cast<InnerNode*>(Page(path[level - 1].page));
  uint32_t index = path[level - 1].slot;
  uint32_t count = inner->h.count;
  if (count == 0) {
    RemoveChild(path, level - 1);
    return;
  }
  // Child `index` covers [keys[index-1], keys[index]); dropping it and one of its
  // bounds leaves its neighbour covering the range.
  uint32_t keyIndex = index > 0 ? index - 1 : 0;
  std::memmove(inner->keys + keyIndex, inner->keys + keyIndex + 1, (count - keyIndex - 1) * sizeof(uint64_t));
  std::memmove(inner->children + index, inner->children + index + 1, (count - index) * sizeof(uint32_t));
  inner->h.count = static_cast<uint16_t>(count - 1);
  // A root with one child gives way to that child.
  while (h->height > 1) {
    InnerNode* root = reinterpret_cast<InnerNode*>(Page(h->root));
    if (root->h.count != 0) break;
    uint32_t only = root->children[0];
    FreePage(h->root);
    h->root = only;
    h->height -= 1;
  }
}

bool IndexFile::BulkLoad(const std::vector<IndexEntry>& sorted) {
  IndexHeader* h = Header();
  if (sorted.empty()) return true;
  // Lowest key and page of each node of the level being built.
  std::vector<std::pair<uint64_t, uint32_t>> level;
  for (size_t i = 0; i < sorted.size(); i += kLeafCapacity) {
    uint32_t page = AllocPage();
    if (!page) return false;
    LeafNode* leaf = reinterpret_cast<LeafNode*>(Page(page));
    leaf->h.type = kLeafNode;
    uint32_t n = static_cast<uint32_t>(std::min<size_t>(kLeafCapacity, sorted.size() - i));
    for (uint32_t j = 0; j < n; ++j) {
      leaf->keys[j] = sorted[i + j].key;
      leaf->values[j] = sorted[i + j].value;
    }
    leaf->h.count = static_cast<uint16_t>(n);
    level.emplace_back(sorted[i].key, page);
  }
  uint32_t height = 1;
  while (level.size() > 1) {
    std::vector<std::pair<uint64_t, uint32_t>> upper;
    const size_t fanout = kInnerCapacity + 1;
    for (size_t i = 0; i < level.size(); i += fanout) {
      size_t n = std::min(fanout, level.size() - i);
      uint32_t page = AllocPage();
      if (!page) return false;
      InnerNode* inner = reinterpret_cast<InnerNode*>(Page(page));
      inner->h.type = kInnerNode;
      for (size_t j = 0; j < n; ++j) {
        inner->children[j] = level[i + j].second;
        if (j > 0) inner->keys[j - 1] = level[i + j].first;
      }
      inner->h.count = static_cast<uint16_t>(n - 1);
      upper.emplace_back(level[i].first, page);
    }
    level.swap(upper);
    ++height;
  }
  h->root = level[0].second;
  h->height = height;
  h->recordCount = sorted.size();
  return true;
}

// ---------------------------------------------------------------------------
// Free data-file slots

bool IndexFile::PushFree(uint64_t offset, uint32_t length) {
  IndexHeader* h = Header();
  uint32_t sizeClass = ClassFloor(length);
  uint32_t head = h->classHeads[sizeClass];
  if (head != 0 && PageUsable(head)) {
    FreeListPage* list = reinterpret_cast<FreeListPage*>(Page(head));
    if (list->h.type == kFreeListPage && list->h.count < kFreeListCapacity) {
      list->slots[list->h.count] = {offset, length, 0};
      list->h.count += 1;
      return true;
    }
  }
  uint32_t page = AllocPage();
  if (!page) return false;
  FreeListPage* list = reinterpret_cast<FreeListPage*>(Page(page));
  list->h.type = kFreeListPage;
  list->h.next = head;
  list->h.count = 1;
  list->slots[0] = {offset, length, 0};
  h->classHeads[sizeClass] = page;
  return true;
}

bool IndexFile::PopFree(uint32_t sizeClass, uint64_t* offset, uint32_t* length) {
  IndexHeader* h = Header();
  const uint64_t need = ClassSize(sizeClass);
  for (uint32_t c = sizeClass; c < kClassCount; ++c) {
    // A damaged list is dropped; its space comes back at the next rebuild.
    for (uint32_t guard = 0; h->classHeads[c] != 0 && guard <= h->pageCount; ++guard) {
      uint32_t head = h->classHeads[c];
      FreeListPage* list = PageUsable(head) ? reinterpret_cast<FreeListPage*>(Page(head)) : nullptr;
      if (!list || list->h.type != kFreeListPage || list->h.count > kFreeListCapacity) {
        h->classHeads[c] = 0;
        break;
      }
      if (list->h.count == 0) {
        h->classHeads[c] = list->h.next < h->pageCount ? list->h.next : 0;
        FreePage(head);
        continue;
      }
      FreeSlot slot = list->slots[--list->h.count];
      if (list->h.count == 0) {
        h->classHeads[c] = list->h.next < h->pageCount ? list->h.next : 0;
        FreePage(head);
      }
      if (slot.offset >= kDataHeaderSize && slot.offset % kSlotAlign == 0 && slot.length >= need &&
          slot.length % kSlotAlign == 0 && slot.offset + slot.length <= h->dataEnd) {
        *offset = slot.offset;
        *length = slot.length;
        return true;
      }
    }
  }
  return false;
}

// ---------------------------------------------------------------------------
// Check

bool IndexFile::CheckTree(uint64_t dataFileSize, std::vector<std::string>* problems,
                          std::vector<IndexEntry>* entries) const {
  const IndexHeader* h = Header();
  const uint64_t dataStart = kDataHeaderSize;
  bool ok = true;
  auto fail = [&](std::string text) {
    ok = false;
    if (problems) problems->push_back(std::move(text));
  };
  if (dataFileSize > h->dataEnd) fail("the data file goes on past the end the index knows");
  std::vector<uint8_t> used(h->pageCount, 0);
  uint64_t counted = 0;
  if (h->height > 0) {
    struct Item {
      uint32_t page;
      uint32_t level;
      uint64_t low;
      uint64_t high;
      bool bounded;  // high is an exclusive bound
    };
    std::vector<Item> stack{{h->root, 0, 0, 0, false}};
    uint64_t previous = 0;
    bool havePrevious = false;
    while (!stack.empty() && ok) {
      Item item = stack.back();
      stack.pop_back();
      if (!PageUsable(item.page)) {
        fail(Describe("tree points outside the file", item.page));
        break;
      }
      if (used[item.page]) {
        fail(Describe("page used twice", item.page));
        break;
      }
      used[item.page] = 1;
      if (item.level + 1 == h->height) {
        const LeafNode* leaf = LeafAt(item.page);
        if (!leaf) {
          fail(Describe("not a leaf", item.page));
          break;
        }
        if (leaf->h.count == 0 && h->height > 1) fail(Describe("empty leaf", item.page));
        for (uint32_t i = 0; i < leaf->h.count; ++i) {
          uint64_t key = leaf->keys[i];
          if ((havePrevious && key <= previous) || key < item.low || (item.bounded && key >= item.high)) {
            fail(Describe("keys out of order", item.page));
            break;
          }
          previous = key;
          havePrevious = true;
          const LeafValue& v = leaf->values[i];
          uint64_t offset = uint64_t{v.offset32} * kSlotAlign;
          uint64_t slot = uint64_t{v.slot32} * kSlotAlign;
          if (offset < dataStart || slot < kSlotHeaderSize + uint64_t{v.length} || offset + slot > h->dataEnd ||
              offset + kSlotHeaderSize + v.length > dataFileSize) {
            fail(Describe("entry points outside the data", item.page));
            break;
          }
          if (entries) entries->push_back({key, v});
          ++counted;
        }
      } else {
        const InnerNode* inner = InnerAt(item.page);
        if (!inner) {
          fail(Describe("not an inner node", item.page));
          break;
        }
        for (uint32_t i = 0; i < inner->h.count; ++i) {
          uint64_t k = inner->keys[i];
          if ((i > 0 && k <= inner->keys[i - 1]) || k < item.low || (item.bounded && k >= item.high)) {
            fail(Describe("separators out of order", item.page));
            break;
          }
        }
        // Children go on the stack right to left so that leaves come out in key order.
        for (int i = inner->h.count; i >= 0 && ok; --i) {
          Item child;
          child.page = inner->children[i];
          child.level = item.level + 1;
          child.low = i == 0 ? item.low : inner->keys[i - 1];
          child.bounded = i < inner->h.count ? true : item.bounded;
          child.high = i < inner->h.count ? inner->keys[i] : item.high;
          stack.push_back(child);
        }
      }
    }
  }
  if (ok && counted != h->recordCount) fail("record count differs from the tree");
  // Free pages and free-slot lists must be chains of unused pages.
  uint32_t page = h->freePageHead;
  for (uint32_t guard = 0; page != 0 && ok; ++guard) {
    if (!PageUsable(page) || used[page] || guard > h->pageCount) {
      fail(Describe("free page chain broken", page));
      break;
    }
    used[page] = 1;
    page = reinterpret_cast<const NodeHeader*>(Page(page))->next;
  }
  for (uint32_t c = 0; c < kClassCount && ok; ++c) {
    page = h->classHeads[c];
    for (uint32_t guard = 0; page != 0 && ok; ++guard) {
      const FreeListPage* list = PageUsable(page) ? reinterpret_cast<const FreeListPage*>(Page(page)) : nullptr;
      if (!list || used[page] || guard > h->pageCount || list->h.type != kFreeListPage ||
          list->h.count > kFreeListCapacity) {
        fail(Describe("free slot list broken", page));
        break;
      }
      used[page] = 1;
      for (uint32_t i = 0; i < list->h.count; ++i) {
        const FreeSlot& s = list->slots[i];
        if (s.offset < dataStart || s.offset % kSlotAlign != 0 || s.length < kSlotHeaderSize ||
            s.offset + s.length > h->dataEnd || s.offset + kSlotHeaderSize > dataFileSize ||
            ClassFloor(s.length) != c) {
          fail(Describe("free slot entry out of range", page));
          break;
        }
      }
      page = list->h.next;
    }
  }
  return ok;
}

}  // namespace qx::engine
