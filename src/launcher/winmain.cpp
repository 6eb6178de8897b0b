// Start-up and the main thread.
//
// The main thread creates the empty signal file, registers the window class
// (which gives the thread its message queue), starts the worker that runs and
// watches the installer, and then sleeps in its message loop until the worker
// posts WM_SETUP_DONE. It deletes the signal file and returns the message's
// wParam as the exit code. It never waits for the worker or for the programs
// started: ending the process ends the worker too.

#include "launcher/setup.h"

namespace {

const unsigned short SETUP_ICON_ID = 107;

// The two ways start-up can fail before anything has been started: a warning
// box, then exit code 1 once the user has closed it.
[[noreturn]] void AbortSetup(const char *text) {
  MessageBoxA(nullptr, text, ABORT_CAPTION, MB_SETUP_ABORT);
  exit(1);
}

// The signal file cannot be created (or its path cannot be formed). The box
// names the file; `workDir` is the directory it was to be created in.
[[noreturn]] void AbortWorkFile(const char *workDir) {
  char signalPath[TEXT_SIZE * 2];
  FormatShownText(signalPath, sizeof signalPath, "%s\\ZaqSignal", workDir);
  FormatShownText(ScratchText, TEXT_SIZE, "Cannot create work file\n%s", signalPath);
  AbortSetup(ScratchText);
}

}  // namespace

LRESULT WINAPI SetupWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  return DefWindowProcA(window, message, wParam, lParam);
}

// Registers "ZAQSETUP". No window of the class is ever made; registering it is
// the main thread's first windowing call, which gives the thread the message
// queue that the worker posts to.
void RegisterSetupClass(HINSTANCE instance) {
  WNDCLASSEXA windowClass;
  windowClass.cbSize = sizeof windowClass;
  windowClass.style = CS_HREDRAW | CS_VREDRAW;
  windowClass.lpfnWndProc = SetupWndProc;
  windowClass.cbClsExtra = 0;
  windowClass.cbWndExtra = 0;
  windowClass.hInstance = instance;
  windowClass.hIcon = LoadIconA(instance, MakeIntResource(SETUP_ICON_ID));
  windowClass.hCursor = LoadCursorA(nullptr, MakeIntResource(IDC_ARROW));
  windowClass.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<UINT_PTR_T>(COLOR_WINDOW + 1));
  windowClass.lpszMenuName = nullptr;
  windowClass.lpszClassName = "ZAQSETUP";
  windowClass.hIconSm = nullptr;
  RegisterClassExA(&windowClass);
}

// A setup program is started from removable media or a download folder, where
// a DLL planted beside it must never be loaded: before anything else, DLLs are
// looked for in the system directory only. The call is looked up at run time,
// so that a Windows without it still runs the launcher; there the current
// directory is at least taken out of the search.
void RestrictDllSearch() {
  HMODULE kernel = GetModuleHandleA("kernel32.dll");
  if (kernel == nullptr) return;
  typedef BOOL(WINAPI * SetDefaultDllDirectoriesProc)(DWORD flags);
  typedef BOOL(WINAPI * SetDllDirectoryProc)(const char *path);
  FARPROC setDefault = GetProcAddress(kernel, "SetDefaultDllDirectories");
  if (setDefault != nullptr &&
      reinterpret_cast<SetDefaultDllDirectoriesProc>(setDefault)(LOAD_LIBRARY_SEARCH_SYSTEM32)) {
    return;
  }
  FARPROC setDirectory = GetProcAddress(kernel, "SetDllDirectoryA");
  if (setDirectory != nullptr) reinterpret_cast<SetDllDirectoryProc>(setDirectory)("");
}

extern "C" int WINAPI WinMain(HINSTANCE instance, HINSTANCE, char *, int) {
  RestrictDllSearch();
  MainThreadId = GetCurrentThreadId();

  // Only WINDIR is read; TEMP and TMP play no part. An empty value is used as
  // it stands.
  const char *WindowsDir = getenv("WINDIR");
  if (WindowsDir == nullptr) AbortSetup("WINDIR not set - ZAQ install aborted.");

  // The work directory is WINDIR\TEMP when an entry of that name exists (a
  // plain file counts too, and then fails below), else WINDIR itself. A
  // candidate too long to form is treated as absent; its fallback is longer
  // than the signal path allows anyway.
  char WorkDir[TEXT_SIZE];
  if (FormatText(SignalPath, sizeof SignalPath, "%s\\TEMP", WindowsDir) &&
      GetFileStatus(SignalPath, &FileStatus) == 0) {
    FormatText(WorkDir, sizeof WorkDir, "%s", SignalPath);
  } else if (!FormatText(WorkDir, sizeof WorkDir, "%s", WindowsDir)) {
    AbortWorkFile(WindowsDir);
  }
  if (!FormatText(SignalPath, sizeof SignalPath, "%s\\ZaqSignal", WorkDir)) AbortWorkFile(WorkDir);

  // Create the signal file empty, or empty one left by an earlier run, before
  // the installer can look at it.
  int descriptor = _open(SignalPath, _O_RDWR | _O_CREAT | _O_TRUNC, 0x01B6);
  if (descriptor < 0) AbortWorkFile(WorkDir);
  _close(descriptor);

  RegisterSetupClass(instance);

  if (CreateThread(nullptr, 0, InstallWatchThread, nullptr, 0, nullptr) == nullptr) {
    // Nobody would ever post WM_SETUP_DONE: give up instead of waiting unseen.
    MessageBoxA(nullptr, "Cannot start setup - ZAQ install aborted.", ABORT_CAPTION, MB_SETUP_ABORT);
    _unlink(SignalPath);
    return 1;
  }

  MSG message;
  message.wParam = 0;
  while (GetMessageA(&message, nullptr, 0, 0) != 0) {
    TranslateMessage(&message);
    DispatchMessageA(&message);
    if (message.message == WM_SETUP_DONE) break;
  }

  // Fails unnoticed when the installer has already deleted the file, or while
  // the started application holds its inherited handle on it.
  _unlink(SignalPath);
  return static_cast<int>(message.wParam);
}
