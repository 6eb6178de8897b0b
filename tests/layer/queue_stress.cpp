// The Linux layer's threads and message queues under load, for the sanitizer
// builds above all (tsan): the launcher itself only ever posts one message.
//
// The main thread first posts to itself before its first windowing call,
// which must fail and lose the message. Then WORKERS threads start with
// CreateThread; each makes a windowing call (getting its queue), reports
// ready, and on the main thread's go posts MESSAGES numbered messages to the
// main thread and to every other worker, takes its share from its peers (some
// may arrive before its go) and reports done. Every receiver checks that each sender's messages arrive
// complete and in order, and the main thread that a sender's done comes after
// all of its messages. The workers may still be ending when the process ends,
// as the launcher's worker may.
//
// Prints one line and exits with 0 when all held, else names what did not.

#include <stdint.h>
#include <stdio.h>

#include "system/system.h"

namespace {

const int WORKERS = 4;
const int MESSAGES = 5000;  // per sender and receiver

const UINT MSG_READY = WM_USER + 10;  // wParam: the worker's index
const UINT MSG_GO = WM_USER + 11;
const UINT MSG_DATA = WM_USER + 12;  // wParam: the sender's index, lParam: its number for this receiver
const UINT MSG_DONE = WM_USER + 13;  // wParam: the sender's index, lParam: faults it saw

// Written by the main thread before it posts go; read by the workers after.
DWORD ThreadIds[WORKERS];
DWORD MainId;

int Faults = 0;  // the main thread's

void Fault(const char *what, long long a = 0, long long b = 0) {
  if (Faults++ < 10) fprintf(stderr, "queue_stress: %s (%lld, %lld)\n", what, a, b);
}

void MakeQueue() {
  LoadCursorA(nullptr, MakeIntResource(IDC_ARROW));  // a first windowing call, as the launcher makes
}

DWORD WINAPI Worker(void *parameter) {
  const int self = static_cast<int>(reinterpret_cast<intptr_t>(parameter));
  long long faults = 0;
  MakeQueue();
  PostThreadMessageA(MainId, MSG_READY, static_cast<WPARAM>(self), 0);

  // A peer that got its go first may post before this worker gets its own.
  bool go = false;
  int next[WORKERS] = {};
  int received = 0;
  MSG message;
  while (!go || received < (WORKERS - 1) * MESSAGES) {
    if (GetMessageA(&message, nullptr, 0, 0) != 1) {
      ++faults;
      break;
    }
    if (message.message == MSG_GO && !go) {
      go = true;
      for (int number = 0; number < MESSAGES; ++number) {
        if (!PostThreadMessageA(MainId, MSG_DATA, static_cast<WPARAM>(self), number)) ++faults;
        for (int peer = 0; peer < WORKERS; ++peer) {
          if (peer != self && !PostThreadMessageA(ThreadIds[peer], MSG_DATA, static_cast<WPARAM>(self), number)) {
            ++faults;
          }
        }
      }
    } else if (message.message == MSG_DATA && message.wParam < WORKERS &&
               message.wParam != static_cast<WPARAM>(self) && message.lParam == next[message.wParam]) {
      ++next[message.wParam];
      ++received;
    } else {
      ++faults;
      break;
    }
  }
  PostThreadMessageA(MainId, MSG_DONE, static_cast<WPARAM>(self), faults);
  return 0;
}

}  // namespace

int main() {
  MainId = GetCurrentThreadId();

  // No queue before the first windowing call: the post fails and the message
  // is lost, so the quit posted once the queue exists is the first message.
  if (PostThreadMessageA(MainId, MSG_DATA, 0, 0)) Fault("post to a thread without a queue succeeded");
  MakeQueue();
  MSG message;
  if (!PostThreadMessageA(MainId, WM_QUIT, 7, 0)) Fault("post to the thread's own queue failed");
  if (GetMessageA(&message, nullptr, 0, 0) != 0 || message.message != WM_QUIT || message.wParam != 7) {
    Fault("the quit was not the first message", message.message, static_cast<long long>(message.wParam));
  }

  for (int i = 0; i < WORKERS; ++i) {
    if (CreateThread(nullptr, 0, Worker, reinterpret_cast<void *>(static_cast<intptr_t>(i)), 0, &ThreadIds[i]) ==
            nullptr ||
        ThreadIds[i] == 0 || ThreadIds[i] == MainId) {
      Fault("CreateThread failed or gave no thread id of its own", i, ThreadIds[i]);
      return 1;
    }
    for (int j = 0; j < i; ++j) {
      if (ThreadIds[j] == ThreadIds[i]) Fault("two threads with one id", j, i);
    }
  }

  bool ready[WORKERS] = {};
  for (int i = 0; i < WORKERS; ++i) {
    if (GetMessageA(&message, nullptr, 0, 0) != 1 || message.message != MSG_READY || message.wParam >= WORKERS ||
        ready[message.wParam]) {
      Fault("expected a ready from each worker", message.message, static_cast<long long>(message.wParam));
      return 1;
    }
    ready[message.wParam] = true;
  }
  for (int i = 0; i < WORKERS; ++i) {
    if (!PostThreadMessageA(ThreadIds[i], MSG_GO, 0, 0)) Fault("post to a worker failed", i);
  }

  int next[WORKERS] = {};
  int done = 0;
  while (done < WORKERS) {
    if (GetMessageA(&message, nullptr, 0, 0) != 1 || message.wParam >= WORKERS) {
      Fault("unexpected message", message.message, static_cast<long long>(message.wParam));
      return 1;
    }
    int sender = static_cast<int>(message.wParam);
    if (message.message == MSG_DATA) {
      if (message.lParam != next[sender]) Fault("message out of order", sender, message.lParam);
      next[sender] = static_cast<int>(message.lParam) + 1;
    } else if (message.message == MSG_DONE) {
      if (next[sender] != MESSAGES) Fault("done before all of the sender's messages", sender, next[sender]);
      if (message.lParam != 0) Fault("a worker saw faults", sender, message.lParam);
      ++done;
    } else {
      Fault("unexpected message", message.message, sender);
    }
  }

  printf("queue_stress: %d threads, %d messages each way: %s\n", WORKERS, MESSAGES, Faults ? "FAILED" : "ok");
  return Faults ? 1 : 0;
}
