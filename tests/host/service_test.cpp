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

const char kNameError[] = "Invalid or non existing service name was used";

bool have_tool(const std::string& tool) {
  return std::system(("command -v " + tool + " >/dev/null 2>&1").c_str()) == 0;
}

// Output and exit status of a shell command.
std::string shell_output(const std::string& cmd, int* status = nullptr) {
  std::string out;
  FILE* p = popen(cmd.c_str(), "r");
  if (!p) return out;
  char buf[256];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  int st = pclose(p);
  if (status) *status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  return out;
}

std::string sh_quote(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

// The manager stand-in: running for running_polls state queries, then
// stopped (or never stopped); records every call.
struct StandIn {
  std::vector<std::string> calls;
  int running_polls = 0;
  bool never_stops = false;
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
    StandIn* s = of(c);
    s->calls.push_back(std::string("state ") + unit);
    if (s->state_error) return s->state_error;
    bool running = s->never_stops || s->running_polls-- > 0;
    *state = running ? KSERVICE_RUNNING : KSERVICE_STOPPED;
    return 0;
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
    scm_.root = root_.path().c_str();
    scm_.manager = &manager_.table;
    kstring_init(&app_.service_name);
    kstring_init(&app_.module_path);
    kstring_assign_cstr(&app_.module_path, "/opt/vardo/vardo");
    app_.interactive = 1;
  }
  void TearDown() override {
    kstring_free(&app_.module_path);
    kstring_free(&app_.service_name);
  }
  std::string unit_dir() const { return root_.file("etc/systemd/system"); }
  std::string unit_file(const std::string& unit) const { return unit_dir() + "/" + unit; }
  std::string wants_link(const std::string& unit) const {
    return unit_dir() + "/multi-user.target.wants/" + unit;
  }

  // Runs a verb as "vardo <args...>" with the service name given; its output.
  std::string verb(const std::vector<std::string>& args, const std::string& name = "vardo Service",
                   uint32_t poll_ms = 1) {
    argv_store_ = {"vardo"};
    argv_store_.insert(argv_store_.end(), args.begin(), args.end());
    argv_.clear();
    for (auto& a : argv_store_) argv_.push_back(a.data());
    app_.argc = static_cast<int32_t>(argv_.size());
    app_.argv = argv_.data();
    kstring_assign_cstr(&app_.service_name, name.c_str());
    kscm scm = {};
    scm.root = scm_.root;
    scm.manager = scm_.manager;
    testing::internal::CaptureStdout();
    int rc = args[0] == "-install" ? kservice_verb_install_scm(&app_, &scm)
                                   : kservice_verb_remove_scm(&app_, &scm, poll_ms);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(scm.open, 0u) << "the verb leaves the manager closed";
    return out;
  }

  testutil::TempDir root_;
  StandIn manager_;
  kscm scm_ = {};
  kservice_app app_ = {};
  std::vector<std::string> argv_store_;
  std::vector<char*> argv_;
};

#define REQUIRE_SYSTEMCTL()                                     \
  if (!have_tool("systemctl"))                                  \
  GTEST_SKIP() << "systemctl is not installed: enable/disable " \
                  "untested"

// Sections and their key=value lines of a unit file, comments skipped.
std::map<std::string, std::map<std::string, std::string>> parse_unit(const std::string& text) {
  std::map<std::string, std::map<std::string, std::string>> out;
  std::string section;
  for (const auto& line : testutil::split_lines(text)) {
    if (line.empty() || line[0] == '#') continue;
    if (line[0] == '[') {
      section = line;
      out[section];
      continue;
    }
    size_t eq = line.find('=');
    EXPECT_NE(eq, std::string::npos) << line;
    EXPECT_EQ(out[section].count(line.substr(0, eq)), 0u) << "repeated key: " << line;
    out[section][line.substr(0, eq)] = line.substr(eq + 1);
  }
  return out;
}

