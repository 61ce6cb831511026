// InetConnection_c: everything the patcher knows about its patch servers, its
// versions and the patches between them.
//
// One object, a member of the patcher window, lives for the whole run. It
//  - finds the patch servers of the game's dimension: the dimension servers
//    named in "cd_image\data\launcher\DimensionServer.url" serve
//    "patchservers.txt", and every patch server listed there is checked by
//    fetching its version map (GetPatchServers, CheckPatchServers);
//  - reads the installed version from "version.id" and works out the route,
//    the patches from it to the target version, from a server's map
//    (GetMapFile);
//  - brings every patch set of the route into "Patches\", with retries, a
//    change of server and a Retry/Cancel question, and proves each set
//    genuine: the signature of its checksum list, then the digest of every
//    listed file (GetPatches);
//  - makes the plain-text patch notes (GetPatchNotes);
//  - in local mode builds the route from the patch sets found in "Patches\"
//    instead (SetLocalMode); then nothing is downloaded, but every set is
//    still verified as a downloaded one would be;
//  - runs maintenance, which fetches damaged files again (Maintain; defined
//    in patcher/integrity/maintenance.cpp, library qx_maintenance).
//
// Transfers and signature checks run on the download worker (my_thread.h),
// which must have been started; the operations wait for each job while the
// calling thread's window messages keep being dispatched. Progress, status
// texts and the Start button are shown on the calling thread's main window
// (AfxGetMainWnd) when there is one; message boxes go through AfxMessageBox
// and lines through the patcher log. File names are relative to the working
// folder, which is the installation folder.
//
// Errors are results (bool); the user has seen a message box for every
// failure the Parts above name, and the run's stop flag (run_state.h) is set
// where the user gave up.
//
// Not thread-safe: every operation runs on the user-interface thread.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct ServerInfo_t {
  std::string name;  // label from "patchservers.txt"; no operation uses it
  std::string host;
  std::string path;  // folder on the server as written after the port ("/patches", "")
  std::int32_t port = 0;
};

class InetConnection_c {
 public:
  static constexpr int kServerGroups = 10;

  // Reads "version.id" into the local version; the target is "Not connected".
  InetConnection_c();
  virtual ~InetConnection_c();
  InetConnection_c(const InetConnection_c&) = delete;
  InetConnection_c& operator=(const InetConnection_c&) = delete;

  // --- Patch-server directory -------------------------------------------
  // Fetches "patchservers.txt" from the first dimension server that answers
  // (starting at a random one) and checks its servers. True at once in
  // local mode.
  bool GetPatchServers();
  // Reads a server list into the groups and checks every server's map in
  // group order; true when at least one passed (it is then in the good list).
  bool CheckPatchServers(const std::string& a_sListText);

  // --- Versions and route ----------------------------------------------
  // Reads "version.id" again; keeps the value held so far when it cannot be opened.
  std::string GetLocalVersion();
  void SetTargetVersion(const std::string& a_sVersion) { m_sTargetVersion = a_sVersion; }
  const std::string& GetTargetVersion() const { return m_sTargetVersion; }
  // Fetches the map of the current server and rebuilds the route (see
  // version_map.h). True when it leads to the target, or no patch is needed.
  bool GetMapFile();

  // --- Patch download --------------------------------------------------
  // Downloads and verifies every patch set of the route.
  bool GetPatches();

  // --- Patch notes -----------------------------------------------------
  void GetPatchNotes(const std::string& a_sAddress);
  std::string GetNotesText() const { return m_sNotesText; }

  // --- Local patches ---------------------------------------------------
  void SetLocalMode(bool a_bLocal);
  bool IsLocalMode() const { return m_bLocalMode; }

  // --- Maintenance (qx_maintenance) ------------------------------------
  bool Maintain(const std::string& a_sArgument);

  // --- State, for the run and for tests ---------------------------------
  // The route: patch names (stems in local mode), in the order of application.
  std::vector<std::string>& GetRoute() { return m_route; }
  const std::vector<std::string>& GetRoute() const { return m_route; }
  const std::array<std::vector<ServerInfo_t>, kServerGroups>& GetServerGroups() const { return m_serverGroups; }
  const std::vector<ServerInfo_t>& GetGoodServers() const { return m_goodServers; }
  const ServerInfo_t& GetCurrentServer() const { return m_currentServer; }
  void SetCurrentServer(const ServerInfo_t& a_server) { m_currentServer = a_server; }

 protected:
  // The dimension server asked first, among a_nCount (> 0) entries: a
  // uniform random choice. Tests fix it.
  virtual std::size_t ChooseFirstDimensionServer(std::size_t a_nCount);

  bool m_bLocalMode = false;
  std::vector<std::string> m_route;
  std::array<std::vector<ServerInfo_t>, kServerGroups> m_serverGroups;
  std::vector<ServerInfo_t> m_goodServers;
  ServerInfo_t m_currentServer;
  std::string m_sLocalVersion;
  std::string m_sTargetVersion = "Not connected";
  std::string m_sNotesText;

 private:
  bool VerifyPatchSet(const std::string& a_sPatch);
};
