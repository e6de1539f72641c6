#include "support/fake_segment.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <ctime>


namespace zt {

namespace {

std::string shm_name(uint32_t pid) {
  std::string name = "/";
  return name.append(PROGRESS_NAME_PREFIX).append(std::to_string(pid));
}

} // namespace

ProgressSegment fake_record(uint32_t pid, uint8_t tool, const char *name) {
  ProgressSegment r;
  memset(&r, 0, sizeof r);
  r.magic = PROGRESS_MAGIC;
  r.version = PROGRESS_VERSION;
  r.pid = pid;
  r.tool = tool;
  snprintf(r.name, sizeof r.name, "%s", name != nullptr ? name : "");
  r.eta_s = -1;
  for (int64_t &w : r.worker_block)
    w = -1;
  r.start_wall = static_cast<int64_t>(time(nullptr));
  return r;
}

bool fake_segment_create(uint32_t pid, const void *bytes, size_t len, size_t size) {
  int fd = shm_open(shm_name(pid).c_str(), O_CREAT | O_RDWR | O_TRUNC, 0600);
  if (fd < 0)
    return false;
  size_t n = len < size ? len : size;
  bool ok = ftruncate(fd, static_cast<off_t>(size)) == 0 &&
            (n == 0 || pwrite(fd, bytes, n, 0) == static_cast<ssize_t>(n));
  close(fd);
  return ok;
}

bool fake_segment_write(uint32_t pid, const ProgressSegment &record) {
  int fd = shm_open(shm_name(pid).c_str(), O_RDWR, 0);
  if (fd < 0)
    return false;
  void *p = mmap(nullptr, PROGRESS_SEGMENT_SIZE, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  close(fd);
  if (p == MAP_FAILED)
    return false;
  // The writer's bracket: odd counter, every field but the counter, next even value.
  char *seg = static_cast<char *>(p);
  std::atomic_ref<uint64_t> seq(static_cast<ProgressSegment *>(p)->seq);
  uint64_t s = seq.load(std::memory_order_relaxed) & ~1ull;
  seq.store(s + 1, std::memory_order_relaxed);
  std::atomic_thread_fence(std::memory_order_release);
  const size_t head = offsetof(ProgressSegment, seq), tail = offsetof(ProgressSegment, pid);
  memcpy(seg, &record, head);
  memcpy(seg + tail, reinterpret_cast<const char *>(&record) + tail, PROGRESS_SEGMENT_SIZE - tail);
  seq.store(s + 2, std::memory_order_release);
  munmap(p, PROGRESS_SEGMENT_SIZE);
  return true;
}

void fake_segment_remove(uint32_t pid) { shm_unlink(shm_name(pid).c_str()); }

bool fake_segment_exists(uint32_t pid) { return access(("/dev/shm" + shm_name(pid)).c_str(), F_OK) == 0; }

FakeTool::FakeTool(const char *comm) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0)
    return;
  pid_t parent = getpid();
  pid_ = fork();
  if (pid_ == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent)
      _exit(0);
    if (comm != nullptr)
      prctl(PR_SET_NAME, comm, 0, 0, 0);
    // Only the read end stays: another stand-in's inherited pipe would
    // keep that one from ever seeing its end of file.
    close_range(3, static_cast<unsigned>(fds[0]) - 1, 0);
    close_range(static_cast<unsigned>(fds[0]) + 1, ~0u, 0);
    char c;
    while (read(fds[0], &c, 1) < 0) {
    }
    _exit(0);
  }
  close(fds[0]);
  control_fd_ = fds[1];
}

FakeTool::~FakeTool() {
  stop();
  if (pid_ > 0)
    fake_segment_remove(pid());
}

bool FakeTool::publish(const ProgressSegment &record) {
  if (&record != &record_)
    record_ = record;
  if (published_)
    return fake_segment_write(pid(), record_);
  published_ = pid_ > 0 && fake_segment_create(pid(), &record_, sizeof record_);
  return published_;
}

void FakeTool::zombie() {
  if (control_fd_ >= 0)
    close(control_fd_);
  control_fd_ = -1;
  siginfo_t info; // until the child has exited (state Z), without reaping it
  if (pid_ > 0 && !exited_)
    waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOWAIT);
}

void FakeTool::stop() {
  zombie();
  if (pid_ > 0 && !exited_)
    waitpid(pid_, nullptr, 0);
  exited_ = true;
}

pid_t spawn_program(const std::string &path, const char *const *argv,
                    const std::string &out_path, const std::string &err_path) {
  pid_t child = fork();
  if (child != 0)
    return child;
  int in = open("/dev/null", O_RDONLY);
  int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (in < 0 || out < 0 || err < 0)
    _exit(127);
  dup2(in, 0);
  dup2(out, 1);
  dup2(err, 2);
  closefrom(3); // nothing of the test's outlives it in a daemon (tmux)
  execv(path.c_str(), const_cast<char *const *>(argv));
  _exit(127);
}

pid_t spawn_program(const std::vector<std::string> &argv, const std::string &out_path,
                    const std::string &err_path) {
  std::vector<const char *> args;
  for (const std::string &a : argv)
    args.push_back(a.c_str());
  args.push_back(nullptr);
  return spawn_program(argv[0], args.data(), out_path, err_path);
}

int wait_exit(pid_t pid, int timeout_ms) {
  int status = 0;
  if (!wait_until([&] { return waitpid(pid, &status, WNOHANG) == pid; }, timeout_ms)) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

RunResult run_program(const std::string &path, const std::vector<std::string> &args,
                      int timeout_ms) {
  TempDir dir;
  std::vector<std::string> argv = {path};
  argv.insert(argv.end(), args.begin(), args.end());
  pid_t pid = spawn_program(argv, dir.path + "/out", dir.path + "/err");
  RunResult r{pid > 0 ? wait_exit(pid, timeout_ms) : -1, "", ""};
  r.out = read_file(dir.path + "/out");
  r.err = read_file(dir.path + "/err");
  return r;
}

RunResult run_program(const std::string &path, std::initializer_list<const char *> args,
                      int timeout_ms) {
  return run_program(path, std::vector<std::string>(args.begin(), args.end()), timeout_ms);
}

} // namespace zt
