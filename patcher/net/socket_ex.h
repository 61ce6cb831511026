// SocketEx_c: the patcher's own HTTP/1.1 client.
//
// One object lives on the download worker's thread (my_thread.h) for the
// thread's whole life and runs one transfer at a time over one blocking TCP
// connection that the worker has opened before it calls in:
//
//  - GetFile downloads a remote file into a local file, resuming where an
//    earlier attempt stopped (a Range request from the local size), retrying
//    over new connections when the server closes or resets, and writing every
//    received block to disk (open, append, close) before the next receive, so
//    that a stop at any moment leaves every received byte on disk;
//  - GetFileContents fetches a whole response body into a string;
//  - GetRemoteFileSize asks for a size with a HEAD request.
//
// All three read the response header from the first block received (at most
// 512 bytes) with GetLength. A header that does not end within that block
// fails the transfer with a log line. Body receives after that block ask for
// up to 256 KiB (kBodyBlockSize) rather than 512 bytes: one receive, file
// append and message pass per block is what makes downloads fast, and each
// block still reaches the file before the next receive. The client speaks only this subset of
// HTTP: no chunked coding, no redirects, no proxies, no authentication.
//
// While a file comes in, GetFile keeps the shared TransferProgress record
// (transfer_progress.h) current and reports to the application's main window
// (AfxGetMainWnd): the local file name in its status line (1006), the
// progress messages WM_PATCHER_SETPOS / WM_PATCHER_SETRANGE /
// WM_PATCHER_DOWNLOADSTART (posted), and the one-second timer
// TIMER_DOWNLOAD_PROGRESS, started when the download starts and stopped on
// every way out. Without a main window nothing is reported.
//
// Errors: every problem is one line in the patcher log; the transfers return
// a plain success value or a size (0 = failure). The only message box is the
// one for a local file that cannot be opened for writing. GetTransferError
// tells the caller which socket error (Windows Sockets number) ended a failed
// transfer, or 0 when it failed without one (an error status, a short body,
// a file error, ...).
//
// Cancelling: SetAbort(true) may be called from any thread. It cancels the
// blocking call the connection is waiting in (which then fails), raises
// abortRequested, and cuts short a retry delay. A cancel that arrives while
// the worker has no socket (between two connections of one job) is kept and
// applied to the next socket it creates, so it cannot be lost;
// ClearPendingCancel (called when a new job is posted) forgets it.
//
// Thread-safety: one thread runs the transfers; SetAbort, IsAborted and
// ClearPendingCancel may be called from any other thread meanwhile.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/net/socket.h"

class SocketEx_c : public CSocket {
 public:
  // Bytes asked for by the first receive of a response: the header block.
  static constexpr int kHeaderBlockSize = 512;
  // Bytes asked for by each receive of a body after the header block.
  static constexpr int kBodyBlockSize = 256 * 1024;
  // Retry delays in milliseconds.
  static constexpr int kInitialRetryDelay = 500;
  static constexpr int kMaxRetryDelay = 5000;
  static constexpr int kRetryDelayStep = 200;
  // Attempts before GetFile gives up on a failing send or receive.
  static constexpr int kMaxAttempts = 20;

  enum CountPartFiles_t { kCountPartFiles };

  SocketEx_c();
  ~SocketEx_c() override;

  // Creates the socket (TCP, any local port unless given). A cancel kept
  // from SetAbort(true) applies to the new socket at once.
  BOOL Create(UINT a_nSocketPort = 0, int a_nSocketType = SOCK_STREAM, LPCSTR a_pzSocketAddress = nullptr);

  // Downloads http://host:port/remotePath (no leading '/') into localFile;
  // true when the local file now has the server's size.
  bool GetFile(const char* a_pzHost, int a_nPort, const char* a_pzRemotePath, const char* a_pzLocalFile);

  // Fetches the body of http://host:port/remotePath into a_rsContents (a
  // leading '/' of the path and a "scheme://" in front of the host are
  // dropped); true when the whole announced body arrived. Receiving stops
  // once the announced length is in, without waiting for the server to
  // close; bytes beyond it are not kept.
  bool GetFileContents(const char* a_pzHost, int a_nPort, const char* a_pzRemotePath, std::string& a_rsContents);

  // The size the server announces for remotePath (HEAD request); 0 on failure.
  std::int32_t GetRemoteFileSize(const char* a_pzRemotePath, const char* a_pzHost, int a_nPort);

  // Parses a response header block (zero-terminated text): stores its status
  // in GetLastStatus (0 when the block does not start with an HTTP status
  // line, so an earlier status never stands for it) and returns its "content-length" value, 0 when the
  // status is not 200 or 206 (a_rsError then holds the reason and the whole
  // header, and is also logged) or when the length is missing (a_rsError
  // empty) or not a number below 2 GB. The header part of the text (up to
  // its blank line) is lowered in place for 200 and 206; bytes after it are
  // left alone. a_rnHeaderEnd is the offset just past "\r\n\r\n", or -1.
  std::int32_t GetLength(char* a_pzHeader, std::string& a_rsError, int& a_rnHeaderEnd);

  // The size of one local file; 0 when it does not exist (or is a folder).
  // A file error is logged and counts as 0.
  static std::int32_t GetLocalFileSize(const char* a_pzPath);
  // What a download into a_pzPath already has: the file's size when it
  // exists, else the sum of its part files (a_pzPath + ".*"), else 0.
  static std::int32_t GetLocalFileSize(const char* a_pzPath, CountPartFiles_t);

  void SetAbort(bool a_bAbort);
  bool IsAborted() const;
  void ClearPendingCancel();

  std::int32_t GetLastStatus() const { return m_nLastStatus; }
  int GetTransferError() const { return m_nTransferError; }

 private:
  bool Reconnect();
  // Sleeps a_nMilliseconds, less when an abort is requested meanwhile.
  void WaitRetryDelay(int a_nMilliseconds) const;
  bool FailTransfer(int a_nSocketError);

  std::int32_t m_nLastStatus = 0;
  int m_nTransferError = 0;
  // The error of the last reconnection that failed, reported instead of the
  // "not connected" error that follows from it.
  int m_nReconnectError = 0;
  std::string m_sHost;
  int m_nPort = 0;
  std::atomic<bool> m_bCancelPending{false};
  std::vector<char> m_bodyBuffer;
};