TEST_F(ServiceTest, InstallWritesAndEnablesTheUnitWithoutStartingIt) {
  REQUIRE_SYSTEMCTL();
  EXPECT_EQ(verb({"-install"}), "Installation Success : vardo Service\n");
  const std::string unit = "vardo\\x20Service.service";
  auto u = parse_unit(testutil::read_file(unit_file(unit)));
  using Section = std::map<std::string, std::string>;
  EXPECT_EQ(u.size(), 3u);
  EXPECT_EQ(u["[Unit]"], (Section{{"Description", "vardo Service"}}));
  EXPECT_EQ(u["[Service]"], (Section{{"Type", "notify"}, {"ExecStart", "\"/opt/vardo/vardo\""}}));
  EXPECT_EQ(u["[Install]"], (Section{{"WantedBy", "multi-user.target"}}));
  struct stat st;
  ASSERT_EQ(stat(unit_file(unit).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);

  // Enabled (automatic start) the way systemctl does it: a wants link.
  std::error_code ec;
  EXPECT_EQ(std::filesystem::read_symlink(wants_link(unit), ec).string(),
            "/etc/systemd/system/" + unit);
  EXPECT_EQ(
      shell_output("systemctl --root=" + sh_quote(root_.path()) + " is-enabled " + sh_quote(unit)),
      "enabled\n");
  EXPECT_EQ(manager_.count("start"), 0) << "installing never starts the service";
  EXPECT_EQ(manager_.count("reload"), 1);

  EXPECT_EQ(verb({"-install"}),
            std::string("Installation Failure (") + kNameError + ") : vardo Service\n");
}

TEST_F(ServiceTest, RemoveStopsPollsDisablesAndDeletes) {
  REQUIRE_SYSTEMCTL();
  ASSERT_EQ(verb({"-install"}), "Installation Success : vardo Service\n");
  const std::string unit = "vardo\\x20Service.service";
  manager_.calls.clear();
  manager_.running_polls = 3;
  EXPECT_EQ(verb({"-remove"}), "Remove Success : vardo Service\n");
  std::vector<std::string> expected = {"stop " + unit,  "state " + unit, "state " + unit,
                                       "state " + unit, "state " + unit, "reload"};
  EXPECT_EQ(manager_.calls, expected);
  EXPECT_FALSE(testutil::file_exists(unit_file(unit)));
  std::error_code ec;
  EXPECT_FALSE(std::filesystem::is_symlink(wants_link(unit), ec));

  // Gone now: removing again names the missing service.
  EXPECT_EQ(verb({"-remove"}),
            std::string("Remove Failure (") + kNameError + ") : vardo Service\n");
}

TEST_F(ServiceTest, RemoveOfAServiceThatNeverStopsEndsSilently) {
  REQUIRE_SYSTEMCTL();
  ASSERT_EQ(verb({"-install"}), "Installation Success : vardo Service\n");
  manager_.calls.clear();
  manager_.never_stops = true;
  EXPECT_EQ(verb({"-remove"}), "");
  EXPECT_EQ(manager_.count("state "), 20);
  EXPECT_EQ(manager_.count("reload"), 0);
  EXPECT_TRUE(testutil::file_exists(unit_file("vardo\\x20Service.service")));
}

TEST_F(ServiceTest, RemoveReportsAFailingStateQuery) {
  REQUIRE_SYSTEMCTL();
  ASSERT_EQ(verb({"-install"}), "Installation Success : vardo Service\n");
  manager_.state_error = KERR_SCM_ACCESS;
  EXPECT_EQ(verb({"-remove"}), "Remove Failure (Service manager access denied) : vardo Service\n");
  EXPECT_TRUE(testutil::file_exists(unit_file("vardo\\x20Service.service")));
}

TEST_F(ServiceTest, RemoveOfAMissingServiceNeedsNoManager) {
  EXPECT_EQ(verb({"-remove"}),
            std::string("Remove Failure (") + kNameError + ") : vardo Service\n");
  EXPECT_TRUE(manager_.calls.empty());
}

TEST_F(ServiceTest, ASecondArgumentAloneIsAppendedToTheName) {
  REQUIRE_SYSTEMCTL();
  EXPECT_EQ(verb({"-install", "x"}), "Installation Success : vardo Service x\n");
  EXPECT_TRUE(testutil::file_exists(unit_file("vardo\\x20Service\\x20x.service")));
  EXPECT_EQ(verb({"-install", "x", "y"}), "Installation Success : vardo Service\n");
  EXPECT_TRUE(testutil::file_exists(unit_file("vardo\\x20Service.service")));
  EXPECT_EQ(verb({"-remove", "x"}), "Remove Success : vardo Service x\n");
  EXPECT_EQ(verb({"-remove", "x", "y"}), "Remove Success : vardo Service\n");
}

TEST_F(ServiceTest, UnitNamesAreEscapedAsSystemdEscapeDoes) {
  kstring out;
  kstring_init(&out);
  std::vector<std::pair<std::string, std::string>> fixed = {
      {"vardo Service", "vardo\\x20Service.service"},
      {"a-b_c:d.e", "a\\x2db_c:d.e.service"},
      {".hidden", "\\x2ehidden.service"},
      {"50% \xc3\xa9t\xc3\xa9", "50\\x25\\x20\\xc3\\xa9t\\xc3\\xa9.service"},
  };
  for (const auto& [name, unit] : fixed) {
    ASSERT_EQ(kservice_unit_name(name.c_str(), &out), 0u) << name;
    EXPECT_EQ(kstring_text(&out), unit);
    if (have_tool("systemd-escape"))
      EXPECT_EQ(shell_output("systemd-escape -- " + sh_quote(name)) + "",
                unit.substr(0, unit.size() - 8) + "\n");
  }
  for (std::string bad : {std::string(""), std::string("a/b"), std::string("a\\b"),
                          std::string("a\nb"), std::string(250, 'x')})
    EXPECT_EQ(kservice_unit_name(bad.c_str(), &out), KERR_SCM_NAME) << bad;
  kstring_free(&out);
}

TEST_F(ServiceTest, ANameWithBlanksGivesAUnitSystemdAccepts) {
  REQUIRE_SYSTEMCTL();
  if (!have_tool("systemd-analyze")) GTEST_SKIP() << "systemd-analyze is not installed";
  // verify wants ExecStart to name an executable, so point it at a real one.
  std::filesystem::create_directories(root_.file("my agent"));
  std::string exe = root_.file("my agent/vardo");
  std::filesystem::copy_file(VARDO_EXE, exe);
  kstring_assign_cstr(&app_.module_path, exe.c_str());
  ASSERT_EQ(verb({"-install"}, "50% of my-agent"), "Installation Success : 50% of my-agent\n");
  std::string unit = "50\\x25\\x20of\\x20my\\x2dagent.service";
  ASSERT_TRUE(testutil::file_exists(unit_file(unit)));
  auto u = parse_unit(testutil::read_file(unit_file(unit)));
  EXPECT_EQ(u["[Unit]"]["Description"], "50%% of my-agent");

  // Make sure systemd-analyze can run here at all before holding it to ours.
  testutil::write_file(
      root_.file("probe.service"),
      "[Unit]\nDescription=probe\n[Service]\nType=oneshot\nExecStart=\"" + exe + "\"\n");
  int status = -1;
  std::string probe = shell_output(
      "systemd-analyze verify " + sh_quote(root_.file("probe.service")) + " 2>&1", &status);
  if (status != 0) GTEST_SKIP() << "systemd-analyze verify cannot run here: " << probe;
  std::string out =
      shell_output("systemd-analyze verify " + sh_quote(unit_file(unit)) + " 2>&1", &status);
  EXPECT_EQ(status, 0) << out;
  EXPECT_EQ(out, "");

  kscm scm = {};
  scm.root = scm_.root;
  scm.manager = scm_.manager;
  ASSERT_EQ(kservice_scm_open(&scm, nullptr, KSERVICE_READ), 0u);
  kstring path;
  kstring_init(&path);
  EXPECT_EQ(kservice_query_path(&scm, "50% of my-agent", &path), 0u);
  EXPECT_EQ(kstring_text(&path), exe);
  kstring_free(&path);
  kservice_scm_close(&scm);
}

TEST_F(ServiceTest, OperationsFollowTheManagersRules) {
  kscm scm = {};
  scm.root = scm_.root;
  scm.manager = scm_.manager;
  uint32_t state = 0;
  EXPECT_EQ(kservice_create(&scm, "x", "/bin/x", 0), KERR_SCM_HANDLE) << "not open";
  EXPECT_EQ(kservice_scm_open(&scm, "elsewhere", KSERVICE_ALL), KERR_FAILED);
  ASSERT_EQ(kservice_scm_open(&scm, nullptr, KSERVICE_READ), 0u);
  EXPECT_EQ(kservice_create(&scm, "x", "/bin/x", 0), KERR_SCM_ACCESS) << "read access";
  kservice_scm_close(&scm);
  ASSERT_EQ(kservice_scm_open(&scm, nullptr, KSERVICE_WRITE), 0u);
  EXPECT_EQ(kservice_create(&scm, "bad/name", "/bin/x", 0), KERR_SCM_NAME);
  EXPECT_EQ(kservice_create(&scm, "x", "relative/x", 0), KERR_FAILED);
  EXPECT_EQ(kservice_create(&scm, "x", ("/" + std::string(5000, 'p')).c_str(), 0), KERR_FAILED);
  // A unit the distribution ships is never shadowed.
  std::filesystem::create_directories(root_.file("lib/systemd/system"));
  testutil::write_file(root_.file("lib/systemd/system/ssh.service"), "[Unit]\n");
  EXPECT_EQ(kservice_create(&scm, "ssh", "/bin/x", 0), KERR_SCM_NAME);
  for (const char* name : {"x", "ssh"}) {
    EXPECT_EQ(kservice_start(&scm, name), KERR_SCM_NAME);
    EXPECT_EQ(kservice_stop(&scm, name), KERR_SCM_NAME);
    EXPECT_EQ(kservice_query_state(&scm, name, &state), KERR_SCM_NAME);
    EXPECT_EQ(kservice_delete(&scm, name), KERR_SCM_NAME);
  }
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(unit_dir()), {}), 0);
  EXPECT_TRUE(manager_.calls.empty());
  kservice_scm_close(&scm);

  // Without a unit directory there is no manager to open, and the verbs
  // then print nothing.
  std::filesystem::remove_all(root_.file("etc"));
  EXPECT_EQ(kservice_scm_open(&scm, nullptr, KSERVICE_WRITE), KERR_FAILED);
  EXPECT_EQ(verb({"-install"}), "");
  EXPECT_EQ(verb({"-remove"}), "");
}

