#include "platform/ui/resources.h"

#include <map>
#include <mutex>

namespace qx::ui {

namespace {

struct Resources {
  std::mutex lock;
  std::map<UINT, DialogTemplate_t> dialogs;
  std::map<UINT, std::string> strings;
};

Resources& TheResources() {
  static Resources* resources = new Resources;
  return *resources;
}

}  // namespace

void RegisterDialogTemplate(DialogTemplate_t dialog) {
  Resources& r = TheResources();
  std::lock_guard lock(r.lock);
  const UINT id = dialog.id;
  r.dialogs[id] = std::move(dialog);
}

std::optional<DialogTemplate_t> FindDialogTemplate(UINT id) {
  Resources& r = TheResources();
  std::lock_guard lock(r.lock);
  const auto it = r.dialogs.find(id);
  if (it == r.dialogs.end()) return std::nullopt;
  return it->second;
}

void RegisterString(UINT id, std::string text) {
  Resources& r = TheResources();
  std::lock_guard lock(r.lock);
  r.strings[id] = std::move(text);
}

std::string LoadResourceString(UINT id) {
  Resources& r = TheResources();
  std::lock_guard lock(r.lock);
  const auto it = r.strings.find(id);
  return it == r.strings.end() ? std::string() : it->second;
}

RECT DialogUnitsToPixels(int x, int y, int cx, int cy) {
  constexpr int kBaseX = 6, kBaseY = 13;
  const LONG left = x * kBaseX / 4, top = y * kBaseY / 8;
  return RECT{left, top, left + cx * kBaseX / 4, top + cy * kBaseY / 8};
}

}  // namespace qx::ui
