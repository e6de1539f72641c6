#include "orchestrator.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/wait.h>
#include <unistd.h>

#include "generated_source.h"
#include "progress/writer.h"
#include "runtime/log.h"

namespace {

constexpr int FORWARDED[] = {SIGINT, SIGTERM, SIGHUP};

// The child running now, for the signal handler.
std::atomic<pid_t> g_child{0};

// Installed before the segment writer's handler, which calls it after
// removing the segment's name: the child goes down with its orchestrator,
// then the orchestrator ends by the signal.  Without a segment it is the
// only handler and ends the process itself.
void forward_signal(int sig) {
  pid_t child = g_child.load();
  if (child > 0)
    kill(child, sig);
  struct sigaction dfl {};
  dfl.sa_handler = SIG_DFL;
  sigemptyset(&dfl.sa_mask);
  sigaction(sig, &dfl, nullptr);
  raise(sig);
}

void install_forwarding() {
  struct sigaction sa {};
  sa.sa_handler = forward_signal;
  sigemptyset(&sa.sa_mask);
  for (int sig : FORWARDED)
    sigaction(sig, &sa, nullptr);
}

// Waits for the child; true when it exited with status 0.  The child is
// forgotten by the signal handler before it is reaped, so a forwarded
// signal can never reach a reused pid.
bool child_succeeded(pid_t pid) {
  siginfo_t info{};
  while (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT) < 0) {
    if (errno != EINTR)
      break;
  }
  g_child.store(0);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR)
      return false;
  }
  if (WIFEXITED(status))
    return WEXITSTATUS(status) == 0;
  return false;
}

void report(ProgressSegment *segment, uint64_t done, uint64_t ok, uint64_t failed) {
  ProgressSample s{};
  s.blocks_done = done;
  s.block_current = done;
  s.written = ok;
  s.unchanged = failed;
  progress_update(segment, &s);
}

} // namespace

int demo_child_tool(int orchestrator_tool) {
  return orchestrator_tool == TOOL_PVE_RST || orchestrator_tool == TOOL_XENV_RST ? TOOL_RESTORE
                                                                                 : TOOL_AGENT;
}

pid_t demo_spawn_child(int child_tool, const char *name, int argc, char **argv) {
  // Room for the four leading arguments, the orchestrator's own and the
  // terminating null; built before fork so the child only execs.
  char **child_argv = static_cast<char **>(calloc(static_cast<size_t>(argc) + 6, sizeof(char *)));
  if (child_argv == nullptr)
    return -1;
  int n = 0;
  child_argv[n++] = argv[0];
  child_argv[n++] = const_cast<char *>("--tool");
  child_argv[n++] = const_cast<char *>(demo_tool_name(child_tool));
  child_argv[n++] = const_cast<char *>("--name");
  child_argv[n++] = const_cast<char *>(name);
  for (int i = 1; i < argc; i++)
    child_argv[n++] = argv[i];
  child_argv[n] = nullptr;

  // Signals stay blocked across fork: a child that took one before exec
  // would run the orchestrator's handlers and remove the orchestrator's
  // segment.  The child resets them to their defaults before unblocking.
  sigset_t block, saved;
  sigemptyset(&block);
  for (int sig : FORWARDED)
    sigaddset(&block, sig);
  sigprocmask(SIG_BLOCK, &block, &saved);
  pid_t pid = fork();
  if (pid == 0) {
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    for (int sig : FORWARDED)
      sigaction(sig, &dfl, nullptr);
    sigprocmask(SIG_SETMASK, &saved, nullptr);
    execv("/proc/self/exe", child_argv);
    _exit(127);
  }
  if (pid > 0)
    g_child.store(pid);
  sigprocmask(SIG_SETMASK, &saved, nullptr);
  free(child_argv);
  return pid;
}

int demo_orchestrate(const DemoArgs *a, int argc, char **argv) {
  int child_tool = demo_child_tool(a->tool);
  char default_name[64];
  snprintf(default_name, sizeof default_name, "demo-%s", demo_tool_name(a->tool));
  const char *name = a->name != nullptr ? a->name : default_name;
  char generated[64];
  const char *path = a->source;
  if (path == nullptr) {
    demo_generated_name((a->blocks_given ? a->blocks : a->cfg.blocks) * a->cfg.block_size,
                        generated, sizeof generated);
    path = generated;
  }

  install_forwarding();
  ProgressSegment *segment = nullptr;
  if (!a->no_progress) {
    StatusCode st = progress_create(&segment, a->tool, name, a->backup_type, a->children, path);
    if (st != ST_OK)
      log_msg(LVL_WARN, "progress reporting unavailable (%s, status=%d); continuing without it",
              status_name(st), st);
  }
  report(segment, 0, 0, 0);

  uint64_t ok = 0;
  uint64_t failed = 0;
  for (uint32_t i = 0; i < a->children; i++) {
    char child_name[64];
    snprintf(child_name, sizeof child_name, "demo-%s-%u", demo_tool_name(child_tool), i + 1);
    progress_note(STATE_RUNNING, "child %u of %u: %s", i + 1, a->children, child_name);
    pid_t pid = demo_spawn_child(child_tool, child_name, argc, argv);
    bool good = false;
    if (pid < 0) {
      log_msg(LVL_ERROR, "cannot start child %s: %s", child_name, strerror(errno));
    } else {
      progress_set_child(static_cast<uint32_t>(pid));
      good = child_succeeded(pid);
      progress_set_child(0);
      if (!good)
        log_msg(LVL_ERROR, "child %s (pid %d) failed", child_name, static_cast<int>(pid));
    }
    if (good)
      ok++;
    else
      failed++;
    report(segment, i + 1, ok, failed);
  }
  if (segment != nullptr) {
    if (failed != 0)
      progress_note(STATE_FINISHING, "%llu of %u children failed",
                    static_cast<unsigned long long>(failed), a->children);
    else
      progress_note(STATE_FINISHING, "all %u children done", a->children);
    progress_finish(failed == 0 ? 1 : 0);
  }
  return failed == 0 ? 0 : 1;
}
