// The agent's server settings in process, and the real executable end to end.
#include "agent/agent.h"

#include <gtest/gtest.h>

#include <set>
#include <thread>

#include "klib/kerror.h"
#include "support/live_agent.h"
#include "support/smt_wire.h"
#include "support/tls_certs.h"

namespace {

namespace fs = std::filesystem;
using smtwire::frame;
using Reply = std::pair<std::string, std::string>;  // status line, body

const auto ok = [](const std::string& body = "") { return Reply{"200 OK", body}; };

// A server that cannot listen or use its TLS settings (said why) is switched off.
TEST(AgentInProcess, ServerThatCannotListenOrUseItsCertificatesIsSwitchedOff) {
  kerror_libinit();
  testutil::TempDir dir;
  kservice_app* app = &g_agent.host;
  const testtls::Certs& certs = testtls::Certs::get();
  const std::string key = dir.file("shared.key"), log = dir.file("vardo.log");
  std::error_code ec;
  fs::copy_file(certs.file("agent.key"), key, ec);
  fs::permissions(key, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read, ec);
  const std::string tls =
      "vardo.listener = 127.0.0.1:0\nsmtsvr.tlscert = " + certs.file("agent.pem") + "\n";
  const std::string ca = "smtsvr.tlsca = " + certs.file("ca.pem") + "\n";
  const std::string unusable = "[WARNING] SMT TLS settings not usable: ";
  const std::pair<std::string, std::string> cases[] = {
      {"vardo.listener = nosuchhost.invalid:9", "cannot resolve host nosuchhost.invalid\n"},
      {tls + ca + "smtsvr.tlskey = " + key,
       unusable + "key file " + key + " is readable by other users (mode 640; chmod 600 it)\n"},
      {tls, unusable + "no CA given to verify client certificates with\n"}};
  for (size_t i = 0; i < std::size(cases) && (i < 1 || certs.ok()); ++i) {
    testutil::write_file(dir.file("vardo.conf"), "lwatch.enable = 0\n" + cases[i].first + "\n");
    klog_init(&app->log, log.c_str());
    kstring_init(&app->module_dir);
    kconfig_load(&app->config, dir.file("vardo.conf").c_str());
    ASSERT_EQ(agent_init(app), 0u);
    EXPECT_FALSE(g_agent.smt_enabled) << i;
    EXPECT_EQ(agent_stop(app), 0u);
    EXPECT_EQ(agent_cleanup(app), 0u);
    kconfig_free(&app->config);
    kstring_free(&app->module_dir);
    klog_free(&app->log);
    const std::string text = testutil::read_file(log);
    EXPECT_EQ(testutil::count_in(text, cases[i].second), 1u) << text;
    EXPECT_EQ(testutil::count_in(text, "[WARNING] VARDO cannot initialize SMT - disabling feature"),
              i + 1);
  }
}

// The real executable in a directory of its own, stopped with SIGINT.
class AgentRun : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(agent_.install(VARDO_EXE, dir_.path(), {"res", "logs"})); }
  bool start(const std::string& conf, bool lwatch = false) {
    bool up = agent_.start("vardo.listener = 127.0.0.1:0\n" + conf, lwatch);
    port_ = agent_.port();
    endpoint_ = "127.0.0.1:" + std::to_string(port_);
    return up;
  }
  // A clean exit (no sanitizer report either) within 5 s, every thread ended.
  void stop() {
    auto t0 = std::chrono::steady_clock::now();
    ASSERT_TRUE(agent_.stop(10000));
    EXPECT_TRUE(agent_.clean()) << agent_.status();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(5));
    EXPECT_EQ(log().find("not terminated"), std::string::npos) << log();
  }
  std::string log() { return agent_.log(); }
  bool wait_log(const std::string& piece, int ms = 8000) {
    return testutil::wait_until([&] { return log().find(piece) != std::string::npos; }, ms);
  }
  // One request on a connection of its own; the status "<none>" when no reply came.
  Reply ask(const std::string& head, const std::string& body = "") {
    int fd = testutil::tcp_connect(port_);
    testutil::send_all(fd, frame(head, body));
    std::string raw = smtwire::read_reply(fd, 20000);
    close(fd);
    if (raw.size() < 18) return {"<none>", raw};
    size_t h = std::stoul(raw.substr(5, 5));
    return {raw.substr(18, h), raw.substr(18 + h)};
  }
  // smtc run by the shell: "<exit status>|<standard output>|<standard error>".
  std::string smtc(const std::string& args) {
    int status = std::system(
        (SMTC_EXE " " + args + " >" + dir_.file("out") + " 2>" + dir_.file("err")).c_str());
    return std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : -1) + "|" +
           testutil::read_file(dir_.file("out")) + "|" + testutil::read_file(dir_.file("err"));
  }

  testutil::TempDir dir_;
  liveagent::Agent agent_;
  uint16_t port_ = 0;
  std::string endpoint_;
};

