// The transcript: a record of what the user was shown and what was answered.
//
// Every caption of a dialog (when it is made and whenever it changes), every
// change of a status line (a control with the status-line role), every
// message box (text, buttons, icon, answer and where the answer came from),
// every folder question, and every button press and close request made on
// the user's behalf is recorded, in order. Tests read the entries in memory;
// an unattended run names a file (QX_TRANSCRIPT, see answers.h) that receives
// one line per entry as it happens:
//
//   caption <TAB> text
//   status  <TAB> text
//   box     <TAB> buttons <TAB> icon <TAB> text <TAB> answer <TAB> source [<TAB> note]
//   folder  <TAB> title <TAB> path or "Cancel" <TAB> source [<TAB> note]
//   click   <TAB> button text <TAB> source [<TAB> note]
//   close   <TAB> dialog caption <TAB> source [<TAB> note]
//
// where source is "list", "terminal" or "default", and a backslash, tab,
// carriage return or line feed inside a field is written as \\, \t, \r, \n.
//
// Thread-safe. The file is written line by line, so it is complete at every
// moment.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "platform/ui/renderer.h"

namespace qx::ui {

enum class TranscriptKind { kCaption, kStatus, kMessageBox, kFolder, kClick, kClose };

struct TranscriptEntry_t {
  TranscriptKind kind = TranscriptKind::kStatus;
  std::string text;     // caption, status, box text, folder title, button text
  std::string buttons;  // message box: "OK", "Yes/No", "OK/Cancel", "Retry/Cancel", ...
  std::string icon;     // message box: "error", "question", "warning", "information" or ""
  std::string answer;   // message box: the button; folder: the path or "Cancel"
  AnswerSource source = AnswerSource::kDefault;
  std::string note;     // why a default was used, for instance
};

class CTranscript {
 public:
  static CTranscript& Instance();

  void Record(TranscriptEntry_t entry);
  std::vector<TranscriptEntry_t> Entries() const;
  std::vector<TranscriptEntry_t> Entries(TranscriptKind kind) const;
  // Forgets the entries in memory (the file keeps its lines).
  void Clear();

  // Writes every later entry to `path` (created or truncated). FALSE when it
  // cannot be created; then no file is written.
  bool OpenFile(const std::string& path);
  void CloseFile();

  static std::string FormatLine(const TranscriptEntry_t& entry);
  static const char* SourceName(AnswerSource source);

 private:
  CTranscript() = default;
  mutable std::mutex m_lock;
  std::vector<TranscriptEntry_t> m_entries;
  int m_fd = -1;
};

}  // namespace qx::ui
