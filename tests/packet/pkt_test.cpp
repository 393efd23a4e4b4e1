#include "packet/pkt.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "base/clock.h"
#include "base/elog.h"
#include "base/pf.h"
#include "base/tbl.h"
#include "pkt_dump.h"
#include "testkit/testkit.h"

namespace {

using Bytes = std::vector<uint8_t>;

const double T2024 = 1704067200.0;  // 2024-01-01 00:00:00 UTC

struct PacketDeleter {
  void operator()(Packet *pkt) const { freePkt(pkt); }
};
using PacketPtr = std::unique_ptr<Packet, PacketDeleter>;

PacketPtr make_packet(const char *suffix) {
  PacketPtr pkt(newPkt());
  pkt->pkttype = suffix2pkttype(suffix);
  return pkt;
}

// Appends a channel with its samples in a malloc'ed array, the way the programs fill them.
PktChannel *add_channel(Packet *pkt, const char *net, const char *sta, const char *chan,
                        const char *loc, double time, double samprate,
                        const std::vector<int32_t> &samples) {
  PktChannel *ch = newPktChannel();
  strcpy(ch->net, net);
  strcpy(ch->sta, sta);
  strcpy(ch->chan, chan);
  strcpy(ch->loc, loc);
  strcpy(ch->segtype, "V");
  ch->time = time;
  ch->samprate = samprate;
  ch->calib = 0.5;
  ch->calper = 1.0;
  ch->nsamp = static_cast<int>(samples.size());
  if (!samples.empty()) {
    ch->datasz = ch->nsamp + 3;
    ch->data = static_cast<int32_t *>(malloc(ch->datasz * sizeof(int32_t)));
    memcpy(ch->data, samples.data(), samples.size() * sizeof(int32_t));
  }
  pushtbl(pkt->channels, ch);
  pkt->nchannels = static_cast<int>(maxtbl(pkt->channels));
  return ch;
}

struct Stuffed {
  int result;
  std::string srcname;
  double time;
  Bytes bytes;
};

// stuffPkt into a buffer that starts too small, so every call also grows it.
Stuffed stuff(Packet *pkt) {
  char *buffer = static_cast<char *>(malloc(4));
  int bufsize = 4, nbytes = -5;
  char srcname[PKT_SRCNAME_SIZE] = "unchanged";
  double time = -1;
  Stuffed out;
  out.result = stuffPkt(pkt, srcname, &time, &buffer, &nbytes, &bufsize);
  out.srcname = srcname;
  out.time = time;
  if (out.result == 0) {
    EXPECT_GE(bufsize, nbytes);
    out.bytes.assign(buffer, buffer + nbytes);
  }
  free(buffer);
  return out;
}

// Decodes from a heap copy of exactly the given bytes, so a read past them is caught.
int unstuff(const Bytes &bytes, Packet **pkt, const char *srcname = "src") {
  std::unique_ptr<char[]> copy(new char[bytes.size()]);
  if (!bytes.empty()) memcpy(copy.get(), bytes.data(), bytes.size());
  return unstuffPkt(srcname, T2024, copy.get(), static_cast<int>(bytes.size()), pkt);
}

Bytes log_bytes(const std::string &text) {
  size_t size = 8 + text.size() + 1;
  Bytes b(size, 0);
  const uint8_t header[8] = {
      0, 8, static_cast<uint8_t>(size >> 8), static_cast<uint8_t>(size), 0x71, 0x6C, 0x71, 0x6C};
  memcpy(b.data(), header, sizeof header);
  if (!text.empty()) memcpy(b.data() + 8, text.data(), text.size());
  return b;
}

// Our header around a body.
Bytes framed(int kind, const Bytes &body, uint8_t version = 1) {
  Bytes b = {0x56, 0x50, version, static_cast<uint8_t>(kind)};
  uint32_t n = static_cast<uint32_t>(body.size());
  for (int shift = 24; shift >= 0; shift -= 8) b.push_back(static_cast<uint8_t>(n >> shift));
  b.insert(b.end(), body.begin(), body.end());
  return b;
}

Bytes text_body(const std::string &text) { return Bytes(text.begin(), text.end()); }

// A GENC packet written out by hand from the documented layout: AZ_PFO_BHZ, segtype V,
// time 1.0, 40 sps, calib 0.5, calper 1.0, samples 0 1 -1 64 -65 (differences 0 1 -2 65
// -129, zigzagged 0 2 3 130 257) in sample coding 1 of format version 1, as earlier
// writers made it. `samples` replaces the coded samples and `nsamp` the count.
Bytes golden_genc(uint32_t nsamp = 5, Bytes samples = {0x00, 0x02, 0x03, 0x82, 0x01, 0x81, 0x02},
                  uint8_t coding = 1) {
  Bytes body = {0x01, 0x00, 0x01,  // GENC, one channel
                0x02, 'A',  'Z',  0x03, 'P', 'F', 'O', 0x03, 'B', 'H', 'Z',
                0x00,                                       // loc ""
                0x01, 'V',                                  // segtype
                0x3F, 0xF0, 0,    0,    0,   0,   0,   0,   // time 1.0
                0x40, 0x44, 0,    0,    0,   0,   0,   0,   // samprate 40.0
                0x3F, 0xE0, 0,    0,    0,   0,   0,   0,   // calib 0.5
                0x3F, 0xF0, 0,    0,    0,   0,   0,   0};  // calper 1.0
  for (int shift = 24; shift >= 0; shift -= 8) body.push_back(static_cast<uint8_t>(nsamp >> shift));
  body.push_back(coding);
  uint32_t coded = static_cast<uint32_t>(samples.size());
  for (int shift = 24; shift >= 0; shift -= 8) body.push_back(static_cast<uint8_t>(coded >> shift));
  body.insert(body.end(), samples.begin(), samples.end());
  return framed(Pkt_wf, body, coding == 1 ? 1 : 2);
}

// The same samples in sample coding 2 (format version 2), as stuffPkt writes them: the
// first sample 0 as it is, then one group of one block: the zigzagged differences 2 3 130
// 257 need 9 bits, so base width 6 and step 3; 16 values of 9 bits in 18 bytes.
const Bytes kBlockSamples = {0,    0,    0,    0,  // the first sample
                             0x06, 0x03,           // base width, steps
                             0x02, 0x06, 0x08, 0x0A, 0x08, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
Bytes golden_genc2(uint32_t nsamp = 5, Bytes samples = kBlockSamples) {
  return golden_genc(nsamp, std::move(samples), 2);
}

// Offsets into golden_genc().
enum {
  G_LAYOUT = 8,
  G_COUNT = 9,
  G_NETLEN = 11,
  G_NET = 12,
  G_STA = 15,
  G_CHAN = 19,
  G_SEGTYPE = 24,
  G_TIME = 25,
  G_RATE = 33,
  G_NSAMP = 57,
  G_CODING = 61,
  G_CODED = 62,
  G_SAMPLES = 66,
};

void put32(Bytes &b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; i++) b[at + i] = static_cast<uint8_t>(v >> (24 - 8 * i));
}

// ---------------------------------------------------------------------------------------
// Round trips

struct RoundTrip {
  const char *name;
  const char *suffix;
  std::function<void(Packet *)> fill;
  const char *srcname;
  double time;  // NAN: the packet time is the current time
  int kind;
};

const std::vector<RoundTrip> &round_trips() {
  static const std::vector<RoundTrip> cases = {
      {"genc with loc", "GENC",
       [](Packet *p) {
         add_channel(p, "AZ", "PFO", "BHZ", "00", T2024 + 0.025, 40, {0, 1, -1, 64, -65, 1000000});
       },
       "AZ_PFO_BHZ_00/GENC", T2024 + 0.025, Pkt_wf},
      {"genc without loc, one sample", "GENC",
       [](Packet *p) { add_channel(p, "AZ", "PFO", "LHZ", "", T2024, 0.1, {-7}); },
       "AZ_PFO_LHZ/GENC", T2024, Pkt_wf},
      {"genc of extreme samples", "GENC",
       [](Packet *p) {
         add_channel(p, "AZ", "PFO", "BHZ", "", T2024, 100,
                     {INT32_MIN, INT32_MAX, INT32_MIN, 0, -1, INT32_MAX, INT32_MAX, 1});
       },
       "AZ_PFO_BHZ/GENC", T2024, Pkt_wf},
      {"genc of the longest codes", "GENC",
       [](Packet *p) {
         PktChannel *ch = add_channel(p, "ABCDEFG", "STATIONNAME1234", "CHANNELNAME1234", "LOCATIO",
                                      T2024, 1, {5, 6});
         strcpy(ch->segtype, "abc");
       },
       "ABCDEFG_STATIONNAME1234_CHANNELNAME1234_LOCATIO/GENC", T2024, Pkt_wf},
      {"mgenc of six channels, earliest time", "MGENC",
       [](Packet *p) {
         const char *chans[] = {"HHZ", "HHN", "HHE", "LHZ", "LHN", "LHE"};
         for (int i = 0; i < 6; i++) {
           std::vector<int32_t> s;
           for (int k = 0; k < 50 + i; k++) s.push_back((k * 37 + i * 1000) % 2001 - 1000);
           add_channel(p, "XX", "STA1", chans[i], i < 3 ? "" : "10",
                       T2024 + (i == 3 ? -0.5 : 0.01 * i), 100, s);
         }
       },
       "XX_STA1/MGENC", T2024 - 0.5, Pkt_wf},
      {"mgenc of one channel without samples", "MGENC",
       [](Packet *p) { add_channel(p, "AZ", "PFO", "BHZ", "", 0, 0, {}); }, "AZ_PFO/MGENC", 0,
       Pkt_wf},
      {"mgenc with empty net and sta", "MGENC",
       [](Packet *p) {
         add_channel(p, "", "", "BHZ", "", T2024, 20, {1, 2, 3});
       },
       "_/MGENC", T2024, Pkt_wf},
      {"db row", "db",
       [](Packet *p) { ASSERT_EQ(0, pkt_setdbrow(p, "wfdisc", "PFO  BHZ  1704067200.00000 -1")); },
       "/db/wfdisc", NAN, Pkt_db},
      {"db row, empty", "db", [](Packet *p) { ASSERT_EQ(0, pkt_setdbrow(p, "dlsite", "")); },
       "/db/dlsite", NAN, Pkt_db},
      {"pf tree", "pf",
       [](Packet *p) {
         ASSERT_EQ(0, pfcompile("sn 0100000A12345678\npocc2 &Arr{\nq330_ip_address 10.0.0.2\n"
                                "data_port_number 1\n}\nlist &Tbl{\none\ntwo words\n}\n",
                                &p->pf));
       },
       "/pf", NAN, Pkt_pf},
      {"pf tree, empty", "pf", [](Packet *p) { p->pf = pfnew(PFFILE); }, "/pf", NAN, Pkt_pf},
      {"stash text", "stash",
       [](Packet *p) {
         p->string = strdup("model q330\nsn 0100000A12345678\nchannels &Tbl{\n}\n");
       },
       "/stash", NAN, Pkt_stash},
      {"log text", "log",
       [](Packet *p) { p->string = strdup("2024001 00:00:00.000: q1: acquisition started"); },
       "/log", NAN, Pkt_log},
      {"log text, empty", "log", [](Packet *p) { p->string = strdup(""); }, "/log", NAN, Pkt_log},
  };
  return cases;
}

TEST(PktRoundTrip, EveryKindComesBackWithItsSourceNameAndTime) {
  for (const RoundTrip &c : round_trips()) {
    SCOPED_TRACE(c.name);
    PacketPtr pkt = make_packet(c.suffix);
    c.fill(pkt.get());
    double before = clock_now();
    Stuffed s = stuff(pkt.get());
    double after = clock_now();
    ASSERT_EQ(0, s.result) << take_registered();
    EXPECT_EQ(c.srcname, s.srcname);
    if (std::isnan(c.time)) {
      EXPECT_GE(s.time, before);
      EXPECT_LE(s.time, after);
    } else {
      EXPECT_EQ(c.time, s.time);
    }
    Packet *back = nullptr;
    EXPECT_EQ(c.kind, unstuff(s.bytes, &back)) << take_registered();
    ASSERT_NE(nullptr, back);
    EXPECT_EQ(pkt_dump(pkt.get()), pkt_dump(back));
    EXPECT_EQ(suffix2pkttype(c.suffix), back->pkttype);
    freePkt(back);
    EXPECT_EQ("", take_registered());
  }
}

TEST(PktRoundTrip, BytesAfterThePacketAreIgnored) {
  // A writer may hand its whole buffer to the ring, longer than the packet in it.
  for (const RoundTrip &c : round_trips()) {
    SCOPED_TRACE(c.name);
    PacketPtr pkt = make_packet(c.suffix);
    c.fill(pkt.get());
    Stuffed s = stuff(pkt.get());
    ASSERT_EQ(0, s.result);
    s.bytes.insert(s.bytes.end(), {0x00, 0xFF, 0x56});
    Packet *back = nullptr;
    EXPECT_EQ(c.kind, unstuff(s.bytes, &back)) << take_registered();
    EXPECT_EQ(pkt_dump(pkt.get()), pkt_dump(back));
    freePkt(back);
  }
}

TEST(PktWire, GencLayoutIsTheDocumentedOne) {
  PacketPtr pkt = make_packet("GENC");
  add_channel(pkt.get(), "AZ", "PFO", "BHZ", "", 1.0, 40, {0, 1, -1, 64, -65});
  Stuffed s = stuff(pkt.get());
  ASSERT_EQ(0, s.result);
  EXPECT_EQ(golden_genc2(), s.bytes);
  // Both codings read back to the same samples.
  for (const Bytes &b : {golden_genc(), golden_genc2()}) {
    Packet *back = nullptr;
    ASSERT_EQ(Pkt_wf, unstuff(b, &back)) << take_registered();
    EXPECT_EQ(pkt_dump(pkt.get()), pkt_dump(back));
    freePkt(back);
  }
}

TEST(PktWire, LogPacketIsTheProgramsLayout) {
  // A 20-character text gives 29 bytes: 00 08 00 1D 71 6C 71 6C, the text, a zero byte.
  const std::string text = "abcdefghijklmnopqrst";
  PacketPtr pkt = make_packet("log");
  pkt->string = strdup(text.c_str());
  Stuffed s = stuff(pkt.get());
  ASSERT_EQ(0, s.result);
  ASSERT_EQ(29u, s.bytes.size());
  EXPECT_EQ(log_bytes(text), s.bytes);

  Packet *back = nullptr;
  ASSERT_EQ(Pkt_log, unstuff(log_bytes(text), &back));
  EXPECT_STREQ(text.c_str(), back->string);
  freePkt(back);
}

TEST(PktWire, StashFromTextMatchesStashFromPacket) {
  const char *text = "model q330\nsn 1\n";
  char *buffer = nullptr;
  int nbytes = 0, bufsize = 0;
  ASSERT_EQ(0, stuffStashPkt(text, static_cast<int>(strlen(text)) + 1, &buffer, &nbytes, &bufsize));
  Bytes from_text(buffer, buffer + nbytes);
  free(buffer);
  EXPECT_EQ(framed(Pkt_stash, text_body(text)), from_text);
}

// Sample counts around the edges of blocks (16) and groups (64), and differences from
// none to the full 32 bits (wrapping around), read back as they were written.
TEST(PktWire, SamplesOfEveryWidthAndCountReadBack) {
  uint32_t seed = 99;
  auto next = [&seed] { return seed = seed * 1664525u + 1013904223u; };
  for (int bits : {0, 1, 4, 5, 13, 23, 31, 32}) {
    for (int n : {0, 1, 2, 15, 16, 17, 63, 64, 65, 66, 129, 1000}) {
      SCOPED_TRACE(std::to_string(bits) + " bits, " + std::to_string(n) + " samples");
      std::vector<int32_t> samples;
      uint32_t v = next();
      for (int i = 0; i < n; i++) {
        uint32_t step = bits == 32 ? next() : bits == 0 ? 0 : next() >> (32 - bits);
        if (i % 50 == 7) step = 0x80000000u;  // the widest difference, now and then
        samples.push_back(static_cast<int32_t>(v += step));
      }
      PacketPtr pkt = make_packet("GENC");
      add_channel(pkt.get(), "AZ", "PFO", "BHZ", "", T2024, 100, samples);
      Stuffed s = stuff(pkt.get());
      ASSERT_EQ(0, s.result);
      Packet *back = nullptr;
      ASSERT_EQ(Pkt_wf, unstuff(s.bytes, &back)) << take_registered();
      EXPECT_EQ(pkt_dump(pkt.get()), pkt_dump(back));
      freePkt(back);
    }
  }
}

TEST(PktWire, DifferencesTakeTheWidthOfTheirBlock) {
  PacketPtr pkt = make_packet("GENC");
  std::vector<int32_t> samples;
  int32_t v = 123456;
  for (int i = 0; i < 1000; i++) samples.push_back(v += (i * 7919) % 127 - 63);
  add_channel(pkt.get(), "AZ", "PFO", "BHZ", "", T2024, 100, samples);
  Stuffed s = stuff(pkt.get());
  ASSERT_EQ(0, s.result);
  // Header, layout and count, codes, fixed fields; the first sample in 4 bytes, then 999
  // differences of 7 bits (zigzagged, up to 126): 63 blocks of 14 bytes in 16 groups.
  EXPECT_EQ(8u + 3 + (5 + 2 + 3 + 3 + 0 + 1) + 32 + 9 + 4 + 16 * 2 + 63 * 14, s.bytes.size());
}

TEST(PktWire, SuffixesAndTheirKinds) {
  struct {
    const char *suffix;
    int kind;
  } known[] = {{"GENC", Pkt_wf}, {"MGENC", Pkt_wf}, {"db", Pkt_db},
               {"log", Pkt_log}, {"pf", Pkt_pf},    {"stash", Pkt_stash}};
  for (auto &k : known) {
    const PktType *type = suffix2pkttype(k.suffix);
    ASSERT_NE(nullptr, type) << k.suffix;
    EXPECT_STREQ(k.suffix, type->suffix);
    EXPECT_EQ(k.kind, type->kind);
  }
  for (const char *bad : {"genc", "GENC2", "", "PF"}) {
    EXPECT_EQ(nullptr, suffix2pkttype(bad)) << bad;
    EXPECT_NE(std::string::npos, take_registered().find("suffix2pkttype: unknown packet suffix"));
  }
  EXPECT_EQ(nullptr, suffix2pkttype(nullptr));
  take_registered();
}

// ---------------------------------------------------------------------------------------
// Reuse of a packet by unstuffPkt

TEST(PktUnstuff, ReusesTheGivenPacketAndItsChannels) {
  PacketPtr six = make_packet("MGENC");
  for (int i = 0; i < 6; i++) add_channel(six.get(), "XX", "S", "HHZ", "", T2024, 100, {1, 2, 3});
  PacketPtr one = make_packet("GENC");
  add_channel(one.get(), "AZ", "PFO", "BHZ", "", T2024, 40, std::vector<int32_t>(500, 9));
  PacketPtr pf = make_packet("pf");
  ASSERT_EQ(0, pfcompile("a b\n", &pf->pf));

  Packet *pkt = newPkt();
  Packet *given = pkt;
  ASSERT_EQ(Pkt_wf, unstuff(stuff(six.get()).bytes, &pkt));
  PktChannel *first = static_cast<PktChannel *>(gettbl(pkt->channels, 0));
  ASSERT_EQ(Pkt_wf, unstuff(stuff(one.get()).bytes, &pkt));
  EXPECT_EQ(given, pkt);
  EXPECT_EQ(1, pkt->nchannels);
  EXPECT_EQ(6, maxtbl(pkt->channels));  // kept for the next packet
  EXPECT_EQ(first, gettbl(pkt->channels, 0));
  EXPECT_GE(first->datasz, 500);
  EXPECT_EQ(pkt_dump(one.get()), pkt_dump(pkt));

  ASSERT_EQ(Pkt_pf, unstuff(stuff(pf.get()).bytes, &pkt));
  EXPECT_EQ(0, pkt->nchannels);
  EXPECT_EQ(pkt_dump(pf.get()), pkt_dump(pkt));

  // A failure leaves the given packet empty.
  EXPECT_EQ(-1, unstuff(Bytes{1, 2, 3}, &pkt));
  EXPECT_EQ(given, pkt);
  EXPECT_EQ(nullptr, pkt->pkttype);
  EXPECT_EQ(nullptr, pkt->pf);
  EXPECT_EQ(0, pkt->nchannels);
  freePkt(pkt);

  // A packet made by a failing call is freed.
  Packet *made = nullptr;
  EXPECT_EQ(-1, unstuff(Bytes{1, 2, 3}, &made));
  EXPECT_EQ(nullptr, made);
  take_registered();
}

TEST(PktUnstuff, ProgramSizedChannelBuffersAreGrownNotOverrun) {
  // A channel the program allocated with fewer samples than the next packet holds.
  Packet *pkt = newPkt();
  PktChannel *ch = newPktChannel();
  ch->data = static_cast<int32_t *>(malloc(2 * sizeof(int32_t)));
  ch->datasz = 2;
  pushtbl(pkt->channels, ch);
  Packet *p = pkt;
  ASSERT_EQ(Pkt_wf, unstuff(golden_genc(), &p));
  EXPECT_EQ(5, ch->nsamp);
  EXPECT_GE(ch->datasz, 5);
  EXPECT_EQ(-65, ch->data[4]);
  freePkt(pkt);
}

// ---------------------------------------------------------------------------------------
// Hostile and truncated input

struct Hostile {
  const char *name;
  Bytes bytes;
  const char *reason;
};

Bytes mutate(Bytes b, const std::function<void(Bytes &)> &change) {
  change(b);
  return b;
}

std::vector<Hostile> hostile_cases() {
  const Bytes g = golden_genc();
  auto f64 = [](Bytes &b, size_t at, uint64_t bits) {
    put32(b, at, static_cast<uint32_t>(bits >> 32));
    put32(b, at + 4, static_cast<uint32_t>(bits));
  };
  Bytes longer_body = g;
  longer_body.push_back(0);
  put32(longer_body, 4, static_cast<uint32_t>(longer_body.size() - 8));
  Bytes db_long(33, 't');
  db_long[0] = 32;  // a table name of 32 characters

  return {
      {"no bytes", {}, "not a packet of a known layout"},
      {"one byte", {0x56}, "not a packet of a known layout"},
      {"bad magic", mutate(g, [](Bytes &b) { b[1] = 0x51; }), "not a packet of a known layout"},
      {"header cut short", Bytes(g.begin(), g.begin() + 7), "truncated header"},
      {"version 3", mutate(g, [](Bytes &b) { b[2] = 3; }), "unknown packet format version"},
      {"unknown kind", mutate(g, [](Bytes &b) { b[3] = 9; }), "unknown packet kind"},
      {"log kind in our header", mutate(g, [](Bytes &b) { b[3] = Pkt_log; }),
       "unknown packet kind"},
      {"body longer than the bytes", mutate(g, [&](Bytes &b) { put32(b, 4, g.size() - 7); }),
       "truncated body"},
      {"body length 0xFFFFFFFF", mutate(g, [](Bytes &b) { put32(b, 4, 0xFFFFFFFF); }),
       "truncated body"},
      {"unknown layout", mutate(g, [](Bytes &b) { b[G_LAYOUT] = 3; }), "unknown waveform layout"},
      {"genc of two channels", mutate(g, [](Bytes &b) { b[G_COUNT + 1] = 2; }),
       "wrong number of channels"},
      {"mgenc of no channels",
       mutate(g,
              [](Bytes &b) {
                b[G_LAYOUT] = 2;
                b[G_COUNT + 1] = 0;
              }),
       "wrong number of channels"},
      {"mgenc short of its channels",
       mutate(g,
              [](Bytes &b) {
                b[G_LAYOUT] = 2;
                b[G_COUNT] = 0xFF;
                b[G_COUNT + 1] = 0xFF;
              }),
       "truncated or bad channel code"},
      {"net as long as its field", mutate(g, [](Bytes &b) { b[G_NETLEN] = 8; }),
       "truncated or bad channel code"},
      {"net with '_'", mutate(g, [](Bytes &b) { b[G_NET] = '_'; }), "bad channel code"},
      {"sta with '/'", mutate(g, [](Bytes &b) { b[G_STA] = '/'; }), "bad channel code"},
      {"chan with a control character", mutate(g, [](Bytes &b) { b[G_CHAN] = 0x1B; }),
       "bad channel code"},
      {"segtype with a zero byte", mutate(g, [](Bytes &b) { b[G_SEGTYPE] = 0; }),
       "bad channel code"},
      {"time NaN", mutate(g, [&](Bytes &b) { f64(b, G_TIME, 0x7FF8000000000000ull); }),
       "not finite"},
      {"samprate infinite", mutate(g, [&](Bytes &b) { f64(b, G_RATE, 0x7FF0000000000000ull); }),
       "not finite"},
      {"more samples than coded bytes", mutate(g, [](Bytes &b) { put32(b, G_NSAMP, 8); }),
       "more samples than coded bytes"},
      {"nsamp 0xFFFFFFFF", mutate(g, [](Bytes &b) { put32(b, G_NSAMP, 0xFFFFFFFF); }),
       "more samples than coded bytes"},
      {"fewer samples than coded", mutate(g, [](Bytes &b) { put32(b, G_NSAMP, 4); }),
       "do not match the sample count"},
      {"coded length past the body", mutate(g, [](Bytes &b) { put32(b, G_CODED, 8); }),
       "truncated channel samples"},
      {"coded length 0xFFFFFFFF", mutate(g, [](Bytes &b) { put32(b, G_CODED, 0xFFFFFFFF); }),
       "truncated channel samples"},
      {"coding 2 in a version 1 packet", mutate(g, [](Bytes &b) { b[G_CODING] = 2; }),
       "unknown sample coding"},
      {"unknown sample coding", mutate(golden_genc2(), [](Bytes &b) { b[G_CODING] = 3; }),
       "unknown sample coding"},
      {"blocks: base width 33", golden_genc2(5, mutate(kBlockSamples, [](Bytes &b) { b[4] = 33; })),
       "do not match the sample count"},
      {"blocks: width over 32",
       golden_genc2(5,
                    [] {
                      Bytes b = {0, 0, 0, 0, 31, 0x02};
                      b.resize(b.size() + 2 * 33, 0);
                      return b;
                    }()),
       "do not match the sample count"},
      {"blocks: steps for a block the group lacks",
       golden_genc2(5, mutate(kBlockSamples, [](Bytes &b) { b[5] = 0x07; })),
       "do not match the sample count"},
      {"blocks: a block cut short",
       golden_genc2(5, Bytes(kBlockSamples.begin(), kBlockSamples.end() - 1)),
       "do not match the sample count"},
      {"blocks: bytes after the last group",
       golden_genc2(5, mutate(kBlockSamples, [](Bytes &b) { b.push_back(0); })),
       "do not match the sample count"},
      {"blocks: the first sample cut short", golden_genc2(1, {0, 0, 0}),
       "more samples than coded bytes"},
      {"blocks: more samples than the bytes can hold", golden_genc2(1000, kBlockSamples),
       "more samples than coded bytes"},
      {"blocks: samples past the groups", golden_genc2(20, kBlockSamples),
       "do not match the sample count"},
      {"varint running off the end", mutate(g, [](Bytes &b) { b.back() = 0x82; }),
       "do not match the sample count"},
      {"varint of six bytes", golden_genc(1, {0x80, 0x80, 0x80, 0x80, 0x80, 0x00}),
       "do not match the sample count"},
      {"varint over 32 bits", golden_genc(1, {0x80, 0x80, 0x80, 0x80, 0x10}),
       "do not match the sample count"},
      {"bytes after the last channel", longer_body, "left over"},
      {"db table name empty", framed(Pkt_db, {0, 'r'}), "bad db table name"},
      {"db table name too long", framed(Pkt_db, db_long), "bad db table name"},
      {"db table name with a blank", framed(Pkt_db, {3, 'a', ' ', 'b'}), "bad db table name"},
      {"db table name cut short", framed(Pkt_db, {10, 'w', 'f'}), "bad db table name"},
      {"db row with a zero byte", framed(Pkt_db, {1, 'w', 'r', 0, 'w'}), "zero byte"},
      {"pf text with a zero byte", framed(Pkt_pf, {'a', ' ', 0}), "zero byte"},
      {"pf text that does not read", framed(Pkt_pf, text_body("a &Arr{\nb c\n")), "does not read"},
      {"stash text with a zero byte", framed(Pkt_stash, {'x', 0, 'y'}), "zero byte"},
      {"log size below its header", mutate(log_bytes("abc"), [](Bytes &b) { b[3] = 8; }),
       "truncated log packet"},
      {"log size past the bytes", mutate(log_bytes("abc"), [](Bytes &b) { b[3] = 13; }),
       "truncated log packet"},
      {"log size 0xFFFF", mutate(log_bytes("abc"), [](Bytes &b) { b[2] = b[3] = 0xFF; }),
       "truncated log packet"},
      {"log without its zero byte", mutate(log_bytes("abc"), [](Bytes &b) { b.back() = 'd'; }),
       "without its zero byte"},
      {"log with an inner zero byte", mutate(log_bytes("abc"), [](Bytes &b) { b[9] = 0; }),
       "zero byte"},
      {"log header size 9", mutate(log_bytes("abc"), [](Bytes &b) { b[1] = 9; }),
       "not a packet of a known layout"},
      {"log header cut short", Bytes{0, 8, 0, 9, 0x71, 0x6C, 0x71},
       "not a packet of a known layout"},
  };
}

TEST(PktUnstuff, HostileBytesAreRefusedWithTheReason) {
  for (const Hostile &c : hostile_cases()) {
    SCOPED_TRACE(c.name);
    Packet *pkt = nullptr;
    EXPECT_EQ(-1, unstuff(c.bytes, &pkt, "AZ_PFO/GENC"));
    EXPECT_EQ(nullptr, pkt);
    std::string reg = take_registered();
    EXPECT_NE(std::string::npos, reg.find("unstuffPkt: AZ_PFO/GENC: ")) << reg;
    EXPECT_NE(std::string::npos, reg.find(c.reason)) << reg;
  }
}

TEST(PktUnstuff, EveryTruncationIsRefused) {
  std::vector<Bytes> whole = {golden_genc(), log_bytes("a log line")};
  for (const RoundTrip &c : round_trips()) {
    PacketPtr pkt = make_packet(c.suffix);
    c.fill(pkt.get());
    whole.push_back(stuff(pkt.get()).bytes);
  }
  for (const Bytes &b : whole) {
    for (size_t n = 0; n < b.size(); n++) {
      Packet *pkt = nullptr;
      EXPECT_EQ(-1, unstuff(Bytes(b.begin(), b.begin() + n), &pkt))
          << "cut to " << n << " of " << b.size();
      freePkt(pkt);
    }
  }
  take_registered();
}

TEST(PktUnstuff, MissingArgumentsAreRefused) {
  Packet *pkt = nullptr;
  char byte = 0;
  EXPECT_EQ(-1, unstuffPkt("src", 0, nullptr, 1, &pkt));
  EXPECT_EQ(-1, unstuffPkt("src", 0, &byte, -1, &pkt));
  EXPECT_EQ(-1, unstuffPkt("src", 0, &byte, 1, nullptr));
  EXPECT_EQ(nullptr, pkt);
  EXPECT_NE(std::string::npos, take_registered().find("unstuffPkt: src: no packet bytes"));
}

// ---------------------------------------------------------------------------------------
// What stuffPkt refuses

struct Refusal {
  const char *name;
  const char *suffix;
  std::function<void(Packet *)> change;  // applied to a packet holding one good channel
  const char *message;
};

TEST(PktStuff, BadPacketsAreRefusedWithoutTouchingTheOutputs) {
  const std::vector<Refusal> cases = {
      {"no type", "GENC", [](Packet *p) { p->pkttype = nullptr; }, "has no type"},
      {"genc of two channels", "GENC",
       [](Packet *p) { add_channel(p, "AZ", "PFO", "BHN", "", T2024, 40, {1}); },
       "a GENC packet can't hold 2 channels"},
      {"mgenc of no channels", "MGENC", [](Packet *p) { p->nchannels = 0; },
       "a MGENC packet can't hold 0 channels"},
      {"nchannels past the list", "MGENC", [](Packet *p) { p->nchannels = 2; },
       "nchannels is 2 but the packet has 1 channels"},
      {"missing channel", "GENC",
       [](Packet *p) {
         freePktChannel(static_cast<PktChannel *>(gettbl(p->channels, 0)));
         settbl(p->channels, 0, nullptr);
       },
       "channel 0 is missing"},
      {"net unterminated", "GENC",
       [](Packet *p) {
         memset(static_cast<PktChannel *>(gettbl(p->channels, 0))->net, 'A', PKT_NET_SIZE);
       },
       "net is not terminated within 8 bytes"},
      {"sta unterminated", "GENC",
       [](Packet *p) {
         memset(static_cast<PktChannel *>(gettbl(p->channels, 0))->sta, 'S', PKT_STA_SIZE);
       },
       "sta is not terminated within 16 bytes"},
      {"sta with '_'", "GENC",
       [](Packet *p) { strcpy(static_cast<PktChannel *>(gettbl(p->channels, 0))->sta, "P_O"); },
       "sta 'P_O' holds"},
      {"chan with a blank", "GENC",
       [](Packet *p) { strcpy(static_cast<PktChannel *>(gettbl(p->channels, 0))->chan, "B Z"); },
       "chan 'B Z' holds"},
      {"loc with '/'", "GENC",
       [](Packet *p) { strcpy(static_cast<PktChannel *>(gettbl(p->channels, 0))->loc, "0/"); },
       "loc '0/' holds"},
      {"segtype with a control character", "GENC",
       [](Packet *p) { strcpy(static_cast<PktChannel *>(gettbl(p->channels, 0))->segtype, "\t"); },
       "segtype"},
      {"nsamp above datasz", "GENC",
       [](Packet *p) {
         PktChannel *ch = static_cast<PktChannel *>(gettbl(p->channels, 0));
         ch->nsamp = ch->datasz + 1;
       },
       "outside 0 .. datasz"},
      {"negative nsamp", "GENC",
       [](Packet *p) { static_cast<PktChannel *>(gettbl(p->channels, 0))->nsamp = -1; },
       "nsamp -1 is outside"},
      {"samples without data", "GENC",
       [](Packet *p) {
         PktChannel *ch = static_cast<PktChannel *>(gettbl(p->channels, 0));
         free(ch->data);
         ch->data = nullptr;
       },
       "but no data"},
      {"time NaN", "GENC",
       [](Packet *p) { static_cast<PktChannel *>(gettbl(p->channels, 0))->time = NAN; },
       "time is not a finite number"},
      {"calper infinite", "GENC",
       [](Packet *p) { static_cast<PktChannel *>(gettbl(p->channels, 0))->calper = INFINITY; },
       "calper is not a finite number"},
      {"db without a row", "db", [](Packet *p) { p->db.table = strdup("wfdisc"); },
       "without a table name or row"},
      {"db table name with a blank", "db",
       [](Packet *p) {
         p->db.table = strdup("wf disc");
         p->db.row = strdup("row");
       },
       "bad db table name 'wf disc'"},
      {"pf without a tree", "pf", [](Packet *) {}, "without a parameter-file tree"},
      {"pf of a text node", "pf", [](Packet *p) { p->pf = pfnew(PFSTRING); },
       "without a parameter-file tree"},
      {"log without a text", "log", [](Packet *) {}, "log packet without a text"},
      {"log text too long", "log",
       [](Packet *p) { p->string = strdup(std::string(PKT_LOG_TEXT_MAX + 1, 'x').c_str()); },
       "a log text of 65527 characters is longer than 65526"},
      {"stash without a text", "stash", [](Packet *) {}, "stash packet without a text"},
  };
  for (const Refusal &c : cases) {
    SCOPED_TRACE(c.name);
    PacketPtr pkt = make_packet(c.suffix);
    if (pkt->pkttype->kind == Pkt_wf)
      add_channel(pkt.get(), "AZ", "PFO", "BHZ", "", T2024, 40, {1, 2});
    c.change(pkt.get());
    char *buffer = nullptr;
    int nbytes = -5, bufsize = 0;
    char srcname[PKT_SRCNAME_SIZE] = "unchanged";
    double time = -1;
    EXPECT_EQ(-1, stuffPkt(pkt.get(), srcname, &time, &buffer, &nbytes, &bufsize));
    EXPECT_EQ(nullptr, buffer);
    EXPECT_EQ(-5, nbytes);
    EXPECT_STREQ("unchanged", srcname);
    EXPECT_EQ(-1, time);
    std::string reg = take_registered();
    EXPECT_EQ(0u, reg.find("stuffPkt: ")) << reg;
    EXPECT_NE(std::string::npos, reg.find(c.message)) << reg;
  }
}

TEST(PktStuff, APacketOverTheIntRangeIsRefusedBeforeItsSamplesAreRead) {
  PacketPtr pkt = make_packet("GENC");
  PktChannel *ch = add_channel(pkt.get(), "AZ", "PFO", "BHZ", "", T2024, 40, {1});
  int32_t *real = ch->data;
  int32_t one = 1;
  ch->data = &one;                     // far fewer samples than claimed: reading them would overrun
  ch->nsamp = ch->datasz = 600000000;  // at most 4 bytes each and a little
  char *buffer = nullptr;
  int nbytes = 0, bufsize = 0;
  EXPECT_EQ(-1, stuffPkt(pkt.get(), nullptr, nullptr, &buffer, &nbytes, &bufsize));
  EXPECT_EQ(nullptr, buffer);
  EXPECT_NE(std::string::npos, take_registered().find("stuffPkt: the packet would be longer than"));
  ch->data = real;
}

TEST(PktStuff, StashTextMustEndInItsOnlyZeroByte) {
  struct {
    const char *name;
    const char *text;
    int length;
  } cases[] = {
      {"no text", nullptr, 1},        {"length 0", "", 0},
      {"negative length", "abc", -3}, {"length without the zero", "abc", 3},
      {"inner zero", "ab\0c", 5},
  };
  for (auto &c : cases) {
    SCOPED_TRACE(c.name);
    char *buffer = nullptr;
    int nbytes = -5, bufsize = 0;
    EXPECT_EQ(-1, stuffStashPkt(c.text, c.length, &buffer, &nbytes, &bufsize));
    EXPECT_EQ(nullptr, buffer);
    EXPECT_EQ(-5, nbytes);
    EXPECT_EQ(0u, take_registered().find("stuffStashPkt: "));
  }
}

TEST(PktStuff, ABufferIsGrownButNeverShrunk) {
  PacketPtr big = make_packet("GENC");
  add_channel(big.get(), "AZ", "PFO", "BHZ", "", T2024, 40, std::vector<int32_t>(1000, 1));
  PacketPtr small = make_packet("GENC");
  add_channel(small.get(), "AZ", "PFO", "BHZ", "", T2024, 40, {1});
  char *buffer = nullptr;
  int nbytes = 0, bufsize = 0;
  ASSERT_EQ(0, stuffPkt(big.get(), nullptr, nullptr, &buffer, &nbytes, &bufsize));
  int grown = bufsize;
  EXPECT_GE(grown, nbytes);
  ASSERT_EQ(0, stuffPkt(small.get(), nullptr, nullptr, &buffer, &nbytes, &bufsize));
  EXPECT_EQ(grown, bufsize);
  EXPECT_LT(nbytes, grown);
  free(buffer);
}

TEST(PktDbRow, TableNamesMustFitASourceName) {
  PacketPtr pkt = make_packet("db");
  for (const char *good : {"wfdisc", "site.x-1_a", "abcdefghijklmnopqrstuvwxyz01234"}) {
    EXPECT_EQ(0, pkt_setdbrow(pkt.get(), good, "row")) << good;
    EXPECT_STREQ(good, pkt->db.table);
  }
  for (const char *bad : {"", "abcdefghijklmnopqrstuvwxyz012345", "wf disc", "a/b", "tab\t"}) {
    EXPECT_EQ(-1, pkt_setdbrow(pkt.get(), bad, "row")) << bad;
    EXPECT_EQ(0u, take_registered().find("pkt_setdbrow: bad table name")) << bad;
  }
  EXPECT_EQ(-1, pkt_setdbrow(pkt.get(), "wfdisc", nullptr));
  EXPECT_EQ(-1, pkt_setdbrow(nullptr, "wfdisc", "row"));
  EXPECT_STREQ("abcdefghijklmnopqrstuvwxyz01234", pkt->db.table);  // failures change nothing
  take_registered();
}

// ---------------------------------------------------------------------------------------
// Descriptions

std::string describe(const Bytes &bytes, const char *srcname, int verbose) {
  char *text = pkt_describe(srcname, T2024, reinterpret_cast<const char *>(bytes.data()),
                            static_cast<int>(bytes.size()), verbose);
  std::string out = text;
  free(text);
  return out;
}

TEST(PktDescribe, OneLineAndVerbose) {
  PacketPtr genc = make_packet("GENC");
  std::vector<int32_t> twelve = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, -11, 12};
  add_channel(genc.get(), "AZ", "PFO", "BHZ", "00", T2024, 40, twelve);
  Bytes g = stuff(genc.get()).bytes;
  std::string n = std::to_string(g.size());
  EXPECT_EQ("AZ_PFO_BHZ_00/GENC 2024-01-01 00:00:00.000 " + n +
                " bytes GENC: 1 channel, 12 samples, AZ_PFO_BHZ_00 at 40 sps\n",
            describe(g, "AZ_PFO_BHZ_00/GENC", 0));
  EXPECT_EQ("AZ_PFO_BHZ_00/GENC 2024-01-01 00:00:00.000 " + n +
                " bytes GENC: 1 channel, 12 samples, AZ_PFO_BHZ_00 at 40 sps\n"
                "  AZ_PFO_BHZ_00 segtype 'V' time 2024-01-01 00:00:00.000 samprate 40 calib 0.5 "
                "calper 1 nsamp 12\n"
                "    1 2 3 4 5 6 7 8 9 10\n"
                "    -11 12\n",
            describe(g, "AZ_PFO_BHZ_00/GENC", 1));

