// tarvex.exe: stands in for the installer that the launcher starts.
//
// It does to the signal file what the env ZAQTEST_SCRIPT tells it, a list of
// commands separated by ';', each with its argument after ':':
//   sleep:MS     wait MS milliseconds
//   write:HEX    create or replace the signal file with exactly these bytes
//                (HEX may be empty: an empty file), in one write
//   append:HEX   append these bytes (creating the file if it is missing)
//   trunc        cut the file to 0 bytes without deleting it
//   delete       delete the file
//   exit:N       stop here with exit code N
//   log          only log the state of the signal file
//   hold:HEX     open the file whose path is HEX (hex-encoded) and keep it open,
//                sharing read and write but not delete, as an on-access virus
//                scanner does with a fresh file (Linux cannot refuse deletion)
//   release      close the file held
// The file is opened the way the C runtime's fopen opens files (on Windows:
// sharing read and write, not delete).
//
// Log events: "start"; one per command, named after it, with "signal_exists"
// and "signal_size" as they are after it ("ms" for sleep, "bytes" for write
// and append, "ok" and "error" (errno / GetLastError, 0 on success) for the
// file commands); then "exit" with "code". A malformed or unknown command
// logs "error" with "command" and "message" and exits with code 3.

#include <cstdlib>
#include <optional>
#include <string>

#include "standin.h"

using zaqtest::JsonObject;

