// Windows event-log records decoded and read over a backend the test fills, and
// the reading rules of every event source.
#include "lwatch/lwevtrec.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "lwatch/lwfacility.h"
#include "lwevtrec_build.h"

namespace {

using evtrec::build;
using evtrec::Fake;
using evtrec::kBackend;
using evtrec::put;
using evtrec::Rec;
using lwtest::Str;
using lwtest::when;
using V = std::vector<std::string>;

// Decodes from a buffer of the exact size, so that sanitizers see a read past it.
std::vector<uint8_t> g_bytes;
uint32_t decode(const std::string& b, lwevtrec* rec) {
  g_bytes.assign(b.begin(), b.end());
  return lwevtrec_decode(g_bytes.data(), static_cast<uint32_t>(g_bytes.size()), rec);
}

TEST(EventRecord, DecodesTheLayoutAndRefusesWhatLeavesTheRecord) {
  const Rec full{.strings = {"one", "", "three"}, .sid = std::string(12, '\x01'), .data = "xyz"};
  std::string b = build(full);
  lwevtrec rec;
  ASSERT_EQ(decode(b, &rec), LWEVTREC_OK);  // the fixed fields: through the record text below
  EXPECT_EQ(std::string(rec.source) + "|" + rec.computer, "src|HOST");
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(rec.user), rec.user_sid_length), full.sid);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(rec.data), rec.data_length), "xyz");
  const char* args[LWEVTREC_ARGS];
  lwevtrec_args(&rec, args);
  // Beyond the record's strings, up to the last, arguments are empty.
  EXPECT_EQ(std::string(args[0]) + "|" + args[1] + "|" + args[2] + "|" + args[99] + "|" +
                args[LWEVTREC_ARGS - 1],
            "one||three||");

  // Each case breaks one field of that record; the pieces not broken stay.
  auto patched = [&](size_t at, uint32_t v, int size = 4) {
    std::string c = b;
    put(c, at, v, size);
    return c;
  };
  auto names = [&](const std::string& tail) {
    std::string c = b.substr(0, LWEVTREC_FIXED) + tail;
    put(c, 0, static_cast<uint32_t>(c.size()));
    return c;
  };
  const uint32_t size = static_cast<uint32_t>(b.size());
  const struct {
    const char* what;
    std::string bytes;
    uint32_t result;
    bool source;
  } cases[] = {
      {"shorter than the fixed part", b.substr(0, LWEVTREC_FIXED - 1), LWEVTREC_SHORT, false},
      {"Length beyond the bytes", patched(0, size + 1), LWEVTREC_SHORT, false},
      {"Length inside the fixed part", patched(0, LWEVTREC_FIXED - 1), LWEVTREC_LENGTH, false},
      {"source not ended", names("src"), LWEVTREC_NAMES, false},
      {"computer not ended", names(std::string("src\0HOST", 8)), LWEVTREC_NAMES, true},
      {"StringOffset past Length", patched(36, size), LWEVTREC_STRINGS, true},
      {"StringOffset in the fixed part", patched(36, 8), LWEVTREC_STRINGS, true},
      {"more strings than the record holds", patched(26, 5, 2), LWEVTREC_STRINGS, true},
      {"identity past Length", patched(40, size), LWEVTREC_USER, true},
      {"identity offset wraps around", patched(44, 0xFFFFFFF8u), LWEVTREC_USER, true},
      {"data past Length", patched(52, size - 2), LWEVTREC_DATA, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(decode(c.bytes, &rec), c.result);
    EXPECT_EQ(rec.source != nullptr, c.source);
    if (c.result == LWEVTREC_STRINGS) {
      lwevtrec_args(&rec, args);  // refused strings give empty arguments
      EXPECT_STREQ(args[0], "");
    }
  }
}

