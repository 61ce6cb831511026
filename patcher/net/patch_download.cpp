// InetConnection_c::GetPatches: download and verification of the route's patch sets.
#include "patcher/net/patch_download.h"

#include <cstdint>

#include "patcher/layout/patcher_log.h"
#include "patcher/net/inet_connection.h"
#include "patcher/net/patch_set_format.h"
#include "patcher/net/progress_window.h"
#include "patcher/net/run_state.h"
#include "patcher/net/socket_ex.h"
#include "patcher/net/worker_jobs.h"
#include "patcher/integrity/file_digest.h"
#include "patcher/resources/resources.h"
#include "platform/format.h"
#include "platform/fs/file_ops.h"
#include "platform/ui/message_box.h"

namespace {

constexpr const char* kPublicKeyFile = "cd_image\\data\\launcher\\varnok.pub";

// Makes sure a folder of the installation exists.
bool EnsureFolder(const char* a_pzFolder) {
  const DWORD attributes = ::GetFileAttributesA(a_pzFolder);
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return true;
  return ::CreateDirectoryA(a_pzFolder, nullptr) != FALSE;
}

// Bytes free for the user on the drive, as a 64-bit number.
std::uint64_t FreeSpace(const std::string& a_sDrive) {
  ULARGE_INTEGER available{};
  if (::GetDiskFreeSpaceExA(a_sDrive.c_str(), &available, nullptr, nullptr)) return available.QuadPart;
  DWORD sectorsPerCluster = 0, bytesPerSector = 0, freeClusters = 0, totalClusters = 0;
  if (!::GetDiskFreeSpaceA(a_sDrive.c_str(), &sectorsPerCluster, &bytesPerSector, &freeClusters, &totalClusters))
    return 0;
  return std::uint64_t{sectorsPerCluster} * bytesPerSector * freeClusters;
}

}  // namespace

std::string PatchDownloadCause(int a_nSocketError) {
  switch (a_nSocketError) {
    case 10050: return " because the network is down.";
    case 10051: return " because the network is ureachable (no route to host).";
    case 10060: return " because of a timeout.";
    case 10064: return " because the sever is down.";
    case 10065: return " because the server is unreachable.";
    default: return FormatString(" Unknown error %u (File does not exist on server?)", static_cast<unsigned>(a_nSocketError));
  }
}

std::string DownloadDrive(const std::string& a_sWorkingFolder) {
  for (const char* separator : {":\\", ":/"}) {
    const std::size_t at = a_sWorkingFolder.find(separator);
    if (at != std::string::npos) return a_sWorkingFolder.substr(0, at + 2);
  }
  if (!a_sWorkingFolder.empty() && a_sWorkingFolder.back() == '/') return a_sWorkingFolder;
  return a_sWorkingFolder + "/";
}

std::string DiskSpaceQuestion(std::uint64_t a_nNeeded, std::uint64_t a_nFree, const std::string& a_sDrive) {
  const std::uint64_t missing = a_nNeeded > a_nFree ? a_nNeeded - a_nFree : 0;
  return FormatString(
      "You need at least %llu Kb free space on drive '%s' to download the patches.\nThis means that you need to "
      "(manually) free up %llu Kb on drive '%s' to continue.\nClick OK to try again or Cancel to quit.",
      static_cast<unsigned long long>(a_nNeeded / 1024), a_sDrive.c_str(),
      static_cast<unsigned long long>(missing / 1024), a_sDrive.c_str());
}

bool InetConnection_c::VerifyPatchSet(const std::string& a_sPatch) {
  const std::string stem = PatchStem(a_sPatch);
  const std::string list = LocalPatchFile(a_sPatch, "CHK");
  qx::net::ShowStatus("Verifying file signature for patch \"" + stem + "\", please wait...");
  qx::net::SendProgressRange(0, 10);
  qx::net::SetProgressStep(1);
  qx::net::StartActivityTimer();
  const bool valid = qx::net::WorkerVerifySignature(kPublicKeyFile, list, LocalPatchFile(a_sPatch, "SIG"));
  qx::net::StopActivityTimer();
  if (!valid) {
    if (IsQuitRequested()) return false;
    AfxMessageBox(FormatString("The file '%s' is not a valid patch,\nor it has been tampered with. It will not be "
                               "applied.\nPlease contact %s for instructions on what to do.",
                               list.c_str(), qx::patcher::kSupportAddress),
                  MB_OK);
    ::DeleteFileA(list.c_str());
    return false;
  }
  return CheckFileDigests(list.c_str());
}

