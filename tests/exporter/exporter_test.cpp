// The real zpr_exporter against real segments (crafted and from zpr_demo),
// scraped over HTTP on 127.0.0.1, checked by promtool, python3's JSON
// parser and a real Prometheus server.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "support/fake_segment.h"
#include "support/test_support.h"

namespace {

std::string program(const char *rel) { return zt::build_dir() + rel; }
const std::string EXPORTER = program("/exporter/zpr_exporter");

// The body of a GET on 127.0.0.1 by curl (more: its further arguments), or "" on any failure.
std::string http_get(int port, const std::string &target, std::vector<std::string> more = {}) {
  more.insert(more.begin(), {"-sf", "--noproxy", "*", "--max-time", "5",
                             "http://127.0.0.1:" + std::to_string(port) + target});
  zt::RunResult r = zt::run_program("/usr/bin/curl", more);
  return r.status == 0 ? r.out : "";
}

int free_port() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
  socklen_t len = sizeof a;
  bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
  getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
  close(fd);
  return ntohs(a.sin_port);
}

// A program running in the background, stopped with SIGTERM at the end.
struct Background {
  zt::TempDir dir;
  pid_t pid;
  explicit Background(const std::vector<std::string> &argv)
      : pid(zt::spawn_program(argv, dir.path + "/out", dir.path + "/err")) {}
  ~Background() { stop(); }
  std::string err() { return zt::read_file(dir.path + "/err"); }
  int stop() {
    if (pid <= 0)
      return -1;
    kill(pid, SIGTERM);
    int status = zt::wait_exit(pid);
    pid = -1;
    return status;
  }
};

// zpr_exporter --listen 127.0.0.1:0 [args]; port() is the one it reports.
struct Exporter : Background {
  explicit Exporter(std::vector<std::string> more = {})
      : Background([&] {
          std::vector<std::string> a{EXPORTER, "--listen", "127.0.0.1:0"};
          a.insert(a.end(), more.begin(), more.end());
          return a;
        }()) {}
  int port() { // from the start-up line "... (port N)"
    int port = -1;
    zt::wait_until([&] {
      const std::string e = err();
      const size_t at = e.find("(port ");
      return at != std::string::npos && (port = atoi(e.c_str() + at + 6)) > 0;
    });
    return port;
  }
};

// The sample lines ("name{labels} value") of an exposition.
std::vector<std::string> samples(const std::string &text) {
  std::vector<std::string> out;
  for (size_t at = 0, nl; (nl = text.find('\n', at)) != std::string::npos; at = nl + 1)
    if (text[at] != '#')
      out.push_back(text.substr(at, nl - at));
  return out;
}

// The pids of one metric's series in order (pid alone, or the identity after it).
std::vector<std::string> pids_of(const std::string &text, const std::string &metric) {
  std::vector<std::string> pids;
  const std::string head = metric + "{pid=\"";
  for (const std::string &s : samples(text)) {
    const size_t end = s.find('"', head.size());
    if (s.rfind(head, 0) == 0 && end != std::string::npos &&
        (s.compare(end + 1, 1, "}") == 0 || s.compare(end + 1, 10, ",job_name=") == 0))
      pids.push_back(s.substr(head.size(), end - head.size()));
  }
  return pids;
}

// A complete, duplicate-free exposition in which every job has all series.
void expect_consistent(const std::string &text) {
  std::vector<std::string> all = samples(text);
  ASSERT_FALSE(all.empty());
  EXPECT_EQ(all.back().rfind("zpr_exporter_build_info{", 0), 0u) << all.back();
  std::set<std::string> keys;
  for (const std::string &s : all)
    EXPECT_TRUE(keys.insert(s.substr(0, s.rfind(' '))).second) << "duplicate: " << s;
  EXPECT_EQ(pids_of(text, "zpr_job_info"), pids_of(text, "zpr_job_blocks_done_total"));
}

ProgressSegment agent(uint32_t pid, const char *name, uint64_t done) {
  ProgressSegment r = zt::fake_record(pid, TOOL_AGENT, name);
  r.state = STATE_RUNNING;
  r.blocks_total = 1000;
  r.blocks_done = done;
  return r;
}

std::string shm(uint32_t pid) { return "/dev/shm/zpr_progress." + std::to_string(pid); }

} // namespace

