// The installer watch: the launcher's one worker thread.
//
// It starts the installer, then polls the signal file once a second for as
// long as the file is there and empty. The installer ends the wait by deleting
// the file or by writing its completion record into it. One second later the
// gate looks again: a file still there with content is the record, and only
// then is it read. Whatever happens, the worker's last act is one post of
// WM_SETUP_DONE to the main thread.

#include "launcher/setup.h"

namespace {

const DWORD POLL_PERIOD_MS = 1000;
const DWORD SETTLE_DELAY_MS = 1000;

// The installer could not be started: tell the user which program was
// missing, since otherwise nothing would ever signal and the launcher would
// wait unseen for ever. The box names the installer's full path.
void ReportInstallerNotStarted() {
  char currentDir[MAX_PATH];  // any current directory Windows allows
  DWORD length = GetCurrentDirectoryA(sizeof currentDir, currentDir);
  if (length == 0 || length >= sizeof currentDir) {
    currentDir[0] = '\0';  // unknown or too long to hold: the box names the installer alone
    length = 0;
  }
  const char *format = "%s\\tarvex.exe";
  if (length == 0 || currentDir[length - 1] == '\\' || currentDir[length - 1] == '/') format = "%starvex.exe";
  char installerPath[TEXT_SIZE * 2];
  FormatShownText(installerPath, sizeof installerPath, format, currentDir);
  FormatShownText(ScratchText, TEXT_SIZE, "Cannot start installer\n%s", installerPath);
  MessageBoxA(nullptr, ScratchText, ABORT_CAPTION, MB_SETUP_ABORT);
}

}  // namespace

int GetFileStatus(const char *path, struct _stat *status) {
  return _stat(path, status);
}

DWORD WINAPI InstallWatchThread(void *) {
  // No directory part: the installer is taken from the current directory
  // only, never from the launcher's own directory or the search path.
  if (_spawnl(_P_NOWAIT, "tarvex.exe", "tarvex.exe", nullptr) == -1) {
    ReportInstallerNotStarted();
    PostThreadMessageA(MainThreadId, WM_SETUP_DONE, 1, 0);
    return 0;
  }

  // The test comes before the sleep: a file already gone or filled ends the
  // wait at once. There is deliberately no time limit.
  while (GetFileStatus(SignalPath, &FileStatus) == 0 && FileStatus.st_size == 0) Sleep(POLL_PERIOD_MS);

  // Give the installer time to finish writing, then look again: a file that
  // is gone or empty now is not read.
  Sleep(SETTLE_DELAY_MS);
  if (GetFileStatus(SignalPath, &FileStatus) == 0 && FileStatus.st_size > 0) ProcessCompletionRecord();

  PostThreadMessageA(MainThreadId, WM_SETUP_DONE, 0, 0);
  return 0;
}
