// InetConnection_c: the patch servers of the dimension.
#include "patcher/net/server_directory.h"

#include "patcher/layout/install_paths.h"
#include "patcher/layout/patcher_log.h"
#include "patcher/net/progress_window.h"
#include "patcher/net/worker_jobs.h"
#include "patcher/resources/resources.h"
#include "platform/format.h"
#include "platform/ui/message_box.h"

namespace {

std::string SupportSentence() {
  return std::string("If this particular problem persists, contact ") + qx::patcher::kSupportAddress + " for help.";
}

}  // namespace

bool InetConnection_c::GetPatchServers() {
  if (m_bLocalMode) return true;

  const std::string file = GetClientRootPath() + kDimensionServerFile;
  const std::vector<DimensionServer_t> servers = ReadDimensionServers(file);
  if (servers.empty()) {
    const std::string text = FormatString("Error in '%s': Dimension is missing. Please reinstall.", file.c_str());
    WriteLog(text);
    AfxMessageBox(text, MB_OK);
    return false;
  }

  const std::size_t count = servers.size();
  const std::size_t first = ChooseFirstDimensionServer(count) % count;
  qx::net::SendProgressRange(0, static_cast<int>(count));
  qx::net::ShowStatus("Downloading patchserver information, please wait...");
  for (std::size_t attempt = 1; attempt <= count; ++attempt) {
    const DimensionServer_t& server = servers[(first + attempt - 1) % count];
    qx::net::SendProgressPos(static_cast<int>(attempt));
    std::string list;
    if (!qx::net::WorkerGetContents(server.host, server.port, server.path, list)) continue;
    if (CheckPatchServers(list)) {
      WriteLog("Patchserverinformation successfully downloaded.");
      qx::net::ShowStatus("Patchserverinformation successfully downloaded.");
      return true;
    }
    break;  // a list that was fetched but has no usable server ends the search
  }
  WriteLog("InetConnection_c::GetPatchServers(): Couldn't download patch.");
  qx::net::ShowStatus("An error occurred; couldn't download patch!");
  qx::net::SetStartButtonText("Quit");
  return false;
}

bool InetConnection_c::CheckPatchServers(const std::string& a_sListText) {
  if (ParsePatchServerList(a_sListText, m_serverGroups) == ServerListEnd_t::kFieldWithoutColon)
    AfxMessageBox("Error in patchservers.txt on dimension-server." + SupportSentence(), MB_OK);

  int total = 0;
  for (const auto& group : m_serverGroups) total += static_cast<int>(group.size());
  qx::net::SendProgressRange(0, total);
  qx::net::ShowStatus("Checking patch-servers, please wait...");
  m_goodServers.clear();

  int failed = 0;
  for (const auto& group : m_serverGroups) {
    for (const ServerInfo_t& server : group) {
      qx::net::SendProgressPos(failed);
      m_currentServer = server;
      if (GetMapFile()) {
        m_goodServers.push_back(server);
      } else {
        ++failed;
      }
    }
  }
  qx::net::SendProgressPos(total);

  if (failed >= total) {
    const std::string text =
        "Could not find the requested patch on any of the specified patch-servers.\nPlease try again later.\n" +
        SupportSentence();
    WriteLog(text);
    AfxMessageBox(text, MB_OK);
    return false;
  }
  return true;
}
