#include "app/fatal_signal.h"

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstring>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

namespace {

struct FatalSignal {
  int number;
  const char* name;
};

const FatalSignal fatalSignals[] = {
    {SIGSEGV, "SIGSEGV"}, //
    {SIGILL, "SIGILL"},   //
    {SIGFPE, "SIGFPE"},   //
    {SIGABRT, "SIGABRT"}, //
#ifdef SIGBUS
    {SIGBUS, "SIGBUS"}, // not on Windows
#endif
};
constexpr int signalCount = sizeof fatalSignals / sizeof fatalSignals[0];

// Two sets of lines: the next phase's are written while the handler may still read the current.
// The driver's own threads crash too: the set is published with release and read with acquire,
// so a handler on any thread sees the lines whole.
char lines[2][signalCount][160];
int lineLengths[2][signalCount];
std::atomic<int> currentLines{0};
static_assert(std::atomic<int>::is_always_lock_free,
              "a signal handler may only use lock-free atomics");

#ifdef _WIN32
using Handler = void (*)(int);
Handler previous[signalCount];
#else
struct sigaction previous[signalCount];
// A driver that overflows the stack (a deep expression in the compiler) leaves none for the
// handler: it runs on a stack of its own.
alignas(16) char alternateStack[64 * 1024];
#endif

int indexOf(int number) {
  for (int i = 0; i < signalCount; ++i) {
    if (fatalSignals[i].number == number) {
      return i;
    }
  }
  return 0;
}

void writeLine(int i) {
  const int set = currentLines.load(std::memory_order_acquire);
#ifdef _WIN32
  const int written = _write(2, lines[set][i], static_cast<unsigned>(lineLengths[set][i]));
#else
  const ssize_t written = write(2, lines[set][i], static_cast<size_t>(lineLengths[set][i]));
#endif
  (void)written;
}

#ifdef _WIN32
void onFatalSignal(int number) {
  const int i = indexOf(number);
  writeLine(i);
  if (previous[i] != SIG_DFL && previous[i] != SIG_IGN && previous[i] != SIG_ERR) {
    previous[i](number);
    return;
  }
  std::signal(number, SIG_DFL);
  std::raise(number);
}
#else
void onFatalSignal(int number, siginfo_t* info, void* context) {
  const int i = indexOf(number);
  writeLine(i);
  // A handler installed before ours (a sanitizer's) gets the signal as it came, so its report
  // still names the faulting address.
  sigaction(number, &previous[i], nullptr);
  if ((previous[i].sa_flags & SA_SIGINFO) && previous[i].sa_sigaction) {
    previous[i].sa_sigaction(number, info, context);
    return;
  }
  if (previous[i].sa_handler != SIG_DFL && previous[i].sa_handler != SIG_IGN) {
    previous[i].sa_handler(number);
    return;
  }
  // Blocked until we return: the process then dies of it, with the status a parent expects.
  std::signal(number, SIG_DFL);
  std::raise(number);
}
#endif

#ifndef _WIN32
// On this thread, where the GL runs; one already in place (a sanitizer's) is kept.
void useAlternateStack() {
  stack_t current;
  if (sigaltstack(nullptr, &current) != 0 || !(current.ss_flags & SS_DISABLE)) {
    return;
  }
  stack_t stack;
  std::memset(&stack, 0, sizeof stack);
  stack.ss_sp = alternateStack;
  stack.ss_size = sizeof alternateStack;
  sigaltstack(&stack, nullptr);
}
#endif

void installHandlers() {
#ifndef _WIN32
  useAlternateStack();
#endif
  for (int i = 0; i < signalCount; ++i) {
#ifdef _WIN32
    previous[i] = std::signal(fatalSignals[i].number, onFatalSignal);
#else
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_sigaction = onFatalSignal;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    sigaction(fatalSignals[i].number, &action, &previous[i]);
#endif
  }
}

} // namespace

void reportFatalSignalsDuring(const char* phase) {
  static bool installed = false;
  const int next = 1 - currentLines.load(std::memory_order_relaxed);
  for (int i = 0; i < signalCount; ++i) {
    const int length = std::snprintf(lines[next][i], sizeof lines[next][i],
                                     "Fatal signal %s during %s\n", fatalSignals[i].name, phase);
    lineLengths[next][i] =
        length < int(sizeof lines[next][i]) ? length : int(sizeof lines[next][i]) - 1;
  }
  currentLines.store(next, std::memory_order_release);
  if (!installed) {
    installHandlers();
    installed = true;
  }
}
