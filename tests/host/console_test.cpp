// The executable beside its own vardo.conf: the foreground run, the dispatcher,
// the verbs' failure paths (harmless here) and service mode under a fake manager.
#include <gtest/gtest.h>
#include <sys/un.h>

#include <cstddef>
#include <filesystem>

#include "support/testutil.h"

namespace {

// A datagram socket in the service manager's place; '@' names are abstract.
struct NotifySocket {
  int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  explicit NotifySocket(const std::string& name) {
    sockaddr_un addr{AF_UNIX, {}};
    name.copy(addr.sun_path, sizeof addr.sun_path - 1);
    if (name[0] == '@') addr.sun_path[0] = '\0';
    socklen_t len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size());
    EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), len), 0) << name;
  }
  ~NotifySocket() { close(fd); }
  // The next report, or "" after 10 s.
  std::string next() {
    char buf[512];
    ssize_t n = testutil::readable(fd, 10000) ? recv(fd, buf, sizeof buf, 0) : 0;
    return std::string(buf, static_cast<size_t>(std::max<ssize_t>(n, 0)));
  }
};

class Exe : public ::testing::Test {
 protected:
  void SetUp() override { std::filesystem::copy_file(VARDO_EXE, exe_); }
  void conf(const std::string& extra) {
    testutil::write_file(dir_.file("vardo.conf"), "smtsvr.enable = 0\nlwatch.enable = 0\n" + extra);
  }
  // Outside the service manager unless env ("NAME=value") puts it there; a
  // fresh output file per run.
  void start(const std::vector<std::string>& args, const std::string& env = "",
             const std::string& cwd = "") {
    std::vector<std::string> argv{"/usr/bin/env", "-u", "NOTIFY_SOCKET", "-u", "INVOCATION_ID"};
    if (!env.empty()) argv.push_back(env);
    argv.push_back(exe_);
    argv.insert(argv.end(), args.begin(), args.end());
    EXPECT_TRUE(child_.start(argv, cwd.empty() ? dir_.path() : cwd,
                             dir_.file("out" + std::to_string(runs_++))));
  }
  bool up() {
    return testutil::wait_until(
        [&] { return child_.output().find("VARDO up\n") != std::string::npos; }, 10000);
  }
  // Once the agent is up (sig 0: at once), stops it with sig; waits for an
  // exit with status 0 and returns what the run printed.
  std::string ended(int sig = 0) {
    if (sig) EXPECT_TRUE(up()) << child_.output();
    if (sig) child_.signal(sig);
    int status = -1;
    EXPECT_TRUE(child_.wait_exit(10000, &status));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    return child_.output();
  }
  std::string run(const std::vector<std::string>& args) {
    start(args);
    return ended();
  }

  testutil::TempDir dir_;
  std::string exe_ = dir_.file("vardo");
  testutil::Child child_;
  int runs_ = 0;
};

// The dispatcher for anything not a verb, the verbs' failure paths, and the
// log of a foreground run from banner to banner.
TEST_F(Exe, CommandLineSelectsTheModeOrVerbAndTheForegroundRunLogs) {
  std::string log = dir_.file("elsewhere.log");
  conf("service.logfile = " + log + "\nservice.name = bad\\name\nservice.loglevel = -1\n");
  for (std::vector<std::string> args : {std::vector<std::string>{}, {"start"}, {"-status"}})
    EXPECT_EQ(run(args), "Trying to start service 'bad\\name' ... please wait.\n");
  // Verbs in any case; no unit name holds a '\', so they only fail, never touching live units.
  for (const std::string& verb : {"/INSTALL", "/remove"})
    EXPECT_EQ(run({verb}).find("Trying to start"), std::string::npos) << verb;
  // Neither the dispatcher nor the verbs write to the log.
  EXPECT_FALSE(testutil::file_exists(log));
  // A closed terminal ends the foreground run.
  start({"/START"});
  ended(SIGHUP);
  std::string pid = std::to_string(child_.pid()), path = std::filesystem::canonical(exe_);
  std::string text = testutil::read_file(log);
  EXPECT_EQ(text.rfind("# \n#      ->[" + pid + "] " + path + "\n", 0), 0u) << text;
  EXPECT_TRUE(text.ends_with(" VARDO down\n# \n#      <-[" + pid + "] " + path + "\n# \n")) << text;
}

TEST_F(Exe, ServiceModeReportsReadyAndStopping) {
  conf("");
  // On a path socket and on an abstract one.
  std::string abstract = "@vardo-test-" + std::filesystem::path(dir_.path()).filename().string();
  for (const std::string& name : {dir_.file("notify"), abstract}) {
    NotifySocket sock(name);
    // Started elsewhere: the service makes its own directory current.
    start({}, "NOTIFY_SOCKET=" + name, "/");
    EXPECT_EQ(sock.next(), "READY=1");
    ASSERT_TRUE(up()) << child_.output();
    EXPECT_EQ(std::filesystem::read_symlink("/proc/" + std::to_string(child_.pid()) + "/cwd"),
              std::filesystem::canonical(dir_.path()));
    std::string out = ended(SIGTERM);
    EXPECT_EQ(sock.next(), "STOPPING=1");
    EXPECT_NE(out.find(" VARDO down\n", out.find(" VARDO shutdown\n")), std::string::npos) << out;
  }
}

}  // namespace
