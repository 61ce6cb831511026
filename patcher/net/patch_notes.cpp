// InetConnection_c::GetPatchNotes: the text for the window's text view.
#include "patcher/net/patch_notes.h"

#include "patcher/net/inet_connection.h"
#include "patcher/net/worker_jobs.h"
#include "patcher/resources/resources.h"
#include "platform/format.h"
#include "platform/fs/stdio_file.h"

void InetConnection_c::GetPatchNotes(const std::string& a_sAddress) {
  if (m_bLocalMode) {
    CStdioFile changes;
    if (changes.Open("Patches\\Changes.txt", CFile::modeRead | CFile::shareDenyWrite | CFile::typeText)) {
      std::string line;
      try {
        while (changes.ReadString(line)) m_sNotesText += line + "\r\n";
      } catch (const CFileException&) {
        // What was read is shown.
      }
      changes.Abort();
    } else {
      m_sNotesText = FormatString("\r\nPatching version %s to %s.\r\n\r\nPlease see ", m_sLocalVersion.c_str(),
                                  m_sTargetVersion.c_str()) +
                     qx::patcher::kGameWebAddress + " for more information.\r\n";
    }
    return;
  }

  const NewsAddress_t address = SplitNewsAddress(a_sAddress);
  std::string page;
  if (qx::net::WorkerGetContents(address.host, address.port, address.path, page)) {
    m_sNotesText = CutNotesBetweenMarkers(page);
  } else {
    m_sNotesText = std::string(kNotesBeginMarker) + "\r\nThe site '" + address.host +
                   "' is not available at the moment.\r\nIf the problem persists, please contact support:\r\n   " +
                   qx::patcher::kSupportAddress + "\r\n" + kNotesEndMarker;
  }
  HtmlToText(m_sNotesText);
}
