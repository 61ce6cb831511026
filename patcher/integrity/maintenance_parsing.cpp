// The pieces of a maintenance run: request, targets, server paths, gzip.
#include <fcntl.h>
#include <strings.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <cstring>

#include "patcher/integrity/checksum_list_format.h"
#include "patcher/integrity/maintenance.h"
#include "platform/fs/file_ops.h"
#include "platform/fs/path.h"

namespace {

bool EqualNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && ::strncasecmp(a.data(), b.data(), a.size()) == 0;
}

constexpr const char* kFixedNames[] = {"checksums.chk", "varnok.pub", "Quorvex.exe", "patchw32.dll"};
constexpr const char* kLauncherFiles[] = {"varnok.pub", "checksums.chk", "checksums.chk.sig"};

}  // namespace

std::string MaintenanceVersion(std::string_view a_sArgument) {
  return std::string(a_sArgument.substr(0, a_sArgument.find(' ')));
}

MaintenancePlan_t SplitMaintenanceRequest(std::string_view a_sLine) {
  MaintenancePlan_t plan;
  std::size_t start = 0;
  for (;;) {
    const std::size_t space = a_sLine.find(' ', start);
    const std::string_view name = a_sLine.substr(start, space == std::string_view::npos ? std::string_view::npos : space - start);
    for (const char* fixed : kFixedNames) {
      if (EqualNoCase(name, fixed)) plan.directNaming = true;
    }
    if (!name.empty()) plan.files.push_back(MaintenanceFile_t{std::string(name), std::string(name) + ".gz", std::nullopt});
    if (space == std::string_view::npos) break;
    start = space + 1;
  }
  if (plan.directNaming) {
    for (MaintenanceFile_t& file : plan.files) {
      std::string target = file.name;
      for (const char* launcherFile : kLauncherFiles) {
        if (EqualNoCase(file.name, launcherFile)) target = kLauncherFolder + file.name;
      }
      file.target = std::move(target);
    }
  }
  return plan;
}

MaintenancePairing_t PairMaintenanceTargets(MaintenancePlan_t& a_plan, const std::vector<std::string>& a_listLines) {
  std::vector<bool> taken(a_listLines.size(), false);
  MaintenancePairing_t pairing;
  std::string path, key;
  for (const std::string& line : a_listLines) {
    if (SplitChecksumLine(line, path, key) == ChecksumLine_t::kNothing) continue;
    for (const MaintenanceFile_t& file : a_plan.files) {
      if (EqualNoCase(key, file.name)) {
        ++pairing.listEntries;
        break;
      }
    }
  }
  for (MaintenanceFile_t& file : a_plan.files) {
    file.target.reset();
    for (std::size_t i = 0; i < a_listLines.size(); ++i) {
      if (taken[i] || SplitChecksumLine(a_listLines[i], path, key) == ChecksumLine_t::kNothing) continue;
      if (!EqualNoCase(key, file.name)) continue;
      taken[i] = true;
      if (!path.empty()) {
        file.target = path;
        ++pairing.paired;
      }
      break;
    }
  }
  return pairing;
}

std::string MaintenanceServerPath(std::string_view a_sBasePath, std::string_view a_sVersion,
                                  std::string_view a_sDownload) {
  std::string path(a_sBasePath);
  if (path.empty() || (path.back() != '\\' && path.back() != '/')) path += '/';
  path += "Maintenance/";
  path += a_sVersion;
  path += '/';
  path += a_sDownload;
  return path;
}

bool DecompressGzFile(const char* a_pzName) {
  constexpr unsigned kBlock = 16384;
  const std::string name = a_pzName;
  std::string input, output;
  if (name.size() > 3 && name.compare(name.size() - 3, 3, ".gz") == 0) {
    input = name;
    output = name.substr(0, name.size() - 3);
  } else {
    input = name + ".gz";
    output = name;
  }

  gzFile in = ::gzopen(qx::fs::ResolvePath(input).c_str(), "rb");
  if (in == nullptr) return false;
  const int out = ::open(qx::fs::ResolvePath(output).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (out < 0) {
    ::gzclose(in);
    return false;
  }
  ::gzbuffer(in, 128 * 1024);
  char buffer[kBlock];
  bool ok = true;
  for (;;) {
    const int got = ::gzread(in, buffer, kBlock);
    if (got < 0) {
      ok = false;
      break;
    }
    if (got == 0) break;
    std::size_t done = 0;
    while (done < static_cast<std::size_t>(got)) {
      const ssize_t wrote = ::write(out, buffer + done, static_cast<std::size_t>(got) - done);
      if (wrote < 0 && errno == EINTR) continue;
      if (wrote <= 0) break;
      done += static_cast<std::size_t>(wrote);
    }
    if (done != static_cast<std::size_t>(got)) {
      ok = false;
      break;
    }
  }
  ok = (::close(out) == 0) && ok;
  // A stream cut short or with a bad trailer is reported by the close.
  ok = (::gzclose(in) == Z_OK) && ok;
  if (!ok) return false;
  ::DeleteFileA(input.c_str());
  return true;
}
