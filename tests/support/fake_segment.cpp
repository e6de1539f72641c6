#include "support/fake_segment.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace zt {

static std::string shm_name(uint32_t pid) {
  return std::string("/").append(PROGRESS_NAME_PREFIX).append(std::to_string(pid));
}

ProgressSegment fake_record(uint32_t pid, uint8_t tool, const char *name) {
  ProgressSegment r;
  memset(&r, 0, sizeof r);
  r.magic = PROGRESS_MAGIC;
  r.version = PROGRESS_VERSION;
  r.pid = pid;
  r.tool = tool;
  r.eta_s = -1;
  r.start_wall = time(nullptr);
  snprintf(r.name, sizeof r.name, "%s", name);
  for (int64_t &w : r.worker_block)
    w = -1;
  return r;
}

bool fake_segment_create(uint32_t pid, const void *bytes, size_t len, size_t size) {
  int fd = shm_open(shm_name(pid).c_str(), O_CREAT | O_RDWR | O_TRUNC, 0600);
  ssize_t n = static_cast<ssize_t>(std::min(len, size));
  bool ok = fd >= 0 && ftruncate(fd, static_cast<off_t>(size)) == 0 && pwrite(fd, bytes, n, 0) == n;
  close(fd);
  return ok;
}

bool fake_segment_write(uint32_t pid, const ProgressSegment &record) {
  int fd = shm_open(shm_name(pid).c_str(), O_RDWR, 0);
  void *p = mmap(nullptr, PROGRESS_SEGMENT_SIZE, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  close(fd);
  if (p == MAP_FAILED)
    return false;
  // The writer's bracket: odd counter, the fields, the next even value.
  std::atomic_ref<uint64_t> seq(static_cast<ProgressSegment *>(p)->seq);
  ProgressSegment copy = record;
  copy.seq = (seq.load() | 1);
  seq.store(copy.seq);
  std::atomic_thread_fence(std::memory_order_release);
  memcpy(p, &copy, sizeof copy);
  seq.store(copy.seq + 1);
  return munmap(p, PROGRESS_SEGMENT_SIZE) == 0;
}

void fake_segment_remove(uint32_t pid) { shm_unlink(shm_name(pid).c_str()); }
bool fake_segment_exists(uint32_t pid) {
  return access(("/dev/shm" + shm_name(pid)).c_str(), F_OK) == 0;
}

FakeTool::FakeTool(const char *comm) {
  pid_t parent = getpid();
  if ((pid_ = fork()) != 0)
    return;
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (comm != nullptr)
    prctl(PR_SET_NAME, comm, 0, 0, 0);
  while (getppid() == parent)
    pause();
  _exit(0);
}

FakeTool::~FakeTool() {
  stop();
  fake_segment_remove(pid());
}
bool FakeTool::publish(const ProgressSegment &record) {
  record_ = record;
  if (published_)
    return fake_segment_write(pid(), record_);
  return published_ = pid_ > 0 && fake_segment_create(pid(), &record_, sizeof record_);
}

void FakeTool::zombie() { // ends it and waits until it is a zombie, without reaping it
  siginfo_t info;
  if (pid_ > 0 && !exited_ && kill(pid_, SIGKILL) == 0)
    waitid(P_PID, pid_, &info, WEXITED | WNOWAIT);
}
void FakeTool::stop() {
  zombie();
  if (pid_ > 0 && !exited_)
    waitpid(pid_, nullptr, 0);
  exited_ = true;
}

pid_t spawn_program(const std::vector<std::string> &argv, const std::string &out_path,
                    const std::string &err_path) {
  std::vector<char *> args;
  for (const std::string &a : argv)
    args.push_back(const_cast<char *>(a.c_str()));
  args.push_back(nullptr);
  const pid_t child = fork();
  if (child != 0)
    return child;
  const int in = open("/dev/null", O_RDONLY);
  const int out = creat(out_path.c_str(), 0600);
  const int err = creat(err_path.c_str(), 0600);
  if (in >= 0 && out >= 0 && err >= 0 && dup2(in, 0) == 0 && dup2(out, 1) == 1 &&
      dup2(err, 2) == 2) {
    closefrom(3); // nothing of the test's outlives it in a daemon (tmux)
    execv(args[0], args.data());
  }
  _exit(127);
}

int wait_exit(pid_t pid, int timeout_ms) {
  int status = 0;
  if (wait_until([&] { return waitpid(pid, &status, WNOHANG) == pid; }, timeout_ms))
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  kill(pid, SIGKILL);
  waitpid(pid, &status, 0);
  return -1;
}

RunResult run_program(const std::string &path, const std::vector<std::string> &args,
                      int timeout_ms) {
  TempDir dir;
  std::vector<std::string> argv = {path};
  argv.insert(argv.end(), args.begin(), args.end());
  pid_t pid = spawn_program(argv, dir.path + "/out", dir.path + "/err");
  int status = pid > 0 ? wait_exit(pid, timeout_ms) : -1;
  return {status, read_file(dir.path + "/out"), read_file(dir.path + "/err")};
}

} // namespace zt