TEST(Exporter, BadArgumentsAreUsageErrors) {
  const struct {
    std::vector<std::string> args;
    int status;
    std::string err;
  } rows[] = {
      // the first words of the error line
      {{"--bogus"}, 2, "error: unknown option '--bogus' (see --help)\n"},
      {{"--interval", "0", "--textfile", "/tmp/x.prom"},
       2,
       "error: invalid value '0' for --interval ("},
      {{"--textfile", "/tmp/x.prom", "--interval", "5s"},
       2,
       "error: invalid value '5s' for --interval ("},
      {{"--listen", "127.0.0.1:65536"}, 2, "error: invalid value '127.0.0.1:65536' for --listen ("},
      {{"--listen", "localhost:80"}, 2, "error: invalid value 'localhost:80' for --listen ("},
      {{"--once", "--listen", ":1"},
       2,
       "error: --listen, --textfile and --once exclude each other\n"},
      {{"--format", "json"}, 2, "error: --format goes with --once\n"},
      {{"--once", "--format", "xml"}, 2, "error: invalid value 'xml' for --format ("},
      {{"--once", "--once"}, 2, "error: --once given twice\n"},
      {{"--state-file"}, 2, "error: --state-file needs a value\n"},
      {{"--listen", "192.0.2.1:80"}, 1, "error: cannot listen on 192.0.2.1:80"},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.args[0] + " " + (row.args.size() > 1 ? row.args[1] : ""));
    zt::RunResult r = zt::run_program(EXPORTER, row.args);
    EXPECT_EQ(r.status, row.status);
    EXPECT_EQ(r.err.substr(0, row.err.size()), row.err);
    EXPECT_EQ(r.out, "");
  }
  EXPECT_EQ(zt::run_program(EXPORTER, {"--help"}).status, 0);
}

// Hostile things in /dev/shm: the exposition stays valid, unique and
// consistent under concurrent scrapes, and the exporter keeps answering.
TEST(Exporter, HostileSegmentsConcurrentScrapesPromtoolAndJson) {
  zt::FakeTool good, orchestrator, shrunk, odd, scribbled, impostor;
  ASSERT_TRUE(good.publish(agent(good.pid(), "vm \"1\"\\\n\x1b[2J\xff", 10)));
  ProgressSegment o = zt::fake_record(orchestrator.pid(), TOOL_PROXMOX, "nightly");
  o.child_pid = good.pid();
  ASSERT_TRUE(orchestrator.publish(o));
  ASSERT_TRUE(shrunk.publish(agent(shrunk.pid(), "shrunk", 5)));
  ProgressSegment r = agent(odd.pid(), "odd", 1);
  r.seq = 41;
  ASSERT_TRUE(odd.publish(r));
  ProgressSegment same = agent(good.pid(), "impostor", 999); // claims good's pid
  ASSERT_TRUE(zt::fake_segment_create(impostor.pid(), &same, sizeof same));
  std::mt19937 rng(13);
  ProgressSegment noise = agent(scribbled.pid(), "noise", 0);
  for (size_t i = offsetof(ProgressSegment, backup_type); i < sizeof noise; i++)
    reinterpret_cast<uint8_t *>(&noise)[i] = static_cast<uint8_t>(rng());
  snprintf(noise.name, sizeof noise.name, "noise"); // all else random after the header
  ASSERT_TRUE(scribbled.publish(noise));
  ASSERT_EQ(mkfifo(shm(4000001).c_str(), 0600), 0);
  ASSERT_EQ(mkdir(shm(4000002).c_str(), 0700), 0);
  ASSERT_EQ(symlink(shm(good.pid()).c_str(), shm(4000003).c_str()), 0);

  Exporter exporter;
  const int port = exporter.port();
  ASSERT_TRUE(zt::wait_until(
      [&] { return http_get(port, "/metrics").find("\"shrunk\"") != std::string::npos; }));
  ASSERT_EQ(truncate(shm(shrunk.pid()).c_str(), 0), 0); // under the exporter's mapping
  ASSERT_TRUE(zt::wait_until([&] {
    return http_get(port, "/metrics").find("zpr_exporter_snapshot_failures_total 0\n") ==
           std::string::npos;
  }));
  std::vector<std::string> bodies(40);
  std::vector<std::thread> scrapers;
  std::atomic<int> running{4};
  for (int t = 0; t < 4; t++)
    scrapers.emplace_back([&, t] {
      for (int i = t; i < 40; i += 4)
        bodies[i] = http_get(port, "/metrics");
      running--;
    });
  while (running > 0) { // the records change while they are scraped
    good.record().blocks_done++;
    good.republish();
    usleep(1000);
  }
  for (std::thread &t : scrapers)
    t.join();
  good.record().blocks_done = 500;
  good.republish();
  for (const std::string &body : bodies)
    expect_consistent(body);

  zt::TempDir dir;
  zt::write_file(dir.path + "/m.prom", bodies.back());
  zt::RunResult check = zt::run_program(
      "/bin/sh", {"-c", ("promtool check metrics < " + dir.path + "/m.prom").c_str()});
  EXPECT_EQ(check.status, 0) << check.out << check.err;
  EXPECT_EQ(pids_of(bodies.back(), "zpr_job_info").size(), 4u); // good, orchestrator, shrunk, noise

  zt::RunResult once = zt::run_program(EXPORTER, {"--once", "--format", "json"});
  ASSERT_EQ(once.status, 0) << once.err;
  zt::write_file(dir.path + "/m.json", once.out);
  zt::RunResult py = zt::run_program(
      "/usr/bin/python3",
      {"-c",
       "import json,sys; d=json.load(open(sys.argv[1])); j={x['job_name']: x for x in d['jobs']};"
       "g=j['vm \"1\"\\\\\\n\\x1b[2J\\ufffd']; print(d['version'], ascii(sorted(j)),"
       " g['orchestrator_pid'],"
       " g['blocks_done'], g['eta_seconds'], j['nightly']['orchestrator_pid'])",
       (dir.path + "/m.json").c_str()});
  EXPECT_EQ(py.out, "1 ['nightly', 'noise', 'vm \"1\"\\\\\\n\\x1b[2J\\ufffd'] " +
                        std::to_string(orchestrator.pid()) + " 500 None None\n")
      << py.err;
}

