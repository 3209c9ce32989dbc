// The journal event source over real journal files, written by the test with
// systemd-journal-remote from export text: the reading rules as the journal
// delivers its entries, the pieces of the record text, the log names, and
// the agent reporting a journal entry into a result file.
#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <climits>
#include <filesystem>

#include "klib/ktime.h"
#include "lwatch/lweventlog.h"
#include "lwatch/lwfacility.h"
#include "lwtest.h"

namespace {

using lwtest::Facility;
using lwtest::Log;
using lwtest::Result;
using lwtest::Str;

using Fields = std::vector<std::pair<std::string, std::string>>;

struct Entry {
  uint32_t time;  // seconds; usec adds to it
  Fields fields;
  uint32_t usec = 0;
};

std::string journal_remote() {
  for (const char* p :
       {"/lib/systemd/systemd-journal-remote", "/usr/lib/systemd/systemd-journal-remote"})
    if (access(p, X_OK) == 0) return p;
  return "";
}

std::string time_text(uint32_t t) {
  ktime k;
  ktime_init(&k);
  ktime_from_seconds(&k, t);
  Str s;
  ktime_format(&k, s.get());
  ktime_free(&k);
  return s.str();
}

std::string host_name() {
  char host[HOST_NAME_MAX + 1] = {};
  gethostname(host, sizeof host - 1);
  return host;
}

// Export text: "FIELD=value" lines, or the binary form (name, 64-bit
// little-endian size, bytes) for values holding LF or NUL.
std::string export_field(const std::string& name, const std::string& value) {
  if (value.find_first_of(std::string("\n\0", 2)) == std::string::npos)
    return name + "=" + value + "\n";
  std::string out = name + "\n";
  uint64_t size = value.size();
  for (int i = 0; i < 8; ++i) out += static_cast<char>((size >> (8 * i)) & 0xFF);
  return out + value + "\n";
}

// Fields from blank-separated "NAME=value" words.
Fields words(const std::string& text) {
  Fields fields;
  std::istringstream in(text);
  for (std::string word; in >> word;) {
    size_t eq = word.find('=');
    fields.push_back({word.substr(0, eq), word.substr(eq + 1)});
  }
  return fields;
}

class Journal : public ::testing::Test {
 protected:
  void SetUp() override {
    remote_ = journal_remote();
    if (remote_.empty())
      GTEST_SKIP() << "systemd-journal-remote is not installed (Debian package "
                      "systemd-journal-remote): the journal tests cannot write journal files";
    std::filesystem::create_directory(journal_dir());
    lwsource_init(&source_);
    kstring_assign_cstr(&source_.location, journal_dir().c_str());
    source_ready_ = true;
  }
  void TearDown() override {
    if (source_ready_) lwsource_free(&source_);
  }
  std::string journal_dir() const { return dir_.file("journal"); }

  // Appends the entries (in ascending time) to the test's journal file.
  void write(const std::vector<Entry>& entries) {
    std::string text;
    for (const Entry& e : entries) {
      monotonic_ += 1000;
      text += "__REALTIME_TIMESTAMP=" + std::to_string(e.time * 1000000ull + e.usec) + "\n";
      text += "__MONOTONIC_TIMESTAMP=" + std::to_string(monotonic_) + "\n";
      text += "_BOOT_ID=0123456789abcdef0123456789abcdef\n";
      for (const auto& [name, value] : e.fields) text += export_field(name, value);
      text += "\n";
    }
    testutil::write_file(dir_.file("export.txt"), text);
    testutil::Child writer;
    ASSERT_TRUE(writer.start({"/bin/sh", "-c", "exec \"$0\" --output=\"$1\" - < \"$2\"", remote_,
                              journal_dir() + "/test.journal", dir_.file("export.txt")},
                             dir_.path(), dir_.file("remote.out")));
    int status = -1;
    ASSERT_TRUE(writer.wait_exit(10000, &status));
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << writer.output();
  }
  void write_message(uint32_t time, const std::string& message, uint32_t usec = 0) {
    write({{time, {{"MESSAGE", message}, {"SYSLOG_IDENTIFIER", "app"}, {"PRIORITY", "6"}}, usec}});
  }

  std::unique_ptr<Facility> facility(const std::string& name, const std::string& body) {
    return std::make_unique<Facility>(dir_.file(name + ".facility"), body, log_->get(), name);
  }
  std::string scan(Facility& f) {
    lwfacility_scan_eventlog(f.get(), result_.get(), &source_);
    return result_.take();
  }
  std::string hit(const std::string& fac, uint32_t time, const std::string& message) {
    return "[" + fac + ",all] " + time_text(time) +
           " : id=0;type=INFO;source=app;user=N/A;message=" + message + "\n";
  }

