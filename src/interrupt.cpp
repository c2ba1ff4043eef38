// interrupt.cpp: the signals that end a run, taken by one thread.
//
// The four signals are blocked in every thread of the synchronisation and
// waited for by one thread of their own.  While nothing is being changed it
// ends the program at once, as the signal would.  While the trees are being
// changed it only records the signal: the thread that plans the changes
// sees it at its next step, waits for the system calls in flight, removes
// every temporary file, reports what was done and then ends the program,
// so that no temporary file is left and no deletion goes unreported.  The
// program ends by the signal itself, raised again with its default action,
// so that a shell running it as one command of many stops as well.

#include "interrupt.h"

#include <pthread.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <iostream>
#include <mutex>
#include <system_error>
#include <thread>

#include "progress.h"

namespace {

std::mutex mutex;  // guards `changing` against a signal's arrival
int changing = 0;  // calls between begin_changes and end_changes
std::atomic<int> stop_signal{0};
// The signals that end a run.
constexpr int kEndingSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

sigset_t ending_signals() {
  sigset_t set;
  sigemptyset(&set);
  for (int signal_number : kEndingSignals) {
    sigaddset(&set, signal_number);
  }
  return set;
}

// Ends the program by `signal_number`, with the status line erased.
[[noreturn]] void die_by(int signal_number) {
  close_status_lines();
  // The clean-up is done: a core dump would only tell of it.
  if (signal_number == SIGQUIT) {
    rlimit none{0, 0};
    setrlimit(RLIMIT_CORE, &none);
    // Nor may a program that takes core dumps get one: the memory may hold
    // bytes of other users' files.
    prctl(PR_SET_DUMPABLE, 0);
  }
  signal(signal_number, SIG_DFL);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, signal_number);
  // The signal's thread takes it, or any other if raised elsewhere.
  pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
  raise(signal_number);
  _exit(128 + signal_number);  // not reached: the signal ends the program
}

// Body of the signal thread.
void wait_for_signals(sigset_t set) {
  while (true) {
    int signal_number = 0;
    if (sigwait(&set, &signal_number) != 0) continue;
    std::lock_guard lock(mutex);
    int none = 0;
    stop_signal.compare_exchange_strong(none, signal_number);
    if (changing == 0) die_by(stop_signal.load());
  }
}

}  // namespace

void install_interrupt_handlers() {
  static std::once_flag once;
  std::call_once(once, [] {
    signal(SIGXFSZ, SIG_IGN);
    sigset_t set = ending_signals();
    // A hangup ignored when the program started (nohup) stays ignored: the
    // run was meant to outlive its terminal.
    struct sigaction hangup {};
    if (sigaction(SIGHUP, nullptr, &hangup) == 0 &&
        hangup.sa_handler == SIG_IGN) {
      sigdelset(&set, SIGHUP);
    }
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    // Another signal ignored when the program started (a background job of
    // a script ignores SIGINT) would be discarded, not left for the thread:
    // a handler of its own, which never runs, keeps it.
    struct sigaction action {};
    action.sa_handler = [](int) {};
    for (int signal_number : kEndingSignals) {
      if (sigismember(&set, signal_number)) {
        sigaction(signal_number, &action, nullptr);
      }
    }
    try {
      std::thread(wait_for_signals, set).detach();
    } catch (const std::system_error&) {
      // No thread: the signals end the program as they always do.
      for (int signal_number : kEndingSignals) {
        if (sigismember(&set, signal_number)) signal(signal_number, SIG_DFL);
      }
      pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    }
  });
}

void begin_changes() {
  install_interrupt_handlers();
  std::lock_guard lock(mutex);
  ++changing;
}

void end_changes() {
  {
    std::lock_guard lock(mutex);
    --changing;
  }
  if (stop_requested()) exit_on_signal();
}

bool stop_requested() {
  return stop_signal.load(std::memory_order_relaxed) != 0;
}

void exit_on_signal() {
  std::cout.flush();
  die_by(stop_signal.load());
}