namespace {

const char kProg[] = "tarvex";

std::optional<std::string> g_signal;

#if defined(_WIN32)
HANDLE g_held = INVALID_HANDLE_VALUE;
#else
int g_held = -1;
#endif

JsonObject command_event(const char* name) { return zaqtest::event(kProg, name); }

void log_with_state(JsonObject ev) {
  zaqtest::add_signal_state(ev, g_signal);
  zaqtest::write_log(ev);
}

[[noreturn]] void finish(int code) {
  JsonObject ev = command_event("exit");
  ev.num("code", code);
  log_with_state(ev);
  std::exit(code);
}

[[noreturn]] void fail(const std::string& command, const char* message) {
  JsonObject ev = command_event("error");
  ev.str("command", command).str("message", message);
  log_with_state(ev);
  std::exit(3);
}

bool parse_hex(const std::string& hex, std::string& bytes) {
  if (hex.size() % 2) return false;
  auto nibble = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  bytes.clear();
  for (size_t i = 0; i < hex.size(); i += 2) {
    int hi = nibble(hex[i]), lo = nibble(hex[i + 1]);
    if (hi < 0 || lo < 0) return false;
    bytes += static_cast<char>(hi * 16 + lo);
  }
  return true;
}

bool parse_int(const std::string& text, bool allow_negative, long long& value) {
  if (text.empty()) return false;
  size_t i = (allow_negative && text[0] == '-') ? 1 : 0;
  if (i == text.size()) return false;
  for (size_t j = i; j < text.size(); ++j)
    if (text[j] < '0' || text[j] > '9') return false;
  value = std::strtoll(text.c_str(), nullptr, 10);
  return true;
}

enum class Mode { kReplace, kAppend, kTruncate };

// Opens the signal file and writes the bytes; returns 0 or the error number.
int write_signal(Mode mode, const std::string& bytes) {
  const std::string& path = *g_signal;
#if defined(_WIN32)
  DWORD access = mode == Mode::kAppend ? FILE_APPEND_DATA : GENERIC_WRITE;
  DWORD disposition = mode == Mode::kReplace ? CREATE_ALWAYS : mode == Mode::kAppend ? OPEN_ALWAYS : TRUNCATE_EXISTING;
  HANDLE h = CreateFileA(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, disposition,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return zaqtest::last_error();
  int error = 0;
  if (!bytes.empty()) {
    DWORD written = 0;
    if (!WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr))
      error = zaqtest::last_error();
    else if (written != bytes.size())
      error = ERROR_WRITE_FAULT;
  }
  CloseHandle(h);
  return error;
#else
  int flags = O_WRONLY | O_CLOEXEC;
  flags |= mode == Mode::kReplace ? O_CREAT | O_TRUNC : mode == Mode::kAppend ? O_CREAT | O_APPEND : O_TRUNC;
  int fd = open(path.c_str(), flags, 0644);
  if (fd < 0) return zaqtest::last_error();
  int error = 0;
  if (!bytes.empty()) {
    ssize_t written = write(fd, bytes.data(), bytes.size());
    if (written < 0)
      error = zaqtest::last_error();
    else if (static_cast<size_t>(written) != bytes.size())
      error = EIO;
  }
  close(fd);
  return error;
#endif
}

int delete_signal() {
#if defined(_WIN32)
  return DeleteFileA(g_signal->c_str()) ? 0 : zaqtest::last_error();
#else
  return unlink(g_signal->c_str()) == 0 ? 0 : zaqtest::last_error();
#endif
}

void run(const std::string& command) {
  size_t colon = command.find(':');
  std::string name = command.substr(0, colon);
  bool has_arg = colon != std::string::npos;
  std::string arg = has_arg ? command.substr(colon + 1) : std::string();

  if (name == "sleep" || name == "exit") {
    long long n = 0;
    if (!has_arg || !parse_int(arg, name == "exit", n)) fail(command, "needs a number");
    if (name == "exit") finish(static_cast<int>(n));
    zaqtest::sleep_ms(n);
    JsonObject ev = command_event("sleep");
    ev.num("ms", n);
    log_with_state(ev);
    return;
  }
  if (name == "log") {
    if (has_arg) fail(command, "takes no argument");
    log_with_state(command_event("log"));
    return;
  }

  if (name == "hold" || name == "release") {
    std::string path;
    if (name == "hold" && (!has_arg || !parse_hex(arg, path))) fail(command, "needs a hex-encoded path");
    if (name == "release" && has_arg) fail(command, "takes no argument");
    int error = 0;
#if defined(_WIN32)
    if (g_held != INVALID_HANDLE_VALUE) CloseHandle(g_held);
    g_held = INVALID_HANDLE_VALUE;
    if (name == "hold") {
      g_held = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
      if (g_held == INVALID_HANDLE_VALUE) error = zaqtest::last_error();
    }
#else
    if (g_held >= 0) close(g_held);
    g_held = -1;
    if (name == "hold") {
      g_held = open(path.c_str(), O_RDONLY | O_CLOEXEC);
      if (g_held < 0) error = zaqtest::last_error();
    }
#endif
    JsonObject ev = command_event(name.c_str());
    ev.boolean("ok", error == 0).num("error", error);
    log_with_state(ev);
    return;
  }

  Mode mode;
  std::string bytes;
  if (name == "write" || name == "append") {
    if (!has_arg || !parse_hex(arg, bytes)) fail(command, "needs hex bytes");
    mode = name == "write" ? Mode::kReplace : Mode::kAppend;
  } else if (name == "trunc" || name == "delete") {
    if (has_arg) fail(command, "takes no argument");
    mode = Mode::kTruncate;
  } else {
    fail(command, "unknown command");
  }
  if (!g_signal) fail(command, "WINDIR is not set");

  int error = name == "delete" ? delete_signal() : write_signal(mode, bytes);
  JsonObject ev = command_event(name.c_str());
  if (name == "write" || name == "append") ev.num("bytes", static_cast<long long>(bytes.size()));
  ev.boolean("ok", error == 0).num("error", error);
  log_with_state(ev);
}

}  // namespace

int main(int argc, char** argv) {
  g_signal = zaqtest::signal_path();
  JsonObject start = zaqtest::event(kProg, "start");
  zaqtest::add_start_fields(start, argc, argv);
  zaqtest::write_log(start);

  std::string script = zaqtest::env_value("ZAQTEST_SCRIPT").value_or("");
  size_t pos = 0;
  while (pos < script.size()) {
    size_t end = script.find(';', pos);
    if (end == std::string::npos) end = script.size();
    std::string command = script.substr(pos, end - pos);
    if (!command.empty()) run(command);
    pos = end + 1;
  }
  finish(0);
}
