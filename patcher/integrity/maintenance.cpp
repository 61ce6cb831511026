// InetConnection_c::Maintain: fetching damaged files again from the servers'
// maintenance folders.
#include "patcher/integrity/maintenance.h"

#include "patcher/layout/install_paths.h"
#include "patcher/layout/patcher_log.h"
#include "patcher/net/inet_connection.h"
#include "patcher/net/worker_jobs.h"
#include "patcher/resources/resource.h"
#include "patcher/resources/resources.h"
#include "platform/format.h"
#include "platform/fs/file_ops.h"
#include "platform/fs/path.h"
#include "platform/fs/stdio_file.h"
#include "platform/os/clock.h"
#include "platform/ui/message_box.h"

namespace {

// The lines of a text file with CR and LF removed; false when it cannot be opened.
bool ReadLines(const char* a_pzPath, std::vector<std::string>& a_rLines) {
  CStdioFile file;
  if (!file.Open(a_pzPath, CFile::modeRead | CFile::shareDenyWrite | CFile::typeText)) return false;
  std::string line;
  try {
    while (file.ReadString(line)) {
      std::erase(line, '\r');
      a_rLines.push_back(line);
    }
  } catch (const CFileException&) {
    // What was read is used.
  }
  file.Abort();
  return true;
}

}  // namespace

std::string MaintenanceCause(int a_nSocketError) {
  switch (a_nSocketError) {
    case 0: return "because the requested file does not exist!";
    case 10050: return "because the network is down.";
    case 10051: return "because the network is unreachable (no route to host).";
    case 10060: return "because of a timeout.";
    case 10064: return "because the server is down.";
    case 10065: return "because the server is unreachable.";
    default:
      return FormatString(qx::patcher::LoadPatcherString(IDS_UNKNOWN_ERROR).c_str(),
                          static_cast<unsigned>(a_nSocketError));
  }
}

bool InetConnection_c::Maintain(const std::string& a_sArgument) {
  const std::string version = MaintenanceVersion(a_sArgument);

  // A maintenance run has no target version of its own (the window gives the
  // connection an empty one). The server check then asks only that a server
  // delivers its map: with the installed version as the target every map
  // that can be fetched passes, and the route is left alone.
  const std::string targetVersion = m_sTargetVersion;
  if (m_sTargetVersion.empty() || m_sTargetVersion == "Not connected") m_sTargetVersion = m_sLocalVersion;
  const bool haveServers = GetPatchServers();
  m_sTargetVersion = targetVersion;
  if (!haveServers) {
    const std::string text = qx::patcher::LoadPatcherString(IDS_NO_PATCHSERVER_INFO);
    WriteLog(text);
    AfxMessageBox(text, MB_OK);
    return false;
  }

  const std::string requestFile = GetUserDataPath() + kMaintenanceRequestFile;
  std::string request;
  {
    CStdioFile file;
    if (!file.Open(requestFile.c_str(), CFile::modeRead | CFile::shareDenyWrite | CFile::typeText)) {
      AfxMessageBox("Fatal Error! The patcher was told to do maintenance, but \"Maintenance.dat\" is missing.\n"
                    "This means that Quorvex.exe was not able to write the file.\n"
                    "Please check that you have enough free disk-space, and start Quorvex.exe again.",
                    MB_OK);
      return false;
    }
    try {
      file.ReadString(request);
    } catch (const CFileException&) {
      request.clear();
    }
    file.Abort();
  }
  ::DeleteFileA(requestFile.c_str());

  MaintenancePlan_t plan = SplitMaintenanceRequest(request);
  if (!plan.directNaming) {
    std::vector<std::string> lines;
    if (!ReadLines(kInstallChecksumList, lines)) WriteLog("Couldn't open checksums.chk file.");
    const MaintenancePairing_t pairing = PairMaintenanceTargets(plan, lines);
    if (pairing.listEntries != plan.files.size() || pairing.paired != plan.files.size())
      WriteLog("Internal error: Filemapping array had different size than filearray.");
  }

  for (std::size_t i = 0; i < plan.files.size();) {
    const MaintenanceFile_t& file = plan.files[i];
    if (!file.target) {
      // Without a local path the file has nowhere to go, and no other file's
      // path may be taken for it.
      WriteLog(FormatString("InetConnection_c::Maintain(): No local path for '%s' in checksums.chk.",
                            file.name.c_str()));
      WriteLog("Maintenance failed.");
      return false;
    }
    const std::string& target = *file.target;

    bool placed = false;
    bool aborted = false;
    int lastTransferError = 0;
    std::string serverPath;
    for (const ServerInfo_t& server : m_goodServers) {
      m_currentServer = server;
      serverPath = MaintenanceServerPath(server.path, version, file.download);
      ::DeleteFileA(target.c_str());
      qx::net::WorkerSetTimeout(-1);
      WriteLog("Getting file " + serverPath + " to " + file.download);
      if (!qx::net::WorkerGetFile(server.host, server.port, serverPath, file.download)) {
        lastTransferError = qx::net::WorkerLastSocketError();
        // A cancelled download ends the run; the next server must not start
        // a new transfer (which would clear the cancel).
        if (qx::net::TransferAborted()) {
          aborted = true;
          break;
        }
        continue;
      }
      WriteLog("Decompressing " + file.download);
      if (!DecompressGzFile(file.download.c_str())) {
        WriteLog(FormatString("Error decompressing file '%s', getting it again...", file.download.c_str()));
        ::Sleep(500);
        continue;
      }
      if (!qx::fs::NamesEqual(file.name, target)) {
        if (!::MoveFileA(file.name.c_str(), target.c_str())) {
          WriteLog("Couldn't rename " + file.name + " to " + target);
          continue;
        }
        WriteLog("Renamed " + file.name + " to " + target);
      }
      placed = true;
      break;
    }
    if (placed) {
      ++i;
      continue;
    }

    std::string text =
        FormatString(qx::patcher::LoadPatcherString(IDS_MAINTAIN_GET_FILE_ERROR).c_str(), serverPath.c_str());
    if (aborted || qx::net::TransferAborted()) {
      text += "because the user aborted the download process.";
      WriteLog(text);
      WriteLog("Maintenance failed.");
      return false;
    }
    text += MaintenanceCause(lastTransferError);
    text += "\n\nClick Retry to try again, or Cancel to abort.";
    if (AfxMessageBox(text, MB_RETRYCANCEL | MB_ICONEXCLAMATION) == IDRETRY) continue;  // the same file, first server
    WriteLog(text);
    WriteLog("Maintenance failed.");
    return false;
  }
  return true;
}
