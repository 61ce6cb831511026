#include "platform/ui/transcript.h"

#include <fcntl.h>
#include <unistd.h>

#include "platform/fs/path.h"

namespace qx::ui {

namespace {

const char* KindName(TranscriptKind kind) {
  switch (kind) {
    case TranscriptKind::kCaption: return "caption";
    case TranscriptKind::kStatus: return "status";
    case TranscriptKind::kMessageBox: return "box";
    case TranscriptKind::kFolder: return "folder";
    case TranscriptKind::kClick: return "click";
    case TranscriptKind::kClose: return "close";
  }
  return "?";
}

std::string Escape(const std::string& field) {
  std::string out;
  out.reserve(field.size());
  for (char c : field) {
    switch (c) {
      case '\\': out += "\\\\"; break;
      case '\t': out += "\\t"; break;
      case '\r': out += "\\r"; break;
      case '\n': out += "\\n"; break;
      default: out += c;
    }
  }
  return out;
}

void WriteAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n <= 0) return;  // a transcript that cannot be written only loses lines
    done += static_cast<size_t>(n);
  }
}

}  // namespace

CTranscript& CTranscript::Instance() {
  static CTranscript* transcript = new CTranscript;
  return *transcript;
}

const char* CTranscript::SourceName(AnswerSource source) {
  switch (source) {
    case AnswerSource::kList: return "list";
    case AnswerSource::kTerminal: return "terminal";
    case AnswerSource::kDefault: return "default";
  }
  return "?";
}

std::string CTranscript::FormatLine(const TranscriptEntry_t& e) {
  std::string line = KindName(e.kind);
  auto field = [&line](const std::string& f) {
    line += '\t';
    line += Escape(f);
  };
  switch (e.kind) {
    case TranscriptKind::kCaption:
    case TranscriptKind::kStatus:
      field(e.text);
      break;
    case TranscriptKind::kMessageBox:
      field(e.buttons);
      field(e.icon);
      field(e.text);
      field(e.answer);
      field(SourceName(e.source));
      break;
    case TranscriptKind::kFolder:
      field(e.text);
      field(e.answer);
      field(SourceName(e.source));
      break;
    case TranscriptKind::kClick:
    case TranscriptKind::kClose:
      field(e.text);
      field(SourceName(e.source));
      break;
  }
  const bool answered = e.kind == TranscriptKind::kMessageBox || e.kind == TranscriptKind::kFolder ||
                        e.kind == TranscriptKind::kClick || e.kind == TranscriptKind::kClose;
  if (answered && !e.note.empty()) field(e.note);
  return line + "\n";
}

void CTranscript::Record(TranscriptEntry_t entry) {
  std::lock_guard lock(m_lock);
  if (m_fd >= 0) WriteAll(m_fd, FormatLine(entry));
  m_entries.push_back(std::move(entry));
}

std::vector<TranscriptEntry_t> CTranscript::Entries() const {
  std::lock_guard lock(m_lock);
  return m_entries;
}

std::vector<TranscriptEntry_t> CTranscript::Entries(TranscriptKind kind) const {
  std::lock_guard lock(m_lock);
  std::vector<TranscriptEntry_t> out;
  for (const auto& e : m_entries) {
    if (e.kind == kind) out.push_back(e);
  }
  return out;
}

void CTranscript::Clear() {
  std::lock_guard lock(m_lock);
  m_entries.clear();
}

bool CTranscript::OpenFile(const std::string& path) {
  const std::string resolved = qx::fs::ResolvePath(path);
  const int fd = ::open(resolved.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644);
  std::lock_guard lock(m_lock);
  if (m_fd >= 0) ::close(m_fd);
  m_fd = fd;
  return fd >= 0;
}

void CTranscript::CloseFile() {
  std::lock_guard lock(m_lock);
  if (m_fd >= 0) ::close(m_fd);
  m_fd = -1;
}

}  // namespace qx::ui
