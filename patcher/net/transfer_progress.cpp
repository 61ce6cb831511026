#include "patcher/net/transfer_progress.h"

#include <utility>

std::string TransferProgress::GetCurrentFileText() const {
  std::lock_guard<std::mutex> guard(m_textLock);
  return m_sCurrentFileText;
}

void TransferProgress::SetCurrentFileText(std::string a_sText) {
  std::lock_guard<std::mutex> guard(m_textLock);
  m_sCurrentFileText = std::move(a_sText);
}

TransferProgress& GetTransferProgress() {
  static TransferProgress* s_pProgress = new TransferProgress;  // usable during static destruction too
  return *s_pProgress;
}
