// The journal event source over journal files written by systemd-journal-remote.
#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <climits>

#include "lwatch/lweventlog.h"
#include "lwatch/lwfacility.h"
#include "lwtest.h"

namespace {

using namespace std::string_literals;
using V = std::vector<std::string>;

struct Entry {
  uint32_t time;       // seconds; usec adds to it
  std::string fields;  // "NAME=value" items separated by '|'
  uint32_t usec = 0;
};

class Journal : public ::testing::Test {
 protected:
  void SetUp() override {
    lwsource_init(&source_);
    kstring_assign_cstr(&source_.location, dir_.file("journal").c_str());
    for (const char* p :
         {"/lib/systemd/systemd-journal-remote", "/usr/lib/systemd/systemd-journal-remote"})
      if (access(p, X_OK) == 0) remote_ = p;
    if (remote_.empty())
      GTEST_SKIP() << "systemd-journal-remote is not installed (Debian package "
                      "systemd-journal-remote): the journal tests cannot write journal files";
    std::filesystem::create_directory(dir_.file("journal"));
  }
  void TearDown() override { lwsource_free(&source_); }

  // Appends the entries (ascending time) in the export format's binary form: values may hold LF,
  // NUL.
  void write(const std::vector<Entry>& entries) {
    std::string text;
    for (const Entry& e : entries) {
      text += "__REALTIME_TIMESTAMP=" + std::to_string(e.time * 1000000ull + e.usec) +
              "\n__MONOTONIC_TIMESTAMP=" + std::to_string(monotonic_ += 1000) +
              "\n_BOOT_ID=0123456789abcdef0123456789abcdef\n";
      for (size_t at = 0, end; at <= e.fields.size(); at = end + 1) {
        end = std::min(e.fields.find('|', at), e.fields.size());
        size_t eq = e.fields.find('=', at);
        std::string value = e.fields.substr(eq + 1, end - eq - 1);
        text += e.fields.substr(at, eq - at) + "\n";
        for (int i = 0; i < 64; i += 8) text += static_cast<char>(uint64_t{value.size()} >> i);
        text += value + "\n";
      }
      text += "\n";
    }
    testutil::write_file(dir_.file("export.txt"), text);
    testutil::Child writer;
    ASSERT_TRUE(writer.start(
        {remote_, "--output=" + dir_.file("journal/test.journal"), dir_.file("export.txt")},
        dir_.path(), dir_.file("remote.out")));
    int status = -1;
    ASSERT_TRUE(writer.wait_exit(10000, &status));
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << writer.output();
  }
  void write_message(uint32_t time, const std::string& message, uint32_t usec = 0) {
    write({{time, "MESSAGE=" + message + "|SYSLOG_IDENTIFIER=app|PRIORITY=6", usec}});
  }
  std::string scan(lwtest::Facility& f) {
    lwfacility_scan_eventlog(f.get(), result_.get(), &source_);
    return result_.take();
  }
  // "<head><time> : <rest>" lines.
  std::string hits(const std::string& head,
                   const std::vector<std::pair<uint32_t, std::string>>& v) {
    std::string text;
    for (const auto& [time, rest] : v) text += head + lwtest::when(time) + " : " + rest + "\n";
    return text;
  }
  // MESSAGE of every entry the name selects, newest first, or "cannot open".
  V selected(const std::string& name) {
    void* handle = nullptr;
    if (source_.ops->open(&source_, name.c_str(), &handle) != 0) return {"cannot open"};
    V messages;
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
  lwtest::Log log_{dir_.file("test.log"), 3};
  lwtest::Result result_{dir_.path()};
  lwsource source_;
};

// Exact following reads by cursor: every entry once, the newest second's too,
// and on after a position given (as after a restart).
TEST_F(Journal, ExactFollowingReadsEveryEntryOnceByCursor) {
  std::vector<Entry> old;
  for (uint32_t t = 1700000000; t < 1700000040; ++t)
    old.push_back({t, "MESSAGE=old|SYSLOG_IDENTIFIER=app", 100000});
  write(old);
  lwpolicy exact;
  lwpolicy_init(&exact);
  exact.exact = 1;
  const std::string body = "eventlog = app\nfilter = all;new\n";
  lwtest::Facility x(dir_.file("x.facility"), body, log_.get(), "x", &exact);
  EXPECT_EQ(scan(x), "");  // the baseline
  write_message(1700000039, "new d", 900000);
  write_message(1700000040, "new e");
  write_message(1700000041, "new f");
  const std::string rest = "id=0;type=INFO;source=app;user=N/A;message=new ";
  EXPECT_EQ(scan(x),
            hits("[x,all] ",
                 {{1700000039, rest + "d"}, {1700000040, rest + "e"}, {1700000041, rest + "f"}}));
  EXPECT_EQ(scan(x), "");
  lwtest::Facility y(dir_.file("x.facility"), body, log_.get(), "x", &exact);
  auto* ry = static_cast<lweventlog*>(karray_get(&y.get()->eventlogs, 0));
  ry->positioned = 1;
  kstring_assign(&ry->position,
                 &static_cast<lweventlog*>(karray_get(&x.get()->eventlogs, 0))->position);
  write_message(1700000042, "new g");
  EXPECT_EQ(scan(y), hits("[x,all] ", {{1700000042, rest + "g"}}));
  lwpolicy_free(&exact);
}

TEST_F(Journal, RecordTextHasEveryPieceInOrder) {
  struct passwd* pw = getpwuid(0);
  ASSERT_NE(pw, nullptr);
  const std::string root = pw->pw_name;  // before getpwuid reuses its storage
  ASSERT_EQ(getpwuid(3999999), nullptr);
  char host[HOST_NAME_MAX + 1] = {};
  gethostname(host, sizeof host - 1);
  const uint32_t t = 1700000400;
  const std::string big(200000, 'x');
  write_message(t, "base");
  lwtest::Facility f(dir_.file("sys.facility"), "eventlog = System\nfilter = all;.\n", log_.get(),
                     "sys");
  scan(f);
  write({
      {t + 1,
       "PRIORITY=3|SYSLOG_IDENTIFIER=sshd|_COMM=sshd-session|_UID=0|_PID=4321|"
       "MESSAGE=line one\r\nline two\n"},
      {t + 2, "SYSLOG_IDENTIFIER=|MESSAGE=low disk|PRIORITY=4|_COMM=cron|_UID=3999999|_PID=70000"},
      {t + 3, "PRIORITY=7|_PID=12x|_UID=-1"},
      {t + 4, "PRIORITY=8|MESSAGE=no priority\0binary"s},
      {t + 5,
       "_TRANSPORT=audit|PRIORITY=5|_PID=900|"
       "MESSAGE=USER_LOGIN pid=900 uid=0 msg='op=login acct=\"root\" res=failed'"},
      {t + 6, "_TRANSPORT=audit|MESSAGE=SYSCALL syscall=59 success=yes comm=\"res=failed\""},
      // Longer than sd-journal's default field limit of 64 KiB.
      {t + 8, "SYSLOG_IDENTIFIER=two\r\nlines|MESSAGE=" + big + "END"},
  });
  const std::string no_user = ";user=N/A;message=";
  EXPECT_EQ(scan(f),
            hits("[sys,all] ",
                 {{t + 8, "id=0;type=N/A;source=twolines" + no_user + big + "END"},
                  {t + 6, "id=0;type=AUDIT_SUCCESS;source=N/A" + no_user +
                              "SYSCALL syscall=59 success=yes comm=\"res=failed\""},
                  {t + 5, "id=900;type=AUDIT_FAILURE;source=N/A" + no_user +
                              "USER_LOGIN pid=900 uid=0 msg='op=login acct=\"root\" res=failed'"},
                  {t + 4, "id=0;type=N/A;source=N/A" + no_user + "no priority"},
                  {t + 3, "id=0;type=INFO;source=N/A" + no_user + "N/A"},
                  {t + 2, "id=70000;type=WARNING;source=cron" + no_user + "low disk"},
                  {t + 1, "id=4321;type=ERROR;source=sshd;user=" + std::string(host) + "\\" + root +
                              ";message=line oneline two"}}));
}

TEST_F(Journal, EachNameFormSelectsItsEntries) {
  write({
      {1700000600, "MESSAGE=native|_TRANSPORT=journal|SYSLOG_IDENTIFIER=app|PRIORITY=6"},
      {1700000601, "MESSAGE=syslog|_TRANSPORT=syslog|SYSLOG_IDENTIFIER=cron|SYSLOG_FACILITY=9"},
      {1700000602, "MESSAGE=stdout|_TRANSPORT=stdout|SYSLOG_IDENTIFIER=web|PRIORITY=6"},
      {1700000603, "MESSAGE=kernel|_TRANSPORT=kernel|SYSLOG_IDENTIFIER=kernel|PRIORITY=3"},
      {1700000604, "MESSAGE=auth|_TRANSPORT=syslog|SYSLOG_IDENTIFIER=sshd|SYSLOG_FACILITY=4"},
      {1700000605, "MESSAGE=authpriv|_TRANSPORT=journal|SYSLOG_FACILITY=10|PRIORITY=3"},
      {1700000606, "MESSAGE=lower|_TRANSPORT=driver|SYSLOG_IDENTIFIER=system"},
  });
  const std::pair<const char*, V> cases[] = {
      {"System", {"lower", "authpriv", "auth", "kernel", "stdout", "syslog", "native"}},
      {"Application", {"authpriv", "auth", "stdout", "syslog", "native"}},
      {"Security", {"authpriv", "auth"}},
      {"system", {"lower"}},  // a syslog identifier, letter case included
      // Terms all required, "+" between alternatives, two values of one field for either.
      {"_TRANSPORT=journal\tPRIORITY=3 + _TRANSPORT=kernel", {"authpriv", "kernel"}},
      {"  SYSLOG_IDENTIFIER=cron SYSLOG_IDENTIFIER=web ", {"stdout", "syslog"}},
  };
  for (const auto& [name, messages] : cases) EXPECT_EQ(selected(name), messages) << name;
  for (const char* bad : {"priority=3", "PRIORITY=3 +", "+ PRIORITY=3", "PRIORITY=3 + + PRIORITY=5",
                          "PRIORITY=3 AUDIT", "=3", "__REALTIME_TIMESTAMP=1"})
    EXPECT_EQ(selected(bad), V{"cannot open"}) << bad;
  // A journal directory that does not exist cannot be opened.
  kstring_assign_cstr(&source_.location, dir_.file("nowhere").c_str());
  EXPECT_EQ(selected("System"), V{"cannot open"});
}

}  // namespace
