// The real zpr_exporter against crafted segments and zpr_demo, scraped over HTTP,
// checked by promtool, python3's JSON parser and a real Prometheus server.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstddef>
#include <cstring>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "support/background.h"
#include "support/fake_segment.h"

namespace {

const std::string EXPORTER = zt::build_dir() + "/exporter/zpr_exporter";

// The body of a GET on 127.0.0.1 by curl (more: its further arguments), or "" on any failure.
std::string http_get(int port, const std::string &target, std::vector<std::string> more = {}) {
  more.insert(more.begin(), {"-sf", "--noproxy", "*", "--max-time", "5",
                             "http://127.0.0.1:" + std::to_string(port) + target});
  zt::RunResult r = zt::run_program("/usr/bin/curl", more);
  return r.status == 0 ? r.out : "";
}

// zpr_exporter --listen 127.0.0.1:0; port() is the one it reports.
struct Exporter : zt::Background {
  Exporter() : Background({EXPORTER, "--listen", "127.0.0.1:0"}) {}
  int port() const { return logged_port("(port "); } // from the start-up line "... (port N)"
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
  for (const std::string &s : samples(text))
    if (s.rfind(head, 0) == 0)
      pids.push_back(s.substr(head.size(), s.find('"', head.size()) - head.size()));
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

// The textfile under the unit's umask 0077: each version a new inode, never seen in part, 0644;
// the state file stays 0600; a clean stop leaves the last runs but no running jobs.
TEST(Exporter, TextfileIsReplacedWholeReadableAndLeftWithoutJobs) {
  const char *name = "a-rather-long-job-name-to-make-the-file-larger";
  std::vector<std::unique_ptr<zt::FakeTool>> tools(40);
  for (auto &t : tools) {
    t = std::make_unique<zt::FakeTool>();
    ASSERT_TRUE(t->publish(agent(t->pid(), name, 1)));
  }
  tools.back()->stop(); // its process gone without a final state: a failed run to save
  zt::TempDir dir;
  const std::string path = dir.path + "/zpr.prom";
  const std::string state = dir.path + "/state.json";
  const mode_t umask_before = umask(077);
  zt::Background exporter({EXPORTER, "--textfile", path, "--interval", "1", "--state-file", state});
  umask(umask_before);
  std::map<ino_t, std::string> versions; // what each inode was seen to hold
  ASSERT_TRUE(zt::wait_until([&] {
    const int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0)
      return false; // not written yet
    struct stat st {};
    fstat(fd, &st);
    std::string text;
    char buf[65536];
    for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;)
      text.append(buf, static_cast<size_t>(n));
    close(fd);
    expect_consistent(text);
    EXPECT_EQ(pids_of(text, "zpr_job_info").size(), 40u);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
    EXPECT_TRUE(versions.emplace(st.st_ino, text).first->second == text)
        << "inode " << st.st_ino << " rewritten in place";
    return versions.size() >= 3 || testing::Test::HasFailure();
  }));
  EXPECT_FALSE(testing::Test::HasFailure());
  ASSERT_TRUE(zt::wait_until([&] { return access(state.c_str(), F_OK) == 0; }));
  EXPECT_EQ(exporter.stop(), 0);
  struct stat st {};
  ASSERT_EQ(stat(state.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  const std::string last = zt::read_file(path);
  EXPECT_EQ(pids_of(last, "zpr_job_info").size(), 0u) << last;
  const std::string failed =
      "\nzpr_last_run_success{job_name=\"" + std::string(name) + "\",tool=\"agent\"} 0\n";
  EXPECT_NE(last.find(failed), std::string::npos) << last;
  EXPECT_NE(last.find("\nzpr_exporter_last_collection_timestamp_seconds "), std::string::npos);
}

// End to end: a real Prometheus scrapes the exporter every second while zpr_demo runs an
// orchestrator with two children (failed runs: ExporterTrust).
TEST(Exporter, PrometheusSeesProgressAndLastRuns) {
  zt::TempDir dir;
  Exporter exporter;
  const int port = exporter.port();
  zt::write_file(dir.path + "/prometheus.yml",
                 "global: {scrape_interval: 1s, evaluation_interval: 1s}\n"
                 "scrape_configs: [{job_name: zpr, static_configs: [{targets: ['127.0.0.1:" +
                     std::to_string(port) + "']}]}]\n");
  zt::Background prometheus({"/usr/bin/prometheus", "--config.file=" + dir.path + "/prometheus.yml",
                             "--storage.tsdb.path=" + dir.path + "/data",
                             "--web.listen-address=127.0.0.1:0"});
  const int prom_port = prometheus.logged_port("msg=\"Listening on\" address=127.0.0.1:");
  ASSERT_GT(prom_port, 0);
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
  ASSERT_TRUE(zt::wait_until([&] { return query("up")[""] == 1; }, 60000)); // scraping
  // Deadlines for what waits on the demo's runs: generous, for a loaded machine.
  const int run_ms = 180000;
  const std::string demo = zt::build_dir() + "/demo/zpr_demo";
  zt::Background orchestrator({demo, "--tool", "proxmox", "--children", "2", "--blocks", "4000",
                               "--seconds", "3", "--no-log", "--no-syslog"});
  double first = 0;
  ASSERT_TRUE(zt::wait_until(
      [&] {
        auto v = query("zpr_job_blocks_done_total{tool=\"agent\"}"); // its name on every series
        first = first == 0 && v.count("demo-agent-1") ? v["demo-agent-1"] : first;
        return first > 0 && v["demo-agent-1"] > first;
      },
      run_ms));
  EXPECT_EQ(zt::wait_exit(orchestrator.pid, run_ms), 0);
  orchestrator.pid = -1;
  const std::map<std::string, double> all_ok{
      {"demo-agent-1", 1}, {"demo-agent-2", 1}, {"demo-proxmox", 1}};
  const std::string ok_query = "zpr_last_run_success{job_name=~\"demo-.*\"}";
  EXPECT_TRUE(zt::wait_until([&] { return query(ok_query) == all_ok; }, run_ms))
      << query(ok_query).size();
}

// Eight idle connections (any client can open them) never hold up a scrape; SIGHUP, with
// nothing to reload, leaves the service running.
TEST(Exporter, IdleConnectionsRootPageAndSighup) {
  Exporter exporter;
  const int port = exporter.port();
  ASSERT_GT(port, 0);
  // Served while all eight still hold a connection; repeated until a round is not slowed
  // down beyond the request timeout by the machine itself.
  EXPECT_TRUE(zt::wait_until(
      [&] {
        std::vector<int> idle;
        for (int i = 0; i < 8; i++) {
          idle.push_back(socket(AF_INET, SOCK_STREAM, 0));
          sockaddr_in a{AF_INET, htons(static_cast<uint16_t>(port)), {htonl(INADDR_LOOPBACK)}, {}};
          connect(idle.back(), reinterpret_cast<sockaddr *>(&a), sizeof a);
        }
        bool served = !http_get(port, "/metrics").empty();
        for (int fd : idle) {
          char c;
          served = served && recv(fd, &c, 1, MSG_DONTWAIT) < 0 && errno == EAGAIN;
          close(fd);
        }
        return served;
      },
      60000));
  kill(exporter.pid, SIGHUP);
  EXPECT_TRUE(zt::wait_until([&] {
    return exporter.err().find("INFO  SIGHUP ignored: nothing to reload\n") != std::string::npos;
  }));
  EXPECT_NE(http_get(port, "/metrics"), "");
  EXPECT_NE(http_get(port, "/").find("<a href=\"/metrics\">"), std::string::npos);
  EXPECT_EQ(exporter.stop(), 0);
}

// A gone process's record is a failed run to save, but not by an exporter that cannot listen.
// A textfile that would not be read is refused; one that cannot be written names its cause.
TEST(Exporter, StateFileWrittenOnlyWhenServingAndWriteErrorsNamed) {
  zt::FakeTool vanished;
  ASSERT_TRUE(vanished.publish(agent(vanished.pid(), "vm-3", 3)));
  vanished.stop();
  zt::TempDir dir;
  const std::string state = dir.path + "/state.json";
  const zt::RunResult r =
      zt::run_program(EXPORTER, {"--listen", "192.0.2.1:80", "--state-file", state});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err.rfind("error: cannot listen on 192.0.2.1:80", 0), 0u) << r.err;
  EXPECT_NE(access(state.c_str(), F_OK), 0) << "state file written";
  // Arguments a service would fail on later are refused at the start; an
  // unknown one beside --version is only warned about.
  const struct {
    std::vector<std::string> args;
    int status;
    std::string err;
  } rows[] = {
      {{"--textfile", dir.path + "/zpr.txt"}, 2, "node_exporter reads only files ending in .prom"},
      {{"--state-file", dir.path + "/none/s.json"}, 2, "error: cannot write " + dir.path + "/none"},
      {{"--bogus"}, 2, "error: unknown option '--bogus'"},
      {{"--version", "--bogus"}, 0, "WARN  unknown option '--bogus' ignored"},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.args[0]);
    const zt::RunResult a = zt::run_program(EXPORTER, row.args);
    EXPECT_EQ(a.status, row.status);
    EXPECT_NE(a.err.find(row.err), std::string::npos) << a.err;
  }
  // A directory in its place: the system's own text, not "I/O error".
  const std::string textfile = dir.path + "/zpr.prom";
  ASSERT_EQ(mkdir(textfile.c_str(), 0700), 0);
  zt::Background exporter({EXPORTER, "--textfile", textfile, "--state-file", state});
  const std::string line = "cannot write " + textfile + ": " + strerror(EISDIR);
  EXPECT_TRUE(zt::wait_until([&] { return exporter.err().find(line) != std::string::npos; }))
      << exporter.err();
  EXPECT_EQ(exporter.stop(), 0);
}
