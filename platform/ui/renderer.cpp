#include "platform/ui/renderer.h"

#include <mutex>

namespace qx::ui {

namespace {

struct Installed {
  std::mutex lock;
  std::shared_ptr<CRenderer> renderer;
};

Installed& TheInstalled() {
  static Installed* installed = new Installed;
  return *installed;
}

}  // namespace

CRenderer::~CRenderer() = default;
void CRenderer::OnDialogCreated(HWND) {}
void CRenderer::OnDialogDestroyed(HWND) {}
void CRenderer::OnTextChanged(HWND, const std::string&) {}
void CRenderer::OnStateChanged(HWND) {}
void CRenderer::OnProgressChanged(HWND, int, int, int) {}
void CRenderer::OnRedraw(HWND) {}
void CRenderer::OnBeep(UINT) {}
bool CRenderer::IsInteractive() const { return false; }
std::optional<int> CRenderer::AskMessageBox(const MessageBoxRequest_t&) { return std::nullopt; }
std::optional<FolderAnswer_t> CRenderer::AskFolder(const FolderRequest_t&) { return std::nullopt; }
void CRenderer::OnMessageBoxAnswered(const MessageBoxRequest_t&, int, AnswerSource, const std::string&) {}
void CRenderer::OnFolderAnswered(const FolderRequest_t&, const FolderAnswer_t&, AnswerSource, const std::string&) {}
void CRenderer::OnDialogWaiting(HWND) {}

void SetRenderer(std::shared_ptr<CRenderer> renderer) {
  Installed& i = TheInstalled();
  std::lock_guard lock(i.lock);
  i.renderer = std::move(renderer);
}

std::shared_ptr<CRenderer> GetRenderer() {
  Installed& i = TheInstalled();
  std::lock_guard lock(i.lock);
  if (!i.renderer) i.renderer = std::make_shared<CRenderer>();
  return i.renderer;
}

}  // namespace qx::ui
