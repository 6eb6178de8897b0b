// probe_dll.dll: a DLL that tells when it is loaded, for the test that a DLL
// planted beside the launcher is never loaded (tests/boxes.py). The test copies
// it under the name of a system DLL that the launcher's process loads at run
// time.
//
// On DLL_PROCESS_ATTACH it appends one line to the file named by the
// environment variable ZAQTEST_PROBE_LOG:
//   loaded PID PATH
// (PID decimal, PATH its own module path as the loader gives it), and then
// returns FALSE: the load fails and the process goes on without it, as if the
// DLL had not been there, so that it needs none of the exports of the DLL it
// stands in for.

#include <windows.h>

namespace {

void AppendLine(HINSTANCE self) {
  char logPath[MAX_PATH];
  DWORD length = GetEnvironmentVariableA("ZAQTEST_PROBE_LOG", logPath, sizeof logPath);
  if (length == 0 || length >= sizeof logPath) return;

  char line[32 + MAX_PATH];
  const char prefix[] = "loaded ";
  DWORD used = 0;
  for (const char *p = prefix; *p != '\0'; ++p) line[used++] = *p;
  char digits[16];
  int count = 0;
  for (DWORD pid = GetCurrentProcessId(); count == 0 || pid != 0; pid /= 10) digits[count++] = '0' + pid % 10;
  while (count > 0) line[used++] = digits[--count];
  line[used++] = ' ';
  DWORD pathLength = GetModuleFileNameA(self, line + used, MAX_PATH);
  if (pathLength >= MAX_PATH) pathLength = 0;
  used += pathLength;
  line[used++] = '\n';

  HANDLE log = CreateFileA(logPath, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
  if (log == INVALID_HANDLE_VALUE) return;
  DWORD written;
  WriteFile(log, line, used, &written, nullptr);
  CloseHandle(log);
}

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, void *) {
  if (reason != DLL_PROCESS_ATTACH) return TRUE;
  AppendLine(self);
  return FALSE;
}
