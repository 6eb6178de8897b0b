// libFuzzer target: the completion-record step on arbitrary signal files.
//
// Each input is written as the signal file, SignalPath names it, and the real
// ProcessCompletionRecord() reads it through the real Linux text stream. The
// calls that would act outside the process, _unlink, Sleep,
// SetCurrentDirectoryA and _spawnl (with _errno), are defined here instead of
// by the system layer: they act on nothing and only record what they were
// asked. fopen and fclose stay the layer's own; their trace lines
// (ZAQSYS_TRACE, pointed at a file of ours) show where they fell among the
// recorded calls.
//
// What was recorded is then held against a reference model written below
// from scratch: how the Windows runtime's text mode reads the file, what the
// six lines are, and what the launcher must do with them. Any difference is
// printed and the fuzzer stops with a crash.
//
// Busy password files: the last byte of the input (0 for an empty input) says
// how the two deletions go, low four bits for PASSWORD.ZAQ and high four bits
// for PWDCONFG.ZAQ. A value N up to 14 makes the first N attempts on that
// file fail with EACCES (the file is in use) and the next one succeed, so 9
// and above outlast the launcher's retries; 15 makes every attempt fail with
// ENOENT (no such file).

#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "launcher/setup.h"
#include "system/posix/layer.h"

namespace {

// ---- What the launcher asked for

struct Call {
  std::string name;
  std::vector<std::string> texts;  // string arguments, in order
  long number = 0;                 // Sleep's milliseconds, _spawnl's mode
};

bool operator==(const Call &a, const Call &b) {
  return a.name == b.name && a.texts == b.texts && a.number == b.number;
}

std::vector<Call> Calls;

const int MISSING = 15;  // a busy value: the file does not exist
struct PasswordFile {
  const char *suffix;
  int busy;      // attempts refused with EACCES before one succeeds
  int attempts;  // made so far
  bool deleted;
};
PasswordFile PasswordFiles[2] = {{"/PASSWORD.ZAQ", 0, 0, false}, {"/PWDCONFG.ZAQ", 0, 0, false}};
int LastError;

bool EndsWith(const std::string &text, const std::string &suffix) {
  return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

void RecordCall(const Call &call) {
  zaqsys::Trace("call %zu", Calls.size());
  Calls.push_back(call);
}

}  // namespace

// ---- The recording stand-ins for the system layer's calls

namespace zaqsys {

int CRTAPI _unlink(const char *path) {
  RecordCall({"_unlink", {path}});
  for (PasswordFile &file : PasswordFiles) {
    if (!EndsWith(path, file.suffix)) continue;
    int attempt = file.attempts++;
    if (file.busy == MISSING || file.deleted) {
      LastError = ENOENT;
      return -1;
    }
    if (attempt < file.busy) {
      LastError = EACCES;
      return -1;
    }
    file.deleted = true;
    return 0;
  }
  return 0;
}

int *CRTAPI _errno(void) { return &LastError; }

void WINAPI Sleep(DWORD milliseconds) { RecordCall({"Sleep", {}, static_cast<long>(milliseconds)}); }

BOOL WINAPI SetCurrentDirectoryA(const char *path) {
  RecordCall({"SetCurrentDirectoryA", {path}});
  return 1;
}

INT_PTR_T CRTAPI _spawnl(int mode, const char *path, const char *arg0, ...) {
  const int MAX_ARGUMENTS = 16;  // more means the terminating null is missing
  Call call{"_spawnl", {path}, mode};
  va_list list;
  va_start(list, arg0);
  const char *argument = arg0;
  for (int count = 0; argument != nullptr && count < MAX_ARGUMENTS; ++count) {
    call.texts.push_back(argument);
    argument = va_arg(list, const char *);
  }
  va_end(list);
  if (argument != nullptr) call.texts.push_back("<no terminating null>");
  RecordCall(call);
  return 4242;  // a process handle
}

}  // namespace zaqsys

namespace {

// ---- The reference model

struct Model {
  bool complete = false;  // six lines were read
  std::vector<std::string> lines;
  std::string installDir;
  bool start = false;
};

Model ReadRecord(const uint8_t *data, size_t size) {
  // Text mode: CR LF reads as LF, a lone CR stays, 0x1A ends the data.
  std::string text;
  for (size_t i = 0; i < size && data[i] != 0x1A; ++i) {
    if (data[i] == '\r' && i + 1 < size && data[i + 1] == '\n') continue;
    text += static_cast<char>(data[i]);
  }
  // fgets(line, 255, f): up to 254 bytes, ending after an LF; null only when
  // not a byte is left.
  Model record;
  size_t at = 0;
  while (record.lines.size() < 6 && at < text.size()) {
    size_t end = at;
    while (end < text.size() && end - at < 254) {
      if (text[end++] == '\n') break;
    }
    record.lines.push_back(text.substr(at, end - at));
    at = end;
  }
  record.complete = record.lines.size() == 6;
  if (!record.complete) return record;

  // Line 1 as a C string, without any CR or LF, then without one trailing
  // backslash.
  std::string first = record.lines[0].substr(0, record.lines[0].find('\0'));
  for (char c : first) {
    if (c != '\r' && c != '\n') record.installDir += c;
  }
  if (!record.installDir.empty() && record.installDir.back() == '\\') record.installDir.pop_back();
  record.start = !record.installDir.empty() && record.lines[5][0] == '1';
  return record;
}

void ExpectDeletion(std::vector<Call> &calls, const std::string &path, int busy) {
  int attempts = busy == MISSING ? 1 : (busy < 8 ? busy : 8) + 1;
  for (int i = 0; i < attempts; ++i) {
    if (i > 0) calls.push_back({"Sleep", {}, 250});
    calls.push_back({"_unlink", {path}});
  }
}

std::vector<Call> ExpectedCalls(const Model &record) {
  std::vector<Call> calls;
  if (!record.complete) return calls;
  ExpectDeletion(calls, record.installDir + "/PASSWORD.ZAQ", PasswordFiles[0].busy);
  ExpectDeletion(calls, record.installDir + "/PWDCONFG.ZAQ", PasswordFiles[1].busy);
  if (record.start) {
    calls.push_back({"SetCurrentDirectoryA", {record.installDir}});
    calls.push_back({"_spawnl", {record.installDir + "\\zaq.exe", "ZAQ.EXE", "-X"}, _P_NOWAIT});
  }
  return calls;
}

// ---- Reporting

std::string Quoted(const std::string &text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c >= 0x20 && c < 0x7F && c != '"' && c != '\\') {
      out += static_cast<char>(c);
    } else {
      char hex[8];
      ::snprintf(hex, sizeof hex, "\\x%02x", c);
      out += hex;
    }
  }
  return out + "\"";
}

