// Values and procedures shared by the launcher's two threads.
//
// The main thread (winmain.cpp) writes SignalPath and MainThreadId before it
// starts the worker and never changes them afterwards; starting the thread
// orders those writes before every read on the worker. FileStatus and
// ScratchText are used by the main thread only before the worker exists, and by
// the worker only after. No locks are needed or used.

#ifndef ZAQSETUP_LAUNCHER_SETUP_H_
#define ZAQSETUP_LAUNCHER_SETUP_H_

#include "system/system.h"

// Every path and message text lives in a fixed buffer of this size: at most
// 255 single-byte characters and the terminating zero.
const int TEXT_SIZE = 256;

// Posted by the worker once per run; ends the main thread's message loop, and
// its wParam becomes the exit code (0 from the worker).
const UINT WM_SETUP_DONE = WM_USER + 1;

// Style of the launcher's only user interface, the abort boxes: one OK button,
// the warning icon, above every other window.
const UINT MB_SETUP_ABORT = MB_OK | MB_ICONWARNING | MB_TOPMOST;
extern const char ABORT_CAPTION[];  // "Setup: ABORTED"

extern DWORD MainThreadId;
extern char SignalPath[TEXT_SIZE];
extern struct _stat FileStatus;
// Derived texts: the start-up's abort message (at most TEXT_SIZE bytes of it),
// then the worker's formed paths, which may be longer (completion_record.cpp).
const int SCRATCH_SIZE = TEXT_SIZE + 16;
extern char ScratchText[SCRATCH_SIZE];

// Forms `format` with one "%s" replaced by `text` in `buffer`. Returns false,
// leaving the buffer holding an empty string, when the result would not fit:
// a path cut short would name a different file.
bool FormatText(char *buffer, int size, const char *format, const char *text);

// Like FormatText, for texts that are only shown: a text too long is cut to
// the buffer's size instead.
void FormatShownText(char *buffer, int size, const char *format, const char *text);

// Start-up and main thread (winmain.cpp).
void RestrictDllSearch();
LRESULT WINAPI SetupWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
void RegisterSetupClass(HINSTANCE instance);

// Installer watch (install_watch.cpp).
int GetFileStatus(const char *path, struct _stat *status);
DWORD WINAPI InstallWatchThread(void *unused);

// Completion record (completion_record.cpp), run by the worker after the gate.
void ProcessCompletionRecord();
void NormalizeRecordLine(char *line);

#endif  // ZAQSETUP_LAUNCHER_SETUP_H_
