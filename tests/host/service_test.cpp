// Installing and removing the service under a temporary root with stand-ins for the running
// manager and the user database; the manager's real table against a fake systemctl.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "agent/agent.h"
#include "host/kservice.h"
#include "host/kservice_scm_posix.h"
#include "klib/kerror.h"
#include "support/testutil.h"

namespace {

using Strings = std::vector<std::string>;
const std::string kNameError = "Invalid or non existing service name was used";
const std::string kUnit = "vardo\\x20Service.service";

class ServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    kerror_libinit();
    std::filesystem::create_directories(unit_dir());
    std::filesystem::create_directories(home_);
    std::filesystem::create_symlink(VARDO_EXE, exe_);
    for (kstring* s : strings()) kstring_init(s);
    kstring_assign_cstr(&app_.module_path, exe_.c_str());
    kstring_assign_cstr(&app_.module_dir, home_.c_str());
    kstring_assign_cstr(&app_.module_name, "vardo");
    kstring_assign_cstr(&app_.service_name, "vardo Service");
    kconfig_load(&app_.config, root_.file("vardo.conf").c_str());
    app_.data_dirs = agent_data_dirs;
  }
  void TearDown() override {
    kconfig_free(&app_.config);
    for (kstring* s : strings()) kstring_free(s);
  }
  std::vector<kstring*> strings() {
    return {&text_, &app_.service_name, &app_.module_path, &app_.module_dir, &app_.module_name};
  }
  std::string unit_dir() const { return root_.file("etc/systemd/system"); }
  std::string unit_file() const { return unit_dir() + "/" + kUnit; }
  void conf(const std::string& text) { testutil::write_file(root_.file("vardo.conf"), text); }
  // Runs the verb "install" or "remove"; what it printed.
  std::string verb(const std::string& v) {
    kscm s{&env_, 0, 0, nullptr};
    testing::internal::CaptureStdout();
    EXPECT_EQ(v == "install" ? kservice_verb_install_scm(&app_, &s)
                             : kservice_verb_remove_scm(&app_, &s, 1),
              0);
    return testing::internal::GetCapturedStdout();
  }
  std::string shell(const std::string& command, int* status = nullptr) {
    int st = std::system((command + " >" + root_.file("out") + " 2>&1").c_str());
    if (status) *status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return testutil::read_file(root_.file("out"));
  }
  static std::pair<uint32_t, uint32_t> owner(const std::string& path) {
    struct stat st = {};
    lstat(path.c_str(), &st);
    return {st.st_uid, st.st_gid};
  }

  // Manager stand-in: records calls; running for running_polls_ queries.
  static uint32_t call(void* self, const std::string& what, uint32_t* state = nullptr) {
    auto* t = static_cast<ServiceTest*>(self);
    t->calls_.push_back(what);
    if (state) *state = t->running_polls_-- > 0 ? KSERVICE_RUNNING : KSERVICE_STOPPED;
    return 0;
  }
  kservice_manager manager_{
      this, [](void* c, const char* u) { return call(c, "start " + std::string(u)); },
      [](void* c, const char* u) { return call(c, "stop " + std::string(u)); },
      [](void* c, const char* u, uint32_t* s) { return call(c, "state " + std::string(u), s); },
      [](void* c) { return call(c, "reload"); }};
  // User database stand-in: answers ensure_rc_; only group adm exists. As root
  // the account gets ids of its own so that giving a path to it shows.
  kservice_users users_{this,
                        [](void* c, const char* user, uint32_t* uid, uint32_t* gid) {
                          auto* t = static_cast<ServiceTest*>(c);
                          t->calls_.push_back("user " + std::string(user));
                          *uid = t->account_.first, *gid = t->account_.second;
                          return t->ensure_rc_;
                        },
                        [](void*, const char* group) { return int(std::string(group) == "adm"); }};
  Strings calls_;
  int running_polls_ = 0;
  uint32_t ensure_rc_ = 0;
  std::pair<uint32_t, uint32_t> account_{geteuid() ? getuid() : 4242, geteuid() ? getgid() : 4243};

  testutil::TempDir root_;
  kservice_scm_env env_ = {root_.path().c_str(), &manager_, &users_};
  std::string home_ = root_.file("my agent/50%/"), exe_ = home_ + "vardo";
  kservice_app app_ = {};
  kstring text_;
};

