// The stream handler on its own, on a driven clock: ordering, retransmission requests,
// resynchronisation, the live-order window and the continue rule. The link has no
// connection, so requests and continues show only in the datalogger's bookkeeping.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <vector>

#include "altuscom_fixture.h"
#include "altuscomsubs_output.h"
#include "altuscomsubs_stream.h"
#include "base/arr.h"
#include "testkit/testkit.h"

namespace {

class StreamHandler : public AltusPipeline {
 protected:
  void SetUp() override {
    AltusPipeline::SetUp();
    dl->numStream = 2;
    dl->stream_status = STRSTATUS_RUNNING;
    modem->connected_dl = dl;
    for (int i = 0; i < ALTUS_MAXSTREAM; i++) {
      dl->str_stream2pchan[i] = i;
      dl->data_chan[1][i].outputthischan = 1;
    }
  }
  void TearDown() override {
    if (registered) delarr(altus->dltargets_array, "dlA");
    free(altus->statefile_name);
    altus->statefile_name = nullptr;
    AltusPipeline::TearDown();
  }
  void reorder(int max_strbuf, int max_retran, int ordered) {
    dl->max_strbuf = max_strbuf;
    dl->max_strretranbuf = max_retran;
    dl->strbuf = static_cast<AltusStrbufEntry *>(calloc(max_strbuf, sizeof(AltusStrbufEntry)));
    dl->order_output_data = ordered;
  }
  static AltusBlockStrdata *pkt(unsigned seq, unsigned stream, bool good = true) {
    auto *p = static_cast<AltusBlockStrdata *>(calloc(1, sizeof(AltusBlockStrdata)));
    p->dataSeq = seq;
    p->stream = static_cast<uint8_t>(stream);
    p->time_altusepoch = 1000 + seq;
    p->nsamp = 1;
    p->dataChk = 77;
    p->dataChk_comp = good ? 77 : 78;
    return p;
  }
  int feed(unsigned coded, int kind = STRDATA_KIND_DATA, bool good = true) {
    return altuscom_process_stream_packet(pkt(coded / dl->numStream, coded % dl->numStream, good),
                                          kind, dl, 0);
  }
  int nak(unsigned seq, unsigned stream, unsigned code) {
    auto *n = static_cast<AltusStrNak *>(calloc(1, sizeof(AltusStrNak)));
    *n = AltusStrNak{seq, stream, code};
    return altuscom_process_stream_packet(n, STRDATA_KIND_NAK, dl, 0);
  }
  // Coded numbers of the packets output since the last call.
  std::vector<unsigned> out() {
    std::vector<unsigned> v;
    for (AltusPacket *p : drain()) {
      if (p->type != ALTUSPKT_STREAM) continue;
      const auto *s = reinterpret_cast<const AltusBlockStrdata *>(p->data);
      v.push_back(s->dataSeq * dl->numStream + s->stream);
    }
    return v;
  }
  std::vector<unsigned> retran() {
    return std::vector<unsigned>(dl->strretranbuf, dl->strretranbuf + dl->n_strretranbuf);
  }
  void use_statefile() {
    altus->statefile_name = strdup(tmp.file("state").c_str());
    setarr(altus->dltargets_array, "dlA", dl);
    registered = true;
  }
  std::string statefile() {
    std::ifstream f(tmp.file("state"));
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
  }
  using V = std::vector<unsigned>;
  TempDir tmp;
  bool registered = false;
};

TEST_F(StreamHandler, WithoutReorderBufferEveryGoodPacketGoesOutAtOnce) {
  EXPECT_EQ(feed(0), 0);
  EXPECT_EQ(feed(1), 0);
  EXPECT_EQ(feed(5), 0);
  EXPECT_EQ(feed(4, STRDATA_KIND_DATA, false), -1);  // bad CRC: dropped
  EXPECT_EQ(feed(5, STRDATA_KIND_RQDATA), 0);
  EXPECT_EQ(out(), (V{0, 1, 5, 5}));
  EXPECT_EQ(dl->n_strretranbuf, 0);
  EXPECT_EQ(nak(9, 0, 3), 0);  // nothing to give up
}

TEST_F(StreamHandler, AGapIsRequestedOnceThenAgainAfterTenSeconds) {
  reorder(8, 4, 1);
  feed(0), feed(1), feed(3), feed(4);
  EXPECT_EQ(out(), (V{0, 1}));
  EXPECT_EQ(retran(), (V{2}));
  EXPECT_EQ(dl->strbuf[dl->strbuf_head].code, 1u);
  const double asked = dl->lastretranreq_time;
  EXPECT_EQ(asked, clock.t);
  clock.t += 5;
  feed(5);
  EXPECT_EQ(retran(), (V{2}));
  EXPECT_EQ(dl->lastretranreq_time, asked);  // not asked again yet
  clock.t += 6;
  feed(6);
  EXPECT_EQ(retran(), (V{2}));
  EXPECT_EQ(dl->lastretranreq_time, clock.t);
}

TEST_F(StreamHandler, AGapIsFilledOrGivenUp) {
  struct Case {
    const char *name;
    int how;  // 0 retransmitted, 1 NAK 3 for it, 2 NAK 3 for a later number, 3 slid past
    V want;
  } cases[] = {
      {"retransmitted", 0, {0, 1, 2, 3, 4}},
      {"nak", 1, {0, 1, 3, 4}},
      {"later nak", 2, {0, 1, 3, 4}},
      {"slid past", 3, {0, 1, 3, 4, 5, 6, 7, 8, 9, 10}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    dl->nextSeq = 0;
    altuscom_flush_stream_strdata(modem);
    reorder(8, 4, 1);
    feed(0), feed(1), feed(3), feed(4);
    ASSERT_EQ(retran(), (V{2}));
    switch (c.how) {
      case 0:
        feed(2, STRDATA_KIND_RQDATA);
        break;
      case 1:
        nak(1, 0, 3);
        break;
      case 2:
        nak(1, 1, 3);
        break;
      default:
        for (unsigned s = 5; s <= 10; s++) feed(s);
    }
    EXPECT_EQ(out(), c.want);
    EXPECT_EQ(retran(), V{});
    if (c.how == 2) {
      EXPECT_EQ(dl->nextSeq, 5u);  // 4, held, went out as 3 was given up
    }
    altuscom_flush_stream_packet(modem, nullptr, 0, 0);
    free(dl->strbuf);
    dl->strbuf = nullptr;
    dl->max_strbuf = 0;
  }
}

TEST_F(StreamHandler, AFreshStreamCountsFromItsFirstPacketOrFromZeroAfterAReset) {
  for (int reset : {0, 1}) {
    SCOPED_TRACE(reset ? "counters reset" : "counters kept");
    reorder(8, 8, 1);
    dl->nextSeq = 0;
    dl->strseq_from_zero = reset;
    feed(3), feed(4);
    EXPECT_EQ(out(), reset ? V{} : (V{3, 4}));
    EXPECT_EQ(retran(), reset ? (V{0, 1, 2}) : V{});
    altuscom_flush_stream_packet(modem, nullptr, 0, 0);
    free(dl->strbuf);
    dl->strbuf = nullptr;
  }
}

TEST_F(StreamHandler, ARequestedPacketArrivingReordersTheOlderRequests) {
  reorder(8, 8, 1);
  feed(0), feed(3);  // 1 and 2 requested
  ASSERT_EQ(retran(), (V{1, 2}));
  feed(2, STRDATA_KIND_RQDATA);  // 1 was passed by: asked again, moved behind
  EXPECT_EQ(retran(), (V{1}));
  EXPECT_EQ(dl->lastretranreq_time, clock.t);
  feed(1, STRDATA_KIND_RQDATA);
  EXPECT_EQ(out(), (V{0, 1, 2, 3}));
}

TEST_F(StreamHandler, AListFullOfRequestsAsksForTheRestLater) {
  reorder(8, 2, 1);
  feed(0), feed(5);  // 1..4 missing; only two may be asked for
  EXPECT_EQ(retran(), (V{1, 2}));
  nak(0, 1, 3);  // 1 given up: 3 can now be asked for
  EXPECT_EQ(retran(), (V{2, 3}));
}

TEST_F(StreamHandler, FarBehindResynchronisesAndWritesTheState) {
  use_statefile();
  reorder(8, 4, 1);
  dl->nextSeq = 100;
  feed(100), feed(101);
  EXPECT_EQ(feed(97, STRDATA_KIND_RQDATA), 0);  // already passed: dropped
  EXPECT_EQ(feed(4, STRDATA_KIND_RQDATA), 0);   // a late answer, however far behind, too
  EXPECT_EQ(dl->nextSeq, 102u);
  EXPECT_EQ(out(), (V{100, 101}));
  dl->stream_status = STRSTATUS_FLUSHED;
  feed(103);  // 102 missing, 103 held
  feed(4);    // the datalogger's counters were reset: past the live-order window too
  EXPECT_EQ(out(), (V{103, 4}));
  EXPECT_EQ(dl->nextSeq, 5u);
  EXPECT_EQ(retran(), V{});
  EXPECT_EQ(dl->stream_status.v, STRSTATUS_RUNNING);
  // 4 is still on its way to the ring (no write thread here): a crash fetches it again.
  EXPECT_NE(statefile().find("nextseq 4\n"), std::string::npos) << statefile();
}

// A start with the counters kept (a restart from the state file, a reconnection) finds
// the datalogger far ahead: everything from the kept position is fetched, in order,
// instead of being given up to make room for the live packets (which the datalogger
// keeps too, and which are fetched in their turn).
TEST_F(StreamHandler, AStartBehindTheDataloggerFetchesAllItHolds) {
  reorder(8, 4, 1);
  dl->nextSeq = 100;
  dl->strseq_backfill = 1;  // as the stream start sets it when the counters are kept
  dl->strseq_backfill_end = 100;
  feed(130), feed(131);  // live, far beyond the reorder buffer
  EXPECT_EQ(out(), V{});
  EXPECT_EQ(retran(), (V{100, 101, 102, 103}));
  V got;
  for (int round = 0; round < 100 && dl->n_strretranbuf > 0; round++) {
    for (unsigned c : retran()) feed(c, STRDATA_KIND_RQDATA);  // the datalogger answers
    if (round == 3) feed(132);                                 // live, still beyond
    V o = out();
    got.insert(got.end(), o.begin(), o.end());
  }
  feed(133);  // live within reach: caught up
  for (unsigned c : retran()) feed(c, STRDATA_KIND_RQDATA);
  V o = out();
  got.insert(got.end(), o.begin(), o.end());
  V want;
  for (unsigned c = 100; c <= 133; c++) want.push_back(c);
  EXPECT_EQ(got, want);
  EXPECT_EQ(dl->strseq_backfill, 0);
}

TEST_F(StreamHandler, AHugeJumpOrBogusNakResynchronisesAtOnce) {
  reorder(8, 4, 1);
  dl->nextSeq = 10;
  feed(10);
  feed(2000000000u);
  EXPECT_EQ(out(), (V{10, 2000000000u}));
  EXPECT_EQ(dl->nextSeq, 2000000001u);
  EXPECT_EQ(retran(), V{});
  nak(1500000000u, 1, 3);  // coded 3000000001, far ahead
  EXPECT_EQ(dl->nextSeq, 3000000002u);
  feed(3000000002u);
  EXPECT_EQ(out(), (V{3000000002u}));
}

TEST_F(StreamHandler, AlienStreamNumbersAndPausedRecordsAreDropped) {
  reorder(8, 4, 1);
  feed(0);
  EXPECT_EQ(altuscom_process_stream_packet(pkt(1, 2), STRDATA_KIND_DATA, dl, 0), -1);
  EXPECT_EQ(nak(1, 7, 3), 0);
  dl->strpause = 1;
  EXPECT_EQ(feed(1), 0);
  dl->strpause = 0;
  EXPECT_EQ(out(), (V{0}));
  EXPECT_EQ(dl->nextSeq, 1u);
  dl->connected_modem = nullptr;  // no link: the record is still freed
  EXPECT_EQ(feed(1), 0);
}

TEST_F(StreamHandler, LiveOrderWindowDropsThePacketThatStartsBufferingAndReleasesInOrder) {
  dl->numStream = 3;
  for (unsigned c : {0u, 1u, 2u, 4u}) EXPECT_EQ(feed(c), 0);
  EXPECT_EQ(feed(3), -1);  // behind the live order: buffering starts, this one is dropped
  EXPECT_EQ(dl->strdata_buffering, 1);
  EXPECT_EQ(feed(6), 0);  // held until 5 comes
  EXPECT_EQ(out(), (V{0, 1, 2, 4}));
  EXPECT_EQ(feed(5), 0);
  EXPECT_EQ(feed(7), 0);
  EXPECT_EQ(feed(4), -1);  // passed
  EXPECT_EQ(out(), (V{5, 6, 7}));
  EXPECT_EQ(feed(12), 0);  // 8..9 never came: the window slides, 12 waits
  EXPECT_EQ(feed(10), 0);
  EXPECT_EQ(out(), (V{10}));
  EXPECT_EQ(feed(1000), 0);  // a long jump empties the window in order
  EXPECT_EQ(out(), (V{12}));
  // 1000 stays held; freeing the datalogger frees it.
}

TEST_F(StreamHandler, NakZeroFlushesHeldPacketsToTheOutput) {
  reorder(8, 4, 1);
  feed(0), feed(2), feed(3);
  EXPECT_EQ(nak(0, 0, 0), 0);
  EXPECT_EQ(out(), (V{0, 2, 3}));
  EXPECT_EQ(dl->nextSeq, 0u);
  EXPECT_EQ(dl->n_strbuf, 0);
  EXPECT_EQ(retran(), V{});
  EXPECT_EQ(dl->stream_status.v, STRSTATUS_FLUSHED);
}

TEST_F(StreamHandler, UnorderedModeOutputsAtOnceAndStillRequestsGaps) {
  reorder(8, 4, 0);
  feed(0), feed(2), feed(1, STRDATA_KIND_RQDATA), feed(3);
  EXPECT_EQ(out(), (V{0, 2, 1, 3}));
  EXPECT_EQ(dl->nextSeq, 4u);
  EXPECT_EQ(retran(), V{});
}

TEST_F(StreamHandler, ContinueRule) {
  reorder(8, 4, 1);
  dl->pktTimeout = 26;
  dl->next_continue_timeout = 100;
  feed(0);  // time_nextcontinue 0.0: sent at once
  EXPECT_EQ(dl->time_nextcontinue, clock.t + 100);
  EXPECT_EQ(dl->cntTimeout, 0);
  feed(2);  // 1 requested
  clock.t += 150;
  feed(3);  // past due, but a request is outstanding
  EXPECT_EQ(dl->cntTimeout, 2);
  for (unsigned c = 4; c < 24; c++) feed(c);  // until the count passes pktTimeout - 5
  EXPECT_LT(dl->cntTimeout, 21);
  EXPECT_EQ(dl->time_nextcontinue, clock.t + 100);
}

}  // namespace
