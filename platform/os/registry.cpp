#include "platform/os/registry.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <vector>

#include "platform/fs/path.h"

namespace qx::os {

namespace {

struct Value {
  std::string name;  // empty: the default value
  DWORD type = REG_NONE;
  std::string bytes;
};

struct Key {
  std::string path;  // "HKEY_LOCAL_MACHINE\Software\Quorvex Online"
  std::vector<Value> values;
};

using Store = std::vector<Key>;

std::mutex g_storeMutex;

const char* RootName(HKEY key) {
  if (key == HKEY_LOCAL_MACHINE) return "HKEY_LOCAL_MACHINE";
  if (key == HKEY_CURRENT_USER) return "HKEY_CURRENT_USER";
  if (key == HKEY_CLASSES_ROOT) return "HKEY_CLASSES_ROOT";
  if (key == HKEY_USERS) return "HKEY_USERS";
  return nullptr;
}

// Root + '\' + the sub-key with empty parts ("\\", leading or trailing '\') removed.
std::string KeyPath(const char* root, const char* subKey) {
  std::string path = root;
  std::string_view rest = subKey ? subKey : "";
  size_t pos = 0;
  while (pos <= rest.size()) {
    size_t end = rest.find('\\', pos);
    if (end == std::string_view::npos) end = rest.size();
    if (end > pos) {
      path += '\\';
      path += rest.substr(pos, end - pos);
    }
    pos = end + 1;
  }
  return path;
}

bool IsRootName(std::string_view name) {
  return name == "HKEY_LOCAL_MACHINE" || name == "HKEY_CURRENT_USER" || name == "HKEY_CLASSES_ROOT" ||
         name == "HKEY_USERS";
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// A quoted string with \\ and \" escapes starting at text[pos]; pos moves past it.
bool ParseQuoted(std::string_view text, size_t& pos, std::string& out) {
  if (pos >= text.size() || text[pos] != '"') return false;
  out.clear();
  for (++pos; pos < text.size(); ++pos) {
    char c = text[pos];
    if (c == '"') {
      ++pos;
      return true;
    }
    if (c == '\\') {
      if (++pos >= text.size() || (text[pos] != '\\' && text[pos] != '"')) return false;
      c = text[pos];
    }
    out.push_back(c);
  }
  return false;
}

bool ParseHexBytes(std::string_view text, std::string& out) {
  out.clear();
  size_t pos = 0;
  while (pos < text.size()) {
    if (pos + 2 > text.size()) return false;
    int high = HexDigit(text[pos]), low = HexDigit(text[pos + 1]);
    if (high < 0 || low < 0) return false;
    out.push_back(static_cast<char>(high * 16 + low));
    pos += 2;
    if (pos < text.size() && text[pos++] != ',') return false;
    if (pos == text.size() && text.back() == ',') return false;
  }
  return true;
}

bool ParseValueLine(std::string_view line, Value& value) {
  size_t pos = 0;
  if (line[0] == '@') {
    value.name.clear();
    pos = 1;
  } else if (!ParseQuoted(line, pos, value.name) || value.name.empty()) {
    return false;
  }
  if (pos >= line.size() || line[pos++] != '=') return false;
  std::string_view data = line.substr(pos);
  if (!data.empty() && data[0] == '"') {
    size_t p = 0;
    value.type = REG_SZ;
    return ParseQuoted(data, p, value.bytes) && p == data.size();
  }
  if (data.substr(0, 6) == "dword:") {
    std::string_view digits = data.substr(6);
    if (digits.size() != 8) return false;
    std::uint32_t number = 0;
    for (char c : digits) {
      int d = HexDigit(c);
      if (d < 0) return false;
      number = number * 16 + static_cast<std::uint32_t>(d);
    }
    value.type = REG_DWORD;
    value.bytes.assign(reinterpret_cast<const char*>(&number), 4);  // little-endian, as stored on Windows
    return true;
  }
  if (data.substr(0, 4) == "hex:") {
    value.type = REG_BINARY;
    return ParseHexBytes(data.substr(4), value.bytes);
  }
  if (data.substr(0, 4) == "hex(") {
    size_t close = data.find("):");
    if (close == std::string_view::npos || close == 4) return false;
    DWORD type = 0;
    for (char c : data.substr(4, close - 4)) {
      int d = HexDigit(c);
      if (d < 0 || type > 0xFFFFFFF) return false;
      type = type * 16 + static_cast<DWORD>(d);
    }
    value.type = type;
    return ParseHexBytes(data.substr(close + 2), value.bytes);
  }
  return false;
}

// 0 and the store (empty when there is no file), or ERROR_BADDB.
LSTATUS Load(const std::string& file, Store& store) {
  store.clear();
  struct stat st;
  if (::stat(file.c_str(), &st) != 0) return errno == ENOENT ? ERROR_SUCCESS : static_cast<LSTATUS>(ERROR_ACCESS_DENIED);
  std::ifstream in(file, std::ios::binary);
  if (!in) return ERROR_ACCESS_DENIED;
  std::string line;
  Key* current = nullptr;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == ';' || line.rfind("Windows Registry Editor", 0) == 0) continue;
    if (line[0] == '[') {
      if (line.back() != ']' || line.size() < 3) return ERROR_BADDB;
      std::string path = line.substr(1, line.size() - 2);
      if (!IsRootName(path.substr(0, path.find('\\')))) return ERROR_BADDB;
      store.push_back(Key{path, {}});
      current = &store.back();
      continue;
    }
    Value value;
    if (!current || !ParseValueLine(line, value)) return ERROR_BADDB;
    current->values.push_back(std::move(value));
  }
  return ERROR_SUCCESS;
}

bool Printable(const std::string& text) {
  for (char c : text) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) return false;
  }
  return true;
}