// The sample configuration with shorter periods (exec disabled): a facility written with lwwritef
// is loaded at the next reload, its hits fetched; a period without hits leaves nothing, a
// reset collector takes nothing away, and a stop finishes the current result file.
TEST_F(AgentRun, SampleConfigurationDeliversEveryHitOnceAndFinishesTheResultFileAtTheStop) {
  const std::string logs = dir_.file("logs"), res = dir_.file("res");
  const std::string app = logs + "/app.log", one = logs + "/one.txt";
  // Dated back, so that the next write moves the time on by whole seconds.
  for (auto [path, line] : {std::pair{app, "an old error\n"}, {one, "an old warning\n"}}) {
    testutil::write_file(path, line);
    testutil::set_mtime(path, time(nullptr) - 100);
  }
  std::string sample;
  for (const std::string& line :
       testutil::split_lines(testutil::read_file(VARDO_SOURCE_DIR "/vardo.conf.sample")))
    if (!line.starts_with("vardo.listener")) sample += line + "\n";
  ASSERT_TRUE(
      start("service.loglevel = 4\nlwatch.facilityupdt = 1\nlwatch.rfilettl = 1\n"
            "lwatch.allowpath = " +
                logs + "\nlwatch.resultdir = " + res + "\n" + sample,
            true))
      << log();
  const std::string at = endpoint_ + " ";
  EXPECT_EQ(smtc(at + "exec echo hi"), "1||400 Cannot serve this request\n");

  ASSERT_EQ(ask("lwwritef web", "scan = 1\nfile = " + app + "\nfile = " + logs +
                                    "/*.txt\nfilter = err;error\nfilter = warn;warn\n"),
            ok());
  // A scan after the one that found the file: every file has been found.
  ASSERT_TRUE(wait_log("#   start dynamic monitoring '" + one + "'\n")) << log();
  const size_t found = log().size();
  ASSERT_TRUE(testutil::wait_until(
      [&] { return log().find(" scanning lwfacility 'web' files\n", found) != std::string::npos; },
      5000));
  testutil::append_file(app, "disk error 1\nall fine\n");
  testutil::append_file(one, "low space warning\n");
  testutil::write_file(logs + "/two.txt", "early warning\n");

  const std::set<std::string> expected = {"[web,err] disk error 1", "[web,warn] low space warning",
                                          "[web,warn] early warning"};
  std::set<std::string> fetched;
  EXPECT_TRUE(testutil::wait_until(
      [&] {
        for (const std::string& id : testutil::split_lines(ask("lwlistlog").second)) {
          Reply got = ask("lwgetlog " + id);
          EXPECT_EQ(got.first, "200 OK") << id;
          for (const std::string& line : testutil::split_lines(got.second)) fetched.insert(line);
        }
        return fetched.size() >= expected.size();
      },
      12000))
      << log();
  EXPECT_EQ(fetched, expected);
  // Once the period open now is over, nothing of it is left.
  auto results = [&](const std::string& ext) {
    std::vector<std::string> names;
    for (auto& e : fs::directory_iterator(res))
      if (e.path().extension() == ext) names.push_back(e.path().filename().string());
    return names;
  };
  std::vector<std::string> open_now;
  ASSERT_TRUE(testutil::wait_until([&] { return (open_now = results(".tmp")).size() == 1; }, 5000));
  ASSERT_TRUE(testutil::wait_until([&] { return results(".tmp") != open_now; }, 8000));
  EXPECT_EQ(ask("lwlistlog"), ok());
  EXPECT_TRUE(results(".log").empty());

  // A reply beyond the window of a collector that resets unread cannot have arrived.
  const std::string id = "230101000000", big = res + "/lw" + id + ".log";
  std::string lines, got;
  for (int i = 0; lines.size() < 1900000; ++i) lines += "[f,e] " + std::to_string(i) + "\n";
  testutil::write_file(big, lines);
  int fd = testutil::tcp_connect(port_);
  ASSERT_TRUE(testutil::send_all(fd, frame("lwgetlog " + id)));
  const std::string peer = std::to_string(smtwire::local_port(fd));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  testutil::close_with_reset(fd);
  ASSERT_TRUE(wait_log("message from 127.0.0.1:" + peer + " passed")) << log();
  EXPECT_TRUE(testutil::wait_until(
      [&] {
        for (Reply r; (r = ask("lwgetlog " + id)).first == "200 OK";) got += r.second;
        return results(".fetch").empty() && results(".rest").empty() && !fs::exists(big);
      },
      8000));
  EXPECT_TRUE(got == lines) << got.size() << " of " << lines.size();
  testutil::append_file(app, "last error\n");
  ASSERT_TRUE(wait_log("#   new line in file " + app + " = >last error<\n")) << log();
  stop();
  EXPECT_TRUE(results(".tmp").empty());
  std::vector<std::string> finished = results(".log");
  ASSERT_EQ(finished.size(), 1u);
  EXPECT_EQ(testutil::read_file(res + "/" + finished[0]), "[web,err] last error\n");
}

