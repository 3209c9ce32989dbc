// The event-log reading rules, through a source that the test fills: the
// first scan sets a baseline, later scans report strictly later records
// newest first, and the record text has every piece in order.
#include "lwatch/lweventlog.h"

#include <gtest/gtest.h>

#include <map>

#include "klib/kerror.h"
#include "klib/ktime.h"
#include "lwatch/lwfacility.h"
#include "lwtest.h"

namespace {

using lwtest::Facility;
using lwtest::Log;
using lwtest::Result;
using lwtest::Str;

struct Entry {
  uint32_t time;
  uint32_t id;
  uint32_t type;
  std::string source;
  std::string domain, account;  // no user when both are empty
  std::string message;          // "-" for none
};

// Logs by name, each in the order written (oldest first). Opening a log
// takes its entries as they are then; reads go from the newest backwards.
struct FakeSource {
  std::map<std::string, std::vector<Entry>> logs;
  int opened = 0;
  int reads = 0;
};

struct Cursor {
  FakeSource* fake;
  std::vector<Entry> entries;
  size_t next;  // entries not yet read: [0, next)
};

uint32_t fake_open(lwsource* src, const char* name, void** handle) {
  auto* fake = static_cast<FakeSource*>(src->context);
  auto it = fake->logs.find(name);
  if (it == fake->logs.end()) return KERR_FAILED;
  ++fake->opened;
  *handle = new Cursor{fake, it->second, it->second.size()};
  return 0;
}

uint32_t fake_read(void* handle, lwevent* ev) {
  auto* c = static_cast<Cursor*>(handle);
  if (c->next == 0) return KERR_EOF;
  ++c->fake->reads;
  const Entry& e = c->entries[--c->next];
  ev->time = e.time;
  ev->id = e.id;
  ev->type = e.type;
  kstring_assign_cstr(&ev->source, e.source.c_str());
  ev->has_user = !e.domain.empty() || !e.account.empty();
  kstring_assign_cstr(&ev->domain, e.domain.c_str());
  kstring_assign_cstr(&ev->account, e.account.c_str());
  ev->has_message = e.message != "-";
  if (ev->has_message) kstring_assign_cstr(&ev->message, e.message.c_str());
  return 0;
}

void fake_close(void* handle) {
  delete static_cast<Cursor*>(handle);
}

const lwsource_ops kFakeOps = {fake_open, fake_read, fake_close};

std::string time_text(uint32_t t) {
  ktime k;
  ktime_init(&k);
  ktime_from_seconds(&k, t);
  Str s;
  ktime_format(&k, s.get());
  return s.str();
}

class EventScan : public ::testing::Test {
 protected:
  void SetUp() override {
    lwsource_init(&source_);
    source_.ops = &kFakeOps;
    source_.context = &fake_;
  }
  void TearDown() override { lwsource_free(&source_); }
  std::unique_ptr<Facility> facility(const std::string& name, const std::string& body) {
    return std::make_unique<Facility>(dir_.file(name + ".facility"), body, log_->get(), name);
  }
  std::string scan(Facility& f) {
    lwfacility_scan_eventlog(f.get(), result_.get(), &source_);
    return result_.take();
  }
  void add(const std::string& log, uint32_t time, const std::string& message) {
    fake_.logs[log].push_back({time, 100, LWEVENT_INFO, "app", "", "", message});
  }
  std::string hit(const std::string& fac, const std::string& filter, uint32_t time,
                  const std::string& message) {
    return "[" + fac + "," + filter + "] " + time_text(time) +
           " : id=100;type=INFO;source=app;user=N/A;message=" + message + "\n";
  }