TEST_F(ServiceTest, InstallAndRemoveThroughTheirWholeCourse) {
  // Not installed: the state query names the missing service; no manager needed.
  EXPECT_EQ(verb("remove"), "Remove Failure (" + kNameError + ") : vardo Service\n");
  EXPECT_TRUE(calls_.empty());
  if (shell("command -v systemctl").empty()) GTEST_SKIP() << "no systemctl: not tested here";

  // By default: account vardo, sandboxed, writing its own directory only.
  EXPECT_EQ(verb("install"), "Installation Success : vardo Service\n");
  std::string text = testutil::read_file(unit_file());
  std::string exec = "ExecStart=\"" + root_.file("my agent/50%%/vardo") + "\"\n";
  for (const std::string& line :
       {"\n[Service]\nType=notify\n" + exec + "Restart=on-failure\nUser=vardo\n",
        std::string("\nSupplementaryGroups=adm\n"),
        "\nReadWritePaths=\"-" + root_.file("my agent/50%%/") + "\"\n",
        std::string("\n\n[Install]\nWantedBy=multi-user.target\n")})
    EXPECT_NE(text.find(line), std::string::npos) << line << " in\n" << text;
  // Files may be made beside the agent but none of root's replaced.
  struct stat st = {};
  ASSERT_EQ(stat(home_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 01775u);
  EXPECT_EQ(owner(home_), std::make_pair(geteuid(), account_.second));
  EXPECT_EQ(owner(home_ + "vardo.log"), account_);
  // systemd rates the sandbox "OK" (below 3.0), where it can judge a unit file.
  int status = -1;
  std::string security =
      shell("systemd-analyze security --offline=true '" + unit_file() + "'", &status);
  size_t level = security.find("Overall exposure level");
  if (status == 0 && level != std::string::npos)
    EXPECT_LT(std::stod(security.substr(security.find(": ", level) + 2)), 3.0) << security;
  // Enabled for automatic start, as systemctl itself sees it, but not started;
  // a second install makes no account.
  EXPECT_EQ(shell("systemctl --root=" + root_.path() + " is-enabled '" + kUnit + "'"), "enabled\n");
  EXPECT_EQ(verb("install"), "Installation Failure (" + kNameError + ") : vardo Service\n");
  EXPECT_EQ(calls_, (Strings{"user vardo", "reload"}));

  // Stopped after three polls: disabled, deleted, and the manager told.
  calls_.clear();
  running_polls_ = 3;
  EXPECT_EQ(verb("remove"), "Remove Success : vardo Service\n");
  std::string state = "state " + kUnit;
  EXPECT_EQ(calls_, (Strings{"stop " + kUnit, state, state, state, state, "reload"}));
  EXPECT_FALSE(testutil::file_exists(unit_file()));
  EXPECT_FALSE(testutil::file_exists(unit_dir() + "/multi-user.target.wants/" + kUnit));

  // As root the service keeps the plain unit, and no account is made.
  conf("service.user = root\n");
  calls_.clear();
  EXPECT_EQ(verb("install"), "Installation Success : vardo Service\n");
  text = testutil::read_file(unit_file());
  EXPECT_EQ(text.substr(text.find("[Service]")),
            "[Service]\nType=notify\n" + exec + "\n[Install]\nWantedBy=multi-user.target\n");
  EXPECT_EQ(calls_, (Strings{"reload"}));
}

// Names escaped as systemd does, and the rules every operation keeps.
TEST_F(ServiceTest, NamesAndOperationsFollowTheManagersRules) {
  for (const auto& [name, unit] : std::vector<std::pair<std::string, std::string>>{
           {"a-b_c:d.e", "a\\x2db_c:d.e.service"},
           {".50% \xc3\xa9t\xc3\xa9", "\\x2e50\\x25\\x20\\xc3\\xa9t\\xc3\\xa9.service"}}) {
    ASSERT_EQ(kservice_unit_name(name.c_str(), &text_), 0u) << name;
    EXPECT_EQ(kstring_text(&text_), unit);
  }
  // '/' would make "a/b" and "a-b" one unit; '\' and controls break the unit
  // file; systemd takes unit names below 256 characters.
  for (const std::string& bad : Strings{"", "a/b", "a\\b", "a\nb", std::string(250, 'x')})
    EXPECT_EQ(kservice_unit_name(bad.c_str(), &text_), KERR_SCM_NAME) << bad;
  kscm s{&env_, 0, 0, nullptr};
  ASSERT_EQ(kservice_scm_open(&s, nullptr, KSERVICE_WRITE), 0u);
  // Paths systemd would refuse (too long, quotes, backslash, controls).
  for (const std::string& bad : Strings{"/" + std::string(5000, 'p'), "/a\"b", "/a\\b", "/a\tb"})
    EXPECT_EQ(kservice_create(&s, "x", bad.c_str(), 0), KERR_FAILED) << bad;
  // A unit the distribution ships is never shadowed, nor deleted.
  std::filesystem::create_directories(root_.file("lib/systemd/system"));
  testutil::write_file(root_.file("lib/systemd/system/ssh.service"), "[Unit]\n");
  EXPECT_EQ(kservice_create(&s, "ssh", "/bin/x", 0), KERR_SCM_NAME);
  EXPECT_EQ(kservice_delete(&s, "ssh"), KERR_SCM_NAME);
  // Bad account names or paths fail before anything is made; a failing user
  // database leaves no unit behind.
  std::string failure = "Installation Failure (The operation failed) : vardo Service\n";
  for (const std::string& bad :
       Strings{"service.user = -x", "service.user = 1234", "service.user = " + std::string(32, 'u'),
               "lwatch.resultdir = /a\"b"}) {
    conf(bad + "\n");
    EXPECT_EQ(verb("install"), failure) << bad;
  }
  EXPECT_TRUE(calls_.empty());
  conf("");
  ensure_rc_ = KERR_FAILED;
  EXPECT_EQ(verb("install"), failure);
  EXPECT_EQ(calls_, (Strings{"user vardo"}));
  EXPECT_TRUE(std::filesystem::is_empty(unit_dir()));
  // Configured paths are writable once each and given to the account with
  // their regular files, not what a link reaches; system directories are kept.
  ensure_rc_ = 0;
  std::string results = root_.file("data/results");
  std::filesystem::create_directories(results);
  testutil::write_file(results + "/lw1.log", "");
  testutil::write_file(root_.file("outside"), "");
  std::filesystem::create_symlink(root_.file("outside"), results + "/soft");
  std::filesystem::create_hard_link(root_.file("outside"), results + "/hard");
  conf("lwatch.facilitydir = facilities\nlwatch.resultdir = " + results +
       "\nservice.logfile = /proc/self/vardo.log\n");
  EXPECT_EQ(verb("install"), "Installation Success : vardo Service\n");
  std::string text = testutil::read_file(unit_file());
  EXPECT_NE(text.find("\nReadWritePaths=\"-" + root_.file("my agent/50%%/") + "\" \"-" + results +
                      "\" \"-/proc/self/vardo.log\"\n"),
            std::string::npos)
      << text;
  for (std::string given : {home_ + "facilities", results, results + "/lw1.log"})
    EXPECT_EQ(owner(given), account_) << given;
  for (std::string kept : {root_.file("outside"), results + "/soft"})
    EXPECT_EQ(owner(kept), std::make_pair(geteuid(), getegid())) << kept;
  EXPECT_EQ(calls_, (Strings{"user vardo", "user vardo", "reload"}));
}

// The running manager's table, against a systemctl first on PATH that answers as told.
TEST(SystemdManager, StatesAndExitStatusesMapToLibraryResults) {
  testutil::TempDir dir;
  testutil::write_file(dir.file("systemctl"),
                       "#!/bin/sh\ncd \"${0%/*}\"\necho \"$@\" > args\n"
                       "tail -n +2 answer\nexit $(head -n 1 answer)\n");
  chmod(dir.file("systemctl").c_str(), 0755);
  std::string path = getenv("PATH");
  setenv("PATH", (dir.path() + ":" + path).c_str(), 1);
  auto answer = [&](int status, const std::string& text = "") {
    testutil::write_file(dir.file("answer"), std::to_string(status) + "\n" + text);
  };
  auto asked = [&] { return testutil::read_file(dir.file("args")); };
  const kservice_manager* m = kservice_running_manager();
  uint32_t state = 0;
  for (const auto& [active, expected] : std::vector<std::pair<std::string, uint32_t>>{
           {"active\nFreezerState=running", KSERVICE_RUNNING},
           {"active\nFreezerState=frozen", KSERVICE_PENDING},
           {"failed", KSERVICE_STOPPED}}) {
    answer(0, "LoadState=loaded\nActiveState=" + active + "\n");
    EXPECT_EQ(m->query_state(m->context, "a\\x20b.service", &state), 0u) << active;
    EXPECT_EQ(state, expected) << active;
  }
  EXPECT_EQ(asked(),
            "--no-ask-password show --property=LoadState,ActiveState,FreezerState -- "
            "a\\x20b.service\n");
  answer(0, "LoadState=not-found\nActiveState=inactive\n");
  EXPECT_EQ(m->query_state(m->context, "a.service", &state), KERR_SCM_NAME);
  // Start and stop only ask (a remove polls the state itself); exit statuses map to codes.
  answer(4);
  EXPECT_EQ(m->start(m->context, "a.service"), KERR_SCM_ACCESS);
  answer(5);
  EXPECT_EQ(m->stop(m->context, "a.service"), KERR_SCM_NAME);
  EXPECT_EQ(asked(), "--no-ask-password --no-block stop -- a.service\n");
  setenv("PATH", path.c_str(), 1);
}

}  // namespace