  PacketPtr pf = make_packet("pf");
  ASSERT_EQ(0, pfcompile("a 1\nb 2\n", &pf->pf));
  Bytes p = stuff(pf.get()).bytes;
  EXPECT_EQ("q1/pf/st 2024-01-01 00:00:00.000 " + std::to_string(p.size()) +
                " bytes pf: 2 keys\na 1\nb 2\n",
            describe(p, "q1/pf/st", 1));

  // Control characters from the wire never reach the terminal.
  EXPECT_EQ("q1/log 2024-01-01 00:00:00.000 23 bytes log: boot.[2Jdone ...\n",
            describe(log_bytes("boot\x1b[2Jdone\nx"), "q1/log", 0));
}

TEST(PktDescribe, UndecodableBytesGiveTheReasonAndRegisterNothing) {
  elog_log(0, "earlier message\n");
  int mark = elog_mark();
  EXPECT_EQ("x/GENC 2024-01-01 00:00:00.000 3 bytes undecodable: not a packet of a known layout\n",
            describe(Bytes{1, 2, 3}, "x/GENC", 1));
  // The reason of the function that refused the text comes along.
  std::string pf = describe(framed(Pkt_pf, text_body("a &Arr{\n")), "x/pf", 0);
  EXPECT_EQ(0u, pf.find("x/pf 2024-01-01 00:00:00.000 16 bytes undecodable: the parameter-file "
                        "text does not read (pf"))
      << pf;
  EXPECT_EQ(1, std::count(pf.begin(), pf.end(), '\n')) << pf;
  EXPECT_EQ(mark, elog_mark());
  EXPECT_EQ("earlier message\n", take_registered());
}

}  // namespace
