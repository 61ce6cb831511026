// Helpers for tests of the patch library and its tools: small file trees
// written from a table, snapshots of a tree for byte-for-byte comparison,
// deterministic binary content, and a recording callback.
#pragma once

#include <dirent.h>
#include <sys/stat.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "platform/rtpatch/rtpatch.h"

namespace qx::rtpatch::testing {

using Tree = std::map<std::string, std::string>;  // relative path -> content ("/" suffix: a folder)

inline void WriteFile(const std::string& path, const std::string& content) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
}

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

inline void WriteTree(const std::string& root, const Tree& tree) {
  std::filesystem::create_directories(root);
  for (const auto& [rel, content] : tree) {
    if (!rel.empty() && rel.back() == '/') {
      std::filesystem::create_directories(root + "/" + rel);
    } else {
      WriteFile(root + "/" + rel, content);
    }
  }
}

// Every file (with its content) and every folder ("name/" -> "") below root;
// symbolic links appear as "-> target".
inline Tree Snapshot(const std::string& root) {
  Tree tree;
  for (auto it = std::filesystem::recursive_directory_iterator(root);
       it != std::filesystem::recursive_directory_iterator(); ++it) {
    std::string rel = it->path().lexically_relative(root).generic_string();
    if (it->is_symlink()) {
      tree[rel] = "-> " + std::filesystem::read_symlink(it->path()).string();
    } else if (it->is_directory()) {
      tree[rel + "/"] = "";
    } else {
      tree[rel] = ReadFile(it->path().string());
    }
  }
  return tree;
}

// Deterministic "binary" content: random bytes with some repetition, as code
// and data files have.
inline std::string Binary(std::size_t size, unsigned seed) {
  std::mt19937 rng(seed);
  std::string out;
  out.reserve(size);
  while (out.size() < size) {
    if (out.size() > 256 && rng() % 4 == 0) {
      std::size_t from = rng() % (out.size() - 64);
      out.append(out, from, 16 + rng() % 48);
    } else {
      for (int i = 0; i < 32; ++i) out.push_back(static_cast<char>(rng() & 0x3f));
    }
  }
  out.resize(size);
  return out;
}

// `base` with a few bytes changed at scattered places and a short insertion.
inline std::string Edited(std::string base, unsigned seed) {
  std::mt19937 rng(seed);
  for (int i = 0; i < 8 && !base.empty(); ++i) base[rng() % base.size()] ^= 0x5a;
  if (!base.empty()) base.insert(rng() % base.size(), "inserted bytes");
  return base;
}

// Records every callback; can abort (return null) at the n-th call of one id.
struct Recorder {
  struct Call {
    UINT id;
    std::string text;  // file name (7)
    DWORD value;       // count (6) or progress (5)
  };
  std::vector<Call> calls;
  UINT abortId = 0;
  int abortAt = 0;  // 1-based occurrence of abortId that returns null

  static Recorder*& Current() {
    static Recorder* current = nullptr;
    return current;
  }
  static LPVOID Callback(UINT id, LPVOID parm) {
    static char go[] = "";
    Recorder* r = Current();
    if (!r) return go;
    Call call{id, {}, 0};
    if (id == kCallbackFileName) call.text = static_cast<const char*>(parm);
    if (id == kCallbackFileCount || id == kCallbackProgress) call.value = *static_cast<DWORD*>(parm);
    r->calls.push_back(call);
    if (r->abortId == id && --r->abortAt == 0) return nullptr;
    if (id == kCallbackMissingFile || id == kCallbackInvalidPatch) return nullptr;  // as the patcher does
    return go;
  }
  int Count(UINT id) const {
    int n = 0;
    for (const Call& c : calls) n += c.id == id;
    return n;
  }
  std::vector<std::string> Names() const {
    std::vector<std::string> names;
    for (const Call& c : calls) {
      if (c.id == kCallbackFileName) names.push_back(c.text);
    }
    return names;
  }
};

// Installs a recorder for the life of the object.
class Recording {
 public:
  Recording() { Recorder::Current() = &recorder; }
  ~Recording() { Recorder::Current() = nullptr; }
  Recorder recorder;
};

}  // namespace qx::rtpatch::testing
