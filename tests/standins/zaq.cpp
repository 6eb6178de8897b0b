// zaq.exe: stands in for the application that the launcher starts once the
// installation is complete.
//
// Its "start" event tells whether this process was handed an open handle on
// the signal file by its parent: on Windows "holds_signal_handle" and
// "signal_handles" (the handle values), on Linux "holds_signal_fd" and
// "signal_fds" (the descriptor numbers). This is looked at first, before the
// program opens anything of its own. With ZAQTEST_APP_LINGER=MS it then
// stays MS milliseconds and logs "end" with the state of the signal file.

#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "standin.h"

#if defined(_WIN32)
#include <cstring>
#else
#include <dirent.h>
#include <libgen.h>
#endif

namespace {

const char kProg[] = "zaq";

#if defined(_WIN32)

std::string final_path(HANDLE h) {
  char buf[MAX_PATH * 4];
  DWORD n = GetFinalPathNameByHandleA(h, buf, sizeof buf, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
  if (n == 0 || n >= sizeof buf) return std::string();
  std::string path(buf, n);
  if (path.compare(0, 4, "\\\\?\\") == 0) path.erase(0, 4);
  return path;
}

// Handle values in this process that refer to the signal file. The file is
// recognised by volume serial number and file index; should it be gone
// already (the parent may delete it at any moment), by its name.
std::vector<long long> signal_handles(const std::optional<std::string>& signal) {
  std::vector<long long> found;
  if (!signal) return found;

  BY_HANDLE_FILE_INFORMATION want;
  bool have_id = false;
  HANDLE f = CreateFileA(signal->c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (f != INVALID_HANDLE_VALUE) {
    have_id = GetFileInformationByHandle(f, &want) != 0;
    CloseHandle(f);
  }
  char full[MAX_PATH * 4];
  DWORD n = GetFullPathNameA(signal->c_str(), sizeof full, full, nullptr);
  std::string want_name = n > 0 && n < sizeof full ? std::string(full, n) : *signal;

  for (uintptr_t value = 4; value <= 8192; value += 4) {
    HANDLE h = reinterpret_cast<HANDLE>(value);
    if (GetFileType(h) != FILE_TYPE_DISK) continue;
    bool match = false;
    BY_HANDLE_FILE_INFORMATION got;
    if (have_id) {
      match = GetFileInformationByHandle(h, &got) && got.dwVolumeSerialNumber == want.dwVolumeSerialNumber &&
              got.nFileIndexHigh == want.nFileIndexHigh && got.nFileIndexLow == want.nFileIndexLow;
    } else {
      match = _stricmp(final_path(h).c_str(), want_name.c_str()) == 0;
    }
    if (match) found.push_back(static_cast<long long>(value));
  }
  return found;
}

#else

// Descriptors of this process open on the signal file, recognised by device
// and inode or, should it be deleted already, by the name the kernel shows.
std::vector<long long> signal_fds(const std::optional<std::string>& signal) {
  std::vector<long long> found;
  if (!signal) return found;

  struct stat want;
  bool have_id = stat(signal->c_str(), &want) == 0;
  std::string dir_part = *signal, base_part = *signal;
  char real_dir[PATH_MAX];
  std::string want_name;
  if (realpath(dirname(&dir_part[0]), real_dir)) want_name = std::string(real_dir) + "/" + basename(&base_part[0]);

  DIR* dir = opendir("/proc/self/fd");
  if (!dir) return found;
  while (struct dirent* entry = readdir(dir)) {
    if (entry->d_name[0] < '0' || entry->d_name[0] > '9') continue;
    int fd = std::atoi(entry->d_name);
    if (fd == dirfd(dir)) continue;
    std::string link = std::string("/proc/self/fd/") + entry->d_name;
    struct stat got;
    bool match = have_id && stat(link.c_str(), &got) == 0 && got.st_dev == want.st_dev && got.st_ino == want.st_ino;
    if (!match && !want_name.empty()) {
      char target[PATH_MAX + 16];
      ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
      std::string name(target, n > 0 ? static_cast<size_t>(n) : 0);
      match = name == want_name || name == want_name + " (deleted)";
    }
    if (match) found.push_back(fd);
  }
  closedir(dir);
  return found;
}

#endif

}  // namespace

int main(int argc, char** argv) {
  std::optional<std::string> signal = zaqtest::signal_path();
#if defined(_WIN32)
  std::vector<long long> held = signal_handles(signal);
#else
  std::vector<long long> held = signal_fds(signal);
#endif

  zaqtest::JsonObject start = zaqtest::event(kProg, "start");
  zaqtest::add_start_fields(start, argc, argv);
#if defined(_WIN32)
  start.boolean("holds_signal_handle", !held.empty()).nums("signal_handles", held);
#else
  start.boolean("holds_signal_fd", !held.empty()).nums("signal_fds", held);
#endif
  zaqtest::write_log(start);

  std::optional<std::string> linger = zaqtest::env_value("ZAQTEST_APP_LINGER");
  if (linger) {
    zaqtest::sleep_ms(std::atoll(linger->c_str()));
    zaqtest::JsonObject end = zaqtest::event(kProg, "end");
    zaqtest::add_signal_state(end, signal);
    zaqtest::write_log(end);
  }
  return 0;
}