TEST(EventRecord, ReaderWalksBlocksAndBuildsTheRecordText) {
  Fake fake;
  evtrec::Reader reader(&kBackend, &fake, "Application");
  const std::string system("\x01\x01\0\0\0\0\0\x05\x12\0\0\0", 12);
  fake.accounts[system] = {"NT AUTHORITY", "SYSTEM"};
  fake.files["Application\\svc"] = ";C:\\missing.dll;C:\\svc.dll";
  fake.messages[{"C:\\svc.dll", 0xC0000064}] = "first\r\nsecond ";
  fake.messages[{"C:\\svc.dll", 5}] = "plain";
  fake.blocks = {build(Rec{})};
  EXPECT_TRUE(reader.scan().empty());  // the baseline

  // Two blocks, records of odd lengths packed; a: flags in its id, its message from
  // the second file listed; b: an identity without account; then bad strings.
  const std::string nobody("\x01\x01\0\0\0\0\0\x05\x13\0\0", 11);
  const Rec a{
      .time = 1003, .id = 0xC0000064, .source = "svc", .strings = {"x", "y"}, .sid = system};
  const Rec b{.time = 1002, .id = 5, .type = 0, .source = "svc", .sid = nobody};
  std::string bad_strings =
      build(Rec{.time = 1001, .id = 5, .type = 1, .source = "svc", .strings = {"s"}});
  put(bad_strings, 36, static_cast<uint32_t>(bad_strings.size()));
  fake.blocks = {build(a) + build(b), bad_strings};
  EXPECT_EQ(reader.scan(),
            (V{when(1003) + " : id=100;type=INFO;source=svc;user=NT AUTHORITY\\SYSTEM;"
                            "message=firstsecond xy",
               when(1002) + " : id=5;type=N/A;source=svc;user=N/A;message=plain",
               when(1001) + " : id=5;type=ERROR;source=svc;user=N/A;message=N/A"}));

  // An untrustworthy Length, an empty block or no log ends the log.
  std::string broken = build(Rec{.time = 1004});
  put(broken, 0, 20);
  fake.blocks = {build(Rec{.time = 1004}) + broken + build(Rec{.time = 1004})};
  EXPECT_EQ(reader.scan().size(), 1u);
  fake.blocks = {""};
  EXPECT_TRUE(reader.scan().empty());
  fake.exists = false;
  EXPECT_TRUE(reader.scan().empty());
  EXPECT_EQ(reader.r.last_time, 1004u);

  // Exact following by record number from a position; after overwritten records, from the oldest.
  auto numbered = [](uint32_t first, uint32_t n) {
    V v;
    for (Rec x; n > 0; --n, ++first) x.number = first, v.push_back(build(x));
    return v;
  };
  fake.exists = true;
  fake.blocks = {numbered(11, 1)[0] + numbered(10, 1)[0]};
  void* h = nullptr;
  ASSERT_EQ(lwevtrec_open(&kBackend, &fake, "Application", &h), 0u);
  EXPECT_EQ(lwevtrec_newest(h, reader.text.get()), 0u);
  EXPECT_STREQ(kstring_text(reader.text.get()), "11");
  lwevtrec_close(h);
  auto after = [&](const char* position) {
    V got;
    lwevent ev;
    lwevent_init(&ev);
    bool opened =
        lwevtrec_open_after(&kBackend, &fake, "Application", Str(position).get(), &h) == 0;
    while (opened && lwevtrec_next(h, &ev, reader.text.get()) == 0)
      got.push_back(kstring_text(reader.text.get()));
    opened ? lwevtrec_close(h) : got.push_back("refused");
    lwevent_free(&ev);
    return got;
  };
  fake.forward = numbered(10, 5);
  EXPECT_EQ(after("11"), (V{"12", "13", "14"}));
  EXPECT_EQ(after(""), (V{"10", "11", "12", "13", "14"}));
  EXPECT_EQ(after("1x"), V{"refused"});
  fake.forward = numbered(20, 2);  // 15 to 19 overwritten
  EXPECT_EQ(after("14"), (V{"20", "21"}));
}

// Whatever the backend: no report at the first scan, then every strictly later
// record once, newest first.
TEST(EventScan, ReadingRulesHoldOverAnySource) {
  testutil::TempDir dir;
  lwtest::Log log(dir.file("t.log"), 2);
  lwtest::Result result(dir.path());
  Fake fake{.exists = false};
  fake.files["app\\src"] = "m.dll";
  fake.messages[{"m.dll", 7}] = "";
  evtrec::Reader reader(&kBackend, &fake, "app");
  V app;  // one record a block, oldest first
  auto add = [&](uint32_t time, const char* message) {
    app.insert(app.begin(), build(Rec{.time = time, .strings = {message}}));
  };
  lwtest::Facility a(dir.file("a.facility"), "eventlog = app\nfilter = m;msg\n", log.get(), "a");
  result.get()->write = lwtest::room_write;
  auto scan = [&](lwtest::Facility& f) {
    fake.blocks = app;
    result.get()->failed = 0;  // as every scan of the engine starts
    lwfacility_scan_eventlog(f.get(), result.get(), &reader.src);
    std::string hits;
    for (const std::string& l : testutil::split_lines(result.take()))
      hits += l.substr(l.rfind("message=") + 8) + ",";
    return hits;
  };
  EXPECT_EQ(scan(a), "");  // the log does not exist yet: logged, no times kept
  EXPECT_TRUE(log.has("#   cannot open 'app' eventlog\n"));
  fake.exists = true;
  EXPECT_EQ(scan(a), "");  // empty: still no baseline
  for (uint32_t t = 100; t < 110; ++t) add(t, "msg old");
  EXPECT_EQ(scan(a), "");  // the first record sets the baseline, none is reported
  add(109, "msg same second");
  add(110, "msg 1");
  add(111, "msg 2");
  EXPECT_EQ(scan(a), "msg 2,msg 1,");  // newest first, the same second left out
  EXPECT_EQ(scan(a), "");
  // A hit and a half written: taken back, all three written by the next scan.
  uint32_t t = 112;
  for (const char* m : {"msg 3", "msg 4", "msg 5"}) add(t++, m);
  lwtest::g_room = 120;
  EXPECT_EQ(scan(a), "");
  EXPECT_EQ(testutil::read_text(result.path).size(), result.taken);
  lwtest::g_room = UINT64_MAX;
  EXPECT_EQ(scan(a), "msg 5,msg 4,msg 3,");
  EXPECT_EQ(scan(a), "");
}

}  // namespace
