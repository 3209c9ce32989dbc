// Installing and removing the service: the unit file under a temporary root,
// enabling through systemctl --root, a stand-in for the running manager, the
// verbs' printed lines, and the failure paths of the real executable that
// need no manager and change nothing on this machine.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <map>

#include "host/kservice.h"
#include "host/kservice_scm.h"
#include "klib/kerror.h"
#include "support/testutil.h"

namespace {

const std::string kNameError = "Invalid or non existing service name was used";
const std::string kUnit = "vardo\\x20Service.service";

bool have_tool(const std::string& tool) {
  return std::system(("command -v " + tool + " >/dev/null 2>&1").c_str()) == 0;
}

std::string sh_quote(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

// Standard output (and error) and exit status of a shell command.
std::string shell(const std::string& cmd, int* status = nullptr) {
  std::string out;
  FILE* p = popen((cmd + " 2>&1").c_str(), "r");
  char buf[256];
  for (size_t n; p && (n = fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
  int st = p ? pclose(p) : -1;
  if (status) *status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  return out;
}

#define REQUIRE_TOOL(tool) \
  if (!have_tool(tool)) GTEST_SKIP() << tool " is not installed: not tested here"

// The running manager's stand-in: reports running for running_polls state
// queries, then stopped; records every call.
struct StandIn {
  std::vector<std::string> calls;
  int running_polls = 0;
  uint32_t state_error = 0;
  kservice_manager table{this, start, stop, query, reload};

  static StandIn* of(void* c) { return static_cast<StandIn*>(c); }
  static uint32_t start(void* c, const char* unit) {
    of(c)->calls.push_back(std::string("start ") + unit);
    return 0;
  }
  static uint32_t stop(void* c, const char* unit) {
    of(c)->calls.push_back(std::string("stop ") + unit);
    return 0;
  }
  static uint32_t query(void* c, const char* unit, uint32_t* state) {
    of(c)->calls.push_back(std::string("state ") + unit);
    *state = of(c)->running_polls-- > 0 ? KSERVICE_RUNNING : KSERVICE_STOPPED;
    return of(c)->state_error;
  }
  static uint32_t reload(void* c) {
    of(c)->calls.push_back("reload");
    return 0;
  }
  int count(const std::string& prefix) const {
    int n = 0;
    for (const auto& c : calls) n += c.rfind(prefix, 0) == 0;
    return n;
  }
};

class ServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    kerror_libinit();
    std::filesystem::create_directories(unit_dir());
    kstring_init(&app_.service_name);
    kstring_init(&app_.module_path);
    kstring_assign_cstr(&app_.module_path, "/opt/vardo/vardo");
  }
  void TearDown() override {
    kstring_free(&app_.module_path);
    kstring_free(&app_.service_name);
  }
  std::string unit_dir() const { return root_.file("etc/systemd/system"); }
  std::string unit_file(const std::string& unit = kUnit) const { return unit_dir() + "/" + unit; }
  kscm scm() {
    kscm s = {};
    s.root = root_.path().c_str();
    s.manager = &manager_.table;
    return s;
  }

  // Runs "vardo <args...>" with the service name given; what it printed.
  std::string verb(const std::vector<std::string>& args,
                   const std::string& name = "vardo Service") {
    std::vector<std::string> store{"vardo"};
    store.insert(store.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : store) argv.push_back(a.data());
    app_.argc = static_cast<int32_t>(argv.size());
    app_.argv = argv.data();
    kstring_assign_cstr(&app_.service_name, name.c_str());
    kscm s = scm();
    testing::internal::CaptureStdout();
    int rc = args[0] == "-install" ? kservice_verb_install_scm(&app_, &s)
                                   : kservice_verb_remove_scm(&app_, &s, 1);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(s.open, 0u) << "the verb closes the manager";
    return out;
  }

  testutil::TempDir root_;
  StandIn manager_;
  kservice_app app_ = {};
};

// Sections of a unit file with their key=value lines, comments skipped.
std::map<std::string, std::map<std::string, std::string>> parse_unit(const std::string& text) {
  std::map<std::string, std::map<std::string, std::string>> out;
  std::string section;
  for (const auto& line : testutil::split_lines(text)) {
    if (line.empty() || line[0] == '#') continue;
    if (line[0] == '[') {
      out[section = line];
      continue;
    }
    size_t eq = line.find('=');
    EXPECT_TRUE(eq != std::string::npos && !out[section].count(line.substr(0, eq))) << line;
    out[section][line.substr(0, eq)] = line.substr(eq + 1);
  }
  return out;
}

TEST_F(ServiceTest, InstallWritesAndEnablesTheUnitWithoutStartingIt) {
  REQUIRE_TOOL("systemctl");
  EXPECT_EQ(verb({"-install"}), "Installation Success : vardo Service\n");
  using Section = std::map<std::string, std::string>;
  auto u = parse_unit(testutil::read_file(unit_file()));
  EXPECT_EQ(u.size(), 3u);
  EXPECT_EQ(u["[Unit]"], (Section{{"Description", "vardo Service"}}));
  EXPECT_EQ(u["[Service]"], (Section{{"Type", "notify"}, {"ExecStart", "\"/opt/vardo/vardo\""}}));
  EXPECT_EQ(u["[Install]"], (Section{{"WantedBy", "multi-user.target"}}));
  struct stat st;
  ASSERT_EQ(stat(unit_file().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);
  // Enabled for automatic start, as systemctl itself sees it.
  EXPECT_EQ(shell("systemctl --root=" + sh_quote(root_.path()) + " is-enabled " + sh_quote(kUnit)),
            "enabled\n");
  EXPECT_EQ(manager_.calls, (std::vector<std::string>{"reload"})) << "never started";

  EXPECT_EQ(verb({"-install"}), "Installation Failure (" + kNameError + ") : vardo Service\n");
}

TEST_F(ServiceTest, RemoveStopsPollsDisablesAndDeletes) {
  REQUIRE_TOOL("systemctl");
  ASSERT_EQ(verb({"-install"}), "Installation Success : vardo Service\n");
  manager_.calls.clear();
  manager_.running_polls = 3;
  EXPECT_EQ(verb({"-remove"}), "Remove Success : vardo Service\n");
  std::string state = "state " + kUnit;
  EXPECT_EQ(manager_.calls,
            (std::vector<std::string>{"stop " + kUnit, state, state, state, state, "reload"}));
  EXPECT_FALSE(testutil::file_exists(unit_file()));
  EXPECT_FALSE(testutil::file_exists(unit_dir() + "/multi-user.target.wants/" + kUnit));
  EXPECT_EQ(verb({"-remove"}), "Remove Failure (" + kNameError + ") : vardo Service\n");
}

TEST_F(ServiceTest, RemoveFailuresAndAServiceThatNeverStops) {
  // Not installed: the state query names the missing service; no manager needed.
  EXPECT_EQ(verb({"-remove"}), "Remove Failure (" + kNameError + ") : vardo Service\n");
  EXPECT_TRUE(manager_.calls.empty());
  REQUIRE_TOOL("systemctl");
  ASSERT_EQ(verb({"-install"}), "Installation Success : vardo Service\n");
  manager_.calls.clear();
  manager_.running_polls = 1000;
  EXPECT_EQ(verb({"-remove"}), "");
  EXPECT_EQ(manager_.count("state "), 20);
  EXPECT_EQ(manager_.count("reload"), 0);
  EXPECT_TRUE(testutil::file_exists(unit_file()));
  manager_.state_error = KERR_SCM_ACCESS;
  EXPECT_EQ(verb({"-remove"}), "Remove Failure (Service manager access denied) : vardo Service\n");
  EXPECT_TRUE(testutil::file_exists(unit_file()));
}

TEST_F(ServiceTest, ASecondArgumentAloneIsAppendedToTheName) {
  REQUIRE_TOOL("systemctl");
  EXPECT_EQ(verb({"-install", "x"}), "Installation Success : vardo Service x\n");
  EXPECT_TRUE(testutil::file_exists(unit_file("vardo\\x20Service\\x20x.service")));
  EXPECT_EQ(verb({"-install", "x", "y"}), "Installation Success : vardo Service\n");
  EXPECT_TRUE(testutil::file_exists(unit_file()));
  EXPECT_EQ(verb({"-remove", "x"}), "Remove Success : vardo Service x\n");
  EXPECT_EQ(verb({"-remove", "x", "y"}), "Remove Success : vardo Service\n");
}

TEST_F(ServiceTest, UnitNamesAreEscapedAsSystemdEscapeDoes) {
  kstring out;
  kstring_init(&out);
  std::pair<std::string, std::string> cases[] = {
      {"vardo Service", kUnit},
      {"a-b_c:d.e", "a\\x2db_c:d.e.service"},
      {".hidden", "\\x2ehidden.service"},
      {"50% \xc3\xa9t\xc3\xa9", "50\\x25\\x20\\xc3\\xa9t\\xc3\\xa9.service"},
  };
  bool tool = have_tool("systemd-escape");
  for (const auto& [name, unit] : cases) {
    ASSERT_EQ(kservice_unit_name(name.c_str(), &out), 0u) << name;
    EXPECT_EQ(kstring_text(&out), unit);
    if (tool) EXPECT_EQ(shell("systemd-escape --suffix=service -- " + sh_quote(name)), unit + "\n");
  }
  for (std::string bad : {std::string(), std::string("a/b"), std::string("a\\b"),
                          std::string("a\nb"), std::string(250, 'x')})
    EXPECT_EQ(kservice_unit_name(bad.c_str(), &out), KERR_SCM_NAME) << bad;
  kstring_free(&out);
}

TEST_F(ServiceTest, ANameWithBlanksGivesAUnitSystemdAccepts) {
  REQUIRE_TOOL("systemctl");
  REQUIRE_TOOL("systemd-analyze");
  // verify wants ExecStart to name an executable: a real one, blanks in its path.
  std::filesystem::create_directories(root_.file("my agent"));
  std::string exe = root_.file("my agent/vardo");
  std::filesystem::copy_file(VARDO_EXE, exe);
  kstring_assign_cstr(&app_.module_path, exe.c_str());
  ASSERT_EQ(verb({"-install"}, "50% of my-agent"), "Installation Success : 50% of my-agent\n");
  std::string unit = unit_file("50\\x25\\x20of\\x20my\\x2dagent.service");
  EXPECT_EQ(parse_unit(testutil::read_file(unit))["[Unit]"]["Description"], "50%% of my-agent");

  testutil::write_file(root_.file("probe.service"),
                       "[Service]\nType=oneshot\nExecStart=\"" + exe + "\"\n");
  int status = -1;
  std::string probe =
      shell("systemd-analyze verify " + sh_quote(root_.file("probe.service")), &status);
  if (status != 0) GTEST_SKIP() << "systemd-analyze verify cannot run here: " << probe;
  EXPECT_EQ(shell("systemd-analyze verify " + sh_quote(unit), &status), "");
  EXPECT_EQ(status, 0);
}

TEST_F(ServiceTest, OperationsFollowTheManagersRules) {
  kscm s = scm();
  uint32_t state = 0;
  EXPECT_EQ(kservice_create(&s, "x", "/bin/x", 0), KERR_SCM_HANDLE) << "not open";
  EXPECT_EQ(kservice_scm_open(&s, "elsewhere", KSERVICE_ALL), KERR_FAILED);
  ASSERT_EQ(kservice_scm_open(&s, nullptr, KSERVICE_READ), 0u);
  EXPECT_EQ(kservice_create(&s, "x", "/bin/x", 0), KERR_SCM_ACCESS);
  ASSERT_EQ(kservice_scm_open(&s, nullptr, KSERVICE_WRITE), 0u);
  EXPECT_EQ(kservice_create(&s, "bad/name", "/bin/x", 0), KERR_SCM_NAME);
  EXPECT_EQ(kservice_create(&s, "x", "relative/x", 0), KERR_FAILED);
  EXPECT_EQ(kservice_create(&s, "x", ("/" + std::string(5000, 'p')).c_str(), 0), KERR_FAILED);
  // A unit the distribution ships is never shadowed.
  std::filesystem::create_directories(root_.file("lib/systemd/system"));
  testutil::write_file(root_.file("lib/systemd/system/ssh.service"), "[Unit]\n");
  EXPECT_EQ(kservice_create(&s, "ssh", "/bin/x", 0), KERR_SCM_NAME);
  for (const char* name : {"x", "ssh"}) {
    EXPECT_EQ(kservice_start(&s, name), KERR_SCM_NAME);
    EXPECT_EQ(kservice_stop(&s, name), KERR_SCM_NAME);
    EXPECT_EQ(kservice_query_state(&s, name, &state), KERR_SCM_NAME);
    EXPECT_EQ(kservice_delete(&s, name), KERR_SCM_NAME);
  }
  EXPECT_TRUE(std::filesystem::is_empty(unit_dir()));
  EXPECT_TRUE(manager_.calls.empty());

  if (have_tool("systemctl")) {
    const std::string odd = "/opt/my agent/50%/a\"b\\c/vardo";
    ASSERT_EQ(kservice_create(&s, "odd", odd.c_str(), 1), 0u);
    kstring path;
    kstring_init(&path);
    EXPECT_EQ(kservice_query_path(&s, "odd", &path), 0u);
    EXPECT_EQ(kstring_text(&path), odd);
    kstring_free(&path);
    EXPECT_EQ(kservice_start(&s, "odd"), 0u);
    EXPECT_EQ(manager_.calls.back(), "start odd.service");
  }
  kservice_scm_close(&s);

  // Without a unit directory there is no manager to open: the verbs are silent.
  std::filesystem::remove_all(root_.file("etc"));
  EXPECT_EQ(kservice_scm_open(&s, nullptr, KSERVICE_WRITE), KERR_FAILED);
  EXPECT_EQ(verb({"-install"}), "");
  EXPECT_EQ(verb({"-remove"}), "");
}

TEST_F(ServiceTest, MissingRightsAreReportedAsAccessDenied) {
  if (geteuid() == 0) GTEST_SKIP() << "root is not refused by file permissions";
  chmod(unit_dir().c_str(), 0555);
  EXPECT_EQ(verb({"-install"}),
            "Installation Failure (Service manager access denied) : vardo Service\n");
}

// The real executable: only failure paths, which change nothing here.
TEST(ServiceVerbRun, FailuresPrintTheirLineAndExitZero) {
  testutil::TempDir dir;
  std::filesystem::copy_file(VARDO_EXE, dir.file("vardo"));
  auto run = [&](const std::string& name, const std::vector<std::string>& args) {
    testutil::write_file(dir.file("vardo.conf"), "service.name = " + name + "\n");
    std::vector<std::string> argv{dir.file("vardo")};
    argv.insert(argv.end(), args.begin(), args.end());
    testutil::Child child;
    EXPECT_TRUE(
        child.start(argv, dir.path(), dir.file("out.txt"), {}, {"NOTIFY_SOCKET", "INVOCATION_ID"}));
    int status = -1;
    EXPECT_TRUE(child.wait_exit(10000, &status));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    return child.output();
  };
  std::error_code ec;
  if (!std::filesystem::is_directory("/etc/systemd/system", ec)) {
    EXPECT_EQ(run("bad/name", {"-install"}), "") << "no manager to open: nothing said";
    return;
  }
  // A name no unit can have is refused before anything is written.
  std::string fail = "Installation Failure (" + kNameError + ") : ";
  EXPECT_EQ(run("bad/name", {"/INSTALL"}), fail + "bad/name\n");
  EXPECT_EQ(run("bad/name", {"-Install", "x"}), fail + "bad/name x\n");
  EXPECT_EQ(run("bad/name", {"-install", "x", "y"}), fail + "bad/name\n");
  std::string unique = "vardo test " + std::filesystem::path(dir.path()).filename().string();
  EXPECT_EQ(run(unique, {"/remove"}), "Remove Failure (" + kNameError + ") : " + unique + "\n");
}

// ---- the running manager's table, against a systemctl stand-in on PATH

class SystemdManager : public ::testing::Test {
 protected:
  void SetUp() override {
    old_path_ = getenv("PATH") ? getenv("PATH") : "";
    testutil::write_file(dir_.file("systemctl"), "#!/bin/sh\necho \"$@\" >> " + dir_.file("args") +
                                                     "\ncat " + dir_.file("reply") +
                                                     "\nexit $(cat " + dir_.file("status") + ")\n");
    chmod(dir_.file("systemctl").c_str(), 0755);
    setenv("PATH", (dir_.path() + ":" + old_path_).c_str(), 1);
  }
  void TearDown() override { setenv("PATH", old_path_.c_str(), 1); }
  void reply(const std::string& text, int status = 0) {
    testutil::write_file(dir_.file("reply"), text);
    testutil::write_file(dir_.file("status"), std::to_string(status) + "\n");
    testutil::write_file(dir_.file("args"), "");
  }
  std::string args() { return testutil::read_file(dir_.file("args")); }

  testutil::TempDir dir_;
  std::string old_path_;
  const kservice_manager* m_ = kservice_running_manager();
};

TEST_F(SystemdManager, StatesMapFromShow) {
  std::pair<std::string, uint32_t> cases[] = {
      {"ActiveState=active\nFreezerState=running\n", KSERVICE_RUNNING},
      {"ActiveState=active\nFreezerState=frozen\n", KSERVICE_PENDING},
      {"ActiveState=deactivating\nFreezerState=running\n", KSERVICE_PENDING},
      {"ActiveState=inactive\n", KSERVICE_STOPPED},
      {"ActiveState=failed\n", KSERVICE_STOPPED},
      {"ActiveState=unheard-of\n", 0},
  };
  for (const auto& [show, expected] : cases) {
    reply("LoadState=loaded\n" + show);
    uint32_t state = 0;
    EXPECT_EQ(m_->query_state(m_->context, "a\\x20b.service", &state), 0u) << show;
    EXPECT_EQ(state, expected) << show;
  }
  EXPECT_EQ(args(),
            "--no-ask-password show --property=LoadState,ActiveState,FreezerState -- "
            "a\\x20b.service\n");
  uint32_t state = 0;
  reply("LoadState=not-found\nActiveState=inactive\n");
  EXPECT_EQ(m_->query_state(m_->context, "a.service", &state), KERR_SCM_NAME);
  reply("", 1);
  EXPECT_EQ(m_->query_state(m_->context, "a.service", &state), KERR_FAILED);
}

TEST_F(SystemdManager, ControlsAskWithoutWaitingAndMapExitStatuses) {
  reply("");
  EXPECT_EQ(m_->stop(m_->context, "a.service"), 0u);
  EXPECT_EQ(args(), "--no-ask-password --no-block stop -- a.service\n");
  reply("", 4);
  EXPECT_EQ(m_->start(m_->context, "a.service"), KERR_SCM_ACCESS);
  EXPECT_EQ(args(), "--no-ask-password --no-block start -- a.service\n");
  reply("", 5);
  EXPECT_EQ(m_->start(m_->context, "a.service"), KERR_SCM_NAME);
  reply("", 1);
  EXPECT_EQ(m_->reload(m_->context), KERR_FAILED);
  EXPECT_EQ(args(), "--no-ask-password daemon-reload\n");
}

}  // namespace
