// winrun.exe: starts a program with an environment prepared for the test.
//
// Wine sets WINDIR, TEMP, PATH and friends from the Linux side for the
// programs it starts; the tests run the program under test through winrun,
// whose own changes its children inherit.
//
//   winrun.exe [options] -- PROGRAM [ARGS...]
//
//   --unset=NAME                remove NAME (in any case)
//   --set=NAME=VALUE            remove NAME in any case, then set it as spelled
//   --cwd=DIR                   current directory of the program
//   --post=MSG,WPARAM,DELAY_MS  DELAY_MS after the program started, post MSG
//                               with WPARAM (and lParam 0) to its main thread;
//                               retried every 20 ms for up to 5 s while the
//                               thread has no message queue yet. Prints
//                               "post msg=M wparam=W ok=0|1 tries=N error=E"
//                               (decimal; tries=0: the program had ended).
//                               May be repeated; posts go in the given order.
//   --timeout=MS                end the program with code 124 if it runs longer
//
// Options are applied in the order given. MSG and WPARAM are decimal or 0x
// hex. The command line is PROGRAM and ARGS joined by blanks, each one quoted
// if it contains a blank. No handles are inherited. Exits with the program's
// exit code, 124 on timeout, 125 when the program cannot be started or the
// options are wrong.

#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

const int kTimedOut = 124;
const int kFailed = 125;
const DWORD kNoQueueError = 1444;  // ERROR_INVALID_THREAD_ID

struct Post {
  UINT msg;
  WPARAM wparam;
  ULONGLONG delay;
};

[[noreturn]] void usage(const std::string& problem) {
  std::fprintf(stderr, "winrun: %s\nusage: winrun.exe [--unset=NAME] [--set=NAME=VALUE] [--cwd=DIR] "
               "[--post=MSG,WPARAM,DELAY_MS] [--timeout=MS] -- PROGRAM [ARGS...]\n", problem.c_str());
  ExitProcess(kFailed);
}

bool parse_number(const std::string& text, unsigned long long& value) {
  bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  size_t i = hex ? 2 : 0;
  if (i == text.size()) return false;
  value = 0;
  for (; i < text.size(); ++i) {
    char c = text[i];
    int digit;
    if (c >= '0' && c <= '9')
      digit = c - '0';
    else if (hex && c >= 'a' && c <= 'f')
      digit = c - 'a' + 10;
    else if (hex && c >= 'A' && c <= 'F')
      digit = c - 'A' + 10;
    else
      return false;
    value = value * (hex ? 16 : 10) + static_cast<unsigned>(digit);
  }
  return true;
}

void remove_variable(const std::string& name) {
  // One removal per spelling, should the environment hold several.
  for (int i = 0; i < 16 && GetEnvironmentVariableA(name.c_str(), nullptr, 0) != 0; ++i)
    SetEnvironmentVariableA(name.c_str(), nullptr);
}

std::string quote(const std::string& arg) {
  if (!arg.empty() && arg.find_first_of(" \t") == std::string::npos) return arg;
  return "\"" + arg + "\"";
}

enum class Wait { kEnded, kReached, kTimedOut };

// Waits for the child until `until` or the overall deadline, whichever is
// first (both GetTickCount64 values; 0 deadline = none).
Wait wait_child(HANDLE process, ULONGLONG until, ULONGLONG deadline) {
  for (;;) {
    ULONGLONG now = GetTickCount64();
    if (deadline && now >= deadline) return WaitForSingleObject(process, 0) == WAIT_OBJECT_0 ? Wait::kEnded : Wait::kTimedOut;
    if (now >= until) return WaitForSingleObject(process, 0) == WAIT_OBJECT_0 ? Wait::kEnded : Wait::kReached;
    ULONGLONG stop = deadline && deadline < until ? deadline : until;
    ULONGLONG wait = stop - now < 0x7fffffff ? stop - now : 0x7fffffff;
    if (WaitForSingleObject(process, static_cast<DWORD>(wait)) == WAIT_OBJECT_0) return Wait::kEnded;
  }
}

[[noreturn]] void time_out(HANDLE process) {
  TerminateProcess(process, kTimedOut);
  WaitForSingleObject(process, 5000);
  std::fprintf(stderr, "winrun: timed out\n");
  ExitProcess(kTimedOut);
}

}  // namespace

