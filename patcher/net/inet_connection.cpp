// InetConnection_c: construction, versions, and the version map of a server.
#include "patcher/net/inet_connection.h"

#include <random>

#include "patcher/layout/patcher_log.h"
#include "patcher/net/version_map.h"
#include "patcher/net/worker_jobs.h"
#include "platform/format.h"
#include "platform/fs/stdio_file.h"

namespace {

constexpr const char* kVersionFile = "version.id";

}  // namespace

InetConnection_c::InetConnection_c() { GetLocalVersion(); }

InetConnection_c::~InetConnection_c() = default;

std::string InetConnection_c::GetLocalVersion() {
  CStdioFile file;
  if (!file.Open(kVersionFile, CFile::modeRead | CFile::shareDenyWrite | CFile::typeText)) return m_sLocalVersion;
  std::string line;
  try {
    file.ReadString(line);  // an empty file gives an empty version
    m_sLocalVersion = line;
  } catch (const CFileException&) {
    // Unreadable: the value held so far stays.
  }
  file.Abort();
  return m_sLocalVersion;
}

std::size_t InetConnection_c::ChooseFirstDimensionServer(std::size_t a_nCount) {
  static std::mt19937 generator{std::random_device{}()};
  return std::uniform_int_distribution<std::size_t>(0, a_nCount - 1)(generator);
}

bool InetConnection_c::GetMapFile() {
  if (m_bLocalMode) return true;
  std::string path = FormatString("%s/map", m_currentServer.path.c_str());
  if (path.front() != '/') path.insert(0, 1, '/');
  std::string text;
  if (!qx::net::WorkerGetContents(m_currentServer.host, m_currentServer.port, path, text)) {
    WriteLog(FormatString("InetConnection_c::GetMapFile(%s:%i): Didn't get mapfile.", m_currentServer.host.c_str(),
                          m_currentServer.port));
    return false;
  }
  const std::string source = FormatString("%s:%i", m_currentServer.host.c_str(), m_currentServer.port);
  RouteResult_t result = ComputeRoute(m_sLocalVersion, m_sTargetVersion, ParseVersionMap(text, source));
  if (result.routeRebuilt) m_route = std::move(result.route);
  return result.reachesTarget;
}
