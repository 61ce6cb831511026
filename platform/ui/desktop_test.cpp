#include "platform/ui/desktop.h"

#include "platform/ui/fake_desktop.h"
#include "platform/ui/ui_test_support.h"
#include "platform/ui/window.h"

namespace qx::ui::test {
namespace {

using DesktopTest = UiTest;

std::vector<HWND> Enumerate() {
  std::vector<HWND> out;
  EnumWindows([](HWND h, LPARAM p) {
    reinterpret_cast<std::vector<HWND>*>(p)->push_back(h);
    return TRUE;
  }, reinterpret_cast<LPARAM>(&out));
  return out;
}

std::vector<std::string> Titles() {
  std::vector<std::string> out;
  for (HWND h : Enumerate()) {
    char title[256];
    GetWindowTextA(h, title, sizeof title);
    out.push_back(title);
  }
  return out;
}

TEST_F(DesktopTest, TheDefaultDesktopHasOnlyOurWindows) {
  EXPECT_TRUE(Titles().empty());
  TestDialog dialog;
  ASSERT_TRUE(dialog.Create(kTestDialog));
  EXPECT_EQ(Titles(), (std::vector<std::string>{"Test Window"}));
}

TEST_F(DesktopTest, OtherProgramsWindowsReactToCloseAndQuit) {
  auto desktop = std::make_shared<CFakeDesktop>();
  SetDesktop(desktop);
  desktop->AddWindow("Quorvex Online - Local version 15.1", {-1, 0});
  const auto client = desktop->AddWindow("Quorvex Online - Dimension Atlantean", {2, -1});
  desktop->AddWindow("Stubborn", {});

  std::vector<HWND> first = Enumerate();
  ASSERT_EQ(first.size(), 3u);
  EXPECT_TRUE(PostMessageA(first[0], WM_QUIT, 0, 0));
  EXPECT_TRUE(PostMessageA(first[1], WM_CLOSE, 0, 0));
  EXPECT_TRUE(PostMessageA(first[2], WM_CLOSE, 0, 0));
  EXPECT_EQ(desktop->Posted().size(), 3u);
  EXPECT_EQ(desktop->Posted()[1].key, client);

  // The launcher window is gone at once; the client after two more passes.
  EXPECT_EQ(Titles(), (std::vector<std::string>{"Quorvex Online - Dimension Atlantean", "Stubborn"}));
  std::vector<HWND> second = Enumerate();
  EXPECT_EQ(second[0], first[1]) << "the same window keeps its handle";
  EXPECT_EQ(Titles(), (std::vector<std::string>{"Stubborn"}));
  EXPECT_EQ(desktop->EnumerationCount(), 4);

  // A handle of a window that has gone is refused.
  SetLastError(0);
  EXPECT_FALSE(PostMessageA(first[1], WM_CLOSE, 0, 0));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
  char title[32] = "junk";
  EXPECT_EQ(GetWindowTextA(first[0], title, sizeof title), 0);
  EXPECT_EQ(SendMessageA(first[2], WM_CLOSE, 0, 0), 0) << "another program's window is never waited for";
}

TEST_F(DesktopTest, EnumerationStopsWhenTheCallbackSaysSo) {
  auto desktop = std::make_shared<CFakeDesktop>();
  SetDesktop(desktop);
  desktop->AddWindow("one");
  desktop->AddWindow("two");
  int visited = 0;
  EXPECT_FALSE(EnumWindows([](HWND, LPARAM p) {
    ++*reinterpret_cast<int*>(p);
    return FALSE;
  }, reinterpret_cast<LPARAM>(&visited)));
  EXPECT_EQ(visited, 1);
  EXPECT_FALSE(EnumWindows(nullptr, 0));
}

}  // namespace
}  // namespace qx::ui::test
