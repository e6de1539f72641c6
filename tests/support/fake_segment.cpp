#include "support/fake_segment.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <thread>
#include <vector>

#include "support/test_support.h"

namespace zt {

namespace {

void shm_name(uint32_t pid, char *buf, size_t size) {
  snprintf(buf, size, "/%s%u", PROGRESS_NAME_PREFIX, pid);
}

// Maps the segment read-write; null when it does not exist or is short.
ProgressSegment *map_rw(uint32_t pid) {
  char name[64];
  shm_name(pid, name, sizeof name);
  int fd = shm_open(name, O_RDWR, 0);
  if (fd < 0)
    return nullptr;
  struct stat st;
  void *p = MAP_FAILED;
  if (fstat(fd, &st) == 0 && static_cast<size_t>(st.st_size) >= PROGRESS_SEGMENT_SIZE)
    p = mmap(nullptr, PROGRESS_SEGMENT_SIZE, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  close(fd);
  return p == MAP_FAILED ? nullptr : static_cast<ProgressSegment *>(p);
}

} // namespace

ProgressSegment fake_record(uint32_t pid, uint8_t tool, const char *name) {
  ProgressSegment r;
  memset(&r, 0, sizeof r);
  r.magic = PROGRESS_MAGIC;
  r.version = PROGRESS_VERSION;
  r.pid = pid;
  r.tool = tool;
  r.state = STATE_STARTING;
  snprintf(r.name, sizeof r.name, "%s", name != nullptr ? name : "");
  r.eta_s = -1;
  for (int64_t &w : r.worker_block)
    w = -1;
  r.start_wall = static_cast<int64_t>(time(nullptr));
  return r;
}

bool fake_segment_create(uint32_t pid, const void *bytes, size_t len, size_t size) {
  char name[64];
  shm_name(pid, name, sizeof name);
  int fd = shm_open(name, O_CREAT | O_RDWR | O_TRUNC, 0600);
  if (fd < 0)
    return false;
  bool ok = ftruncate(fd, static_cast<off_t>(size)) == 0;
  size_t n = len < size ? len : size;
  if (ok && n > 0)
    ok = pwrite(fd, bytes, n, 0) == static_cast<ssize_t>(n);
  close(fd);
  return ok;
}

bool fake_segment_write(uint32_t pid, const ProgressSegment &record) {
  ProgressSegment *seg = map_rw(pid);
  if (seg == nullptr)
    return false;
  // The same bracket as a real writer: odd counter, fields, next even value.
  std::atomic_ref<uint64_t> seq(seg->seq);
  uint64_t s = seq.load(std::memory_order_relaxed) & ~1ull;
  seq.store(s + 1, std::memory_order_relaxed);
  std::atomic_thread_fence(std::memory_order_release);
  const size_t head = offsetof(ProgressSegment, seq);
  const size_t tail = offsetof(ProgressSegment, pid);
  memcpy(reinterpret_cast<char *>(seg), &record, head);
  memcpy(reinterpret_cast<char *>(seg) + tail, reinterpret_cast<const char *>(&record) + tail,
         PROGRESS_SEGMENT_SIZE - tail);
  seq.store(s + 2, std::memory_order_release);
  munmap(seg, PROGRESS_SEGMENT_SIZE);
  return true;
}

void fake_segment_remove(uint32_t pid) {
  char name[64];
  shm_name(pid, name, sizeof name);
  shm_unlink(name);
}

bool fake_segment_exists(uint32_t pid) {
  char path[64];
  snprintf(path, sizeof path, "/dev/shm/%s%u", PROGRESS_NAME_PREFIX, pid);
  return access(path, F_OK) == 0;
}

FakeTool::FakeTool(const char *comm) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0)
    return;
  pid_t parent = getpid();
  pid_t child = fork();
  if (child == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent)
      _exit(0);
    if (comm != nullptr)
      prctl(PR_SET_NAME, comm, 0, 0, 0);
    // Keep only the read end: a control pipe of another stand-in inherited
    // here would keep that one from ever seeing its end of file.
    close_range(3, static_cast<unsigned>(fds[0]) - 1, 0);
    close_range(static_cast<unsigned>(fds[0]) + 1, ~0u, 0);
    char c;
    while (read(fds[0], &c, 1) < 0) {
    }
    _exit(0);
  }
  close(fds[0]);
  if (child < 0) {
    close(fds[1]);
    return;
  }
  pid_ = child;
  control_fd_ = fds[1];
}

FakeTool::~FakeTool() {
  stop();
  if (pid_ > 0)
    fake_segment_remove(pid());
}

bool FakeTool::publish(const ProgressSegment &record) {
  if (pid_ <= 0)
    return false;
  if (&record != &record_)
    record_ = record;
  if (!published_) {
    if (!fake_segment_create(pid(), &record_, sizeof record_))
      return false;
    published_ = true;
    return true;
  }
  return fake_segment_write(pid(), record_);
}

bool FakeTool::finish(uint8_t final_state) {
  record_.child_pid = 0;
  record_.state = final_state;
  bool ok = republish();
  fake_segment_remove(pid());
  return ok;
}

void FakeTool::zombie() {
  if (control_fd_ >= 0) {
    close(control_fd_);
    control_fd_ = -1;
  }
  // Wait until the child has really exited (state Z) without reaping it.
  if (pid_ > 0 && !exited_) {
    siginfo_t info;
    waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOWAIT);
  }
}

void FakeTool::stop() {
  zombie();
  if (pid_ > 0 && !exited_) {
    waitpid(pid_, nullptr, 0);
    exited_ = true;
  }
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
  execv(path.c_str(), const_cast<char *const *>(argv));
  _exit(127);
}

int wait_exit(pid_t pid, int timeout_ms) {
  int status = 0;
  bool ended = wait_until([&] { return waitpid(pid, &status, WNOHANG) == pid; }, timeout_ms);
  if (!ended) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

RunResult run_program(const std::string &path, const std::vector<std::string> &args,
                      int timeout_ms) {
  TempDir dir;
  std::vector<const char *> argv;
  argv.push_back(path.c_str());
  for (const std::string &a : args)
    argv.push_back(a.c_str());
  argv.push_back(nullptr);
  std::string out_path = dir.path + "/out";
  std::string err_path = dir.path + "/err";
  RunResult r;
  r.status = -1;
  pid_t pid = spawn_program(path, argv.data(), out_path, err_path);
  if (pid > 0)
    r.status = wait_exit(pid, timeout_ms);
  r.out = read_file(out_path);
  r.err = read_file(err_path);
  return r;
}

RunResult run_program(const std::string &path, std::initializer_list<const char *> args,
                      int timeout_ms) {
  return run_program(path, std::vector<std::string>(args.begin(), args.end()), timeout_ms);
}

} // namespace zt
