// Service mode as systemd starts it: the test plays the manager's side of the
// notification protocol with a datagram socket of its own, and stops the
// service with SIGTERM as systemd does.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <cstddef>
#include <filesystem>

#include "support/testutil.h"

namespace {

// A datagram socket that receives the agent's state lines.
class NotifySocket {
 public:
  // name starting with '@' binds in the abstract namespace.
  explicit NotifySocket(const std::string& name) : name_(name) {
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    memcpy(addr.sun_path, name.data(), name.size());
    if (name[0] == '@') addr.sun_path[0] = '\0';
    socklen_t len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size());
    bound_ = fd_ >= 0 && bind(fd_, reinterpret_cast<sockaddr*>(&addr), len) == 0;
  }
  ~NotifySocket() {
    if (fd_ >= 0) close(fd_);
  }
  bool bound() const { return bound_; }
  // The next datagram, or "" after timeout_ms.
  std::string next(int timeout_ms) {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, timeout_ms) != 1) return "";
    char buf[512];
    ssize_t n = recv(fd_, buf, sizeof buf, 0);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : "";
  }

 private:
  std::string name_;
  int fd_ = -1;
  bool bound_ = false;
};

class ServiceMode : public ::testing::Test {
 protected:
  void SetUp() override {
    exe_ = dir_.file("vardo");
    std::filesystem::copy_file(VARDO_EXE, exe_);
    testutil::write_file(dir_.file("vardo.conf"),
                         "smtsvr.enable = 0\nlwatch.enable = 0\nservice.name = probe\n");
  }
  bool wait_output(const std::string& text) {
    return testutil::wait_until([&] { return child_.output().find(text) != std::string::npos; },
                                10000);
  }
  // Runs the service until SIGTERM, checking every report and line.
  void run_under(NotifySocket* sock, const std::vector<std::string>& env) {
    // Started elsewhere: the service makes its own directory current.
    ASSERT_TRUE(child_.start({exe_}, "/", dir_.file("out.txt"), env));
    if (sock) EXPECT_EQ(sock->next(10000), "READY=1");
    ASSERT_TRUE(wait_output("VARDO up\n")) << child_.output();
    std::error_code ec;
    EXPECT_EQ(std::filesystem::read_symlink("/proc/" + std::to_string(child_.pid()) + "/cwd", ec),
              std::filesystem::canonical(dir_.path()));
    child_.signal(SIGTERM);
    if (sock) EXPECT_EQ(sock->next(10000), "STOPPING=1");
    int status = -1;
    ASSERT_TRUE(child_.wait_exit(10000, &status));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    if (sock) EXPECT_EQ(sock->next(0), "") << "nothing after STOPPING=1";

    std::string out = child_.output();
    EXPECT_EQ(out.rfind("Trying to start service 'probe' ... please wait.\n", 0), 0u) << out;
    size_t shutdown = out.find("VARDO shutdown\n");
    EXPECT_NE(shutdown, std::string::npos) << out;
    EXPECT_NE(out.find("VARDO down\n", shutdown), std::string::npos) << out;
    std::string log = testutil::read_file(dir_.file("vardo.log"));
    EXPECT_NE(log.find("#      <-[" + std::to_string(child_.pid()) + "] "), std::string::npos)
        << log;
  }

  testutil::TempDir dir_;
  std::string exe_;
  testutil::Child child_;
};

TEST_F(ServiceMode, ReportsReadyAndStoppingOnAPathSocket) {
  NotifySocket sock(dir_.file("notify"));
  ASSERT_TRUE(sock.bound());
  run_under(&sock, {"NOTIFY_SOCKET=" + dir_.file("notify")});
}

TEST_F(ServiceMode, ReportsOnAnAbstractSocket) {
  std::string name = "@vardo-test-" + std::to_string(getpid()) + "-" +
                     std::filesystem::path(dir_.path()).filename().string();
  NotifySocket sock(name);
  ASSERT_TRUE(sock.bound());
  run_under(&sock, {"NOTIFY_SOCKET=" + name});
}

TEST_F(ServiceMode, RunsWithoutNotificationsWhenOnlyAnInvocationIsGiven) {
  run_under(nullptr, {"INVOCATION_ID=0123456789abcdef0123456789abcdef"});
}

}  // namespace
