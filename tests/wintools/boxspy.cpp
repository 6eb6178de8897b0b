// boxspy.exe: describes a top-level window, found by its caption, so that the
// tests can check the message boxes the launcher shows.
//
//   boxspy.exe CAPTION TIMEOUT_MS
//
// Looks every 50 ms for a top-level window whose caption is exactly CAPTION.
// Once found, gives it 300 ms to be built completely, then prints one line:
//   {"found":true,"caption":..,"class":..,"owner_is_null":..,"topmost":..,
//    "visible":..,"children":[{"class":..,"text":..,"id":..},...]}
// and exits 0, leaving the window alone. Prints {"found":false} and exits 1
// if there is none within TIMEOUT_MS; exits 2 on bad arguments.

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "json_line.h"

namespace {

std::string window_text(HWND h) {
  char buf[4096];
  int n = GetWindowTextA(h, buf, sizeof buf);
  return std::string(buf, n > 0 ? static_cast<size_t>(n) : 0);
}

std::string class_name(HWND h) {
  char buf[256];
  int n = GetClassNameA(h, buf, sizeof buf);
  return std::string(buf, n > 0 ? static_cast<size_t>(n) : 0);
}

BOOL CALLBACK add_child(HWND h, LPARAM list) {
  zaqtest::JsonObject child;
  child.str("class", class_name(h)).str("text", window_text(h)).num("id", GetDlgCtrlID(h));
  reinterpret_cast<std::vector<zaqtest::JsonObject>*>(list)->push_back(child);
  return TRUE;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: boxspy.exe CAPTION TIMEOUT_MS\n");
    return 2;
  }
  const char* caption = argv[1];
  ULONGLONG deadline = GetTickCount64() + std::strtoull(argv[2], nullptr, 10);

  HWND h;
  while (!(h = FindWindowA(nullptr, caption))) {
    if (GetTickCount64() >= deadline) {
      std::printf("{\"found\":false}\n");
      std::fflush(stdout);
      return 1;
    }
    Sleep(50);
  }
  Sleep(300);

  std::vector<zaqtest::JsonObject> children;
  EnumChildWindows(h, add_child, reinterpret_cast<LPARAM>(&children));
  zaqtest::JsonObject out;
  out.boolean("found", true)
      .str("caption", window_text(h))
      .str("class", class_name(h))
      .boolean("owner_is_null", GetWindow(h, GW_OWNER) == nullptr)
      .boolean("topmost", (GetWindowLongA(h, GWL_EXSTYLE) & WS_EX_TOPMOST) != 0)
      .boolean("visible", IsWindowVisible(h) != 0)
      .objects("children", children);
  std::printf("%s\n", out.text().c_str());
  std::fflush(stdout);
  return 0;
}
