// The soak's SMT load: mixed clients that check every reply, hostile
// clients that send malformed, cut, slow and pipelined frames, and the
// surplus prober that keeps trying to get into the full pool.
#include "tools/soak/soak.h"

namespace soak {
namespace {

std::string frame(int version, const std::string& head, const std::string& body,
                  size_t announced_body = SIZE_MAX) {
  char header[40];
  snprintf(header, sizeof header, "%s%05zu%0*zu", version == 1 ? "SMTF " : "SMTF2", head.size(),
           version == 1 ? 5 : 8, announced_body == SIZE_MAX ? body.size() : announced_body);
  return header + head + body;
}

bool has_line(const std::string& body, const std::string& line) {
  for (const std::string& l : split_lines(body))
    if (l == line) return true;
  return false;
}

// Expects the agent to close the connection without a byte of reply.
void expect_closed(Soak& k, Conn& c, const char* what, Stat counted) {
  std::string data;
  if (!c.wait_closed(6000, &data))
    k.error(kErrKeptOpen, what);
  else if (!data.empty())
    k.error(kErrAnswered, format("%s: %zu bytes", what, data.size()));
  else
    k.count(counted);
}

// One hostile connection: the bytes it sends (whole, split by a stall of up
// to 1.5 s, or byte by byte), the heads of the echo replies it must get in
// order, then whether the agent must close it unanswered or this side goes
// (with a reset, as a crashed peer).
struct Round {
  enum End { kAgentCloses, kGo, kReset };
  enum Pace { kWhole, kStall, kTrickle };
  const char* what;
  std::string bytes;
  std::vector<std::string> heads;
  End end = kAgentCloses;
  Pace pace = kWhole;
  Stat closed = kMalformedClosed;
  const char* from = nullptr;
};
const int kRounds = 18, kLargestHead = 12, kLargestBody = 17;

Round round_of(int kind, std::mt19937_64& rng) {
  const std::string e = "echo hostile", f = frame(2, e, "");
  const std::string x100(100, 'x'), x1000(1000, 'x'), head = "echo " + filler(rng, 65531);
  using R = Round;
  // clang-format off
  switch (kind) {
    case 0: return {"bad magic", "XMTF20000400000000echo", {}};
    case 1: return {"magic in lower case", "smtf20000400000000echo", {}};
    case 2: return {"head length 65537", "SMTF26553700000000" + x100, {}};
    case 3: return {"body length 1048577", "SMTF20000401048577echo" + x1000, {}};
    case 4: return {"negative head length", "SMTF2-000100000000echo", {}};
    case 5: return {"header cut short", "SMTF2000", {}, R::kGo};
    case 6: return {"head cut short", "SMTF20010000000000echo cut", {}, R::kGo};
    case 7: return {"body cut short", frame(2, e, filler(rng, 20000), 50000), {}, R::kGo};
    case 8: return {"frame finished after a stall", frame(2, e, filler(rng, 3000)), {e}, R::kGo, R::kStall};
    case 9: return {"frame sent byte by byte", f, {e}, R::kGo, R::kTrickle};
    case 10: return {"pipelined requests", frame(2, "echo 1", "x") + frame(1, "echo 2", "") +
                     frame(2, "echo 3", "yz"), {"echo 1", "echo 2", "echo 3"}, R::kGo};
    case 11: return {"gone before the reply", frame(2, "lwlistf", ""), {}, R::kReset};
    case kLargestHead: return {"head of 65536 bytes", frame(2, head, ""), {head}, R::kGo};
    case 13: return {"garbage after a request", f + "GET / HTTP/1.0\r\n\r\n", {e}};
    case 14: return {"silent connection", "", {}, R::kAgentCloses, R::kWhole, kIdleClosed};
    case 15: return {"connected and gone", "", {}, rng() % 2 ? R::kGo : R::kReset};
    case 16: return {"unauthorized peer", f, {}, R::kAgentCloses, R::kWhole, kUnauthorized, "127.0.0.2"};
    default: return {"body of 1048576 bytes", frame(2, e, std::string(1048576, 'b')), {e}, R::kGo};
  }
  // clang-format on
}

}  // namespace

// Requests of every kind on connections that turn over, each reply checked.
void mixed_client(Soak& k, int id) {
  std::mt19937_64 rng(0x50a4 + id * 7919 + static_cast<uint64_t>(time(nullptr)));
  const std::string name = "soakmix" + std::to_string(id);
  std::string content;  // of the scratch facility; empty while there is none
  Conn c;
  int budget = 0, revision = 0;
  auto last_reply = Clock::now();
  while (!k.traffic_over()) {
    if (!c.is_open() && !c.connect(k.port)) {
      k.error(kErrConnect, name);
      sleep_ms(200);
      continue;
    }
    if (c.requests() == 0) budget = 20 + static_cast<int>(rng() % 400);
    if (c.requests() >= budget || (c.requests() > 0 && rng() % 3000 == 0)) {
      if (c.requests() < budget) {  // falls silent: the agent closes after a second
        sleep_ms(1300);
        expect_closed(k, c, "idle connection", kIdleClosed);
      }
      c.close();
      continue;
    }
    // The request, and the reply's status and body it must get.
    std::string head, body, want = "200 OK", want_body;
    uint8_t version = 2;
    Stat served = kEcho;
    unsigned pick = static_cast<unsigned>(rng() % 100);
    if (pick < 45) {
      head = format("echo %s %s", name.c_str(), filler(rng, rng() % 40).c_str());
      unsigned size = static_cast<unsigned>(rng() % 100);
      if (size >= 70) body = filler(rng, rng() % (size >= 95 ? 65536 : 4096));
      if (rng() % 10 == 0) {
        version = 1;
        served = kEchoV1;
        body.resize(std::min<size_t>(body.size(), 99999));
      }
      want_body = head;
    } else if (pick < 50) {
      head = "nosuch " + name;
      want = "400 Cannot serve this request";
      served = kUnknownVerb;
    } else if (pick < 62) {
      head = "lwlistf";
      served = kLwlistf;
    } else if (pick < 74) {
      head = "lwreadf " + (pick < 66 ? "soak" : name);
      if (pick >= 66 && content.empty()) want = "400 Cannot open file";
      want_body = pick < 66 ? k.soak_facility : content;
      served = kLwreadf;
    } else if (pick < 84) {
      head = "lwwritef " + name;
      // Its hits are counted apart; now and then a pattern the agent refuses.
      body = format("# scratch facility of the soak, revision %d\nscan = 1\nfile = %s\n",
                    ++revision, k.watched.c_str()) +
             "filter = q;k=7\n" + (rng() % 8 == 0 ? "filter = bad;(unclosed\n" : "");
      served = kLwwritef;
    } else if (pick < 88) {
      head = "lwremovef " + name;
      served = kLwremovef;
    } else {
      // Names that would leave the directory, and files that are not there.
      static const char* const kRefused[] = {"lwgetlog ../lw000000000000", "lwreadf ../soak",
                                             "lwgetlog 000000000000", "lwwritef a/b"};
      head = kRefused[rng() % 4];
      want = "400 Cannot open file";
      served = head[2] == 'g' ? kLwgetlog : head[2] == 'r' ? kLwreadf : kLwwritef;
    }
    bool first = c.requests() == 0;
    double silent_ms = std::chrono::duration<double, std::milli>(Clock::now() - last_reply).count();
    Outcome o = c.ask(head, body, version);
    if (o != Outcome::kReply) {
      no_reply(k, o, first, silent_ms, name + ": " + head.substr(0, 60));
      c.close();
      sleep_ms(static_cast<int>(rng() % 30));
      continue;
    }
    last_reply = Clock::now();
    bool ok = c.status() == want && c.reply_version() == 2 &&
              (served == kLwlistf
                   ? has_line(c.body(), "soak") && has_line(c.body(), name) == !content.empty()
                   : c.body() == want_body);
    if (!ok) {
      k.error(kErrReply, format("%s -> %s (%zu body bytes)", head.substr(0, 60).c_str(),
                                c.status().c_str(), c.body().size()));
    } else {
      k.count(served);
      if (want == "200 OK" && (served == kLwwritef || served == kLwremovef))
        content = served == kLwwritef ? body : "";
    }
  }
  // The scratch facilities go; the agent drops them at its next reload.
  if (!k.aborted() && (c.is_open() || c.connect(k.port)) &&
      c.ask("lwremovef " + name) == Outcome::kReply)
    k.count(kLwremovef);
}

void hostile_client(Soak& k, int id) {
  std::mt19937_64 rng(0xbad + id * 104729 + static_cast<uint64_t>(time(nullptr)));
  Conn c;
  while (!k.traffic_over()) {
    int kind = static_cast<int>(rng() % kRounds);
    // The largest body grows a pool record's storage by 1 MiB for good:
    // rarely, so that the RSS bound judges leaks rather than buffers.
    if (kind == kLargestBody && rng() % 8 != 0) kind = kLargestHead;
    Round r = round_of(kind, rng);
    if (!c.connect(k.port, r.from)) {
      k.error(kErrConnect, r.what);
      sleep_ms(200);
      continue;
    }
    // Most take their time before their bytes: the pool is then full more
    // often, and the surplus connection is refused.
    if (!r.bytes.empty()) sleep_ms(static_cast<int>(rng() % 500));
    size_t cut = r.pace == Round::kStall ? 1 + rng() % (r.bytes.size() - 1) : r.bytes.size();
    for (size_t at = 0; at < r.bytes.size(); at = cut, cut = r.bytes.size()) {
      if (r.pace == Round::kTrickle) cut = at + 1;
      if (at > 0) sleep_ms(r.pace == Round::kTrickle ? 15 : 300 + static_cast<int>(rng() % 1200));
      if (!c.send_raw(r.bytes.substr(at, cut - at))) break;
    }
    bool fine = true;
    for (size_t i = 0; i < r.heads.size() && fine; ++i) {
      Outcome o = c.read_reply();
      fine = o == Outcome::kReply && c.status() == "200 OK" && c.body() == r.heads[i];
      if (o == Outcome::kReply)
        fine ? k.count(kHostileServed) : k.error(kErrReply, r.what + (" -> " + c.status()));
      else if (o == Outcome::kClosed && i == 0)
        k.count(kBusyHostile);  // the pool was full
      else
        no_reply(k, o, false, 0, r.what);
    }
    if (fine && r.end == Round::kAgentCloses) {
      expect_closed(k, c, r.what, r.closed);
    } else if (fine && r.heads.empty()) {
      if (r.end == Round::kGo) sleep_ms(static_cast<int>(rng() % 500));  // a frame left hanging
      k.count(kVanished);
    }
    c.close(r.end == Round::kReset);
    sleep_ms(static_cast<int>(rng() % 10));
  }
}

// One connection at a time beyond the ten: while the pool is full it must be
// closed at once; when a slot is free it is served.
void prober(Soak& k) {
  std::mt19937_64 rng(0x9e37 + static_cast<uint64_t>(time(nullptr)));
  Conn c;
  while (!k.traffic_over()) {
    sleep_ms(30 + static_cast<int>(rng() % 120));
    auto t0 = Clock::now();
    Outcome o = c.connect(k.port) ? c.ask("echo surplus") : Outcome::kTimeout;
    unsigned long long took = std::chrono::duration_cast<Ms>(Clock::now() - t0).count();
    if (o == Outcome::kReply && c.status() == "200 OK" && c.body() == "echo surplus") {
      k.count(kProberServed);
    } else if (o == Outcome::kClosed) {
      k.count(kBusy);
      if (took > k.slowest_refusal_ms.load()) k.slowest_refusal_ms.store(took);
      // At once: it holds a request, so it is no silent peer that the agent
      // lets wait a second; the bound leaves room for a slow (sanitizer)
      // build on a busy machine.
      if (took > 2000) k.error(kErrSlowRefusal, format("after %llu ms", took));
    } else {
      k.error(kErrNoReply, "surplus connection");
    }
    c.close();
  }
}

}  // namespace soak