// Over TLS a trusted collector is served, large frames too; every other peer is closed after its
// handshake, its reason in one warning (a bad chain stands for every failed verification).
TEST_F(AgentRun, TlsServesTrustedCollectorsAndSaysWhyOthersAreRefused) {
  const testtls::Certs& certs = testtls::Certs::get();
  if (!certs.ok()) GTEST_SKIP() << "no openssl command to make certificates with";
  ASSERT_TRUE(start("lwatch.enable = 0\nsmtsvr.tlscert = " + certs.file("agent.pem") +
                    "\nsmtsvr.tlskey = " + certs.file("agent.key") +
                    "\nsmtsvr.tlsca = " + certs.file("ca.pem") +
                    "\nsmtsvr.tlspeer = collector0\nsmtsvr.tlspeer = collector1\n"))
      << log();
  const std::string good = certs.smtc_args("collector") + " ", at = " " + endpoint_ + " echo hi";
  EXPECT_EQ(smtc(good + "--servername localhost" + at), "0|echo hi|200 OK\n");
  std::string big;
  for (int i = 0; big.size() < 700000; ++i) big += "line " + std::to_string(i) + "\n";
  testutil::write_file(dir_.file("big"), big);
  EXPECT_EQ(smtc(good + "-b " + dir_.file("big") + " " + endpoint_ + " lwwritef big"),
            "0||200 OK\n");
  EXPECT_TRUE(smtc(good + endpoint_ + " lwreadf big") == "0|" + big + "|200 OK\n");
  const std::pair<std::string, std::string> bad[] = {
      // smtc arguments, reason
      {certs.smtc_args(""), "peer did not return a certificate"},
      {certs.smtc_args("foreign"), "unable to get local issuer certificate"},
      {certs.smtc_args("stranger"), "certificate CN=stranger is not an allowed peer"},
      {"", "plain SMT, not TLS"},
  };
  for (const auto& [args, reason] : bad) {
    EXPECT_EQ(smtc(args + at), "2||smtc: no reply from " + endpoint_ + " (connection closed)\n")
        << reason;
    EXPECT_TRUE(wait_log(" failed (" + reason + ") - connection closed\n")) << reason << log();
  }
  stop();
  EXPECT_EQ(testutil::count_in(log(), "[WARNING] TLS handshake with 127.0.0.1:"), std::size(bad));
}

}  // namespace
