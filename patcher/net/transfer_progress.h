// The progress of the current download, shared by the transfer code and the
// patcher window.
//
// One process-wide record: the transfer client (socket_ex.h) writes it on the
// download worker's thread while a file comes in, and the window reads it on
// the user-interface thread once a second to show speed, size and time left.
//
//  - abortRequested: raised by SocketEx_c::SetAbort(true) (Cancel in the
//    window, a worker time-out, the patch download's cancel path); cleared
//    when a transfer starts.
//  - bytesDone:      bytes of the current file already present locally.
//  - bytesTotal:     size of the current file on the server.
//  - currentFileText: the local file name for the status line, followed by
//    " (Resuming Download)" while a resumed download runs; "None" at start.
//
// Sizes are 32-bit signed, as everywhere in the transfer code (files of 2 GB
// or more are not supported).
//
// Thread-safety: the three numbers are single atomic words; the text is
// replaced and read whole under a lock. A reader may see values from two
// different moments of one download, which only affects one status update.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

struct TransferProgress {
  std::atomic<bool> abortRequested{false};
  std::atomic<std::int32_t> bytesDone{0};
  std::atomic<std::int32_t> bytesTotal{0};

  std::string GetCurrentFileText() const;
  void SetCurrentFileText(std::string a_sText);

 private:
  mutable std::mutex m_textLock;
  std::string m_sCurrentFileText = "None";
};

// The one record of this process.
TransferProgress& GetTransferProgress();
