#include "platform/stub_fs.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <linux/fuse.h>
#include <pthread.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <thread>

#include "platform/test_devices.h"
#include "support/test_support.h"

namespace zt {

namespace {

constexpr uint64_t kDataNode = 2;
constexpr uint32_t kChunk = 4096; // max_write and max_read: one request per 4 KiB

std::atomic<int> g_signals{0};

void on_usr1(int) { g_signals.fetch_add(1); }

struct Server {
  int fd;
  StubFs *fs;
  pthread_t writer; // the thread whose writes get interrupted
  int writes = 0;
  uint64_t held_unique = 0; // a WRITE waiting for its interrupt
};

void reply(int fd, uint64_t unique, int error, const void *data, size_t size) {
  fuse_out_header out{};
  out.len = static_cast<uint32_t>(sizeof(out) + size);
  out.error = error;
  out.unique = unique;
  iovec iov[2] = {{&out, sizeof(out)}, {const_cast<void *>(data), size}};
  (void)!writev(fd, iov, size > 0 ? 2 : 1);
}

void fill_attr(StubFs *fs, uint64_t node, fuse_attr *a) {
  a->ino = node;
  if (node == FUSE_ROOT_ID) {
    a->mode = S_IFDIR | 0755;
    a->nlink = 2;
  } else {
    a->mode = S_IFREG | 0666;
    a->nlink = 1;
    a->size = fs->content.size();
  }
  a->blksize = kChunk;
}

void handle(Server *s, const fuse_in_header *in, const char *arg) {
  StubFs *fs = s->fs;
  std::lock_guard<std::mutex> lock(fs->mu);
  switch (in->opcode) {
  case FUSE_INIT: {
    const auto *init = reinterpret_cast<const fuse_init_in *>(arg);
    fuse_init_out out{};
    out.major = FUSE_KERNEL_VERSION;
    out.minor = std::min<uint32_t>(init->minor, FUSE_KERNEL_MINOR_VERSION);
    out.max_write = kChunk;
    out.max_background = 1;
    out.congestion_threshold = 1;
    out.time_gran = 1;
    reply(s->fd, in->unique, 0, &out, sizeof(out));
    return;
  }
  case FUSE_LOOKUP: {
    if (in->nodeid != FUSE_ROOT_ID || strcmp(arg, "data") != 0) {
      reply(s->fd, in->unique, -ENOENT, nullptr, 0);
      return;
    }
    fuse_entry_out out{};
    out.nodeid = kDataNode;
    fill_attr(fs, kDataNode, &out.attr);
    reply(s->fd, in->unique, 0, &out, sizeof(out));
    return;
  }
  case FUSE_GETATTR: {
    fuse_attr_out out{};
    fill_attr(fs, in->nodeid, &out.attr);
    reply(s->fd, in->unique, 0, &out, sizeof(out));
    return;
  }
  case FUSE_OPEN: {
    // Direct I/O: every read and write reaches us, in 4 KiB requests.
    fuse_open_out out{};
    out.fh = 1;
    out.open_flags = FOPEN_DIRECT_IO;
    reply(s->fd, in->unique, 0, &out, sizeof(out));
    return;
  }
  case FUSE_READ: {
    const auto *rd = reinterpret_cast<const fuse_read_in *>(arg);
    fs->reads++;
    uint64_t size = fs->content.size();
    uint64_t n = rd->offset < size ? std::min<uint64_t>(rd->size, size - rd->offset) : 0;
    if (fs->read_piece != 0)
      n = std::min<uint64_t>(n, fs->read_piece);
    reply(s->fd, in->unique, 0, n > 0 ? fs->content.data() + rd->offset : nullptr, n);
    return;
  }
  case FUSE_WRITE: {
    const auto *wr = reinterpret_cast<const fuse_write_in *>(arg);
    fs->write_offsets.push_back(wr->offset);
    int number = ++s->writes;
    if (std::find(fs->interrupted_writes.begin(), fs->interrupted_writes.end(), number) !=
        fs->interrupted_writes.end()) {
      // Hold the reply until the kernel passes the writer's signal on.
      s->held_unique = in->unique;
      pthread_kill(s->writer, SIGUSR1);
      return;
    }
    const char *data = arg + sizeof(fuse_write_in);
    uint64_t end = wr->offset + wr->size;
    if (fs->content.size() < end)
      fs->content.resize(end);
    memcpy(fs->content.data() + wr->offset, data, wr->size);
    fuse_write_out out{};
    out.size = wr->size;
    reply(s->fd, in->unique, 0, &out, sizeof(out));
    return;
  }
  case FUSE_INTERRUPT: {
    const auto *intr = reinterpret_cast<const fuse_interrupt_in *>(arg);
    fs->interrupts++;
    if (intr->unique == s->held_unique) {
      reply(s->fd, s->held_unique, -EINTR, nullptr, 0);
      s->held_unique = 0;
    }
    return; // an interrupt itself gets no reply
  }
  case FUSE_FORGET:
  case FUSE_BATCH_FORGET:
    return;
  case FUSE_FLUSH:
  case FUSE_RELEASE:
  case FUSE_RELEASEDIR:
  case FUSE_OPENDIR:
  case FUSE_ACCESS:
  case FUSE_DESTROY:
    reply(s->fd, in->unique, 0, nullptr, 0);
    return;
  default:
    reply(s->fd, in->unique, -ENOSYS, nullptr, 0);
    return;
  }
}

void serve(Server *s) {
  std::vector<char> buf(kChunk + FUSE_MIN_READ_BUFFER);
  for (;;) {
    ssize_t n = read(s->fd, buf.data(), buf.size());
    if (n < 0 && (errno == EINTR || errno == ENOENT))
      continue; // ENOENT: a request that was interrupted before we read it
    if (n < static_cast<ssize_t>(sizeof(fuse_in_header)))
      return; // ENODEV after the unmount
    const auto *in = reinterpret_cast<const fuse_in_header *>(buf.data());
    handle(s, in, buf.data() + sizeof(fuse_in_header));
  }
}

int run_mounted(const std::string &mnt, StubFs *fs,
                const std::function<int(const std::string &, StubFs &)> &body) {
  alarm(60); // a stuck request ends the child instead of the test run
  if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
    return STUB_FS_UNAVAILABLE;
  int fd = open("/dev/fuse", O_RDWR | O_CLOEXEC);
  if (fd < 0)
    return STUB_FS_UNAVAILABLE;
  std::string opts = "fd=" + std::to_string(fd) +
                     ",rootmode=40000,user_id=0,group_id=0,max_read=" + std::to_string(kChunk);
  if (mount("zpr-stub", mnt.c_str(), "fuse", MS_NOSUID | MS_NODEV, opts.c_str()) != 0)
    return STUB_FS_UNAVAILABLE;

  struct sigaction sa{};
  sa.sa_handler = on_usr1; // no SA_RESTART: interrupted calls return early
  sigemptyset(&sa.sa_mask);
  sigaction(SIGUSR1, &sa, nullptr);

  Server server{fd, fs, pthread_self()};
  std::thread thread(serve, &server);
  int result = body(mnt + "/data", *fs);
  umount2(mnt.c_str(), MNT_DETACH);
  thread.join();
  close(fd);
  return result;
}

} // namespace

int stub_fs_signals() { return g_signals.load(); }

std::optional<int> with_stub_fs(const std::string &content, uint32_t read_piece,
                                std::vector<int> interrupted_writes,
                                const std::function<int(const std::string &, StubFs &)> &body) {
  TempDir mnt;
  return run_in_child([&] {
    StubFs fs;
    fs.read_piece = read_piece;
    fs.interrupted_writes = std::move(interrupted_writes);
    fs.content.assign(content.begin(), content.end());
    return run_mounted(mnt.path, &fs, body);
  });
}

} // namespace zt