std::string Quote(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '\\' || c == '"') out.push_back('\\');
    out.push_back(c);
  }
  return out + "\"";
}

std::string HexBytes(const std::string& bytes) {
  std::string out;
  char buffer[4];
  for (size_t i = 0; i < bytes.size(); ++i) {
    std::snprintf(buffer, sizeof buffer, "%02x", static_cast<unsigned char>(bytes[i]));
    if (i) out.push_back(',');
    out += buffer;
  }
  return out;
}

std::string Format(const Store& store) {
  std::ostringstream out;
  out << "; Registry values of this user (keys and values compare without regard to case)\n";
  for (const Key& key : store) {
    out << "\n[" << key.path << "]\n";
    for (const Value& value : key.values) {
      out << (value.name.empty() ? std::string("@") : Quote(value.name)) << '=';
      char buffer[16];
      if (value.type == REG_SZ && Printable(value.bytes)) {
        out << Quote(value.bytes);
      } else if (value.type == REG_DWORD && value.bytes.size() == 4) {
        std::uint32_t number;
        std::memcpy(&number, value.bytes.data(), 4);
        std::snprintf(buffer, sizeof buffer, "%08x", number);
        out << "dword:" << buffer;
      } else if (value.type == REG_BINARY) {
        out << "hex:" << HexBytes(value.bytes);
      } else {
        std::snprintf(buffer, sizeof buffer, "%x", value.type);
        out << "hex(" << buffer << "):" << HexBytes(value.bytes);
      }
      out << '\n';
    }
  }
  return out.str();
}

Key* FindKey(Store& store, const std::string& path) {
  for (Key& key : store) {
    if (qx::fs::NamesEqual(key.path, path)) return &key;
  }
  return nullptr;
}

Value* FindValue(Key& key, std::string_view name) {
  for (Value& value : key.values) {
    if (qx::fs::NamesEqual(value.name, name)) return &value;
  }
  return nullptr;
}

