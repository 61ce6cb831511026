#include "tools/author/keyfile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/fs/path.h"

namespace qx::author {

namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::string DecodeHexText(const std::string& text) {
  std::string bytes;
  int high = -1;
  for (char c : text) {
    int v = HexValue(c);
    if (v < 0) continue;
    if (high < 0) {
      high = v;
    } else {
      bytes.push_back(static_cast<char>(high * 16 + v));
      high = -1;
    }
  }
  return bytes;
}

bool ReadTextFile(const std::string& path, std::string& content, std::string* error) {
  const std::string resolved = fs::ResolvePath(path);
  int fd = ::open(resolved.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    *error = "cannot open " + path + ": " + std::strerror(errno);
    return false;
  }
  content.clear();
  char buffer[65536];
  for (;;) {
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      *error = "cannot read " + path + ": " + std::strerror(errno);
      ::close(fd);
      return false;
    }
    if (n == 0) break;
    content.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return true;
}

bool WriteTextFile(const std::string& path, const std::string& content, bool privateFile, bool overwrite,
                   std::string* error) {
  const std::string resolved = fs::ResolvePath(path);
  struct stat st;
  if (!overwrite && ::lstat(resolved.c_str(), &st) == 0) {
    *error = path + " exists (use --force to replace it)";
    return false;
  }
  const std::string temp = resolved + ".tmp";
  ::unlink(temp.c_str());
  int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, privateFile ? 0600 : 0644);
  if (fd < 0) {
    *error = "cannot create " + temp + ": " + std::strerror(errno);
    return false;
  }
  std::size_t done = 0;
  bool ok = true;
  while (ok && done < content.size()) {
    ssize_t n = ::write(fd, content.data() + done, content.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) ok = false;
    else done += static_cast<std::size_t>(n);
  }
  ok = ok && ::fsync(fd) == 0;
  ok = (::close(fd) == 0) && ok;
  if (ok && ::rename(temp.c_str(), resolved.c_str()) != 0) ok = false;
  if (!ok) {
    *error = "cannot write " + path + ": " + std::strerror(errno);
    ::unlink(temp.c_str());
  }
  return ok;
}

}  // namespace qx::author
