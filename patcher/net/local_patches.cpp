// InetConnection_c::SetLocalMode: patch sets from the local "Patches\" folder.
#include "patcher/net/local_patches.h"

#include <strings.h>

#include "patcher/layout/patcher_log.h"
#include "patcher/net/inet_connection.h"
#include "patcher/net/patch_set_format.h"
#include "patcher/net/run_state.h"
#include "platform/format.h"
#include "platform/fs/file_find.h"
#include "platform/fs/file_ops.h"
#include "platform/ui/message_box.h"

namespace {

bool EqualNoCase(const std::string& a, const std::string& b) {
  return a.size() == b.size() && ::strncasecmp(a.data(), b.data(), a.size()) == 0;
}

}  // namespace

void InetConnection_c::SetLocalMode(bool a_bLocal) {
  m_bLocalMode = a_bLocal;
  if (!a_bLocal) return;

  m_route.clear();
  CFileFind finder;
  BOOL more = finder.FindFile("Patches\\V*.*");
  while (more) {
    more = finder.FindNextFile();
    if (finder.IsDots() || finder.IsDirectory()) continue;
    const std::string name = finder.GetFileName();
    const std::string title = finder.GetFileTitle();
    const std::string extension = name.size() > 3 ? name.substr(name.size() - 3) : name;
    bool patchFile = false;
    for (const char* known : kPatchExtensions) patchFile = patchFile || EqualNoCase(extension, known);
    if (!patchFile) {
      ::DeleteFileA(finder.GetFilePath().c_str());
      continue;
    }
    bool listed = false;
    for (const std::string& entry : m_route) listed = listed || EqualNoCase(entry, title);
    if (!listed) {
      WriteLog(FormatString("Local patch '%s' detected.", title.c_str()));
      m_route.push_back(title);
    }
  }

  if (OrderLocalPatches(m_route, m_sLocalVersion) == LocalChain_t::kComplete) return;
  if (m_route.empty()) {
    AfxMessageBox("Couldn't find any valid patches to apply.", MB_OK);
    SetQuitRequested(true);
    return;
  }
  std::string text =
      "One or more patchfiles are missing from the \"\\Patches\" folder.\nThe following patch(es) will be applied:\n\n";
  for (const std::string& entry : m_route) text += "\t" + entry + "\n";
  text += "\nSince the remote version is '" + m_sTargetVersion +
          "', this means you'll have to patch\nmore files when done with this patch. Click OK to start patching,\nor "
          "click Cancel to quit the patcher.";
  if (AfxMessageBox(text, MB_OKCANCEL | MB_ICONWARNING) == IDCANCEL) SetQuitRequested(true);
}
