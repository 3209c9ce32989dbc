// The soak's SMT load: mixed clients that check every reply, hostile
// clients that send malformed, cut, stalled and pipelined frames, and the
// surplus prober that keeps trying to get into the full pool.
#include "tools/soak/soak.h"

namespace soak {

static const char* const kOutcomes[] = {"reply", "closed", "time-out", "bad frame"};

bool ask(Soak& k, Conn& c, const std::string& head, const std::string& body, uint8_t version) {
  bool first = c.requests() == 0;
  Outcome o = c.ask(head, body, version);
  if (o == Outcome::kClosed && first)
    k.count(kBusy);
  else if (o != Outcome::kReply)
    k.error(
        format("no reply to %s (%s)", head.substr(0, 60).c_str(), kOutcomes[static_cast<int>(o)]));
  return o == Outcome::kReply;
}

namespace {

std::string frame(int version, const std::string& head, const std::string& body,
                  size_t announced_body = SIZE_MAX) {
  char header[40];
  snprintf(header, sizeof header, "%s%05zu%0*zu", version == 1 ? "SMTF " : "SMTF2", head.size(),
           version == 1 ? 5 : 8, announced_body == SIZE_MAX ? body.size() : announced_body);
  return header + head + body;
}

// One hostile connection: the bytes it sends (whole, or split by a stall of
// up to 1.5 s), the heads of the echo replies it must get in order, then
// whether the agent must close it unanswered or this side goes (with a
// reset, as a crashed peer). Frame limits are pinned by the frame tests;
// here each kind takes a different way through the agent's reader.
struct Round {
  enum End { kAgentCloses, kGo, kReset };
  const char* what;
  std::string bytes;
  std::vector<std::string> heads;
  End end = kAgentCloses;
  bool stall = false;
  Stat closed = kMalformedClosed;
  const char* from = nullptr;
};
const int kRounds = 12, kLargestHead = 6, kLargestBody = 11;

Round round_of(int kind, std::mt19937_64& rng) {
  const std::string e = "echo hostile", f = frame(2, e, "");
  const std::string head = "echo " + filler(rng, 65531);
  using R = Round;
  // clang-format off
  switch (kind) {
    case 0: return {"bad magic", "XMTF20000400000000echo", {}};
    case 1: return {"head length 65537", "SMTF26553700000000" + std::string(100, 'x'), {}};
    case 2: return {"negative head length", "SMTF2-000100000000echo", {}};
    case 3: return {"body cut short", frame(2, e, filler(rng, 20000), 50000), {}, R::kGo};
    case 4: return {"frame finished after a stall", frame(2, e, filler(rng, 3000)), {e}, R::kGo, true};
    case 5: return {"pipelined requests", frame(2, "echo 1", "x") + frame(1, "echo 2", "") +
                    frame(2, "echo 3", "yz"), {"echo 1", "echo 2", "echo 3"}, R::kGo};
    case kLargestHead: return {"head of 65536 bytes", frame(2, head, ""), {head}, R::kGo};
    case 7: return {"garbage after a request", f + "GET / HTTP/1.0\r\n\r\n", {e}};
    case 8: return {"silent connection", "", {}, R::kAgentCloses, false, kIdleClosed};
    case 9: return {"connected and gone", "", {}, rng() % 2 ? R::kGo : R::kReset};
    case 10: return {"unauthorized peer", f, {}, R::kAgentCloses, false, kUnauthorized, "127.0.0.2"};
    default: return {"body of 1048576 bytes", frame(2, e, std::string(1048576, 'b')), {e}, R::kGo};
  }
  // clang-format on
}

}  // namespace

// Requests of every kind on connections that turn over, each reply checked.
void mixed_client(Soak& k, int id) {
  std::mt19937_64 rng(0x50a4 + id * 7919 + static_cast<uint64_t>(time(nullptr)));
  const std::string name = "soakmix" + std::to_string(id);
  Conn c;
  int budget = 0, revision = 0;
  while (!k.traffic_over()) {
    if (c.is_open() && c.requests() >= budget) c.close();
    budget = c.is_open() ? budget : 20 + static_cast<int>(rng() % 400);
    if (!c.is_open() && !c.connect(k.port)) {
      k.error("connect failed: " + name);
      sleep_ms(200);
      continue;
    }
    // The request, and the reply's status and body it must get.
    std::string head, body, want = "200 OK", want_body;
    uint8_t version = 2;
    unsigned pick = static_cast<unsigned>(rng() % 100);
    if (pick < 45) {
      head = want_body = format("echo %s %s", name.c_str(), filler(rng, rng() % 40).c_str());
      unsigned size = static_cast<unsigned>(rng() % 100);
      if (size >= 70) body = filler(rng, rng() % (size >= 95 ? 65536 : 4096));
      if (rng() % 10 == 0) version = 1, body.resize(std::min<size_t>(body.size(), 99999));
    } else if (pick < 50) {
      head = "nosuch " + name, want = "400 Cannot serve this request";
    } else if (pick < 62) {
      head = "lwlistf";
    } else if (pick < 74) {
      head = "lwreadf soak", want_body = k.soak_facility;
    } else if (pick < 84) {
      head = "lwwritef " + name;
      // Its hits are counted apart; now and then a pattern the agent refuses.
      body = format("# scratch facility of the soak, revision %d\nscan = 1\nfile = %s\n",
                    ++revision, k.watched.c_str()) +
             "filter = q;k=7\n" + (rng() % 8 == 0 ? "filter = bad;(unclosed\n" : "");
    } else if (pick < 88) {
      head = "lwremovef " + name;
    } else {
      // Names that would leave the directory, and files that are not there.
      static const char* const kRefused[] = {"lwgetlog ../lw000000000000", "lwreadf ../soak",
                                             "lwgetlog 000000000000", "lwwritef a/b"};
      head = kRefused[rng() % 4], want = "400 Cannot open file";
    }
    if (!ask(k, c, head, body, version)) {
      sleep_ms(static_cast<int>(rng() % 30));
      continue;
    }
    bool ok = c.status() == want && c.reply_version() == 2 &&
              (head == "lwlistf" ? ("\n" + c.body() + "\n").find("\nsoak\n") != std::string::npos
                                 : c.body() == want_body);
    ok ? k.count(kServed)
       : k.error(format("wrong reply: %s -> %s (%zu body bytes)", head.substr(0, 60).c_str(),
                        c.status().c_str(), c.body().size()));
  }
  // The scratch facilities go; the agent drops them at its next reload.
  if (!k.aborted() && (c.is_open() || c.connect(k.port)) &&
      c.ask("lwremovef " + name) == Outcome::kReply)
    k.count(kServed);
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
      k.error(format("connect failed: %s", r.what));
      sleep_ms(200);
      continue;
    }
    // Most take their time before their bytes: the pool is then full more
    // often, and the surplus connection is refused.
    if (!r.bytes.empty()) sleep_ms(static_cast<int>(rng() % 500));
    size_t cut = r.stall ? 1 + rng() % (r.bytes.size() - 1) : r.bytes.size();
    if (c.send_raw(r.bytes.substr(0, cut)) && cut < r.bytes.size()) {
      sleep_ms(300 + static_cast<int>(rng() % 1200));
      c.send_raw(r.bytes.substr(cut));
    }
    bool fine = true;
    for (size_t i = 0; i < r.heads.size() && fine; ++i) {
      Outcome o = c.read_reply();
      fine = o == Outcome::kReply && c.status() == "200 OK" && c.body() == r.heads[i];
      if (fine)
        k.count(kHostileServed);
      else if (o == Outcome::kClosed && i == 0)
        k.count(kBusyHostile);  // the pool was full
      else
        k.error(format("%s: %s", o == Outcome::kReply ? "wrong reply" : "no reply", r.what));
    }
    std::string data;  // the agent must close without a byte of reply
    if (fine && r.end == Round::kAgentCloses) {
      bool closed = c.wait_closed(6000, &data) && data.empty();
      closed ? k.count(r.closed)
             : k.error(format("%s: %s", r.what, data.empty() ? "left open" : "answered"));
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
    if (!c.connect(k.port))
      k.error("surplus connection: connect failed");
    else if (ask(k, c, "echo surplus"))
      c.body() == "echo surplus" ? k.count(kProberServed) : k.error("surplus: " + c.status());
    // A refusal comes at once: the connection holds a request, so it is no
    // silent peer that the agent lets wait a second; the bound leaves room
    // for a slow (sanitizer) build on a busy machine.
    else if (Clock::now() - t0 > Ms(2000))
      k.error(format("surplus connection closed after %lld ms",
                     static_cast<long long>((Clock::now() - t0) / Ms(1))));
    c.close();
  }
}

}  // namespace soak
