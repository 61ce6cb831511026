#include "patcher/net/socket_ex.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstring>

#include "patcher/layout/patcher_log.h"
#include "patcher/net/transfer_progress.h"
#include "patcher/resources/resource.h"
#include "platform/format.h"
#include "platform/fs/file.h"
#include "platform/fs/file_find.h"
#include "platform/fs/file_ops.h"
#include "platform/os/clock.h"
#include "platform/ui/app.h"
#include "platform/ui/message_box.h"
#include "platform/ui/message_queue.h"
#include "platform/ui/window.h"

namespace {

constexpr const char* kContentsRequest =
    "GET /%s HTTP/1.1\r\nHost: %s\r\nPragma: no-cache\r\nCache-Control: no-cache\r\nConnection: close\r\n\r\n";
constexpr const char* kSizeRequest =
    "HEAD /%s HTTP/1.1\r\nHost: %s\r\nPragma: no-cache\r\nCache-Control: no-cache\r\n\r\n";
constexpr const char* kPatchFileRequest = "GET /%s HTTP/1.1\r\nHost: %s\r\n";
constexpr const char* kOtherFileRequest = "GET /%s HTTP/1.1\r\nHost: %s\r\nPragma: no-cache\r\nCache-Control: no-cache\r\n";
constexpr const char* kResumeLine = "Range: bytes=%i-%i\r\n";
constexpr const char* kResumingSuffix = " (Resuming Download)";
constexpr const char* kOpenForWritingFailed =
    "Could not open local file for writing. Please make sure you are logged in as administrator\nor that you "
    "have write permission in the Quorvex Online directory.";

// The errors after which a connection is opened again and the request repeated.
bool IsRetryError(int a_nError, bool a_bNotConnectedToo) {
  return a_nError == static_cast<int>(WSAECONNRESET) || a_nError == static_cast<int>(WSAETIMEDOUT) ||
         (a_bNotConnectedToo && a_nError == static_cast<int>(WSAENOTCONN));
}

// Patch files (remote names ending in "res" or "rtp", any case) may come from
// a cache; every other file is asked for fresh.
bool IsPatchFile(const std::string& a_sRemotePath) {
  if (a_sRemotePath.size() < 3) return false;
  std::string tail = a_sRemotePath.substr(a_sRemotePath.size() - 3);
  for (char& c : tail) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return tail == "res" || tail == "rtp";
}

const char* StatusText(int a_nStatus, std::string& a_rsBuffer) {
  switch (a_nStatus) {
    case 400: return "Bad request";
    case 404: return "Not found";
    case 500: return "Internal server error";
    case 505: return "Httpversion not supported";
    default:
      a_rsBuffer = FormatString("Server returned error %i", a_nStatus);
      return a_rsBuffer.c_str();
  }
}

// The status number of a status line read as "%s %d %s": the second
// blank-separated word, read as a decimal number; 0 when there is none.
int ReadStatus(const char* a_pzHeader) {
  const char* p = a_pzHeader;
  while (*p && std::isspace(static_cast<unsigned char>(*p))) ++p;
  if (!*p) return 0;
  while (*p && !std::isspace(static_cast<unsigned char>(*p))) ++p;
  while (*p && std::isspace(static_cast<unsigned char>(*p))) ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = (*p++ == '-');
  if (!std::isdigit(static_cast<unsigned char>(*p))) return 0;
  long long value = 0;
  while (std::isdigit(static_cast<unsigned char>(*p))) {
    value = std::min<long long>(value * 10 + (*p++ - '0'), static_cast<long long>(INT_MAX) + 1);
  }
  if (negative) value = -value;
  return static_cast<int>(std::clamp<long long>(value, INT_MIN, INT_MAX));
}

HWND MainWindow() {
  CWnd* window = AfxGetMainWnd();
  return window ? window->GetSafeHwnd() : nullptr;
}

void PostToMainWindow(UINT a_nMessage, WPARAM a_wParam = 0, LPARAM a_lParam = 0) {
  if (HWND window = MainWindow()) ::PostMessageA(window, a_nMessage, a_wParam, a_lParam);
}

// Appends a block to the local file: open (creating it if needed), append,
// close. False when the file cannot be opened or written.
bool AppendToFile(const std::string& a_sPath, const char* a_pData, int a_nCount) {
  CFile file;
  if (!file.Open(a_sPath.c_str(), CFile::modeWrite | CFile::modeCreate | CFile::modeNoTruncate)) return false;
  try {
    file.SeekToEnd();
    if (a_nCount > 0) file.Write(a_pData, static_cast<UINT>(a_nCount));
    file.Close();
    return true;
  } catch (const CFileException&) {
    file.Abort();
    return false;
  }
}

// Stops the download timer on the main window when a download ends, on
// every way out.
class DownloadTimer {
 public:
  DownloadTimer() {
    m_hWindow = MainWindow();
    if (m_hWindow) ::SetTimer(m_hWindow, TIMER_DOWNLOAD_PROGRESS, TIMER_DOWNLOAD_PROGRESS_MS, nullptr);
  }
  ~DownloadTimer() { Stop(); }
  DownloadTimer(const DownloadTimer&) = delete;
  DownloadTimer& operator=(const DownloadTimer&) = delete;
  void Stop() {
    if (m_hWindow) ::KillTimer(m_hWindow, TIMER_DOWNLOAD_PROGRESS);
    m_hWindow = nullptr;
  }

