// CStdioFile: a CFile for text, read and written line by line.
//
// In text mode (the default; typeBinary turns it off) every '\n' written
// becomes CR LF on disk, and on reading a CR directly before an LF is dropped,
// so "\r\n" reads as "\n" (a lone CR is kept). Binary mode passes bytes as
// they are. Reads are buffered; GetPosition and Seek count bytes on disk, and
// Seek or a write drops what was read ahead. Writes go straight to the file,
// so a closed or killed process leaves every written line on disk.
//
// Errors as CFile: Open returns FALSE, the other operations throw
// CFileException. One thread at a time per object.
#pragma once

#include <string>
#include <vector>

#include "platform/fs/file.h"

class CStdioFile : public CFile {
 public:
  CStdioFile() = default;
  // Opens at once; throws CFileException on failure.
  CStdioFile(const char* fileName, UINT openFlags);

  BOOL Open(const char* fileName, UINT openFlags, CFileException* error = nullptr) override;

  // The next line without its line end; FALSE at the end of the file when
  // nothing was left to read (an empty last line before the end gives TRUE).
  BOOL ReadString(std::string& line);
  // At most maxChars - 1 characters up to and including the next '\n', zero
  // terminated; null at the end of the file when nothing was left.
  char* ReadString(char* buffer, UINT maxChars);
  // Writes the text as it stands (no line end is added).
  void WriteString(const char* text);

  UINT Read(void* buffer, UINT count) override;
  void Write(const void* buffer, UINT count) override;
  ULONGLONG Seek(LONGLONG offset, UINT from) override;
  ULONGLONG GetPosition() const override;
  void SetLength(ULONGLONG newLength) override;
  void Close() override;
  void Abort() override;

  bool IsTextMode() const { return m_bText; }

 private:
  // The next byte of the file (after text translation), or -1 at the end.
  int GetChar();
  int GetRawByte();
  int PeekRawByte();
  bool FillBuffer();
  void DropReadAhead();

  bool m_bText = true;
  std::vector<char> m_buffer;
  size_t m_bufferPos = 0;
  size_t m_bufferLen = 0;
};