// Last runs survive a restart through the state file; a damaged file is
// reported once and replaced, the exporter starting empty.
TEST(Exporter, StateFileSurvivesRestartAndDamagedOneIsRefused) {
  zt::TempDir dir;
  const std::string state = dir.path + "/state.json";
  zt::write_file(state, "{\"version\": 1, \"last_runs\": [{\"job_name\": 7}]}");
  auto once = [&] {
    return zt::run_program(EXPORTER, {"--once", "--format", "json", "--state-file", state.c_str()});
  };
  zt::RunResult refused = once();
  EXPECT_EQ(refused.status, 0);
  EXPECT_NE(refused.err.find("WARN  state file " + state +
                             ": 1 damaged entry skipped (the first: entry 1)\n"),
            std::string::npos)
      << refused.err;
  EXPECT_EQ(std::count(refused.err.begin(), refused.err.end(), '\n'), 1);
  EXPECT_EQ(nlohmann::json::parse(refused.out)["last_runs"].size(), 0u);
  {
    zt::FakeTool done, vanished;
    ASSERT_TRUE(done.publish(agent(done.pid(), "vm-1", 1000)));
    ASSERT_TRUE(vanished.publish(agent(vanished.pid(), "vm-2", 3)));
    Exporter exporter({"--state-file", state});
    ASSERT_GT(exporter.port(), 0);
    done.record().state = STATE_DONE; // as a writer finishes: final state, then the name goes
    ASSERT_TRUE(done.republish());
    zt::fake_segment_remove(done.pid());
    vanished.stop(); // no final state: the run failed
    ASSERT_TRUE(
        zt::wait_until([&] { return zt::read_file(state).find("vm-2") != std::string::npos; }));
    EXPECT_EQ(exporter.stop(), 0);
  }
  nlohmann::json runs = nlohmann::json::parse(once().out)["last_runs"];
  ASSERT_EQ(runs.size(), 2u) << runs;
  EXPECT_EQ(runs[0]["job_name"], "vm-1");
  EXPECT_EQ(runs[0]["success"], true);
  EXPECT_EQ(runs[1]["job_name"], "vm-2");
  EXPECT_EQ(runs[1]["success"], false);
  EXPECT_EQ(runs[1]["last_success_time"], nullptr);
}