  testutil::TempDir dir_;
  std::unique_ptr<Log> log_ = std::make_unique<Log>(dir_.file("test.log"), 3);
  Result result_{dir_.file("result.tmp")};
  FakeSource fake_;
  lwsource source_;
};

TEST_F(EventScan, FirstScanSetsABaselineAndLaterEntriesAreReportedOnceNewestFirst) {
  auto f = facility("sys", "eventlog = System\nfilter = any;message=\n");
  for (uint32_t t = 1000; t < 1050; ++t) add("System", t, "old " + std::to_string(t));
  EXPECT_EQ(scan(*f), "");
  add("System", 1060, "new a");
  add("System", 1061, "new b");
  EXPECT_EQ(scan(*f), hit("sys", "any", 1061, "new b") + hit("sys", "any", 1060, "new a"));
  EXPECT_TRUE(log_->has("#   new System event = >" + time_text(1061) +
                        " : id=100;type=INFO;source=app;user=N/A;message=new b<\n"));
  int reads = fake_.reads;
  EXPECT_EQ(scan(*f), "");
  // Nothing new: the scan stops at the first, newest record.
  EXPECT_EQ(fake_.reads - reads, 1);
}

TEST_F(EventScan, EntryOfTheSameSecondAsThePreviousNewestIsNotReported) {
  auto f = facility("sys", "eventlog = System\nfilter = ;.\n");
  add("System", 2000, "base");
  scan(*f);
  add("System", 2000, "same second");
  add("System", 2001, "later");
  EXPECT_EQ(scan(*f), hit("sys", "", 2001, "later"));
  add("System", 2001, "same second again");
  EXPECT_EQ(scan(*f), "");
}

TEST_F(EventScan, EmptyLogGivesNoBaselineUntilItsFirstEntry) {
  auto f = facility("sys", "eventlog = Empty\nfilter = ;.\n");
  fake_.logs["Empty"];
  EXPECT_EQ(scan(*f), "");
  EXPECT_EQ(scan(*f), "");
  add("Empty", 3000, "first");
  EXPECT_EQ(scan(*f), "");  // the baseline
  add("Empty", 3001, "second");
  EXPECT_EQ(scan(*f), hit("sys", "", 3001, "second"));
}

TEST_F(EventScan, TwoFacilitiesOnTheSameLogBothReportUnderTheirOwnNames) {
  auto a = facility("alpha", "eventlog = System\nfilter = fa;disk\n");
  auto b = facility("beta", "eventlog = System\nfilter = fb1;nomatch\nfilter = fb2;DISK\n");
  add("System", 4000, "boot");
  scan(*a);
  scan(*b);
  add("System", 4001, "disk full");
  EXPECT_EQ(scan(*a), hit("alpha", "fa", 4001, "disk full"));
  EXPECT_EQ(scan(*b), hit("beta", "fb2", 4001, "disk full"));
}

TEST_F(EventScan, RecordTextHasEveryPieceInOrder) {
  auto f = facility("sys", "eventlog = Application\nfilter = all;.\n");
  fake_.logs["Application"].push_back({5000, 1, LWEVENT_INFO, "base", "", "", "-"});
  scan(*f);
  auto& log = fake_.logs["Application"];
  log.push_back({5001, 0x12345, 0, "svc", "", "", "-"});
  log.push_back({5002, 7, LWEVENT_AUDIT_FAILURE, "sshd", "host", "root", "line one\r\nline two\n"});
  log.push_back({5003, 8, LWEVENT_WARNING, "", "", "", ""});
  EXPECT_EQ(
      scan(*f),
      "[sys,all] " + time_text(5003) + " : id=8;type=WARNING;source=;user=N/A;message=\n" +
          "[sys,all] " + time_text(5002) +
          " : id=7;type=AUDIT_FAILURE;source=sshd;user=host\\root;message=line oneline two\n" +
          "[sys,all] " + time_text(5001) + " : id=74565;type=N/A;source=svc;user=N/A;message=N/A\n");
  EXPECT_STREQ(lweventlog_type_name(LWEVENT_ERROR), "ERROR");
  EXPECT_STREQ(lweventlog_type_name(LWEVENT_AUDIT_SUCCESS), "AUDIT_SUCCESS");
  EXPECT_STREQ(lweventlog_type_name(3), "N/A");
}

TEST_F(EventScan, LogThatCannotBeOpenedIsLoggedAndKeepsItsTimes) {
  auto f = facility("sys", "eventlog = Nowhere\neventlog = System\nfilter = ;.\n");
  add("System", 6000, "base");
  scan(*f);
  add("System", 6001, "after");
  EXPECT_EQ(scan(*f), hit("sys", "", 6001, "after"));
  EXPECT_TRUE(log_->has("#   cannot open 'Nowhere' eventlog\n"));
  auto* nowhere = static_cast<lweventlog*>(karray_get(&f->get()->eventlogs, 0));
  EXPECT_EQ(nowhere->last_time, 0u);
  EXPECT_EQ(nowhere->handle, nullptr);
}

}  // namespace
