// The USER32 calls of the Linux system layer: per-thread message queues, the
// window-class calls (which do no more than the launcher needs) and a message
// box that writes to standard error.
//
// As on Windows, a thread owns a message queue only after its first windowing
// call; a post to a thread without one fails and the message is lost. A
// message posted before the owner's first GetMessageA waits in the queue.

#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <string>

#include "system/system.h"
#include "system/posix/layer.h"

namespace zaqsys {

namespace {

struct MessageQueue {
  std::deque<MSG> messages;
  std::condition_variable ready;
};

// The layer's windowing state. Created on first use and never destroyed:
// the process may end while the worker still posts or waits.
struct WindowingState {
  std::mutex lock;
  std::map<DWORD, MessageQueue> queues;  // each created by its own thread
  std::set<std::string> classes;
};

WindowingState &State() {
  static WindowingState *state = new WindowingState;
  return *state;
}

MessageQueue &OwnQueue() {
  std::lock_guard<std::mutex> hold(State().lock);
  return State().queues[GetCurrentThreadId()];
}

HANDLE__ *const DUMMY_HANDLE = reinterpret_cast<HANDLE__ *>(static_cast<uintptr_t>(0x10));

}  // namespace

void EnsureMessageQueue() {
  OwnQueue();
}

ATOM WINAPI RegisterClassExA(const WNDCLASSEXA *windowClass) {
  EnsureMessageQueue();
  if (windowClass == nullptr || windowClass->cbSize != sizeof(WNDCLASSEXA) ||
      windowClass->lpszClassName == nullptr || windowClass->lpfnWndProc == nullptr) {
    return 0;
  }
  std::lock_guard<std::mutex> hold(State().lock);
  if (!State().classes.insert(windowClass->lpszClassName).second) return 0;
  Trace("RegisterClassExA \"%s\"", windowClass->lpszClassName);
  return static_cast<ATOM>(0xC000 + State().classes.size());
}

// No resources on this platform: the icon and cursor are tokens that only
// need to be non-null.
HICON WINAPI LoadIconA(HINSTANCE, const char *) {
  EnsureMessageQueue();
  return reinterpret_cast<HICON>(DUMMY_HANDLE);
}

HCURSOR WINAPI LoadCursorA(HINSTANCE, const char *) {
  EnsureMessageQueue();
  return reinterpret_cast<HCURSOR>(DUMMY_HANDLE);
}

LRESULT WINAPI DefWindowProcA(HWND, UINT, WPARAM, LPARAM) {
  EnsureMessageQueue();
  return 0;
}

// Caption on one line, text below it; returns at once as if OK was pressed.
int WINAPI MessageBoxA(HWND, const char *text, const char *caption, UINT type) {
  EnsureMessageQueue();
  Trace("MessageBoxA 0x%x", type);
  fprintf(stderr, "%s\n%s\n", caption != nullptr ? caption : "Error", text != nullptr ? text : "");
  fflush(stderr);
  return 1;  // IDOK
}

BOOL WINAPI PostThreadMessageA(DWORD threadId, UINT message, WPARAM wParam, LPARAM lParam) {
  std::lock_guard<std::mutex> hold(State().lock);
  auto found = State().queues.find(threadId);
  bool posted = found != State().queues.end();
  // Traced before the message is visible: once it is, the receiver may end
  // the process.
  Trace("PostThreadMessageA 0x%x %llu %lld -> %d", message, static_cast<unsigned long long>(wParam),
        static_cast<long long>(lParam), posted);
  if (!posted) return 0;  // the platform's error 1444: no queue, message lost
  MSG entry;
  memset(&entry, 0, sizeof entry);
  entry.message = message;
  entry.wParam = wParam;
  entry.lParam = lParam;
  found->second.messages.push_back(entry);
  found->second.ready.notify_one();
  return 1;
}

BOOL WINAPI GetMessageA(MSG *message, HWND, UINT, UINT) {
  MessageQueue &queue = OwnQueue();
  std::unique_lock<std::mutex> hold(State().lock);
  queue.ready.wait(hold, [&queue] { return !queue.messages.empty(); });
  *message = queue.messages.front();
  queue.messages.pop_front();
  return message->message == WM_QUIT ? 0 : 1;
}

BOOL WINAPI TranslateMessage(const MSG *) {
  EnsureMessageQueue();
  return 0;  // thread messages carry no keystrokes
}

LRESULT WINAPI DispatchMessageA(const MSG *) {
  EnsureMessageQueue();
  return 0;  // no window, so no window procedure to call
}

}  // namespace zaqsys