 private:
  HWND m_hWindow = nullptr;
};

}  // namespace

SocketEx_c::SocketEx_c() = default;

SocketEx_c::~SocketEx_c() = default;

BOOL SocketEx_c::Create(UINT a_nSocketPort, int a_nSocketType, LPCSTR a_pzSocketAddress) {
  if (!CSocket::Create(a_nSocketPort, a_nSocketType, a_pzSocketAddress)) return FALSE;
  if (m_bCancelPending.load()) CancelBlockingCall();
  return TRUE;
}

void SocketEx_c::SetAbort(bool a_bAbort) {
  if (a_bAbort) {
    m_bCancelPending = true;
    CancelBlockingCall();
  }
  GetTransferProgress().abortRequested = a_bAbort;
}

bool SocketEx_c::IsAborted() const { return GetTransferProgress().abortRequested.load(); }

void SocketEx_c::ClearPendingCancel() { m_bCancelPending = false; }

bool SocketEx_c::Reconnect() {
  Close();
  if (!Create() || !Connect(m_sHost.c_str(), static_cast<UINT>(m_nPort))) {
    m_nReconnectError = WSAGetLastError();
    return false;
  }
  m_nReconnectError = 0;
  return true;
}

void SocketEx_c::WaitRetryDelay(int a_nMilliseconds) const {
  constexpr int kSlice = 50;
  for (int waited = 0; waited < a_nMilliseconds && !IsAborted(); waited += kSlice) {
    Sleep(static_cast<DWORD>(std::min(kSlice, a_nMilliseconds - waited)));
  }
}

bool SocketEx_c::FailTransfer(int a_nSocketError) {
  // A connection that could not be opened again shows up as "not connected"
  // on the next call; the caller is told why it could not be opened.
  if (a_nSocketError == static_cast<int>(WSAENOTCONN) && m_nReconnectError != 0) a_nSocketError = m_nReconnectError;
  m_nTransferError = a_nSocketError;
  return false;
}

std::int32_t SocketEx_c::GetLength(char* a_pzHeader, std::string& a_rsError, int& a_rnHeaderEnd) {
  a_rsError.clear();
  const int status = ReadStatus(a_pzHeader);
  m_nLastStatus = status;

  const char* end = std::strstr(a_pzHeader, "\r\n\r\n");
  a_rnHeaderEnd = end ? static_cast<int>(end - a_pzHeader) + 4 : -1;
  const std::size_t headerLength = end ? static_cast<std::size_t>(a_rnHeaderEnd) : std::strlen(a_pzHeader);

  if (status != 200 && status != 206) {
    std::string buffer;
    a_rsError = std::string("SocketEx_c::GetLength(): ") + StatusText(status, buffer) + "\nFull Header follows:\n" +
                a_pzHeader;
    WriteLog(a_rsError);
    return 0;
  }

  // Only the header is lowered: body bytes that came in the same block are
  // file content and stay as they are.
  for (std::size_t i = 0; i < headerLength; ++i) {
    a_pzHeader[i] = static_cast<char>(std::tolower(static_cast<unsigned char>(a_pzHeader[i])));
  }
  static constexpr char kKey[] = "content-length: ";
  constexpr std::size_t kKeyLength = sizeof kKey - 1;
  const std::string_view header(a_pzHeader, headerLength);
  const std::size_t at = header.find(kKey);
  if (at == std::string_view::npos) return 0;

  long long length = 0;
  for (std::size_t i = at + kKeyLength; i < headerLength && std::isdigit(static_cast<unsigned char>(header[i])); ++i) {
    length = length * 10 + (header[i] - '0');
    if (length > INT32_MAX) {
      a_rsError = std::string("SocketEx_c::GetLength(): Content length too large\nFull Header follows:\n") + a_pzHeader;
      WriteLog(a_rsError);
      return 0;
    }
  }
  return static_cast<std::int32_t>(length);
}