bool MakeFolders(const std::string& folder) {
  if (folder.empty()) return true;
  struct stat st;
  if (::stat(folder.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
  std::string parent(qx::fs::FolderPart(folder));
  while (parent.size() > 1 && parent.back() == '/') parent.pop_back();
  if (!parent.empty() && parent != folder && !MakeFolders(parent)) return false;
  return ::mkdir(folder.c_str(), 0700) == 0 || errno == EEXIST;
}

// Runs `change` on the store under the cross-process lock and saves it when
// `change` returns ERROR_SUCCESS.
template <class Change>
LSTATUS Modify(Change change) {
  std::lock_guard<std::mutex> guard(g_storeMutex);
  std::string file = RegistryStorePath();
  std::string folder(qx::fs::FolderPart(file));
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  if (!MakeFolders(folder)) return ERROR_ACCESS_DENIED;
  std::string lockName = file + ".lock";
  int lock = ::open(lockName.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (lock < 0) return ERROR_ACCESS_DENIED;
  while (::flock(lock, LOCK_EX) != 0 && errno == EINTR) {
  }
  Store store;
  LSTATUS status = Load(file, store);
  if (status == ERROR_SUCCESS) status = change(store);
  if (status == ERROR_SUCCESS) {
    std::string temp = file + ".tmp";
    std::string text = Format(store);
    std::FILE* out = std::fopen(temp.c_str(), "wb");
    bool ok = out && std::fwrite(text.data(), 1, text.size(), out) == text.size();
    ok = out && std::fflush(out) == 0 && ::fsync(fileno(out)) == 0 && ok;
    if (out && std::fclose(out) != 0) ok = false;
    if (!ok || std::rename(temp.c_str(), file.c_str()) != 0) {
      std::remove(temp.c_str());
      status = ERROR_ACCESS_DENIED;
    }
  }
  ::flock(lock, LOCK_UN);
  ::close(lock);
  return status;
}

}  // namespace

std::string RegistryStorePath() {
  if (const char* file = std::getenv("QX_REGISTRY_FILE"); file && *file) return file;
  if (const char* config = std::getenv("XDG_CONFIG_HOME"); config && config[0] == '/') {
    return std::string(config) + "/quorvex/registry.reg";
  }
  const char* home = std::getenv("HOME");
  return std::string(home && *home ? home : ".") + "/.config/quorvex/registry.reg";
}

}  // namespace qx::os

LSTATUS SHGetValueA(HKEY key, LPCSTR subKey, LPCSTR value, DWORD* type, void* data, DWORD* dataSize) {
  using namespace qx::os;
  const char* root = RootName(key);
  if (!root) return ERROR_INVALID_HANDLE;
  if (data && !dataSize) return ERROR_INVALID_PARAMETER;
  Store store;
  {
    std::lock_guard<std::mutex> guard(g_storeMutex);
    LSTATUS status = Load(RegistryStorePath(), store);
    if (status != ERROR_SUCCESS) return status;
  }
  Key* found = FindKey(store, KeyPath(root, subKey));
  Value* entry = found ? FindValue(*found, value ? value : "") : nullptr;
  if (!entry) return ERROR_FILE_NOT_FOUND;
  std::string bytes = entry->bytes;
  if (entry->type == REG_SZ || entry->type == REG_EXPAND_SZ) bytes.push_back('\0');
  if (type) *type = entry->type;
  if (!dataSize) return ERROR_SUCCESS;
  DWORD room = *dataSize;
  *dataSize = static_cast<DWORD>(bytes.size());
  if (!data) return ERROR_SUCCESS;
  if (bytes.size() > room) return ERROR_MORE_DATA;
  std::memcpy(data, bytes.data(), bytes.size());
  return ERROR_SUCCESS;
}

LSTATUS SHSetValueA(HKEY key, LPCSTR subKey, LPCSTR value, DWORD type, const void* data, DWORD dataSize) {
  using namespace qx::os;
  const char* root = RootName(key);
  if (!root) return ERROR_INVALID_HANDLE;
  if (!data && dataSize) return ERROR_INVALID_PARAMETER;
  std::string bytes(static_cast<const char*>(data), data ? dataSize : 0);
  if (type == REG_SZ || type == REG_EXPAND_SZ) {
    size_t zero = bytes.find('\0');
    if (zero != std::string::npos) bytes.resize(zero);
  }
  if (type == REG_DWORD && bytes.size() != 4) return ERROR_INVALID_PARAMETER;
  std::string path = KeyPath(root, subKey);
  std::string name = value ? value : "";
  return Modify([&](Store& store) -> LSTATUS {
    Key* found = FindKey(store, path);
    if (!found) {
      store.push_back(Key{path, {}});
      found = &store.back();
    }
    Value* entry = FindValue(*found, name);
    if (!entry) {
      found->values.push_back(Value{name, type, bytes});
    } else {
      entry->type = type;
      entry->bytes = bytes;
    }
    return ERROR_SUCCESS;
  });
}

LSTATUS SHDeleteValueA(HKEY key, LPCSTR subKey, LPCSTR value) {
  using namespace qx::os;
  const char* root = RootName(key);
  if (!root) return ERROR_INVALID_HANDLE;
  std::string path = KeyPath(root, subKey);
  std::string name = value ? value : "";
  return Modify([&](Store& store) -> LSTATUS {
    Key* found = FindKey(store, path);
    if (!found) return ERROR_FILE_NOT_FOUND;
    for (auto it = found->values.begin(); it != found->values.end(); ++it) {
      if (qx::fs::NamesEqual(it->name, name)) {
        found->values.erase(it);
        return ERROR_SUCCESS;
      }
    }
    return ERROR_FILE_NOT_FOUND;
  });
}
