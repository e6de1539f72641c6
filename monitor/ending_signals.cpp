#include "monitor/ending_signals.h"

#include <curses.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>

#include "runtime/clock.h"

namespace {

constexpr size_t ENDING_COUNT = 4;
constexpr int ENDING_SIGNALS[ENDING_COUNT] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

volatile sig_atomic_t g_ending = 0;
struct sigaction g_prev[ENDING_COUNT];
bool g_installed[ENDING_COUNT] = {};
bool g_held = false;
sigset_t g_mask_before;

// Only a note: everything else happens in the main loop.
void note_ending(int signal_number) { g_ending = signal_number; }

sigset_t ending_set() {
  sigset_t set;
  sigemptyset(&set);
  for (int signal_number : ENDING_SIGNALS)
    sigaddset(&set, signal_number);
  return set;
}

// One of the signals this program handles is waiting behind the block.
bool ending_pending() {
  sigset_t pending;
  if (sigpending(&pending) != 0)
    return false;
  for (size_t i = 0; i < ENDING_COUNT; i++)
    if (g_installed[i] && sigismember(&pending, ENDING_SIGNALS[i]) == 1)
      return true;
  return false;
}

} // namespace

void ending_signals_hold() {
  if (g_held)
    return;
  const sigset_t set = ending_set();
  sigprocmask(SIG_BLOCK, &set, &g_mask_before);
  g_held = true;
  for (size_t i = 0; i < ENDING_COUNT; i++) {
    if (g_installed[i])
      continue;
    // No SA_RESTART: a key read that is waiting returns at once.
    struct sigaction act {};
    act.sa_handler = note_ending;
    sigfillset(&act.sa_mask);
    struct sigaction prev {};
    g_installed[i] = sigaction(ENDING_SIGNALS[i], nullptr, &prev) == 0 &&
                     (prev.sa_flags & SA_SIGINFO) == 0 && prev.sa_handler == SIG_DFL &&
                     sigaction(ENDING_SIGNALS[i], &act, &g_prev[i]) == 0;
  }
}

void ending_signals_release() {
  if (!g_held)
    return;
  g_held = false;
  sigprocmask(SIG_SETMASK, &g_mask_before, nullptr);
}

void ending_signals_finish() {
  ending_signals_hold();
  const bool ending = g_ending != 0 || ending_pending();
  for (size_t i = 0; i < ENDING_COUNT; i++) {
    if (g_installed[i])
      sigaction(ENDING_SIGNALS[i], &g_prev[i], nullptr);
    g_installed[i] = false;
  }
  if (ending)
    exit(EXIT_FAILURE);
}

bool ending_signal_received() { return g_ending != 0; }

// The ending signals and SIGWINCH are let in only while ppoll waits, so
// that none can slip in between the look at the note (or at curses' resize
// flag) and the wait, and leave the wait blind to it until the next key.
int screen_key(int timeout_ms) {
  sigset_t set = ending_set();
  sigaddset(&set, SIGWINCH);
  sigset_t before;
  sigprocmask(SIG_BLOCK, &set, &before);
  const int delay = wgetdelay(stdscr);
  wtimeout(stdscr, 0);
  const int64_t start = monotonic_ms();
  bool ready = false;
  int key = ERR;
  int cause = 0;
  for (;;) {
    if (g_ending != 0) {
      cause = EINTR;
      break;
    }
    errno = 0;
    key = wgetch(stdscr);
    if (key != ERR)
      break;
    // Input that polls ready yet gives no key is at its end, or failed.
    if (ready) {
      cause = errno != 0 && errno != EINTR ? errno : EIO;
      break;
    }
    const int64_t left = timeout_ms - (monotonic_ms() - start);
    if (timeout_ms >= 0 && left <= 0)
      break;
    struct timespec wait {};
    wait.tv_sec = static_cast<time_t>(left / 1000);
    wait.tv_nsec = static_cast<long>(left % 1000) * 1000000L;
    struct pollfd input {};
    input.fd = STDIN_FILENO;
    input.events = POLLIN;
    const int polled = ppoll(&input, 1, timeout_ms >= 0 ? &wait : nullptr, &before);
    if (polled < 0 && errno != EINTR) {
      cause = errno;
      break;
    }
    ready = polled > 0;
  }
  wtimeout(stdscr, delay);
  sigprocmask(SIG_SETMASK, &before, nullptr);
  errno = cause;
  return key;
}