std::int32_t SocketEx_c::GetLocalFileSize(const char* a_pzPath) {
  try {
    CFileStatus status;
    if (!CFile::GetStatus(a_pzPath, status)) return 0;
    if (status.m_attribute & CFile::directory) return 0;
    return static_cast<std::int32_t>(std::min<ULONGLONG>(status.m_size, INT32_MAX));
  } catch (const CException& e) {
    char text[2001] = {};
    e.GetErrorMessage(text, sizeof text);
    WriteLog(std::string("SocketEx_c::GetLocalFileSize(): ") + text);
    return 0;
  }
}

std::int32_t SocketEx_c::GetLocalFileSize(const char* a_pzPath, CountPartFiles_t) {
  try {
    CFileStatus status;
    if (CFile::GetStatus(a_pzPath, status) && !(status.m_attribute & CFile::directory)) {
      return static_cast<std::int32_t>(std::min<ULONGLONG>(status.m_size, INT32_MAX));
    }
  } catch (const CException&) {
    // Measured below like a missing file.
  }
  const std::string pattern = std::string(a_pzPath) + ".*";
  CFileFind finder;
  bool found = false;
  ULONGLONG sum = 0;
  BOOL more = finder.FindFile(pattern.c_str());
  while (more) {
    more = finder.FindNextFile();
    if (finder.IsDots() || finder.IsDirectory()) continue;
    found = true;
    sum += finder.GetLength();
  }
  if (found) return static_cast<std::int32_t>(std::min<ULONGLONG>(sum, INT32_MAX));
  return GetLocalFileSize(a_pzPath);
}

std::int32_t SocketEx_c::GetRemoteFileSize(const char* a_pzRemotePath, const char* a_pzHost, int a_nPort) {
  TransferProgress& progress = GetTransferProgress();
  progress.abortRequested = false;
  m_nTransferError = 0;
  m_sHost = a_pzHost;
  m_nPort = a_nPort;
  const std::string request = FormatString(kSizeRequest, a_pzRemotePath, a_pzHost);
  char block[kHeaderBlockSize + 1];

  for (;;) {
    const int sent = Send(request.data(), static_cast<int>(request.size()));
    if (sent == SOCKET_ERROR || progress.abortRequested) {
      const int error = sent == SOCKET_ERROR ? WSAGetLastError() : static_cast<int>(WSAEINTR);
      WriteLog(FormatString("SocketEx_c::GetRemoteFileSize(%s,%s): Send() failed - GetLastError returned %i",
                            a_pzRemotePath, a_pzHost, error));
      FailTransfer(error);
      return 0;
    }
    const int received = Receive(block, kHeaderBlockSize);
    if (received == SOCKET_ERROR || (progress.abortRequested && received > 0)) {
      const int error = received == SOCKET_ERROR ? WSAGetLastError() : static_cast<int>(WSAEINTR);
      WriteLog(FormatString("SocketEx_c::GetRemoteFileSize(%s,%s): Receive() failed - GetLastError returned %i",
                            a_pzRemotePath, a_pzHost, error));
      FailTransfer(error);
      return 0;
    }
    if (received > 0) {
      block[received] = '\0';
      std::string error;
      int headerEnd = -1;
      const std::int32_t length = GetLength(block, error, headerEnd);
      if (length == 0) {
        WriteLog(error);
        return 0;
      }
      if (headerEnd < 0) {
        WriteLog(FormatString("SocketEx_c::GetRemoteFileSize(%s,%s): The response header does not end within "
                              "the first %i bytes",
                              a_pzRemotePath, a_pzHost, kHeaderBlockSize));
        return 0;
      }
      return length;
    }
    // The server closed the connection before answering: ask again on a new one.
    Close();
    WaitRetryDelay(kInitialRetryDelay);
    if (!Reconnect()) {
      WriteLog(FormatString("SocketEx_c::GetRemoteFileSize(%s,%s): Receive() failed - GetLastError returned %i",
                            a_pzRemotePath, a_pzHost, m_nReconnectError));
      FailTransfer(m_nReconnectError);
      return 0;
    }
  }
}

