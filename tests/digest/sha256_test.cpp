#include "digest/sha256.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "support/test_support.h"

namespace {

std::string hex_of(const void *data, size_t len) {
  uint8_t d[SHA256_DIGEST_BYTES];
  sha256_digest(data, len, d);
  char hex[SHA256_HEX_BYTES];
  sha256_hex(d, hex);
  return hex;
}

TEST(Sha256, PublishedDigests) {
  EXPECT_EQ(hex_of("abc", 3), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(hex_of("", 0), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(hex_of(nullptr, 0), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  const char *two_blocks = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
  EXPECT_EQ(hex_of(two_blocks, strlen(two_blocks)),
            "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
}

TEST(Sha256, IncrementalEqualsOneShot) {
  uint8_t one[SHA256_DIGEST_BYTES], inc[SHA256_DIGEST_BYTES];
  sha256_digest("abc", 3, one);
  Sha256Context c{};
  sha256_init(&c);
  EXPECT_NE(c.ctx, nullptr);
  sha256_update(&c, "a", 1);
  sha256_update(&c, "", 0);
  sha256_update(&c, nullptr, 0);
  sha256_update(&c, "bc", 2);
  sha256_final(&c, inc);
  EXPECT_EQ(c.ctx, nullptr);
  EXPECT_EQ(memcmp(one, inc, sizeof one), 0);

  // The same context again, over a megabyte in random pieces.
  std::mt19937 rng(7);
  std::vector<uint8_t> data(1 << 20);
  for (auto &b : data)
    b = static_cast<uint8_t>(rng());
  sha256_digest(data.data(), data.size(), one);
  sha256_init(&c);
  for (size_t at = 0; at < data.size();) {
    size_t n = std::min<size_t>(rng() % 70000, data.size() - at);
    sha256_update(&c, data.data() + at, n);
    at += n;
  }
  sha256_final(&c, inc);
  EXPECT_EQ(c.ctx, nullptr);
  EXPECT_EQ(memcmp(one, inc, sizeof one), 0);
}

TEST(Sha256, HexIsLowercaseAndTerminated) {
  uint8_t d[SHA256_DIGEST_BYTES];
  for (size_t i = 0; i < sizeof d; i++)
    d[i] = static_cast<uint8_t>(i * 8 + 7); // 07 0f 17 ... ff
  char hex[SHA256_HEX_BYTES];
  memset(hex, 'X', sizeof hex);
  sha256_hex(d, hex);
  EXPECT_EQ(std::string(hex), "070f171f272f373f474f575f676f777f878f979fa7afb7bfc7cfd7dfe7eff7ff");
  EXPECT_EQ(hex[64], '\0');
}

TEST(Sha256, DigestEqual) {
  const uint8_t a[4] = {1, 2, 3, 4}, b[4] = {1, 2, 3, 5};
  EXPECT_EQ(digest_equal(a, b, 0), 1);
  EXPECT_EQ(digest_equal(nullptr, nullptr, 0), 1);
  EXPECT_EQ(digest_equal(a, b, 3), 1);
  EXPECT_EQ(digest_equal(a, b, 4), 0);
}

struct ChildResult {
  int status = 0;
  std::string err;
};

// Runs fn in a forked child with its standard error (and output) caught.
template <typename Fn> ChildResult in_child(Fn fn) {
  zt::TempDir dir;
  const std::string path = dir.path + "/err";
  fflush(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0 || dup2(fd, 2) < 0 || dup2(fd, 1) < 0)
      _exit(120);
    fn();
    _exit(0);
  }
  ChildResult r;
  waitpid(pid, &r.status, 0);
  r.err = zt::read_file(path);
  return r;
}

// Runs one disabled test of this program in a fresh process (exec), with
// an extra environment variable: fresh, so its first hash really is the
// process's first.
ChildResult in_fresh_process(const char *test, const char *env) {
  return in_child([&] {
    if (env != nullptr)
      putenv(const_cast<char *>(env));
    std::string filter = std::string("--gtest_filter=Sha256Child.") + test;
    execl("/proc/self/exe", "sha256_test", filter.c_str(), "--gtest_also_run_disabled_tests",
          static_cast<char *>(nullptr));
    _exit(121);
  });
}

TEST(Sha256Fatal, PrintsFixedLineAndAborts) {
  ChildResult r = in_child([] { sha256_fatal(); });
  ASSERT_TRUE(WIFSIGNALED(r.status));
  EXPECT_EQ(WTERMSIG(r.status), SIGABRT);
  EXPECT_EQ(r.err, "fatal: OpenSSL SHA-256 failed\n");
}

// Using a context that was never started ends the same way, not in a
// crash inside the crypto library.
TEST(Sha256Fatal, InactiveContextIsFatal) {
  ChildResult r = in_child([] {
    Sha256Context c{};
    uint8_t d[SHA256_DIGEST_BYTES];
    sha256_final(&c, d);
  });
  ASSERT_TRUE(WIFSIGNALED(r.status));
  EXPECT_EQ(WTERMSIG(r.status), SIGABRT);
  EXPECT_EQ(r.err, "fatal: OpenSSL SHA-256 failed\n");
  r = in_child([] {
    Sha256Context c{};
    sha256_update(&c, "abc", 3);
  });
  ASSERT_TRUE(WIFSIGNALED(r.status));
  EXPECT_EQ(r.err, "fatal: OpenSSL SHA-256 failed\n");
}

// With a crypto library configuration that offers no SHA-256 (only the
// null provider), the first one-shot or init call is fatal.
TEST(Sha256Fatal, MissingAlgorithmIsFatal) {
  zt::TempDir dir;
  const std::string conf = dir.path + "/openssl.cnf";
  zt::write_file(conf, "openssl_conf = init\n[init]\nproviders = prov\n"
                       "[prov]\nnull = null_sect\n[null_sect]\nactivate = 1\n");
  const std::string env = "OPENSSL_CONF=" + conf;
  for (const char *test : {"DISABLED_DigestOnce", "DISABLED_InitOnce"}) {
    SCOPED_TRACE(test);
    ChildResult r = in_fresh_process(test, env.c_str());
    ASSERT_TRUE(WIFSIGNALED(r.status)) << r.err;
    EXPECT_EQ(WTERMSIG(r.status), SIGABRT);
    EXPECT_NE(r.err.find("fatal: OpenSSL SHA-256 failed\n"), std::string::npos) << r.err;
  }
  // The same children without the configuration hash normally.
  ChildResult ok = in_fresh_process("DISABLED_DigestOnce", nullptr);
  ASSERT_TRUE(WIFEXITED(ok.status));
  EXPECT_EQ(WEXITSTATUS(ok.status), 0) << ok.err;
}

TEST(Sha256Concurrency, FirstDigestsFromManyThreadsAtOnce) {
  ChildResult r = in_fresh_process("DISABLED_ConcurrentFirstDigests", nullptr);
  ASSERT_TRUE(WIFEXITED(r.status));
  EXPECT_EQ(WEXITSTATUS(r.status), 0) << r.err;
}

// Bodies run only in the fresh processes above.
TEST(Sha256Child, DISABLED_DigestOnce) {
  EXPECT_EQ(hex_of("abc", 3), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

TEST(Sha256Child, DISABLED_InitOnce) {
  Sha256Context c{};
  sha256_init(&c);
  uint8_t d[SHA256_DIGEST_BYTES];
  sha256_final(&c, d);
  EXPECT_EQ(c.ctx, nullptr);
}

TEST(Sha256Child, DISABLED_ConcurrentFirstDigests) {
  constexpr int kThreads = 8;
  std::atomic<int> ready{0}, wrong{0};
  std::atomic<bool> go{false};
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; i++)
    threads.emplace_back([&, i] {
      ready.fetch_add(1);
      while (!go.load())
        std::this_thread::yield();
      uint8_t d[SHA256_DIGEST_BYTES];
      if (i % 2) {
        sha256_digest("abc", 3, d);
      } else {
        Sha256Context c{};
        sha256_init(&c);
        sha256_update(&c, "abc", 3);
        sha256_final(&c, d);
      }
      char hex[SHA256_HEX_BYTES];
      sha256_hex(d, hex);
      if (strcmp(hex, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad") != 0)
        wrong.fetch_add(1);
    });
  while (ready.load() < kThreads)
    std::this_thread::yield();
  go.store(true);
  for (auto &t : threads)
    t.join();
  EXPECT_EQ(wrong.load(), 0);
}

} // namespace