TEST_F(ServiceTest, PathsSurviveTheUnitFileAndStartReachesTheManager) {
  REQUIRE_SYSTEMCTL();
  const std::string odd = "/opt/my agent/50%/a\"b\\c/vardo";
  kscm scm = {};
  scm.root = scm_.root;
  scm.manager = scm_.manager;
  ASSERT_EQ(kservice_scm_open(&scm, nullptr, KSERVICE_ALL), 0u);
  ASSERT_EQ(kservice_create(&scm, "odd", odd.c_str(), 1), 0u);
  kstring path;
  kstring_init(&path);
  EXPECT_EQ(kservice_query_path(&scm, "odd", &path), 0u);
  EXPECT_EQ(kstring_text(&path), odd);
  kstring_free(&path);
  EXPECT_EQ(kservice_start(&scm, "odd"), 0u);
  EXPECT_EQ(manager_.calls.back(), "start odd.service");
  EXPECT_EQ(kservice_create(&scm, "odd", odd.c_str(), 1), KERR_SCM_NAME);
  EXPECT_EQ(kservice_delete(&scm, "odd"), 0u);
  kservice_scm_close(&scm);
}

TEST_F(ServiceTest, MissingRightsAreReportedAsAccessDenied) {
  if (geteuid() == 0) GTEST_SKIP() << "root is not refused by file permissions";
  chmod(unit_dir().c_str(), 0555);
  EXPECT_EQ(verb({"-install"}),
            "Installation Failure (Service manager access denied) : vardo Service\n");
  chmod(unit_dir().c_str(), 0755);
}