bool SocketEx_c::GetFileContents(const char* a_pzHost, int a_nPort, const char* a_pzRemotePath,
                                 std::string& a_rsContents) {
  TransferProgress& progress = GetTransferProgress();
  progress.abortRequested = false;
  m_nTransferError = 0;

  std::string path = a_pzRemotePath;
  if (!path.empty() && path[0] == '/') path.erase(0, 1);
  std::string host = a_pzHost;
  const std::size_t scheme = host.find("://");
  if (scheme != std::string::npos && scheme > 0) host.erase(0, scheme + 3);

  const std::string request = FormatString(kContentsRequest, path.c_str(), host.c_str());
  if (Send(request.data(), static_cast<int>(request.size())) == SOCKET_ERROR) return FailTransfer(WSAGetLastError());

  auto receiveFailed = [&](int a_nError) {
    WriteLog(FormatString("SocketEx_c::GetFileContents(%s,%i,%s,%s): Receive() failed, GetLastError = %i",
                          host.c_str(), a_nPort, path.c_str(), a_rsContents.c_str(), a_nError));
    return FailTransfer(a_nError);
  };

  char block[kHeaderBlockSize + 1];
  const int received = Receive(block, kHeaderBlockSize);
  if (received == SOCKET_ERROR || progress.abortRequested) {
    return receiveFailed(received == SOCKET_ERROR ? WSAGetLastError() : static_cast<int>(WSAEINTR));
  }
  block[received] = '\0';
  a_rsContents.assign(block, static_cast<std::size_t>(received));
  std::string error;
  int headerEnd = -1;
  const std::int32_t length = GetLength(block, error, headerEnd);
  if (length == 0) {
    WriteLog("FileLenth==0, aborting");
    return FailTransfer(0);
  }
  if (headerEnd < 0) {
    WriteLog(FormatString("SocketEx_c::GetFileContents(%s,%i,%s): The response header does not end within the "
                          "first %i bytes",
                          host.c_str(), a_nPort, path.c_str(), kHeaderBlockSize));
    return FailTransfer(0);
  }
  a_rsContents.assign(block + headerEnd, static_cast<std::size_t>(received - headerEnd));

  // The rest of the body, until the server closes the connection or the
  // announced length is there.
  const std::size_t wanted = static_cast<std::size_t>(length);
  if (m_bodyBuffer.empty()) m_bodyBuffer.resize(kBodyBlockSize);
  while (!progress.abortRequested && a_rsContents.size() < wanted) {
    const int ask = static_cast<int>(std::min<std::size_t>(m_bodyBuffer.size(), wanted - a_rsContents.size()));
    const int more = Receive(m_bodyBuffer.data(), ask);
    if (more == SOCKET_ERROR) return receiveFailed(WSAGetLastError());
    if (more > 0) a_rsContents.append(m_bodyBuffer.data(), static_cast<std::size_t>(more));
    qx::ui::PumpWaitingMessages();
    if (more == 0) break;
  }
  if (a_rsContents.size() > wanted) a_rsContents.resize(wanted);
  if (progress.abortRequested) return FailTransfer(0);
  if (a_rsContents.size() < wanted) {
    WriteLog(FormatString("SocketEx_c::GetFileContents(%s,%i,%s): The connection closed after %i of %i bytes",
                          host.c_str(), a_nPort, path.c_str(), static_cast<int>(a_rsContents.size()), length));
    return FailTransfer(0);
  }
  return true;
}