bool InetConnection_c::GetPatches() {
  if (m_bLocalMode) {
    // Patches from a medium or a copied folder are as untrusted as downloaded
    // ones: every set is verified before anything is applied.
    for (const std::string& patch : m_route) {
      if (!VerifyPatchSet(patch)) return false;
    }
    return true;
  }

  if (!EnsureFolder("Patches")) {
    AfxMessageBox("Could not create the Patches directory. Please make sure you have write permission in the "
                  "Quorvex Online directory.",
                  MB_OK | MB_ICONERROR);
    return false;
  }
  if (!EnsureFolder("PatchesUndo")) {
    AfxMessageBox("Could not create the PatchesUndo directory. Please make sure you have write permission in the "
                  "Quorvex Online directory.",
                  MB_OK | MB_ICONERROR);
    return false;
  }
  qx::net::WorkerSetTimeout(-1);

  // Size pass: what is still to be fetched, from the first server that can
  // tell the size of everything up to its last request.
  // Held in 64 bits: a long route may need more than 4 GB.
  std::uint64_t sum = 0;
  for (const ServerInfo_t& server : m_goodServers) {
    sum = 0;  // a repeated pass counts afresh
    m_currentServer = server;
    bool lastSucceeded = false;
    for (const std::string& patch : m_route) {
      for (const char* extension : kPatchExtensions) {
        const std::string remote = RemotePatchFile(server.path, patch, extension);
        std::int32_t size = 0;
        if (!qx::net::WorkerGetSize(server.host, server.port, remote, size) &&
            !qx::net::WorkerGetSize(server.host, server.port, remote, size)) {
          WriteLog(FormatString("InetConnection_c::GetPatches(): Error getting filesize for '%s'\n", remote.c_str()));
          lastSucceeded = false;
          break;
        }
        const std::int32_t present =
            SocketEx_c::GetLocalFileSize(LocalPatchFile(patch, extension).c_str(), SocketEx_c::kCountPartFiles);
        // A local file longer than the server's is fetched again from the start.
        sum += static_cast<std::uint64_t>(present <= size ? size - present : size);
        lastSucceeded = true;
      }
    }
    if (lastSucceeded) break;
  }
  const std::uint64_t needed = 3 * sum;

  // Disk space.
  char folder[MAX_PATH + 1] = {};
  const std::string drive = DownloadDrive(::GetCurrentDirectoryA(sizeof folder, folder) ? folder : ".");
  for (std::uint64_t available = FreeSpace(drive); available <= needed; available = FreeSpace(drive)) {
    if (AfxMessageBox(DiskSpaceQuestion(needed, available, drive), MB_OKCANCEL) == IDCANCEL) {
      WriteLog("InetConnection_c::GetPatches(): User aborted patch-download due to insufficient disk-space.");
      SetQuitRequested(true);
      return false;
    }
  }

  // Download pass. The server index carries over from file to file.
  if (m_route.empty()) return false;
  if (m_goodServers.empty()) {
    WriteLog("InetConnection_c::GetPatches(): No patch server to download from.");
    return false;
  }
  std::size_t serverIndex = 0;
  for (const std::string& patch : m_route) {
    for (const char* extension : kPatchExtensions) {
      const std::string local = LocalPatchFile(patch, extension);
      for (;;) {
        const ServerInfo_t& server = m_goodServers[serverIndex];
        m_currentServer = server;
        const std::string remote = RemotePatchFile(server.path, patch, extension);
        bool repeatAllowed = true;
        bool done = false;
        std::string cause;
        for (;;) {
          qx::net::WorkerSetTimeout(-1);
          if (qx::net::WorkerGetFile(server.host, server.port, remote, local)) {
            done = true;
            break;
          }
          if (qx::net::TransferAborted()) {
            cause = " because the user aborted the download process.";
            break;
          }
          if (!repeatAllowed) break;
          repeatAllowed = false;
          WriteLog("InetConnection_c::GetFile() failed -> Retrying...");
        }
        if (done) break;
        if (cause.empty() && serverIndex + 1 < m_goodServers.size()) {
          ++serverIndex;
          WriteLog("InetConnection_c::GetFile() Couldn't get file several times in row. Trying new server" +
                   m_goodServers[serverIndex].host);
          continue;
        }
        const bool userAbort = !cause.empty();
        if (!userAbort) cause = PatchDownloadCause(qx::net::WorkerLastSocketError());
        const std::string text =
            FormatString("InetConnection_c::GetPatches():\nError getting file '%s'", remote.c_str()) + cause;
        if (!userAbort &&
            AfxMessageBox(text + "\n\nClick Retry to try again, or Cancel to abort.", MB_RETRYCANCEL) == IDRETRY) {
          serverIndex = 0;
          continue;
        }
        qx::net::AbortTransfer();
        WriteLog(text);
        return false;
      }
    }
    if (!VerifyPatchSet(patch)) return false;
  }
  return true;
}
