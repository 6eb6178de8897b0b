// The completion record: six text lines that the installer writes into the
// signal file when it has finished.
//
//   line 1  the installation directory, with or without one trailing "\"
//   2 to 5  present, not used
//   line 6  starts with "1" when the application is to be started
//
// The worker reads the record after the gate, deletes the two password
// configuration files from the installation directory and, when asked,
// starts the application there. The signal file stays open until after that
// start, so the application inherits a handle on it.

#include "launcher/setup.h"

namespace {

const int RECORD_LINES = 6;
const int DELETE_RETRIES = 8;
const DWORD DELETE_RETRY_MS = 250;
const int RECORD_READ_COUNT = TEXT_SIZE - 1;  // the count passed to fgets

// Line buffers, in file order. Line 1 is the installation directory, line 6
// the launch flag; the others are read and never looked at again.
char RecordLines[RECORD_LINES][TEXT_SIZE];
char *const InstallDir = RecordLines[0];
const char *const LaunchFlag = RecordLines[RECORD_LINES - 1];

// A record line holds at most RECORD_READ_COUNT - 1 bytes, and the longest
// suffix formed on the installation directory is "/PASSWORD.ZAQ" (13 bytes).
// ScratchText is sized so that every formed path is formed whole: a path cut
// short would name a different file.
static_assert(sizeof ScratchText >= (RECORD_READ_COUNT - 1) + sizeof "/PASSWORD.ZAQ",
              "ScratchText must hold the longest path formed from a record line");
static_assert(sizeof "/PWDCONFG.ZAQ" == sizeof "/PASSWORD.ZAQ" && sizeof "\\zaq.exe" < sizeof "/PASSWORD.ZAQ",
              "the longest formed suffix is 13 bytes");

// Deletes one password file. An on-access virus scanner often holds a freshly
// written file for a moment, so a deletion refused because the file is in use
// is tried again, for at most about two seconds; a missing file is not. The
// outcome is not reported: nothing could be done about it.
void DeletePasswordFile(const char *path) {
  for (int retry = 0; _unlink(path) != 0 && *_errno() == EACCES && retry < DELETE_RETRIES; ++retry) {
    Sleep(DELETE_RETRY_MS);
  }
}

}  // namespace

// Drops every CR and LF, wherever it stands, then one trailing backslash: a
// root such as "C:\" becomes "C:", and "C:\Apps\" becomes "C:\Apps".
void NormalizeRecordLine(char *line) {
  char *end = line;
  for (const char *read = line; *read != '\0'; ++read) {
    if (*read != '\r' && *read != '\n') *end++ = *read;
  }
  *end = '\0';
  if (end != line && end[-1] == '\\') end[-1] = '\0';
}

void ProcessCompletionRecord() {
  FILE *record = fopen(SignalPath, "r");
  if (record == nullptr) return;

  int linesRead = 0;
  while (linesRead < RECORD_LINES && fgets(RecordLines[linesRead], RECORD_READ_COUNT, record) != nullptr) ++linesRead;

  if (linesRead == RECORD_LINES) {
    NormalizeRecordLine(InstallDir);

    // Deleted whatever the launch flag says; a missing file is no error.
    if (FormatText(ScratchText, sizeof ScratchText, "%s/PASSWORD.ZAQ", InstallDir)) DeletePasswordFile(ScratchText);
    if (FormatText(ScratchText, sizeof ScratchText, "%s/PWDCONFG.ZAQ", InstallDir)) DeletePasswordFile(ScratchText);

    if (InstallDir[0] != '\0' && LaunchFlag[0] == '1') {
      // The application starts in its installation directory. The path is
      // used after the change, so a relative directory is resolved twice.
      SetCurrentDirectoryA(InstallDir);
      if (FormatText(ScratchText, sizeof ScratchText, "%s\\zaq.exe", InstallDir)) {
        _spawnl(_P_NOWAIT, ScratchText, "ZAQ.EXE", "-X", nullptr);
      }
    }
  }

  // Closed last: the application, if started, holds its own handle by now.
  fclose(record);
}
