// The Windows event-log backend's real lookups, with the test's message module
// (lwsource_eventlog_test.mc) and blocks (Wine's event log gives no records).
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "lwatch/lwevtrec_internal.h"
#include "lwevtrec_build.h"

namespace {

using evtrec::build;
using evtrec::Rec;
using lwtest::when;

// A test log under the EventLog service key, removed with all it holds.
struct TestLog {
  std::string name = "VardoTest" + std::to_string(GetCurrentProcessId());
  std::string key = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\" + name;
  ~TestLog() { RegDeleteTreeA(HKEY_LOCAL_MACHINE, key.c_str()); }
  // ERROR_SUCCESS, or why the source could not be registered.
  LONG add_source(const char* source, const std::string& files) {
    HKEY k;
    LONG rc = RegCreateKeyExA(HKEY_LOCAL_MACHINE, (key + "\\" + source).c_str(), 0, nullptr, 0,
                              KEY_WRITE, nullptr, &k, nullptr);
    if (rc != ERROR_SUCCESS) return rc;
    rc = RegSetValueExA(k, "EventMessageFile", 0, REG_EXPAND_SZ,
                        reinterpret_cast<const BYTE*>(files.c_str()),
                        static_cast<DWORD>(files.size() + 1));
    RegCloseKey(k);
    return rc;
  }
};

TEST(EventLogWindows, AccountsAndMessagesResolvedByThePlatform) {
  // The test's blocks, the platform's lookups.
  lwevtrec_backend backend = *lwsource_eventlog_backend();
  backend.open = evtrec::fake_open;
  backend.read_block = evtrec::fake_read_block;
  backend.close = evtrec::fake_close;

  // The registered list names the module beside the test program through an
  // environment variable, after a module that is not there.
  char exe[MAX_PATH];
  DWORD n = GetModuleFileNameA(nullptr, exe, MAX_PATH);
  ASSERT_GT(n, 0u);
  std::string dir(exe, n);
  dir.erase(dir.find_last_of('\\'));
  ASSERT_TRUE(SetEnvironmentVariableA("VARDO_TEST_MODULES", dir.c_str()));
  TestLog log;
  LONG rc = log.add_source(
      "svc", "%VARDO_TEST_MODULES%\\missing.dll;%VARDO_TEST_MODULES%\\" VARDO_TEST_MESSAGES);
  if (rc == ERROR_ACCESS_DENIED) GTEST_SKIP() << "registering a source needs an administrator";
  ASSERT_EQ(rc, ERROR_SUCCESS);

  evtrec::Fake fake;
  evtrec::Reader reader(&backend, &fake, log.name.c_str());
  fake.blocks = {build(Rec{})};
  EXPECT_TRUE(reader.scan().empty());  // the baseline

  const std::string system("\x01\x01\0\0\0\0\0\x05\x12\0\0\0", 12);  // S-1-5-18
  // both: found by the full id, printed by the low bits. none: no message, an
  // identity of two parts in room for one. nokey: no source, an unknown revision.
  const std::string two_parts("\x01\x02\0\0\0\0\0\x05\x12\0\0\0", 12);
  const std::string revision7("\x07\x01\0\0\0\0\0\x05\x12\0\0\0", 12);
  const std::vector<std::string> xyz = {"x", "y", "z"};
  const Rec both{.time = 1004, .id = 0xC0000064, .source = "svc", .strings = xyz, .sid = system};
  const Rec none{.time = 1003, .id = 0xC0000065, .type = 2, .source = "svc", .sid = two_parts};
  const Rec nokey{.time = 1002, .id = 0xC0000064, .source = "nokey", .sid = revision7};
  fake.blocks = {build(both) + build(none), build(nokey)};
  std::vector<std::string> lines = reader.scan();
  ASSERT_EQ(lines.size(), 3u);

  // The local system's names differ by language: any domain and account will do.
  const std::string head = when(1004) + " : id=100;type=INFO;source=svc;user=";
  // Insertion strings beyond the record's 3 are empty, up to the 99th.
  const std::string tail = ";message=first x ysecond z [] [0]";
  const std::string& first = lines[0];
  ASSERT_GT(first.size(), head.size() + tail.size());
  EXPECT_EQ(first.substr(0, head.size()), head);
  EXPECT_EQ(first.substr(first.size() - tail.size()), tail);
  std::string user = first.substr(head.size(), first.size() - head.size() - tail.size());
  size_t slash = user.find('\\');
  EXPECT_TRUE(slash != std::string::npos && slash > 0 && slash + 1 < user.size()) << user;
  EXPECT_EQ(lines[1], when(1003) + " : id=101;type=WARNING;source=svc;user=N/A;message=N/A");
  EXPECT_EQ(lines[2], when(1002) + " : id=100;type=INFO;source=nokey;user=N/A;message=N/A");
}

}  // namespace