std::string Describe(const Call &call) {
  std::vector<std::string> arguments;
  if (call.name == "Sleep" || call.name == "_spawnl") arguments.push_back(std::to_string(call.number));
  for (const std::string &text : call.texts) arguments.push_back(Quoted(text));
  if (call.name == "_spawnl") arguments.push_back("NULL");
  std::string out = call.name + "(";
  for (size_t i = 0; i < arguments.size(); ++i) out += (i > 0 ? ", " : "") + arguments[i];
  return out + ")";
}

void PrintCalls(const char *title, const std::vector<Call> &calls) {
  ::fprintf(stderr, "%s (%zu):\n", title, calls.size());
  for (const Call &call : calls) ::fprintf(stderr, "  %s\n", Describe(call).c_str());
}

// ---- Scratch files and the layer's trace

std::string ScratchDir, TracePath;
int TraceDescriptor = -1;  // ours, for emptying and reading the trace

void RemoveScratch() {
  ::unlink(SignalPath);
  ::unlink(TracePath.c_str());
  ::rmdir(ScratchDir.c_str());
}

void Die(const char *what) {
  ::fprintf(stderr, "record_fuzzer: %s: %s\n", what, ::strerror(errno));
  ::exit(2);
}

void WriteSignalFile(const uint8_t *data, size_t size) {
  int descriptor = ::open(SignalPath, O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (descriptor < 0) Die("cannot write the signal file");
  while (size > 0) {
    ssize_t written = ::write(descriptor, data, size);
    if (written < 0) Die("cannot write the signal file");
    data += written;
    size -= static_cast<size_t>(written);
  }
  ::close(descriptor);
}

// The trace lines of this input that tell the order: fopen, fclose and ours.
std::vector<std::string> OrderLines() {
  std::string text;
  char buffer[4096];
  off_t offset = 0;
  ssize_t count;
  while ((count = ::pread(TraceDescriptor, buffer, sizeof buffer, offset)) > 0) {
    text.append(buffer, static_cast<size_t>(count));
    offset += count;
  }
  std::vector<std::string> lines;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(at, end - at);
    if (line.compare(0, 6, "fopen ") == 0 || line.compare(0, 7, "fclose ") == 0 || line.compare(0, 5, "call ") == 0) {
      lines.push_back(line);
    }
    at = end + 1;
  }
  return lines;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  const char *base = ::getenv("TMPDIR");
  struct stat found;
  if (base == nullptr || *base == '\0') base = ::stat("/dev/shm", &found) == 0 ? "/dev/shm" : "/tmp";
  std::string pattern = std::string(base) + "/record_fuzzer.XXXXXX";
  if (::mkdtemp(&pattern[0]) == nullptr) Die("cannot create a scratch directory");
  ScratchDir = pattern;
  std::string signal = ScratchDir + "/ZaqSignal";
  if (signal.size() >= sizeof SignalPath) {
    errno = ENAMETOOLONG;
    Die("scratch directory path too long");
  }
  ::memcpy(SignalPath, signal.c_str(), signal.size() + 1);
  TracePath = ScratchDir + "/trace";
  TraceDescriptor = ::open(TracePath.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (TraceDescriptor < 0) Die("cannot create the trace file");
  ::atexit(RemoveScratch);
  // Set before the layer's first trace call, which opens the file for good.
  ::setenv("ZAQSYS_TRACE", TracePath.c_str(), 1);
  ::unsetenv("ZAQSYS_FAIL");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  uint8_t plan = size > 0 ? data[size - 1] : 0;
  PasswordFiles[0] = {"/PASSWORD.ZAQ", plan & 15, 0, false};
  PasswordFiles[1] = {"/PWDCONFG.ZAQ", plan >> 4, 0, false};
  Calls.clear();
  LastError = 0;
  WriteSignalFile(data, size);
  if (::ftruncate(TraceDescriptor, 0) != 0) Die("cannot empty the trace file");

  ProcessCompletionRecord();

  Model record = ReadRecord(data, size);
  std::vector<Call> expected = ExpectedCalls(record);
  std::vector<std::string> faults;

  if (!record.complete && !Calls.empty()) faults.push_back("acted on a record of fewer than six lines");
  // The installation directory as the deletions name it.
  for (const Call &call : Calls) {
    if (call.name != "_unlink" || !EndsWith(call.texts[0], "/PASSWORD.ZAQ")) continue;
    std::string seen = call.texts[0].substr(0, call.texts[0].size() - (sizeof "/PASSWORD.ZAQ" - 1));
    if (seen.find_first_of("\r\n") != std::string::npos) faults.push_back("InstallDir holds CR or LF: " + Quoted(seen));
    if (seen != record.installDir) {
      faults.push_back("InstallDir " + Quoted(seen) + ", the record's is " + Quoted(record.installDir));
    }
    break;
  }
  bool started = false;
  for (const Call &call : Calls) started = started || call.name == "_spawnl" || call.name == "SetCurrentDirectoryA";
  if (started && !record.start) faults.push_back("started, with InstallDir empty or line 6 not beginning with \"1\"");
  if (!started && record.start) faults.push_back("did not start the application");
  for (const PasswordFile &file : PasswordFiles) {
    if (file.attempts > 9) faults.push_back(std::string("more than 9 attempts to delete ") + (file.suffix + 1));
  }
  if (Calls != expected) {
    size_t same = 0;
    while (same < Calls.size() && same < expected.size() && Calls[same] == expected[same]) ++same;
    faults.push_back("the calls differ from the expected ones from call " + std::to_string(same + 1) + " on");
  }

  // fopen, every call while the file is open, fclose once.
  std::vector<std::string> order = OrderLines();
  std::string opened = "fopen \"" + std::string(SignalPath) + "\" -> ";
  bool orderRight = order.size() == Calls.size() + 2 && order.front().compare(0, opened.size(), opened) == 0 &&
                    order.front()[opened.size()] != '-' && order.back() == "fclose -> 0";
  for (size_t i = 0; orderRight && i < Calls.size(); ++i) orderRight = order[i + 1] == "call " + std::to_string(i);
  if (!orderRight) {
    std::string lines;
    for (const std::string &line : order) lines += "\n  " + line;
    faults.push_back("not one fopen, the calls and one fclose, in that order; trace:" + lines);
  }

  if (faults.empty()) return 0;
  ::fprintf(stderr, "\n==== record_fuzzer: the record step did not do what it must\ninput (%zu bytes): %s\n", size,
            Quoted(std::string(reinterpret_cast<const char *>(data), size)).c_str());
  ::fprintf(stderr, "model: %zu line(s) read", record.lines.size());
  if (record.complete) {
    ::fprintf(stderr, ", InstallDir %s, %s", Quoted(record.installDir).c_str(), record.start ? "start" : "no start");
  }
  ::fprintf(stderr, "; password files busy for %d and %d attempts (15: missing)\n", PasswordFiles[0].busy,
            PasswordFiles[1].busy);
  PrintCalls("expected calls", expected);
  PrintCalls("recorded calls", Calls);
  for (const std::string &fault : faults) ::fprintf(stderr, "FAULT: %s\n", fault.c_str());
  __builtin_trap();
}
