// The KERNEL32 calls of the Linux system layer: threads, sleeping and the
// process's current directory.

#include <errno.h>
#include <limits.h>
#include <pthread.h>
#include <semaphore.h>
#include <stdint.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "system/system.h"
#include "system/posix/layer.h"

namespace zaqsys {

namespace {

struct ThreadStart {
  LPTHREAD_START_ROUTINE start;
  void *parameter;
  DWORD threadId;
  sem_t started;  // posted once threadId is known
};

void *RunThread(void *argument) {
  ThreadStart *thread = static_cast<ThreadStart *>(argument);
  LPTHREAD_START_ROUTINE start = thread->start;
  void *parameter = thread->parameter;
  thread->threadId = GetCurrentThreadId();
  sem_post(&thread->started);  // after this, `thread` belongs to the creator
  start(parameter);
  return nullptr;
}

}  // namespace

DWORD WINAPI GetCurrentThreadId(void) {
  return static_cast<DWORD>(gettid());
}

HANDLE WINAPI CreateThread(void *, SIZE_T stackSize, LPTHREAD_START_ROUTINE start, void *parameter, DWORD flags,
                           DWORD *threadId) {
  if (InjectedFailure("CreateThread")) return nullptr;
  if (flags != 0) return nullptr;  // suspended starts are not needed
  ThreadStart thread;
  thread.start = start;
  thread.parameter = parameter;
  thread.threadId = 0;
  sem_init(&thread.started, 0, 0);
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
  if (stackSize != 0) pthread_attr_setstacksize(&attributes, stackSize);
  pthread_t handle;
  int error = pthread_create(&handle, &attributes, RunThread, &thread);
  pthread_attr_destroy(&attributes);
  if (error == 0) {
    while (sem_wait(&thread.started) != 0 && errno == EINTR) {
    }
  }
  sem_destroy(&thread.started);
  Trace("CreateThread -> %s", error == 0 ? "started" : "failed");
  if (error != 0) return nullptr;
  if (threadId != nullptr) *threadId = thread.threadId;
  // The handle is only ever compared with null; the launcher never waits.
  return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(thread.threadId));
}

void WINAPI Sleep(DWORD milliseconds) {
  struct timespec left;
  left.tv_sec = milliseconds / 1000;
  left.tv_nsec = static_cast<long>(milliseconds % 1000) * 1000000L;
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

BOOL WINAPI SetCurrentDirectoryA(const char *path) {
  char native[PATH_MAX];
  BOOL done = ToNativePath(path, native, sizeof native) && ::chdir(native) == 0;
  Trace("SetCurrentDirectoryA \"%s\" -> %d", path, done);
  return done;
}

// The length copied, or the size needed (with the terminating zero) when the
// buffer is too small, or 0 on failure.
DWORD WINAPI GetCurrentDirectoryA(DWORD size, char *buffer) {
  char current[PATH_MAX];
  if (::getcwd(current, sizeof current) == nullptr) return 0;
  size_t length = strlen(current);
  if (length + 1 > size) return static_cast<DWORD>(length + 1);
  memcpy(buffer, current, length + 1);
  return static_cast<DWORD>(length);
}

}  // namespace zaqsys
