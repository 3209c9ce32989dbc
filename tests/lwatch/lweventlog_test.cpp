// The event-log reading rules through a source the test fills, so that they
// hold whatever backend the build selects: no report at the first scan, then
// every strictly later record once, newest first, and a scan with nothing
// new reads no further than the newest record.
#include "lwatch/lweventlog.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>

#include "klib/kerror.h"
#include "lwtest.h"

namespace {

// Logs by name, oldest first, as (time, message); reads go newest first.
struct Fake {
  std::map<std::string, std::vector<std::pair<uint32_t, std::string>>> logs;
  int reads = 0;
};
struct Cursor {
  Fake* fake;
  std::vector<std::pair<uint32_t, std::string>> entries;
  size_t next;
};

uint32_t fake_open(lwsource* src, const char* name, void** handle) {
  Fake* fake = static_cast<Fake*>(src->context);
  auto it = fake->logs.find(name);
  if (it == fake->logs.end()) return KERR_FAILED;
  *handle = new Cursor{fake, it->second, it->second.size()};
  return 0;
}
uint32_t fake_read(void* handle, lwevent* ev) {
  Cursor* c = static_cast<Cursor*>(handle);
  if (c->next == 0) return KERR_EOF;
  ++c->fake->reads;
  lwevent_clear(ev);
  ev->time = c->entries[--c->next].first;
  ev->has_message = 1;
  kstring_assign_cstr(&ev->message, c->entries[c->next].second.c_str());
  return 0;
}
void fake_close(void* handle) {
  delete static_cast<Cursor*>(handle);
}
const lwsource_ops kFakeOps = {fake_open, fake_read, fake_close, nullptr,
                               nullptr,   nullptr,   nullptr};

TEST(EventScan, ReadingRulesHoldOverAnySource) {
  testutil::TempDir dir;
  lwtest::Log log(dir.file("t.log"), 2);
  lwtest::Result result(dir.path());
  Fake fake;
  lwsource src;
  lwsource_init(&src);
  src.ops = &kFakeOps;
  src.context = &fake;
  lwtest::Facility a(dir.file("a.facility"), "eventlog = app\nfilter = m;msg\n", log.get(), "a");
  result.get()->write = lwtest::room_write;
  auto scan = [&](lwtest::Facility& f) {
    result.get()->failed = 0;  // as every scan of the engine starts
    lwfacility_scan_eventlog(f.get(), result.get(), &src);
    std::string hits;
    for (const std::string& l : testutil::split_lines(result.take()))
      hits += l.substr(l.rfind("message=") + 8) + ",";
    return hits;
  };
  EXPECT_EQ(scan(a), "");  // the log does not exist yet: logged, no times kept
  EXPECT_TRUE(log.has("#   cannot open 'app' eventlog\n"));
  fake.logs["app"];
  EXPECT_EQ(scan(a), "");  // empty: still no baseline
  for (uint32_t t = 100; t < 110; ++t) fake.logs["app"].push_back({t, "msg old"});
  EXPECT_EQ(scan(a), "");  // the first record sets the baseline, none is reported
  lwtest::Facility b(dir.file("b.facility"), "eventlog = app\nfilter = m;msg\n", log.get(), "b");
  EXPECT_EQ(scan(b), "");
  fake.logs["app"].push_back({109, "msg same second"});
  fake.logs["app"].push_back({110, "msg 1"});
  fake.logs["app"].push_back({111, "msg 2"});
  fake.reads = 0;
  EXPECT_EQ(scan(a), "msg 2,msg 1,");  // newest first, the same second left out
  EXPECT_EQ(fake.reads, 3);            // stops at the first record not strictly later
  EXPECT_EQ(scan(b), "msg 2,msg 1,");  // each facility reports on its own
  fake.reads = 0;
  EXPECT_EQ(scan(a), "");
  EXPECT_EQ(fake.reads, 1);  // nothing new: only the newest record is read
  // The result file takes the first hit and part of the second: both are
  // taken back, and the next scan writes all three, once.
  fake.logs["app"].push_back({112, "msg 3"});
  fake.logs["app"].push_back({113, "msg 4"});
  fake.logs["app"].push_back({114, "msg 5"});
  lwtest::g_room = 120;
  EXPECT_EQ(scan(a), "");
  EXPECT_EQ(testutil::read_text(result.path).size(), result.taken);
  lwtest::g_room = UINT64_MAX;
  EXPECT_EQ(scan(a), "msg 5,msg 4,msg 3,");
  EXPECT_EQ(scan(a), "");
  lwsource_free(&src);
}

}  // namespace
