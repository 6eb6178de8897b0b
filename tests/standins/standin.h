// Shared by the stand-ins for the installer (tarvex.exe) and the application
// (zaq.exe) that the launcher starts in the tests.
//
// These are plain programs of the platform they are built for: POSIX on Linux
// (paths with "/"), Win32 on Windows (paths with "\"). They do not use the
// launcher's system layer.
//
// Logging: when ZAQTEST_LOG names a file, every event is appended to it as one
// JSON object on one line, written with a single write call on a freshly
// opened append-mode file (on Windows also under a named mutex), so that two
// programs may log at the same time.
// Every line has "prog", "event", "pid" and "t_ms" (wall clock, milliseconds
// since the Unix epoch).

#ifndef ZAQSETUP_TESTS_STANDIN_H_
#define ZAQSETUP_TESTS_STANDIN_H_

#include <optional>
#include <string>
#include <vector>

#include "json_line.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <strings.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>
extern char** environ;
#endif

namespace zaqtest {

#if defined(_WIN32)
constexpr char kSep = '\\';
#else
constexpr char kSep = '/';
#endif

// The value of an environment variable. WINDIR is looked up without regard to
// case on both platforms (Windows does that for every name).
inline std::optional<std::string> env_value(const char* name) {
#if defined(_WIN32)
  char small[512];
  SetLastError(0);
  DWORD n = GetEnvironmentVariableA(name, small, sizeof small);
  if (n == 0) {
    if (GetLastError() == ERROR_ENVVAR_NOT_FOUND) return std::nullopt;
    return std::string();
  }
  if (n < sizeof small) return std::string(small, n);
  std::string big(n, '\0');
  n = GetEnvironmentVariableA(name, &big[0], n);
  big.resize(n);
  return big;
#else
  const char* v = getenv(name);
  if (!v) return std::nullopt;
  return std::string(v);
#endif
}

inline std::optional<std::string> windir_value() {
#if defined(_WIN32)
  return env_value("WINDIR");
#else
  const size_t len = 6;  // strlen("WINDIR")
  for (char** e = environ; e && *e; ++e) {
    if (strncasecmp(*e, "WINDIR", len) == 0 && (*e)[len] == '=') return std::string(*e + len + 1);
  }
  return std::nullopt;
#endif
}

inline int last_error() {
#if defined(_WIN32)
  return static_cast<int>(GetLastError());
#else
  return errno;
#endif
}

struct FileState {
  bool exists = false;
  long long size = 0;
};

inline FileState file_state(const std::string& path) {
  FileState st;
#if defined(_WIN32)
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) {
    st.exists = true;
    st.size = (static_cast<long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  }
#else
  struct stat sb;
  if (stat(path.c_str(), &sb) == 0) {
    st.exists = true;
    st.size = static_cast<long long>(sb.st_size);
  }
#endif
  return st;
}

// Where the installer signals the launcher: <WINDIR>\TEMP\ZaqSignal when
// <WINDIR>\TEMP exists, else <WINDIR>\ZaqSignal; none without WINDIR.
inline std::optional<std::string> signal_path() {
  std::optional<std::string> windir = windir_value();
  if (!windir) return std::nullopt;
  std::string temp = *windir + kSep + "TEMP";
  if (file_state(temp).exists) return temp + kSep + "ZaqSignal";
  return *windir + kSep + "ZaqSignal";
}

inline void add_signal_state(JsonObject& ev, const std::optional<std::string>& signal) {
  FileState st;
  if (signal) st = file_state(*signal);
  ev.boolean("signal_exists", st.exists);
  if (st.exists)
    ev.num("signal_size", st.size);
  else
    ev.null("signal_size");
}

inline long long now_ms() {
#if defined(_WIN32)
  FILETIME ft;
  GetSystemTimeAsFileTime(&ft);
  unsigned long long t = (static_cast<unsigned long long>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
  return static_cast<long long>((t - 116444736000000000ULL) / 10000ULL);
#else
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
#endif
}

inline void sleep_ms(long long ms) {
  if (ms <= 0) return;
#if defined(_WIN32)
  Sleep(static_cast<DWORD>(ms));
#else
  struct timespec ts;
  ts.tv_sec = static_cast<time_t>(ms / 1000);
  ts.tv_nsec = static_cast<long>(ms % 1000) * 1000000L;
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
#endif
}

// A new log event with the fields every line carries.
inline JsonObject event(const char* prog, const char* name) {
  JsonObject ev;
  ev.str("prog", prog).str("event", name);
#if defined(_WIN32)
  ev.num("pid", static_cast<long long>(GetCurrentProcessId()));
#else
  ev.num("pid", static_cast<long long>(getpid()));
#endif
  ev.num("t_ms", now_ms());
  return ev;
}

// The fields of a "start" event: how the program was started and what it
// sees of the signal file.
inline void add_start_fields(JsonObject& ev, int argc, char** argv) {
  std::vector<std::string> args(argv, argv + argc);
  ev.strings("argv", args);
#if defined(_WIN32)
  ev.str("cmdline", GetCommandLineA());
  char buf[MAX_PATH * 4];
  DWORD n = GetCurrentDirectoryA(sizeof buf, buf);
  ev.str("cwd", std::string(buf, n < sizeof buf ? n : 0));
  n = GetModuleFileNameA(nullptr, buf, sizeof buf);
  ev.str("exe", std::string(buf, n < sizeof buf ? n : 0));
#else
  std::string cmdline;
  for (size_t i = 0; i < args.size(); ++i) cmdline += (i ? " " : "") + args[i];
  ev.str("cmdline", cmdline);
  char buf[PATH_MAX + 1];
  ev.str("cwd", getcwd(buf, sizeof buf) ? buf : "");
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  ev.str("exe", std::string(buf, n > 0 ? static_cast<size_t>(n) : 0));
#endif
  std::optional<std::string> signal = signal_path();
  if (signal)
    ev.str("signal", *signal);
  else
    ev.null("signal");
  add_signal_state(ev, signal);
}

// Appends the event to the ZAQTEST_LOG file, if there is one.
inline void write_log(const JsonObject& ev) {
  std::optional<std::string> log = env_value("ZAQTEST_LOG");
  if (!log || log->empty()) return;
  std::string line = ev.text() + "\n";
#if defined(_WIN32)
  // Wine does not append atomically (lines of concurrent writers overwrite
  // each other), hence the mutex shared by all writers.
  HANDLE lock = CreateMutexA(nullptr, FALSE, "zaqtest-log-append");
  if (lock) WaitForSingleObject(lock, 10000);
  HANDLE h = CreateFileA(log->c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h != INVALID_HANDLE_VALUE) {
    DWORD written;
    WriteFile(h, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    CloseHandle(h);
  }
  if (lock) {
    ReleaseMutex(lock);
    CloseHandle(lock);
  }
#else
  int fd = open(log->c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return;
  ssize_t written = write(fd, line.data(), line.size());
  (void)written;
  close(fd);
#endif
}

}  // namespace zaqtest

#endif  // ZAQSETUP_TESTS_STANDIN_H_