// ---- the real executable: only failure paths that change nothing here

class ServiceVerbRun : public ::testing::Test {
 protected:
  void SetUp() override {
    exe_ = dir_.file("vardo");
    std::filesystem::copy_file(VARDO_EXE, exe_);
  }
  std::string run(const std::string& name, const std::vector<std::string>& args) {
    testutil::write_file(dir_.file("vardo.conf"), "service.name = " + name + "\n");
    std::vector<std::string> argv{exe_};
    argv.insert(argv.end(), args.begin(), args.end());
    testutil::Child child;
    EXPECT_TRUE(child.start(argv, dir_.path(), dir_.file("out.txt"), {},
                            {"NOTIFY_SOCKET", "INVOCATION_ID"}));
    int status = -1;
    EXPECT_TRUE(child.wait_exit(10000, &status));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    return child.output();
  }
  testutil::TempDir dir_;
  std::string exe_;
};

TEST_F(ServiceVerbRun, FailuresPrintTheirLineAndExitZero) {
  std::error_code ec;
  if (!std::filesystem::is_directory("/etc/systemd/system", ec)) {
    // No unit directory: the manager cannot be opened and nothing is said.
    EXPECT_EQ(run("bad/name", {"-install"}), "");
    return;
  }
  // A name no unit can have is refused before anything is written.
  std::string fail = std::string("Installation Failure (") + kNameError + ") : ";
  EXPECT_EQ(run("bad/name", {"/INSTALL"}), fail + "bad/name\n");
  EXPECT_EQ(run("bad/name", {"-Install", "x"}), fail + "bad/name x\n");
  EXPECT_EQ(run("bad/name", {"-install", "x", "y"}), fail + "bad/name\n");
  // A service that was never installed cannot be removed.
  std::string unique = "vardo test " + std::to_string(getpid()) + " " +
                       std::filesystem::path(dir_.path()).filename().string();
  EXPECT_EQ(run(unique, {"/remove"}),
            std::string("Remove Failure (") + kNameError + ") : " + unique + "\n");
}

}  // namespace