  // MESSAGE of every entry the name selects, newest first, straight from
  // the source; "cannot open" when the name is refused.
  std::vector<std::string> selected(const std::string& name) {
    void* handle = nullptr;
    if (source_.ops->open(&source_, name.c_str(), &handle) != 0) return {"cannot open"};
    std::vector<std::string> messages;
    lwevent ev;
    lwevent_init(&ev);
    for (int n = 0; n < 1000; ++n) {
      lwevent_clear(&ev);
      if (source_.ops->read(handle, &ev) != 0) break;
      messages.push_back(kstring_text(&ev.message));
    }
    lwevent_free(&ev);
    source_.ops->close(handle);
    return messages;
  }

  testutil::TempDir dir_;
  std::string remote_;
  uint64_t monotonic_ = 1000000;
  std::unique_ptr<Log> log_ = std::make_unique<Log>(dir_.file("test.log"), 3);
  Result result_{dir_.file("result.tmp")};
  lwsource source_;
  bool source_ready_ = false;
};

// Over one journal: no baseline while it is empty, a first scan that reports
// none of many entries, then each later entry once, newest first, except one
// of the same second as the previous scan's newest; and a second facility on
// the same journal reports the same entries under its own names.
TEST_F(Journal, ReadingRulesHoldOverARealJournal) {
  auto a = facility("alpha", "eventlog = System\nfilter = all;.\n");
  EXPECT_EQ(scan(*a), "");
  EXPECT_EQ(scan(*a), "");
  std::vector<Entry> old;
  for (uint32_t t = 1700000000; t < 1700000040; ++t)
    old.push_back({t, {{"MESSAGE", "old " + std::to_string(t)}}, 100000});
  write(old);
  auto b = facility("beta", "eventlog = app\nfilter = none;nomatch\nfilter = all;new\n");
  EXPECT_EQ(scan(*a), "");
  EXPECT_EQ(scan(*b), "");  // the identifier "app" has no entry yet
  write_message(1700000039, "new, same second", 900000);
  write_message(1700000040, "new a");
  write_message(1700000041, "new b");
  EXPECT_EQ(scan(*a), hit("alpha", 1700000041, "new b") + hit("alpha", 1700000040, "new a"));
  EXPECT_EQ(scan(*a), "");
  EXPECT_EQ(scan(*b), "");  // its baseline
  write_message(1700000042, "new c");
  EXPECT_EQ(scan(*a), hit("alpha", 1700000042, "new c"));
  EXPECT_EQ(scan(*b), hit("beta", 1700000042, "new c"));
  EXPECT_FALSE(log_->has("cannot open"));
}

TEST_F(Journal, RecordTextHasEveryPieceInOrder) {
  struct passwd* pw = getpwuid(0);
  ASSERT_NE(pw, nullptr);
  const std::string root = pw->pw_name;  // before getpwuid reuses its storage
  const std::string unknown_uid = "3999999";
  ASSERT_EQ(getpwuid(3999999), nullptr);
  const uint32_t t = 1700000400;
  const std::string big(200000, 'x');
  write_message(t, "base");
  auto f = facility("sys", "eventlog = System\nfilter = all;.\n");
  scan(*f);
  write({
      {t + 1,
       {{"PRIORITY", "3"},
        {"SYSLOG_IDENTIFIER", "sshd"},
        {"_COMM", "sshd-session"},
        {"_UID", "0"},
        {"_PID", "4321"},
        {"MESSAGE", "line one\r\nline two\n"}}},
      {t + 2,
       {{"SYSLOG_IDENTIFIER", ""},
        {"MESSAGE", "low disk"},
        {"PRIORITY", "4"},
        {"_COMM", "cron"},
        {"_UID", unknown_uid},
        {"_PID", "70000"}}},
      {t + 3, words("PRIORITY=7 _PID=12x _UID=-1")},
      {t + 4, {{"PRIORITY", "8"}, {"MESSAGE", std::string("no priority\0binary", 18)}}},
      {t + 5,
       {{"_TRANSPORT", "audit"},
        {"PRIORITY", "5"},
        {"_PID", "900"},
        {"MESSAGE", "USER_LOGIN pid=900 uid=0 msg='op=login acct=\"root\" res=failed'"}}},
      {t + 6,
       {{"_TRANSPORT", "audit"},
        {"MESSAGE", "SYSCALL arch=c000003e syscall=59 success=yes comm=\"res=failed\""}}},
      {t + 7, {{"_TRANSPORT", "audit"}, {"PRIORITY", "4"}, {"MESSAGE", "CWD cwd=\"/\""}}},
      {t + 8, words("_TRANSPORT=syslog PRIORITY=2 MESSAGE=res=success")},
      {t + 9, {{"_TRANSPORT", "audit"}, {"MESSAGE", "USER_END msg='op=x res=1'"}}},
      // Longer than sd-journal's default field limit of 64 KiB.
      {t + 10, {{"SYSLOG_IDENTIFIER", "two\r\nlines"}, {"MESSAGE", big + "END"}}},
  });
  auto line = [&](uint32_t time, const std::string& rest) {
    return "[sys,all] " + time_text(time) + " : " + rest + "\n";
  };
  std::string host = host_name();
  EXPECT_EQ(
      scan(*f),
      line(t + 10, "id=0;type=N/A;source=twolines;user=N/A;message=" + big + "END") +
          line(t + 9,
               "id=0;type=AUDIT_SUCCESS;source=N/A;user=N/A;message=USER_END msg='op=x res=1'") +
          line(t + 8, "id=0;type=ERROR;source=N/A;user=N/A;message=res=success") +
          line(t + 7, "id=0;type=WARNING;source=N/A;user=N/A;message=CWD cwd=\"/\"") +
          line(t + 6,
               "id=0;type=AUDIT_SUCCESS;source=N/A;user=N/A;message=SYSCALL arch=c000003e "
               "syscall=59 success=yes comm=\"res=failed\"") +
          line(t + 5,
               "id=900;type=AUDIT_FAILURE;source=N/A;user=N/A;message=USER_LOGIN pid=900 "
               "uid=0 msg='op=login acct=\"root\" res=failed'") +
          line(t + 4, "id=0;type=N/A;source=N/A;user=N/A;message=no priority") +
          line(t + 3, "id=0;type=INFO;source=N/A;user=N/A;message=N/A") +
          // The id is the whole process id.
          line(t + 2, "id=70000;type=WARNING;source=cron;user=N/A;message=low disk") +
          line(t + 1, "id=4321;type=ERROR;source=sshd;user=" + host + "\\" + root +
                          ";message=line oneline two"));
}

TEST_F(Journal, EachNameFormSelectsItsEntries) {
  write({
      {1700000600, words("MESSAGE=native _TRANSPORT=journal SYSLOG_IDENTIFIER=app PRIORITY=6")},
      {1700000601,
       words("MESSAGE=syslog _TRANSPORT=syslog SYSLOG_IDENTIFIER=cron SYSLOG_FACILITY=9")},
      {1700000602, words("MESSAGE=stdout _TRANSPORT=stdout SYSLOG_IDENTIFIER=web PRIORITY=6")},
      {1700000603, words("MESSAGE=kernel _TRANSPORT=kernel SYSLOG_IDENTIFIER=kernel PRIORITY=3")},
      {1700000604, words("MESSAGE=auth _TRANSPORT=syslog SYSLOG_IDENTIFIER=sshd SYSLOG_FACILITY=4 "
                         "PRIORITY=5")},
      {1700000605, words("MESSAGE=authpriv _TRANSPORT=journal SYSLOG_IDENTIFIER=sudo "
                         "SYSLOG_FACILITY=10 PRIORITY=3")},
      {1700000606, words("MESSAGE=audit _TRANSPORT=audit SYSLOG_FACILITY=14")},
      {1700000607, words("MESSAGE=lower _TRANSPORT=driver SYSLOG_IDENTIFIER=system")},
  });
  using V = std::vector<std::string>;
  EXPECT_EQ(selected("System"),
            (V{"lower", "audit", "authpriv", "auth", "kernel", "stdout", "syslog", "native"}));
  EXPECT_EQ(selected("Application"), (V{"authpriv", "auth", "stdout", "syslog", "native"}));
  EXPECT_EQ(selected("Security"), (V{"authpriv", "auth"}));
  // Any other name is a syslog identifier, letter case included.
  EXPECT_EQ(selected("sshd"), (V{"auth"}));
  EXPECT_EQ(selected("system"), (V{"lower"}));
  EXPECT_EQ(selected("nobody"), V{});
  // Matches: terms all required, "+" between alternatives, and two values of
  // one field stand for either.
  EXPECT_EQ(selected("_TRANSPORT=journal PRIORITY=3"), (V{"authpriv"}));
  EXPECT_EQ(selected("_TRANSPORT=journal\tPRIORITY=3 + _TRANSPORT=kernel"),
            (V{"authpriv", "kernel"}));
  EXPECT_EQ(selected("SYSLOG_IDENTIFIER=cron + PRIORITY=6 _TRANSPORT=stdout"),
            (V{"stdout", "syslog"}));
  EXPECT_EQ(selected("SYSLOG_IDENTIFIER=cron SYSLOG_IDENTIFIER=web"), (V{"stdout", "syslog"}));
  EXPECT_EQ(selected("  PRIORITY=5  "), (V{"auth"}));
  EXPECT_EQ(selected("MESSAGE=nothing"), V{});
  for (const char* bad : {"priority=3", "PRIORITY=3 +", "+ PRIORITY=3", "PRIORITY=3 + + PRIORITY=5",
                          "PRIORITY=3 AUDIT", "=3", "__REALTIME_TIMESTAMP=1"})
    EXPECT_EQ(selected(bad), V{"cannot open"}) << bad;

  // Without a location the source reads this machine's journal, whatever it
  // holds; a directory that does not exist cannot be opened.
  Str location(journal_dir());
  kstring_clear(&source_.location);
  EXPECT_NE(selected("System"), V{"cannot open"});
  kstring_assign_cstr(&source_.location, dir_.file("nowhere").c_str());
  EXPECT_EQ(selected("System"), V{"cannot open"});
  kstring_assign(&source_.location, location.get());

  // A refused name is logged by the scan, and its reader keeps no times.
  auto f = facility("sys", "eventlog = PRIORITY=3 +\nfilter = all;.\n");
  EXPECT_EQ(scan(*f), "");
  EXPECT_TRUE(log_->has("#   cannot open 'PRIORITY=3 +' eventlog\n"));
  EXPECT_EQ(static_cast<lweventlog*>(karray_get(&f->get()->eventlogs, 0))->last_time, 0u);
}

// The real executable with "lwatch.journaldir" at the test's journal.
TEST_F(Journal, AgentReportsAMatchingJournalEntryIntoAResultFile) {
  std::string exe = dir_.file("vardo");
  std::filesystem::copy_file(VARDO_EXE, exe);
  for (const char* d : {"fac", "res"}) std::filesystem::create_directory(dir_.file(d));
  testutil::write_file(dir_.file("vardo.conf"),
                       "smtsvr.enable = 0\nservice.loglevel = 4\nlwatch.rfilettl = 1\n"
                       "lwatch.facilityupdt = 1\nlwatch.facilitydir = " +
                           dir_.file("fac") + "\nlwatch.resultdir = " + dir_.file("res") +
                           "\nlwatch.journaldir = " + journal_dir() + "\n");
  const uint32_t t = 1700000700;
  write({{t, words("_TRANSPORT=syslog MESSAGE=disk-full-before-the-start")}});
  testutil::Child agent;
  ASSERT_TRUE(agent.start({exe, "-start"}, dir_.path(), dir_.file("stdout.txt"), {},
                          {"NOTIFY_SOCKET", "INVOCATION_ID"}));
  auto log = [&] { return testutil::read_file(dir_.file("vardo.log")); };
  auto wait_log = [&](const std::string& piece) {
    return testutil::wait_until([&] { return log().find(piece) != std::string::npos; }, 10000);
  };
  ASSERT_TRUE(wait_log("# lwatch.journaldir = '" + journal_dir() + "'\n")) << log();
  testutil::write_file(dir_.file("fac/jour.facility"),
                       "scan = 1\neventlog = Application\nfilter = err;type=ERROR\n");
  // Entries are new only after the first scan has taken the baseline: the
  // second scan's start shows that the first one is over.
  auto scans = [&] {
    std::string text = log();
    const std::string piece = " scanning lwfacility 'jour' eventlog\n";
    int n = 0;
    for (size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) ++n;
    return n;
  };
  ASSERT_TRUE(testutil::wait_until([&] { return scans() >= 2; }, 10000)) << log();
  write({{t + 1,
          words("_TRANSPORT=syslog PRIORITY=2 SYSLOG_IDENTIFIER=kern _PID=77 MESSAGE=disk-full")},
         {t + 2, words("_TRANSPORT=syslog MESSAGE=all-fine")}});
  std::string expected = "[jour,err] " + time_text(t + 1) +
                         " : id=77;type=ERROR;source=kern;user=N/A;message=disk-full\n";
  auto results = [&] {
    std::string text;
    for (auto& e : std::filesystem::directory_iterator(dir_.file("res")))
      if (e.path().extension() == ".log") text += testutil::read_file(e.path().string());
    return text;
  };
  EXPECT_TRUE(testutil::wait_until([&] { return results() == expected; }, 10000))
      << results() << log();
  agent.signal(SIGINT);
  int status = -1;
  ASSERT_TRUE(agent.wait_exit(10000, &status));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(results(), expected);
  EXPECT_EQ(log().find("cannot open"), std::string::npos) << log();
}

}  // namespace
