#include "platform/interruption.h"

#include <signal.h>

#include <csignal>

namespace nodrel::platform {
namespace {

// A signal handler can reach nothing but a flag of this type; the guard is what owns it.
volatile std::sig_atomic_t receivedSignal = 0;

constexpr int kCaughtSignals[] = {SIGTERM, SIGINT, SIGHUP};
struct sigaction previousActions[3];

extern "C" void noteSignal(int number) {
  if (receivedSignal == 0) receivedSignal = number;
}

}  // namespace

InterruptionGuard::InterruptionGuard() {
  receivedSignal = 0;
  struct sigaction action {};
  action.sa_handler = noteSignal;
  sigemptyset(&action.sa_mask);
  // Restarted system calls: a read or a lock wait goes on, and the command stops at its next
  // look at the flag.
  action.sa_flags = SA_RESTART;
  for (int i = 0; i < 3; ++i) sigaction(kCaughtSignals[i], &action, &previousActions[i]);
}

InterruptionGuard::~InterruptionGuard() {
  for (int i = 0; i < 3; ++i) sigaction(kCaughtSignals[i], &previousActions[i], nullptr);
}

bool InterruptionGuard::interrupted() const { return receivedSignal != 0; }

int InterruptionGuard::signalNumber() const { return receivedSignal; }

}  // namespace nodrel::platform
