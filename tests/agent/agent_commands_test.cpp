// The command word, disabled verbs, peer masks and the watch-file commands.
#include "commands_fixture.h"

namespace {

using namespace cmdtest;

class Dispatch : public Commands {};

// Only an exact, enabled command word is served (unlogged refusals); masks are
// whole addresses, one warning per refused peer.
TEST_F(Dispatch, OnlyEnabledCommandWordsAndPeersOfTheMaskAreServed) {
  EXPECT_EQ(send("echo  two  blanks\t", "ignored"), ok("echo  two  blanks\t"));
  for (const char* head : {"ECHO hi", "echo\thi", " echo", "", "echoes", "ech"})
    EXPECT_EQ(send(head), kRefused) << head;
  kstring_assign_cstr(kstrlist_add(&g_agent.disabled_verbs), "exec");
  EXPECT_EQ(send("exec touch " + dir_.file("touched")), kRefused);
  EXPECT_FALSE(testutil::file_exists(dir_.file("touched")));
  EXPECT_EQ(log(), "");

  smt_server srv{};
  srv.log = &log_;
  kstring address;
  kstring_init(&address);
  const auto allowed = [&](const char* peer) {
    kstring_assign_cstr(&address, peer);
    return agent_on_accept(&srv, &address, 4242);
  };
  EXPECT_TRUE(allowed("10.1.2.3"));  // no mask: every peer
  kstring_assign_cstr(kstrlist_add(&g_agent.address_masks), "10.0.0.1");
  kstring_assign_cstr(kstrlist_add(&g_agent.address_masks), "127.0.0.1");
  for (const char* refused : {"10.0.0.10", "127.0.0.2", "10.1.2.3", "127.0.0.2"})
    EXPECT_FALSE(allowed(refused)) << refused;
  EXPECT_TRUE(allowed("127.0.0.1"));
  kstring_free(&address);
  EXPECT_EQ(testutil::count_in(log(), "[WARNING] connection not authorized from 127.0.0.2:4242"),
            2u);
}

// Listings name the facilities and finished result files of their own directory,
// any case of extension; a result listing carries the oldest that fit, warned of.
TEST_F(WatchCommands, ListingsNameTheOldestFinishedFilesThatFitOfTheirOwnDirectory) {
  for (const char* f : {"a.b.facility", "A.FACILITY", "web.facility", "notes.txt",
                        "lw230101000009.log", "web.facility.bak"})
    testutil::write_file(fac() + "/" + f, "");
  for (const char* f : {"lw230101000002.tmp", "other.log", "res.facility",
                        "lw991231235959.log.4.fetch", "lw991231235959.log.4.rest"})
    testutil::write_file(res() + "/" + f, "");
  std::string all;
  for (int i = 0; i < 30; ++i) all += "2301" + std::to_string(10 + i) + "000000\n";
  for (int i = 29; i >= 0; --i)  // newest first, one in capitals
    testutil::write_file(
        res() + (i == 3 ? "/LW" : "/lw") + all.substr(13 * i, 12) + (i == 3 ? ".LOG" : ".log"), "");
  EXPECT_EQ(sorted(testutil::split_lines(send("lwlistf ignored").second)),
            (Names{"A", "a", "web"}));
  // a.facility, not a.b.facility; where names ignore case, A.FACILITY.
  EXPECT_EQ(send("lwreadf a"), testutil::kCaseSensitiveNames ? kCannotOpen : ok());
  EXPECT_EQ(send("lwlistlog"), ok(all));
  smt_message reply;
  smt_message_init(&reply);
  EXPECT_EQ(agent_list_results(&g_agent, &reply, 13u * 10 + 12), 0u);
  EXPECT_EQ(str(&reply.body), all.substr(0, 130));
  smt_message_free(&reply);
  EXPECT_EQ(testutil::count_in(log(),
                               "[WARNING] lwlistlog lists 10 of 30 result files, the "
                               "oldest; the rest follow once these are fetched\n"),
            1u);
  for (const std::string& bad : {dir_.file("missing"), res() + "/other.log"}) {
    dirs(bad, bad);
    for (const char* cmd : {"lwlistf", "lwlistlog"})
      EXPECT_EQ(send(cmd), (Reply{"400 Failed reading directory", ""})) << cmd << " " << bad;
  }
}

// The argument is the text between the first two blanks; a facility is written
// unchanged, read back with CR dropped and every line ended, no temporary left.
TEST_F(WatchCommands, FacilityNamedByTheArgumentIsWrittenWholeAndReadBackLineByLine) {
  for (const char* cmd : {"lwreadf", "lwwritef", "lwremovef", "lwgetlog"})
    EXPECT_EQ(send(cmd, "body"), kSyntaxError) << cmd;
  EXPECT_EQ(send("lwwritef .. further tokens", "dots\n"), ok());
  EXPECT_EQ(testutil::read_file(fac() + "/...facility"), "dots\n");
  EXPECT_EQ(send("lwreadf nosuch"), kCannotOpen);
  const std::string raw = std::string("scan = 1\r\nfilter = x;a\0b\nfile = /l", 34);
  EXPECT_EQ(send("lwwritef web", raw), ok());
  EXPECT_EQ(testutil::read_file(fac() + "/web.facility"), raw);
  EXPECT_EQ(send("lwreadf web"), ok(std::string("scan = 1\nfilter = x;a\0b\nfile = /l\n", 34)));
  EXPECT_EQ(files(fac()), (Names{"...facility", "web.facility"}));
  EXPECT_EQ(send("lwremovef web"), ok());
  EXPECT_FALSE(fs::exists(fac() + "/web.facility"));
  dirs(dir_.file("missing"), res());
  EXPECT_EQ(send("lwwritef web", "scan = 1\n"), kCannotOpen);
  EXPECT_FALSE(fs::exists(dir_.file("missing")));
}

// A result file goes with the reply sent, unseen while on its way; a reply not
// sent puts it back.
TEST_F(WatchCommands, ResultFileIsDeliveredOnce) {
  testutil::write_file(res() + "/lw230101000000.log", "[f,e] one\r\n[f,e] two");
  testutil::write_file(res() + "/lw230101000001.tmp", "[f,e] unfinished\n");
  const Reply both = ok("[f,e] one\n[f,e] two\n");
  conn_.sent_rc = KERR_NOTCONN;  // the peer reset the connection
  EXPECT_EQ(send("lwgetlog 230101000000"), both);
  EXPECT_EQ(files(res()), (Names{"lw230101000000.log", "lw230101000001.tmp"}));
  conn_.sent_rc = 0;
  Conn first(&log_), second(&log_);
  kstring_assign_cstr(&first.c.request.head, "lwgetlog 230101000000");
  ASSERT_EQ(agent_on_message(&first.c), 0u);
  EXPECT_EQ(second.send("lwgetlog 230101000000"), kCannotOpen);
  EXPECT_EQ(second.send("lwlistlog"), ok());
  smt_client_reply_done(&first.c, 0);
  EXPECT_EQ(str(&first.c.reply.body), both.second);
  fs::create_directory(res() + "/lw230101000002.log");
  for (const char* id : {"230101000000", "230101000001", "230101000002"})
    EXPECT_EQ(send(std::string("lwgetlog ") + id), kCannotOpen) << id;
  EXPECT_EQ(files(res()), (Names{"lw230101000001.tmp", "lw230101000002.log"}));
  EXPECT_EQ(log(), "");
}

// Of concurrent fetches of a result file, each line reaches exactly one.
TEST_F(WatchCommands, ConcurrentFetchesDeliverEveryLineOnce) {
  for (int round = 0; round < 40; ++round) {
    const std::string id = std::to_string(230101000000 + round);
    std::string lines, got[2];
    while (lines.size() < (round % 10 ? 20000u : 1100000u))
      lines += "[f,e] " + std::to_string(lines.size()) + "\n";
    testutil::write_file(res() + "/lw" + id + ".log", lines);
    auto fetch = [&](std::string* into) {
      Conn conn(&log_);
      for (Reply r; (r = conn.send("lwgetlog " + id)).first == "200 OK";) *into += r.second;
    };
    std::thread a(fetch, &got[0]), b(fetch, &got[1]);
    a.join(), b.join();
    ASSERT_EQ(sorted(testutil::split_lines(got[0] + got[1])), sorted(testutil::split_lines(lines)))
        << "round " << round;
    ASSERT_EQ(files(res()), Names{});
  }
}

// At start, leftovers of fetches cut short are put back; a taken name keeps them.
TEST_F(WatchCommands, LeftoversOfUnfinishedFetchesArePutBackAtStart) {
  const struct {
    std::string before, text, after;  // after: "" when it goes
  } cases[] = {
      {"lw230101000005.log.7.fetch", "claimed\n", "lw230101000005.log"},
      {"lw230101000006.log.8.rest", "rest\n", "lw230101000006.log"},
      {"lw230101000007.log.9.fetch", "whole\n", "lw230101000007.log"},
      {"lw230101000007.log.9.rest", "part\n", ""},
      {"lw230101000008.log.3.fetch", "kept\n", "lw230101000008.log.3.fetch"},
      {"lw230101000008.log", "newer\n", "lw230101000008.log"},
  };
  std::map<std::string, std::string> expected, after;
  for (auto& f : cases) {
    testutil::write_file(res() + "/" + f.before, f.text);
    if (!f.after.empty()) expected[f.after] = f.text;
  }
  agent_watch_recover(&g_agent.resultdir, &log_);
  for (const std::string& name : files(res()))
    after[name] = testutil::read_file(res() + "/" + name);
  EXPECT_EQ(after, expected);
  EXPECT_EQ(testutil::count_in(log(), ".log put back after an unfinished fetch\n"), 3u) << log();
  EXPECT_EQ(testutil::count_in(log(), "[WARNING] cannot move result file " + res() +
                                          "/lw230101000008.log.3.fetch to "),
            1u);
}

// Names reaching outside the directory or another extension are refused, untouched,
// and no symbolic link is followed.
TEST_F(WatchCommands, NamesThatWouldLeaveTheirDirectoryAreRefusedUntouched) {
  if (!testutil::symlinks_work()) GTEST_SKIP() << "the file system makes no symbolic links";
  fs::create_directories(fac() + "/sub");
  fs::create_directories(res() + "/lw");
  testutil::write_file(dir_.file("x.facility"), "outside\n");
  testutil::write_file(fac() + "/sub/y.facility", "below\n");
  testutil::write_file(fac() + "/a\\b.facility", "backslash\n");
  testutil::write_file(fac() + "/x", "no extension\n");
  testutil::write_file(dir_.file("x.log"), "outside\n");
  testutil::write_file(res() + "/lw/z.log", "below\n");
  auto snapshot = [&] {
    std::map<std::string, std::string> all;
    for (auto& e : fs::recursive_directory_iterator(dir_.path()))
      if (e.is_regular_file() && !e.is_symlink() && e.path().filename() != "agent.log")
        all[e.path().string()] = testutil::read_file(e.path().string());
    return all;
  };
  auto before = snapshot();
  for (const char* cmd : {"lwreadf", "lwwritef", "lwremovef", "lwgetlog"})
    for (const std::string& name :
         Names{"../x", "sub/y", "a\\b", "..\\x", fac() + "/sub/y", "/../../x", "/z", "sub/", "\\"})
      EXPECT_EQ(send(std::string(cmd) + " " + name, "written\n"), kCannotOpen) << cmd << name;
  fs::create_symlink(dir_.file("x.facility"), fac() + "/link.facility");
  fs::create_symlink(dir_.file("x.log"), res() + "/lw230101000009.log");
  EXPECT_EQ(send("lwreadf link"), kCannotOpen);
  EXPECT_EQ(send("lwgetlog 230101000009"), kCannotOpen);
  EXPECT_TRUE(fs::is_symlink(res() + "/lw230101000009.log"));
  EXPECT_EQ(snapshot(), before);
  // A NUL ends the head's tokens, so it cannot cut a path short of ".facility".
  EXPECT_EQ(send(std::string("lwwritef x\0", 11), "written\n"), ok());
  EXPECT_EQ(testutil::read_file(fac() + "/x.facility"), "written\n");
  EXPECT_EQ(testutil::read_file(fac() + "/x"), "no extension\n");
}

// Readers see the old or the new facility whole while it is replaced.
TEST_F(WatchCommands, ReplacementIsWholeForConcurrentReaders) {
  if (!testutil::kReplaceWhileOpen) GTEST_SKIP() << "an open file cannot be replaced here";
  std::string small = "scan = 1\nfilter = e;error\n", large;
  for (int i = 0; i < 400; ++i) large += "file = /var/log/app" + std::to_string(i) + ".log\n";
  ASSERT_EQ(send("lwwritef web", small), ok());
  std::atomic<bool> done{false};
  std::atomic<int> bad{0};
  auto reader = [&](bool through_command) {
    for (Conn conn(&log_); !done.load();) {
      std::string seen = through_command ? conn.send("lwreadf web").second
                                         : testutil::read_file(fac() + "/web.facility");
      bad += seen != small && seen != large;
    }
  };
  std::thread r1(reader, true), r2(reader, false);
  std::thread writer([&] {
    Conn conn(&log_);
    for (int i = 0; i < 300; ++i)
      if (conn.send("lwwritef web", i % 2 ? small : large) != ok()) ++bad;
    done = true;
  });
  for (std::thread* t : {&writer, &r1, &r2}) t->join();
  EXPECT_EQ(bad.load(), 0);
  EXPECT_EQ(testutil::read_file(fac() + "/web.facility"), small);
  EXPECT_EQ(files(fac()), Names{"web.facility"});
}

}  // namespace
