#include "platform/fs/path.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <vector>

namespace qx::fs {

namespace {

char FoldAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool Exists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

// The entry of `folder` whose name equals `name` without regard to case; the
// smallest such name when several differ only in case, so the choice is stable.
bool FindFolded(const std::string& folder, std::string_view name, std::string& found) {
  DIR* dir = ::opendir(folder.empty() ? "." : folder.c_str());
  if (!dir) return false;
  bool any = false;
  while (const dirent* entry = ::readdir(dir)) {
    std::string_view candidate(entry->d_name);
    if (!NamesEqual(candidate, name)) continue;
    if (!any || candidate < found) found.assign(candidate);
    any = true;
  }
  ::closedir(dir);
  return any;
}

}  // namespace

std::string ToSlashes(std::string_view path) {
  std::string out(path);
  std::replace(out.begin(), out.end(), '\\', '/');
  return out;
}

bool NamesEqual(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (FoldAscii(a[i]) != FoldAscii(b[i])) return false;
  }
  return true;
}

std::string_view FileNamePart(std::string_view path) {
  size_t cut = path.find_last_of("/\\");
  return cut == std::string_view::npos ? path : path.substr(cut + 1);
}

std::string_view FolderPart(std::string_view path) {
  size_t cut = path.find_last_of("/\\");
  return cut == std::string_view::npos ? std::string_view() : path.substr(0, cut + 1);
}

std::string ResolvePath(std::string_view path) {
  std::string in = ToSlashes(path);
  if (in.empty() || Exists(in)) return in;  // the common case: the path is right as given

  std::string out;
  out.reserve(in.size());
  size_t pos = 0;
  if (in[0] == '/') {
    out = "/";
    pos = 1;
  }
  bool searching = true;  // false once a component is missing: the rest cannot exist
  while (pos <= in.size()) {
    size_t end = in.find('/', pos);
    if (end == std::string::npos) end = in.size();
    std::string_view component(in.data() + pos, end - pos);
    if (searching && !component.empty() && component != "." && component != "..") {
      std::string exact = out + std::string(component);
      if (!Exists(exact)) {
        std::string found;
        if (FindFolded(out, component, found)) {
          out += found;
        } else {
          out += component;
          searching = false;
        }
      } else {
        out += component;
      }
    } else {
      out += component;
    }
    if (end < in.size()) out += '/';
    pos = end + 1;
  }
  return out;
}

}  // namespace qx::fs