// The textfile is replaced whole: a reader polling it never sees a part.
TEST(Exporter, TextfileIsNeverSeenHalfWritten) {
  std::vector<std::unique_ptr<zt::FakeTool>> tools(40);
  for (auto &t : tools) {
    t = std::make_unique<zt::FakeTool>();
    ASSERT_TRUE(t->publish(agent(t->pid(), "a-rather-long-job-name-to-make-the-file-larger", 1)));
  }
  zt::TempDir dir;
  const std::string path = dir.path + "/zpr.prom";
  Background exporter({EXPORTER, "--textfile", path, "--interval", "1"});
  std::set<std::string> versions;
  ASSERT_TRUE(zt::wait_until([&] {
    std::string text = zt::read_file(path);
    if (!text.empty()) {
      expect_consistent(text);
      EXPECT_EQ(pids_of(text, "zpr_job_info").size(), 40u);
      versions.insert(text);
    }
    return versions.size() >= 3 || testing::Test::HasFailure();
  }));
  EXPECT_FALSE(testing::Test::HasFailure());
  EXPECT_EQ(exporter.stop(), 0);
}

// End to end: a real Prometheus scrapes the exporter every second while
// zpr_demo runs an orchestrator with two children and a failing restore.
TEST(Exporter, PrometheusSeesProgressAndLastRuns) {
  zt::TempDir dir;
  Exporter exporter;
  const int port = exporter.port(), prom_port = free_port();
  zt::write_file(dir.path + "/prometheus.yml",
                 "global: {scrape_interval: 1s, evaluation_interval: 1s}\n"
                 "scrape_configs: [{job_name: zpr, static_configs: [{targets: ['127.0.0.1:" +
                     std::to_string(port) + "']}]}]\n");
  Background prometheus({"/usr/bin/prometheus", "--config.file=" + dir.path + "/prometheus.yml",
                         "--storage.tsdb.path=" + dir.path + "/data",
                         "--web.listen-address=127.0.0.1:" + std::to_string(prom_port)});
  // Values of an instant query, by job_name.
  auto query = [&](const std::string &q) {
    std::map<std::string, double> values;
    std::string body =
        http_get(prom_port, "/api/v1/query", {"-G", "--data-urlencode", "query=" + q});
    nlohmann::json doc = nlohmann::json::parse(body, nullptr, false);
    if (doc.is_object() && doc["status"] == "success")
      for (const auto &r : doc["data"]["result"])
        values[r["metric"].value("job_name", "")] = std::stod(r["value"][1].get<std::string>());
    return values;
  };
  ASSERT_TRUE(zt::wait_until([&] { return query("up")[""] == 1; }, 30000)); // scraping
  const std::string demo = program("/demo/zpr_demo");
  Background orchestrator({demo, "--tool", "proxmox", "--children", "2", "--blocks", "4000",
                           "--seconds", "3", "--no-log", "--no-syslog"});
  Background restore({demo, "--tool", "restore", "--name", "bad-restore", "--corrupt-every", "7",
                      "--blocks", "2000", "--seconds", "2", "--no-log", "--no-syslog"});
  double first = 0;
  ASSERT_TRUE(zt::wait_until(
      [&] {
        auto v = query("zpr_job_blocks_done_total{tool=\"agent\"}"); // its name on every series
        first = first == 0 && v.count("demo-agent-1") ? v["demo-agent-1"] : first;
        return first > 0 && v["demo-agent-1"] > first;
      },
      30000));
  EXPECT_EQ(zt::wait_exit(orchestrator.pid), 0);
  orchestrator.pid = -1;
  const std::map<std::string, double> all_ok{
      {"demo-agent-1", 1}, {"demo-agent-2", 1}, {"demo-proxmox", 1}};
  const std::string ok_query = "zpr_last_run_success{job_name=~\"demo-.*\"}";
  EXPECT_TRUE(zt::wait_until([&] { return query(ok_query) == all_ok; }, 30000))
      << query(ok_query).size();

  EXPECT_EQ(zt::wait_exit(restore.pid), 1);
  restore.pid = -1;
  EXPECT_TRUE(zt::wait_until(
      [&] {
        return query("zpr_last_run_success{job_name=\"bad-restore\"}") ==
               std::map<std::string, double>{{"bad-restore", 0}};
      },
      30000));
}