int main(int argc, char** argv) {
  std::string cwd;
  std::vector<Post> posts;
  unsigned long long timeout = 0;
  int i = 1;
  for (; i < argc; ++i) {
    std::string opt = argv[i];
    if (opt == "--") break;
    size_t eq = opt.find('=');
    std::string key = opt.substr(0, eq), value = eq == std::string::npos ? std::string() : opt.substr(eq + 1);
    if (eq == std::string::npos) usage("unknown option " + opt);
    if (key == "--unset") {
      remove_variable(value);
    } else if (key == "--set") {
      size_t eq2 = value.find('=');
      if (eq2 == std::string::npos || eq2 == 0) usage("--set needs NAME=VALUE");
      std::string name = value.substr(0, eq2);
      remove_variable(name);
      SetEnvironmentVariableA(name.c_str(), value.substr(eq2 + 1).c_str());
    } else if (key == "--cwd") {
      cwd = value;
    } else if (key == "--post") {
      size_t c1 = value.find(','), c2 = c1 == std::string::npos ? c1 : value.find(',', c1 + 1);
      unsigned long long msg, wparam, delay;
      if (c2 == std::string::npos || !parse_number(value.substr(0, c1), msg) ||
          !parse_number(value.substr(c1 + 1, c2 - c1 - 1), wparam) || !parse_number(value.substr(c2 + 1), delay))
        usage("--post needs MSG,WPARAM,DELAY_MS");
      posts.push_back(Post{static_cast<UINT>(msg), static_cast<WPARAM>(wparam), delay});
    } else if (key == "--timeout") {
      if (!parse_number(value, timeout)) usage("--timeout needs a number");
    } else {
      usage("unknown option " + opt);
    }
  }
  if (i + 1 >= argc) usage("no program given");

  std::string cmdline;
  for (int j = i + 1; j < argc; ++j) cmdline += (j > i + 1 ? " " : "") + quote(argv[j]);

  STARTUPINFOA si;
  ZeroMemory(&si, sizeof si);
  si.cb = sizeof si;
  PROCESS_INFORMATION pi;
  // Wine now and then fails a process start with ERROR_INTERNAL_ERROR (1359),
  // before the program has run at all; a second try starts it.
  const DWORD kInternalError = 1359;
  for (int attempt = 1;; ++attempt) {
    if (CreateProcessA(nullptr, &cmdline[0], nullptr, nullptr, FALSE, 0, nullptr, cwd.empty() ? nullptr : cwd.c_str(),
                       &si, &pi)) {
      break;
    }
    DWORD error = GetLastError();
    if (error != kInternalError || attempt == 3) {
      std::fprintf(stderr, "winrun: cannot start %s: error %lu\n", cmdline.c_str(), error);
      return kFailed;
    }
    std::fprintf(stderr, "winrun: start of %s failed with error %lu, trying again\n", cmdline.c_str(), error);
    Sleep(200);
  }
  // Lets a caller tell the child's lines in Wine's debug output (WINEDEBUG=+pid) from others.
  std::printf("child pid=%04lx tid=%04lx\n", pi.dwProcessId, pi.dwThreadId);
  std::fflush(stdout);
  ULONGLONG started = GetTickCount64();
  ULONGLONG deadline = timeout ? started + timeout : 0;

  bool ended = false;
  for (const Post& post : posts) {
    int tries = 0;
    DWORD error = 0;
    BOOL ok = FALSE;
    if (!ended) {
      Wait w = wait_child(pi.hProcess, started + post.delay, deadline);
      if (w == Wait::kTimedOut) time_out(pi.hProcess);
      ended = w == Wait::kEnded;
    }
    ULONGLONG first = GetTickCount64();
    while (!ended) {
      ++tries;
      ok = PostThreadMessageA(pi.dwThreadId, post.msg, post.wparam, 0);
      error = ok ? 0 : GetLastError();
      if (ok || error != kNoQueueError || GetTickCount64() - first >= 5000) break;
      Wait w = wait_child(pi.hProcess, GetTickCount64() + 20, deadline);
      if (w == Wait::kTimedOut) time_out(pi.hProcess);
      ended = w == Wait::kEnded;
    }
    std::printf("post msg=%u wparam=%llu ok=%d tries=%d error=%lu\n", post.msg,
                static_cast<unsigned long long>(post.wparam), ok ? 1 : 0, tries, error);
    std::fflush(stdout);
  }

  if (wait_child(pi.hProcess, deadline ? deadline : ~0ULL, deadline) != Wait::kEnded) time_out(pi.hProcess);
  DWORD code = 0;
  GetExitCodeProcess(pi.hProcess, &code);
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  return static_cast<int>(code);
}
