#include "platform/fs/stdio_file.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {
constexpr size_t kReadAhead = 4096;
}

CStdioFile::CStdioFile(const char* fileName, UINT openFlags) {
  CFileException error;
  if (!Open(fileName, openFlags, &error)) throw error;
}

BOOL CStdioFile::Open(const char* fileName, UINT openFlags, CFileException* error) {
  DropReadAhead();
  m_bText = !(openFlags & typeBinary);
  return CFile::Open(fileName, openFlags & ~static_cast<UINT>(typeText | typeBinary), error);
}

void CStdioFile::DropReadAhead() {
  if (m_fd >= 0 && m_bufferPos < m_bufferLen) {
    // Step the descriptor back to the first byte not yet handed out.
    ::lseek(m_fd, -static_cast<off_t>(m_bufferLen - m_bufferPos), SEEK_CUR);
  }
  m_bufferPos = m_bufferLen = 0;
}

bool CStdioFile::FillBuffer() {
  if (m_fd < 0) CFileException::ThrowOsError(ERROR_INVALID_HANDLE, m_strFileName.c_str());
  if ((m_nOpenFlags & 0x3) == modeWrite) CFileException::ThrowOsError(ERROR_ACCESS_DENIED, m_strFileName.c_str());
  if (m_buffer.size() < kReadAhead) m_buffer.resize(kReadAhead);
  for (;;) {
    ssize_t got = ::read(m_fd, m_buffer.data(), m_buffer.size());
    if (got < 0) {
      if (errno == EINTR) continue;
      ThrowErrno(errno);
    }
    m_bufferPos = 0;
    m_bufferLen = static_cast<size_t>(got);
    return got > 0;
  }
}

int CStdioFile::GetRawByte() {
  if (m_bufferPos == m_bufferLen && !FillBuffer()) return -1;
  return static_cast<unsigned char>(m_buffer[m_bufferPos++]);
}

int CStdioFile::PeekRawByte() {
  if (m_bufferPos == m_bufferLen && !FillBuffer()) return -1;
  return static_cast<unsigned char>(m_buffer[m_bufferPos]);
}

int CStdioFile::GetChar() {
  int c = GetRawByte();
  if (c == '\r' && m_bText && PeekRawByte() == '\n') {
    ++m_bufferPos;
    return '\n';
  }
  return c;
}

BOOL CStdioFile::ReadString(std::string& line) {
  line.clear();
  int c = GetChar();
  if (c < 0) return FALSE;
  while (c >= 0 && c != '\n') {
    line.push_back(static_cast<char>(c));
    c = GetChar();
  }
  return TRUE;
}

char* CStdioFile::ReadString(char* buffer, UINT maxChars) {
  if (!buffer || maxChars == 0) return nullptr;
  UINT n = 0;
  while (n + 1 < maxChars) {
    int c = GetChar();
    if (c < 0) break;
    buffer[n++] = static_cast<char>(c);
    if (c == '\n') break;
  }
  buffer[n] = '\0';
  return n == 0 && maxChars > 1 ? nullptr : buffer;
}

void CStdioFile::WriteString(const char* text) {
  if (!text) CFileException::ThrowOsError(ERROR_INVALID_PARAMETER, m_strFileName.c_str());
  Write(text, static_cast<UINT>(std::strlen(text)));
}

UINT CStdioFile::Read(void* buffer, UINT count) {
  char* out = static_cast<char*>(buffer);
  UINT done = 0;
  while (done < count) {
    int c = GetChar();
    if (c < 0) break;
    out[done++] = static_cast<char>(c);
  }
  return done;
}

void CStdioFile::Write(const void* buffer, UINT count) {
  DropReadAhead();
  if (!m_bText) {
    CFile::Write(buffer, count);
    return;
  }
  // Translate in pieces so a long text needs no second copy of its size.
  const char* in = static_cast<const char*>(buffer);
  std::string piece;
  piece.reserve(8192);
  for (UINT i = 0; i < count; ++i) {
    if (in[i] == '\n') piece.push_back('\r');
    piece.push_back(in[i]);
    if (piece.size() >= 8190) {
      CFile::Write(piece.data(), static_cast<UINT>(piece.size()));
      piece.clear();
    }
  }
  if (!piece.empty()) CFile::Write(piece.data(), static_cast<UINT>(piece.size()));
}

ULONGLONG CStdioFile::Seek(LONGLONG offset, UINT from) {
  DropReadAhead();
  return CFile::Seek(offset, from);
}

ULONGLONG CStdioFile::GetPosition() const {
  return CFile::GetPosition() - (m_bufferLen - m_bufferPos);
}

void CStdioFile::SetLength(ULONGLONG newLength) {
  DropReadAhead();
  CFile::SetLength(newLength);
}

void CStdioFile::Close() {
  m_bufferPos = m_bufferLen = 0;
  CFile::Close();
}

void CStdioFile::Abort() {
  m_bufferPos = m_bufferLen = 0;
  CFile::Abort();
}