bool SocketEx_c::GetFile(const char* a_pzHost, int a_nPort, const char* a_pzRemotePath, const char* a_pzLocalFile) {
  TransferProgress& progress = GetTransferProgress();
  const std::string remotePath = a_pzRemotePath;
  const std::string localFile = a_pzLocalFile;
  auto describe = [&](const char* a_pzWhat) {
    return FormatString("SocketEx_c::GetFile(%s,%i,%s,%s):\n %s", a_pzHost, a_nPort, a_pzRemotePath, a_pzLocalFile,
                        a_pzWhat);
  };

  int retryDelay = kInitialRetryDelay;
  int attempt = -1;
  long long runningTotal = 0;
  progress.abortRequested = false;
  progress.bytesDone = 0;
  progress.bytesTotal = 0;
  m_nTransferError = 0;
  m_nReconnectError = 0;
  WriteLog(FormatString("Connecting to %s:%i%s %s", a_pzHost, a_nPort, a_pzRemotePath, a_pzLocalFile));

  const std::int32_t remoteSize = GetRemoteFileSize(a_pzRemotePath, a_pzHost, a_nPort);
  if (remoteSize == 0) {
    WriteLog(describe("Error: Can't get remote filesize"));
    return false;
  }
  // GetRemoteFileSize may have reconnected; later retries use the same server.
  m_sHost = a_pzHost;
  m_nPort = a_nPort;

  std::int32_t localSize = GetLocalFileSize(a_pzLocalFile);
  if (localSize > remoteSize) {
    // A resume would ask for bytes beyond the end; start the file again.
    WriteLog(describe(FormatString("Local file is larger than the remote file (%i > %i bytes); downloading it again",
                                   localSize, remoteSize)
                          .c_str()));
    ::DeleteFileA(a_pzLocalFile);
    localSize = GetLocalFileSize(a_pzLocalFile);
    if (localSize != 0) {
      WriteLog(describe("Error: Can't remove the local file"));
      return false;
    }
  }
  progress.bytesTotal = remoteSize;
  progress.bytesDone = localSize;

  if (HWND window = MainWindow()) ::SetDlgItemTextA(window, IDC_STATUS, a_pzLocalFile);
  PostToMainWindow(WM_PATCHER_SETPOS, static_cast<WPARAM>(localSize));
  PostToMainWindow(WM_PATCHER_DOWNLOADSTART);
  progress.SetCurrentFileText(localFile);
  DownloadTimer timer;

  enum class Next { kAttempt, kFail, kDone };
  char block[kHeaderBlockSize + 1];
  if (m_bodyBuffer.empty()) m_bodyBuffer.resize(kBodyBlockSize);

  for (;;) {
    // One attempt: request, header block, body.
    ++attempt;
    if (progress.bytesDone == progress.bytesTotal) {
      timer.Stop();
      WriteLog("SocketEx_c::GetFile(): Filesize is correct");
      return true;
    }

    std::string request =
        FormatString(IsPatchFile(remotePath) ? kPatchFileRequest : kOtherFileRequest, a_pzRemotePath, a_pzHost);
    if (progress.bytesDone > 0) {
      request += FormatString(kResumeLine, progress.bytesDone.load(), progress.bytesTotal.load());
      runningTotal = progress.bytesDone;
      progress.SetCurrentFileText(localFile + kResumingSuffix);
    }
    request += "\r\n";

    const int sent = Send(request.data(), static_cast<int>(request.size()));
    if (sent == SOCKET_ERROR || progress.abortRequested) {
      const int error = sent == SOCKET_ERROR ? WSAGetLastError() : static_cast<int>(WSAEINTR);
      WriteLog(describe(FormatString("Send() failed, GetLastError = %i", error).c_str()));
      if (!progress.abortRequested && IsRetryError(error, true)) {
        Close();
        WaitRetryDelay(retryDelay);
        retryDelay = std::min(retryDelay + kRetryDelayStep, kMaxRetryDelay);
        Reconnect();
        WriteLog("Send returned error, retrying connection.");
        if (attempt < kMaxAttempts) continue;
        WriteLog("Send failed several times. GetFile() aborted.");
      }
      return FailTransfer(error);
    }
    if (sent == 0) {
      WriteLog("Send returned 0 -> retrying");
      continue;
    }

    int received = Receive(block, kHeaderBlockSize);
    bool receiveFailed = false;
    int error = 0;
    if (received == SOCKET_ERROR || progress.abortRequested) {
      receiveFailed = true;
      error = received == SOCKET_ERROR ? WSAGetLastError() : static_cast<int>(WSAEINTR);
    } else if (received == 0) {
      // Closed before a header: a new connection, a limited number of times.
      ++attempt;
      Close();
      WaitRetryDelay(retryDelay);
      Reconnect();
      WriteLog("Receive() returned 0, retrying connection....");
      if (attempt < kMaxAttempts) continue;
      attempt = 0;
      WriteLog("Receive failed several times. Aborting.");
      receiveFailed = true;
      // The socket error now seen is the last reconnection's (0 when it
      // worked): a reconnection that timed out or was reset is retried.
      error = m_nReconnectError;
    }
    if (receiveFailed) {
      WriteLog(describe(FormatString("Receive() failed, GetLastError = %i", error).c_str()));
      if (!progress.abortRequested && IsRetryError(error, true)) {
        Close();
        WaitRetryDelay(retryDelay);
        Reconnect();
        WriteLog("Receive() returned error, retrying connection....");
        if (attempt < kMaxAttempts) continue;
        WriteLog("Receive failed with error several times. Aborting.");
      }
      return FailTransfer(error);
    }

    block[received] = '\0';
    std::string errorText;
    int headerEnd = -1;
    const std::int32_t length = GetLength(block, errorText, headerEnd);
    if (headerEnd < 0) {
      WriteLog(describe(
          FormatString("The response header does not end within the first %i bytes", kHeaderBlockSize).c_str()));
      return FailTransfer(0);
    }
    const bool success = m_nLastStatus == 200 || m_nLastStatus == 206;
    runningTotal += length;
    if (m_nLastStatus == 200 && progress.bytesDone > 0) {
      // The server ignored the range and sends the whole file: start again.
      ::DeleteFileA(a_pzLocalFile);
      progress.bytesDone = 0;
    }
    // An error status fails the download, also a resumed one: its body is an
    // error page, not the rest of the file.
    if (runningTotal == 0 || !success) {
      WriteLog(errorText);
      timer.Stop();
      WriteLog("File length==0");
      return FailTransfer(0);
    }

    // Bytes beyond the server's size are never written: the file ends at bytesTotal.
    const int room = progress.bytesTotal - progress.bytesDone;
    const int first = std::min(received - headerEnd, room);
    if (!AppendToFile(localFile, block + headerEnd, first)) {
      timer.Stop();
      AfxMessageBox(kOpenForWritingFailed, MB_OK | MB_ICONERROR);
      return FailTransfer(0);
    }
    progress.bytesDone += first;
    PostToMainWindow(WM_PATCHER_SETRANGE, 0, static_cast<LPARAM>(progress.bytesTotal.load()));

    Next next = Next::kDone;
    while (!progress.abortRequested && progress.bytesDone != progress.bytesTotal) {
      const int ask = std::min(static_cast<int>(m_bodyBuffer.size()), progress.bytesTotal - progress.bytesDone);
      received = Receive(m_bodyBuffer.data(), ask);
      if (received > 0) {
        retryDelay = std::max(retryDelay - kRetryDelayStep, kInitialRetryDelay);
        if (!AppendToFile(localFile, m_bodyBuffer.data(), received)) {
          // Dropping the block would leave a hole in the file; stop instead,
          // so that what is on disk stays a true beginning of the file.
          WriteLog(describe(FormatString("Error opening file '%s'", a_pzLocalFile).c_str()));
          next = Next::kFail;
          break;
        }
        progress.bytesDone += received;
        qx::ui::PumpWaitingMessages();
        continue;
      }
      if (received == 0) {
        WriteLog("File length==0, Retrying connection....");
        next = Next::kAttempt;
        break;
      }
      error = WSAGetLastError();
      WriteLog(describe(FormatString("Receive() failed, GetLastError = %i", error).c_str()));
      if (!progress.abortRequested && IsRetryError(error, false)) {
        Close();
        WaitRetryDelay(retryDelay);
        Reconnect();
        WriteLog("Retrying connection....");
        next = Next::kAttempt;
        break;
      }
      return FailTransfer(error);
    }
    if (next == Next::kAttempt) continue;
    if (next == Next::kFail) return FailTransfer(0);

    timer.Stop();
    PostToMainWindow(WM_PATCHER_SETPOS, 0);
    if (progress.bytesDone == progress.bytesTotal) return true;
    return FailTransfer(0);
  }
}
