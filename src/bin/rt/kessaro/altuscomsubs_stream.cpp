// Stream acquisition: the stream handler, its buffers, pause and continue, and getstream0.
#include "altuscomsubs_stream.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "altuscom_hooks.h"
#include "altuscomsubs_block.h"
#include "altuscomsubs_blockops.h"
#include "altuscomsubs_connect.h"
#include "altuscomsubs_evtinfo.h"
#include "altuscomsubs_getblock.h"
#include "altuscomsubs_log.h"
#include "altuscomsubs_output.h"
#include "altuscomthread.h"
#include "base/clock.h"
#include "base/elog.h"

char *strstatus2str(int status) {
  static const char *const names[] = {"IDLE",       "POSTED",  "STARTING", "RUNNING",  "STOPPING",
                                      "NOCHANNELS", "FLUSHED", "PAUSING",  "DISABLING"};
  const char *n = (status >= 0 && status <= STRSTATUS_DISABLING) ? names[status] : "UNKNOWN";
  return strdup(n);
}

namespace {

// The furthest (in coded numbers) a start with the counters kept catches up on; a live
// packet further ahead starts counting afresh at it.
constexpr int64_t kBackfillMost = 1 << 20;

Kessaro *program_of(AltusDatalogger *dl) {
  return altuscom_program(dl != nullptr ? dl->userdata : nullptr);
}

void write_state(AltusDatalogger *dl) {
  Kessaro *k = program_of(dl);
  if (k) altuscom_write_state(k);
}

AltusStrbufEntry &entry(AltusDatalogger *dl, int i) {
  return dl->strbuf[(dl->strbuf_head + i) % dl->max_strbuf];
}

// Hands a record to the output pipeline, which takes it over; on failure it is freed.
void output_packet(Modem *modem, AltusDatalogger *dl, AltusBlockStrdata *p) {
  double t = 0.0;
  altustime2epoch(static_cast<int>(p->time_altusepoch), &t);
  t += p->time_msec * 0.001;
  if (altuscom_push_data(ALTUSPKT_STREAM, modem, dl, t, nullptr,
                         reinterpret_cast<unsigned char *>(p), static_cast<int>(sizeof *p)) != 0) {
    elog_clear_register(0);
    free(p);
  }
}

void release_held(Modem *modem, AltusDatalogger *dl, AltusBlockStrdata *p, bool write) {
  if (p == nullptr || p == ALTUS_STRBUF_OUTPUT) return;
  if (write)
    output_packet(modem, dl, p);
  else
    free(p);
}

// Empties the live-order window (stream_mutex held).
void free_window(AltusDatalogger *dl) {
  for (AltusBlockStrdata *&slot : dl->strdatabuf) {
    free(slot);
    slot = nullptr;
  }
  dl->nextStrdataSeq = 0;
  dl->strdata_buffering = 0;
}

// Empties the reorder buffer and the retransmission list (stream_mutex held). True when
// the state file is to be written.
bool flush_locked(Modem *modem, AltusDatalogger *dl, int write_output) {
  free_window(dl);
  if (dl->stream_status.v == STRSTATUS_RUNNING) dl->stream_status = STRSTATUS_FLUSHED;
  if (dl->max_strbuf <= 0 || dl->strbuf == nullptr) return false;
  for (int i = 0; i < dl->max_strbuf; i++) {
    AltusStrbufEntry &e = dl->strbuf[i];
    if (dl->order_output_data.v) release_held(modem, dl, e.packet, write_output != 0);
    e.packet = nullptr;
    e.code = 0;
  }
  dl->strbuf_head = 0;
  dl->n_strbuf = 0;
  dl->n_strretranbuf = 0;
  dl->nextSeq = 0;
  dl->strseq_backfill = 0;
  dl->strseq_kept = 0;
  return true;
}

void send_continue(Modem *modem, AltusDatalogger *dl, unsigned char *seqno) {
  if (dl->pktTimeout <= 0) return;
  dl->time_nextcontinue = clock_now() + dl->next_continue_timeout;
  dl->cntTimeout = 0;
  if (altuscom_v_strseq_verbose(dl)) {
    AltusDebugLines debug(true);
    altuscom_log_message(modem, dl, 0, "Sending stream continue\n");
  }
  if (modem && modem->buf_handle) {
    unsigned char arg = 2;
    void *out = nullptr;
    get_block(modem->buf_handle, PKC_STRCTRL, &arg, seqno, &out, nullptr, 0, modem, dl);
    free(out);
  }
  elog_clear_register(0);
}

// Whether the handler's continue rule asks for a continue now (stream_mutex held).
bool handler_continue_due(AltusDatalogger *dl) {
  if (dl->pktTimeout <= 0) return false;
  return (clock_now() > dl->time_nextcontinue && dl->n_strretranbuf <= 0) ||
         dl->cntTimeout > dl->pktTimeout - 5;
}

// What one handler call does once stream_mutex is released.
struct Deferred {
  std::vector<unsigned> requests;  // coded numbers to ask for, in order
  bool state = false;
  bool cont = false;
};

void retran_remove_below(AltusDatalogger *dl, unsigned limit, bool inclusive) {
  int k = 0;
  for (int i = 0; i < dl->n_strretranbuf; i++) {
    unsigned c = dl->strretranbuf[i];
    int32_t d = static_cast<int32_t>(c - limit);
    bool drop = inclusive ? d <= 0 : d < 0;
    if (!drop) dl->strretranbuf[k++] = c;
  }
  dl->n_strretranbuf = k;
}

// Moves the list head to its tail and asks for it again.
void retran_rotate(AltusDatalogger *dl, Deferred &todo) {
  unsigned c = dl->strretranbuf[0];
  memmove(dl->strretranbuf, dl->strretranbuf + 1, sizeof(unsigned) * (dl->n_strretranbuf - 1));
  dl->strretranbuf[dl->n_strretranbuf - 1] = c;
  todo.requests.push_back(c);
}

void seq_log(Modem *modem, AltusDatalogger *dl, unsigned coded, const char *what) {
  if (!altuscom_v_strseq_verbose(dl) || dl->numStream == 0) return;
  unsigned seq = coded / dl->numStream;
  AltusDebugLines debug(true);
  altuscom_log_message(modem, dl, 0, "%8.8u: %8.8u %1.1d %s (%5.5d %3.3d)", coded, seq,
                       static_cast<int>(coded - seq * dl->numStream), what,
                       static_cast<int>(dl->nextSeq), dl->n_strretranbuf);
}

// Pops the reorder buffer head, outputting a held packet in ordered mode.
void pop_and_output(Modem *modem, AltusDatalogger *dl) {
  AltusBlockStrdata *p = nullptr;
  unsigned coded = dl->nextSeq;
  pop_strpackets(dl, &p);
  if (p != nullptr && p != ALTUS_STRBUF_OUTPUT) {
    if (dl->order_output_data.v) {
      seq_log(modem, dl, coded, "STRDATA   processed");
      output_packet(modem, dl, p);
    } else {
      free(p);
    }
  }
}

// Restarts counting at `coded` after a counter reset or a jump too long to walk.
void resync(Modem *modem, AltusDatalogger *dl, unsigned coded, Deferred &todo) {
  altuscom_log_message(modem, dl, 0,
                       "altuscom_process_stream_packet: flushing and resyncing internal buffers");
  flush_locked(modem, dl, 1);
  dl->nextSeq = coded;
  todo.state = true;
  if (dl->stream_status.v == STRSTATUS_FLUSHED) dl->stream_status = STRSTATUS_RUNNING;
}

// Request pass and re-request timer (stream_mutex held).
void request_missing(AltusDatalogger *dl, Deferred &todo) {
  double now = clock_now();
  bool asked = false;
  retran_remove_below(dl, dl->nextSeq, false);  // passed numbers are not asked for again
  if (dl->strseq_backfill) {  // every entry up to the newest live packet is missing
    int64_t ahead = static_cast<int32_t>(dl->strseq_backfill_end - dl->nextSeq);
    if (ahead > dl->max_strbuf) ahead = dl->max_strbuf;
    if (ahead > dl->n_strbuf) dl->n_strbuf = static_cast<int>(ahead);
  }
  for (int i = 0; i < dl->n_strbuf && dl->n_strretranbuf < dl->max_strretranbuf; i++) {
    AltusStrbufEntry &e = entry(dl, i);
    if (e.packet != nullptr || e.code != 0) continue;
    unsigned c = dl->nextSeq + static_cast<unsigned>(i);
    dl->strretranbuf[dl->n_strretranbuf++] = c;
    todo.requests.push_back(c);
    e.code = 1;
    asked = true;
  }
  if (asked) dl->lastretranreq_time = now;
  if (now > dl->lastretranreq_time + 10.0) {
    for (int i = 0, n = dl->n_strretranbuf; i < n; i++) retran_rotate(dl, todo);
    dl->lastretranreq_time = now;
  }
}

int handle_locked(Modem *modem, AltusDatalogger *dl, void *packet, int kind, int override_window,
                  Deferred &todo);

// A refusal: code 3 gives up a requested packet (what is held behind it goes out), code 0
// asks for the buffers to be flushed; others are only logged (stream_mutex held).
void handle_nak(Modem *modem, AltusDatalogger *dl, AltusStrNak *nak, Deferred &todo) {
  unsigned code = nak->code, seq = nak->sequence, stream = nak->stream;
  free(nak);
  if (code != STRNAK_EXPIRED) {
    char *text = altusnak2str(code);
    altuscom_log_message(modem, dl, 0, "altuscom_process_stream_packet: STRNAK: %s.\n", text);
    free(text);
    if (code == STRNAK_QUEUE_FULL) {
      altuscom_log_message(
          modem, dl, 0,
          "altuscom_process_stream_packet: it looks like the packet buffer needs resetting");
      altuscom_log_message(modem, dl, 0,
                           "altuscom_process_stream_packet: flushing internal buffers");
      todo.state |= flush_locked(modem, dl, 1);
    }
    return;
  }
  if (stream >= dl->numStream) {
    altuscom_log_complain(modem, dl, 0, 0,
                          "altuscom_process_stream_packet: STRNAK for stream %u of %d dropped",
                          stream, static_cast<int>(dl->numStream));
    return;
  }
  unsigned coded = seq * dl->numStream + stream;
  if (dl->max_strbuf <= 0) {
    seq_log(modem, dl, coded, "STRNAK   ");
    return;
  }
  // The datalogger's buffer no longer reaches back to what is being fetched: catching up
  // ends, and live packets are kept again rather than left to it.
  dl->strseq_backfill = 0;
  int n_before = dl->n_strretranbuf;
  retran_remove_below(dl, coded, true);
  seq_log(modem, dl, coded,
          n_before != dl->n_strretranbuf ? "STRNAK    removed from list" : "STRNAK    not in list");
  int64_t d = static_cast<int32_t>(coded - dl->nextSeq);
  if (d >= static_cast<int64_t>(dl->max_strbuf) + dl->max_strretranbuf) {
    resync(modem, dl, coded + 1, todo);
  } else {
    while (static_cast<int32_t>(coded - dl->nextSeq) >= 0) pop_and_output(modem, dl);
  }
  // Packets held behind the given-up one go out now, not with the next arrival.
  while (dl->n_strbuf > 0 && entry(dl, 0).packet != nullptr) pop_and_output(modem, dl);
  request_missing(dl, todo);
}

// A data record with a bad CRC or of a stream not configured is dropped (freed): false.
bool data_usable(Modem *modem, AltusDatalogger *dl, AltusBlockStrdata *p, bool live) {
  if (p->dataChk != p->dataChk_comp) {
    altuscom_log_message(modem, dl, 0,
                         "altuscom_process_stream_packet: %s packet crc failed (data %d comp %d)",
                         live ? "STRDATA" : "STRRQDATA", static_cast<int>(p->dataChk),
                         static_cast<int>(p->dataChk_comp));
    free(p);
    return false;
  }
  if (p->stream >= dl->numStream) {
    altuscom_log_complain(modem, dl, 0, 0,
                          "altuscom_process_stream_packet: %s for stream %d of %d dropped",
                          live ? "STRDATA" : "STRRQDATA", static_cast<int>(p->stream),
                          static_cast<int>(dl->numStream));
    free(p);
    return false;
  }
  return true;
}

// The live-order window: live packets that arrive out of stream order are held until the
// gap fills or the window slides past it. False with *result when the packet was held or
// dropped here; true when it goes on to the reorder buffer.
bool through_window(Modem *modem, AltusDatalogger *dl, AltusBlockStrdata *p, unsigned coded,
                    Deferred &todo, int *result) {
  // Far behind the live order is not interleaving but a counter reset: the window is
  // emptied in order and starts again at this packet, which goes on to the reorder
  // buffer (that would otherwise drop every packet from here on).
  const int64_t behind = static_cast<int32_t>(coded - dl->nextStrdataSeq);
  if (dl->nextStrdataSeq != 0 && behind < -std::max<int64_t>(dl->max_strbuf, 2 * dl->numStream)) {
    for (int k = 0; k < dl->numStream; k++) {
      AltusBlockStrdata *h = nullptr;
      pop_strdatapackets(dl, &h);
      if (h) handle_locked(modem, dl, h, STRDATA_KIND_DATA, 1, todo);
    }
    dl->strdata_buffering = 0;
    dl->nextStrdataSeq = 0;
  }
  if (!dl->strdata_buffering) {
    if (dl->nextStrdataSeq == 0) {
      dl->nextStrdataSeq = coded + 1;
    } else if (static_cast<int32_t>(coded - dl->nextStrdataSeq) < 0) {
      altuscom_log_message(modem, dl, 0,
                           "altuscom_process_stream_packet: STRDATA packets out of stream order "
                           "- initiating stream buffering");
      dl->strdata_buffering = 1;
    } else {
      dl->nextStrdataSeq = coded + 1;
    }
  }
  if (dl->strdata_buffering) {
    int32_t d = static_cast<int32_t>(coded - dl->nextStrdataSeq);
    if (d < 0) {
      altuscom_log_message(modem, dl, 0,
                           "altuscom_process_stream_packet: discarding STRDATA packet out of "
                           "stream order (%d < %d)",
                           static_cast<int>(coded), static_cast<int>(dl->nextStrdataSeq));
      free(p);
      *result = -1;
      return false;
    }
    // Slide the window; after numStream pops it is empty, so a longer jump is made at once.
    for (int k = 0; d >= dl->numStream; k++) {
      if (k >= dl->numStream) {
        dl->nextStrdataSeq = coded - (dl->numStream - 1);
        d = dl->numStream - 1;
        break;
      }
      AltusBlockStrdata *h = nullptr;
      pop_strdatapackets(dl, &h);
      if (h) handle_locked(modem, dl, h, STRDATA_KIND_DATA, 1, todo);
      d = static_cast<int32_t>(coded - dl->nextStrdataSeq);
    }
    free(dl->strdatabuf[d]);  // a duplicate replaces the packet held
    dl->strdatabuf[d] = p;
    while (dl->strdatabuf[0] != nullptr) {
      AltusBlockStrdata *h = nullptr;
      pop_strdatapackets(dl, &h);
      handle_locked(modem, dl, h, STRDATA_KIND_DATA, 1, todo);
    }
    *result = 0;
    return false;
  }
  return true;
}

// The reorder buffer: output in sequence order (or at once), gaps asked for, the
// retransmission list kept. 0.
int reorder(Modem *modem, AltusDatalogger *dl, AltusBlockStrdata *p, unsigned coded, bool live,
            Deferred &todo) {
  const char *kname = live ? "STRDATA  " : "STRRQDATA";
  const bool ordered = dl->order_output_data.v != 0 && dl->max_strbuf > 0;
  if (!ordered) {
    if (dl->max_strbuf <= 0) seq_log(modem, dl, coded, kname);
    output_packet(modem, dl, p);
    p = nullptr;  // taken over
  }
  if (dl->max_strbuf <= 0 || dl->strbuf == nullptr) return 0;

  int64_t d = static_cast<int32_t>(coded - dl->nextSeq);
  if (dl->strseq_backfill && live) {
    if (ordered && d >= dl->max_strbuf && d < kBackfillMost) {
      // Catching up: the datalogger keeps this packet; it is asked for when the reorder
      // buffer reaches it, instead of giving up what lies before it.
      if (static_cast<int32_t>(coded + 1 - dl->strseq_backfill_end) > 0)
        dl->strseq_backfill_end = coded + 1;
      seq_log(modem, dl, coded, "STRDATA   beyond buffer");
      free(p);
      request_missing(dl, todo);
      return 0;
    }
    dl->strseq_backfill = 0;  // caught up (or too far behind to catch up)
  }
  // Only a live packet tells of the datalogger's counters: a resent one far behind is a
  // late answer to a request made again (the re-request timer), and is dropped as passed.
  const bool reset = live ? d < -static_cast<int64_t>(dl->max_strbuf) : false;
  if (reset || d >= static_cast<int64_t>(dl->max_strbuf) + dl->max_strretranbuf) {
    altuscom_log_message(
        modem, dl, 0,
        "altuscom_process_stream_packet: it looks like the packet buffer was reset (%d<%d)",
        static_cast<int>(coded), static_cast<int>(dl->nextSeq));
    resync(modem, dl, coded, todo);
    d = 0;
  } else if (d < 0) {
    seq_log(modem, dl, coded, live ? "STRDATA   off end of buffer" : "STRRQDATA off end of buffer");
    free(p);
    return 0;
  }
  while (d >= dl->max_strbuf) {
    retran_remove_below(dl, dl->nextSeq, false);
    pop_and_output(modem, dl);
    d = static_cast<int32_t>(coded - dl->nextSeq);
  }
  AltusStrbufEntry &e = entry(dl, static_cast<int>(d));
  if (e.packet == nullptr) {
    e.packet = ordered ? p : ALTUS_STRBUF_OUTPUT;
  } else if (ordered) {
    free(p);  // duplicate
  }
  if (d + 1 > dl->n_strbuf) dl->n_strbuf = static_cast<int>(d + 1);
  while (dl->n_strbuf > 0 && entry(dl, 0).packet != nullptr) pop_and_output(modem, dl);

  if (!live) {
    retran_remove_below(dl, dl->nextSeq, false);
    for (int i = 0; i < dl->n_strretranbuf; i++) {
      if (dl->strretranbuf[i] != coded) continue;
      for (int j = 0; j < i; j++) {
        seq_log(modem, dl, dl->strretranbuf[0], "RRQRETRAN");
        retran_rotate(dl, todo);
        dl->lastretranreq_time = clock_now();
      }
      memmove(dl->strretranbuf, dl->strretranbuf + 1, sizeof(unsigned) * (dl->n_strretranbuf - 1));
      dl->n_strretranbuf -= 1;
      break;
    }
  }
  request_missing(dl, todo);
  return 0;
}

// The handler's work on one record, stream_mutex held. Calls itself for packets the
// live-order window releases.
int handle_locked(Modem *modem, AltusDatalogger *dl, void *packet, int kind, int override_window,
                  Deferred &todo) {
  if (kind == STRDATA_KIND_NAK) {
    handle_nak(modem, dl, static_cast<AltusStrNak *>(packet), todo);
    return 0;
  }
  auto *p = static_cast<AltusBlockStrdata *>(packet);
  const bool live = kind == STRDATA_KIND_DATA;
  if (live)
    dl->cntTimeout += 1;
  else if (altuscom_isrock(modem, dl))
    dl->cntTimeout += 1;

  if (!data_usable(modem, dl, p, live)) return -1;
  const unsigned coded = p->dataSeq * dl->numStream + p->stream;
  seq_log(modem, dl, coded, live ? "STRDATA   read..." : "STRRQDATA read...");

  // A fresh stream starts counting at its first packet, unless the datalogger has just
  // acknowledged a counter reset: then packets before the first one taken (dropped while
  // the first parameter refresh held the stream) are asked for like any gap.
  if (dl->max_strbuf > 0 && dl->nextSeq == 0 && dl->n_strbuf == 0 && dl->n_strretranbuf == 0 &&
      !dl->strseq_from_zero)
    dl->nextSeq = coded;
  dl->strseq_from_zero = 0;

  int result = 0;
  if (live && !override_window && !through_window(modem, dl, p, coded, todo, &result))
    return result;
  return reorder(modem, dl, p, coded, live, todo);
}

AltusDatalogger *stream_dl(void *modem_void) {
  auto *modem = static_cast<Modem *>(modem_void);
  if (modem == nullptr || modem->buf_handle == nullptr || modem->buf_handle->userdata == nullptr)
    return nullptr;
  return modem->connected_dl;
}

}  // namespace

int altuscom_output_held_packets(AltusDatalogger *dl) {
  std::lock_guard<KessaroMutex> g(dl->stream_mutex);
  if (dl->max_strbuf <= 0 || dl->strbuf == nullptr) return 0;
  int n = 0;
  for (int i = 0; i < dl->n_strbuf && i < dl->max_strbuf; i++) {
    AltusStrbufEntry &e = entry(dl, i);
    if (e.packet == nullptr || e.packet == ALTUS_STRBUF_OUTPUT) continue;
    output_packet(dl->connected_modem, dl, e.packet);
    e.packet = ALTUS_STRBUF_OUTPUT;
    n++;
  }
  return n;
}

int pop_strpackets(AltusDatalogger *dl, AltusBlockStrdata **out) {
  *out = nullptr;
  if (dl->max_strbuf <= 0 || dl->strbuf == nullptr) return 0;
  AltusStrbufEntry &e = dl->strbuf[dl->strbuf_head];
  *out = e.packet;
  e.packet = nullptr;
  e.code = 0;
  dl->strbuf_head = (dl->strbuf_head + 1) % dl->max_strbuf;
  dl->nextSeq += 1;
  if (dl->n_strbuf > 0) dl->n_strbuf -= 1;
  return 0;
}

int pop_strdatapackets(AltusDatalogger *dl, AltusBlockStrdata **out) {
  *out = dl->strdatabuf[0];
  dl->nextStrdataSeq += 1;
  int n = dl->numStream > 0 ? dl->numStream : 1;
  if (n > ALTUS_MAXSTREAM) n = ALTUS_MAXSTREAM;
  for (int i = 0; i + 1 < n; i++) dl->strdatabuf[i] = dl->strdatabuf[i + 1];
  dl->strdatabuf[n - 1] = nullptr;
  return 0;
}

int altuscom_process_stream_packet(void *packet, int data_type, void *dl_void,
                                   int override_strdatabuf) {
  auto *dl = static_cast<AltusDatalogger *>(dl_void);
  if (dl == nullptr || dl->connected_modem == nullptr || dl->strpause.v) {
    free(packet);
    return 0;
  }
  Modem *modem = dl->connected_modem;
  Deferred todo;
  int r;
  {
    std::lock_guard<KessaroMutex> g(dl->stream_mutex);
    r = handle_locked(modem, dl, packet, data_type, override_strdatabuf, todo);
    if (dl->max_strbuf > 0 || data_type == STRDATA_KIND_NAK) todo.cont = handler_continue_due(dl);
    if (data_type != STRDATA_KIND_NAK && dl->max_strbuf <= 0) todo.cont = false;
    if (todo.cont) {
      // Decided under the lock so a continue is not sent twice.
      dl->time_nextcontinue = clock_now() + dl->next_continue_timeout;
      dl->cntTimeout = 0;
    }
  }
  for (unsigned c : todo.requests) {
    if (dl->numStream == 0) break;
    AltusStrSend s{c / dl->numStream, c - (c / dl->numStream) * dl->numStream, 1};
    seq_log(modem, dl, c, "RQRETRAN ");
    if (modem->buf_handle) {
      unsigned char seqno = 0;
      void *out = nullptr;
      get_block(modem->buf_handle, PKC_STRSEND, &s, &seqno, &out, nullptr, 0, modem, dl);
      free(out);
    }
    elog_clear_register(0);
  }
  if (todo.cont) {
    unsigned char seqno = 0;
    send_continue(modem, dl, &seqno);
  }
  if (todo.state) write_state(dl);
  return r;
}

void altuscom_process_stream_pause(void *modem) {
  AltusDatalogger *dl = stream_dl(modem);
  if (dl) dl->strpause = 1;
}

void altuscom_process_stream_continue(void *modem_void) {
  AltusDatalogger *dl = stream_dl(modem_void);
  if (dl == nullptr) return;
  dl->strpause = 0;
  bool due;
  {
    std::lock_guard<KessaroMutex> g(dl->stream_mutex);
    due = handler_continue_due(dl);
  }
  if (due) {
    unsigned char seqno = 0;
    send_continue(static_cast<Modem *>(modem_void), dl, &seqno);
  }
}

int altuscom_flush_stream_packet(void *modem_void, void *, int null_callback, int write_output) {
  auto *modem = static_cast<Modem *>(modem_void);
  if (modem == nullptr || modem->connected_dl == nullptr) {
    altuscom_flush_stream_strdata(modem_void);
    return 0;
  }
  AltusDatalogger *dl = modem->connected_dl;
  if (null_callback && modem->buf_handle) modem->buf_handle->userdata = nullptr;
  bool state;
  {
    std::lock_guard<KessaroMutex> g(dl->stream_mutex);
    state = flush_locked(modem, dl, write_output);
  }
  if (state) write_state(dl);
  return 0;
}

int altuscom_flush_stream_strdata(void *modem_void) {
  auto *modem = static_cast<Modem *>(modem_void);
  if (modem == nullptr || modem->connected_dl == nullptr) return 0;
  AltusDatalogger *dl = modem->connected_dl;
  std::lock_guard<KessaroMutex> g(dl->stream_mutex);
  free_window(dl);
  return 0;
}

namespace {

// The answers getstream0 gives on its request (none from a dial-in).
struct Answer {
  Kessaro *altus;
  AltusDatalogger *dl;
  Modem *modem;
  Pf *cmd;
  void pending(const char *text) {
    altuscom_log_message(modem, dl, 0, "%s", text);
    if (cmd) altuscom_answer(altus, dl, cmd, ALTUSCOM_ANSWER_PENDING, 0, "%s", text);
  }
  void error(const char *text) {
    altuscom_log_complain(modem, dl, 0, 0, "%s", text);
    if (cmd) altuscom_answer(altus, dl, cmd, ALTUSCOM_ANSWER_ERROR, 1, "%s", text);
    cmd = nullptr;  // answered for good
  }
};

std::string dev_of(Modem *m) { return m && m->name ? m->name : ""; }

// PKC_STRCTRL with `arg`: 0, or a NAK of code 1 (already started or stopped); a NAK of
// another code is logged and also counts as 0. Otherwise the status. *refused (when
// given) tells whether a NAK answered.
int strctrl(Modem *modem, AltusDatalogger *dl, unsigned char arg, unsigned char *seqno,
            bool *refused = nullptr) {
  void *out = nullptr;
  int r = get_block(modem->buf_handle, PKC_STRCTRL, &arg, seqno, &out, nullptr, 0, modem, dl);
  if (refused) *refused = r == BLOCK_STRNAK;
  if (r == BLOCK_STRNAK && out) {
    unsigned code = static_cast<AltusStrNak *>(out)->code;
    if (code != STRNAK_ALREADY) {
      char *text = altusnak2str(code);
      altuscom_log_message(modem, dl, 0, "getstream0: NAK on STRCTRL: %s.\n", text);
      free(text);
    }
    r = 0;
  }
  free(out);
  *seqno += 1;
  return r;
}

// PKC_GETSTATUS, stored with the clock check. 0 or the status.
int read_status(Kessaro *altus, Modem *modem, AltusDatalogger *dl, unsigned char *seqno,
                double when) {
  void *out = nullptr;
  int r = get_block(modem->buf_handle, PKC_GETSTATUS, nullptr, seqno, &out, nullptr, 0, modem, dl);
  if (r == 0 && out) {
    auto *st = static_cast<AltusBlockStatus *>(out);
    altuscom_set_dlclock(dl, st);
    std::lock_guard<KessaroMutex> g(altus->status_mutex);
    dl->status = *st;
    dl->status_time = when;
  } else if (r == 0) {
    r = -1;
  }
  free(out);
  return r;
}

void store_params(Kessaro *altus, AltusDatalogger *dl, const AltusBlockParams &p, double when) {
  std::lock_guard<KessaroMutex> g(altus->status_mutex);
  dl->last_params = p;
  dl->last_params_time = when;
}

// Brings the working copy of the parameters to what streaming needs. True when changed.
bool reconcile(Modem *modem, AltusDatalogger *dl, Answer &ans, AltusBlockParams &p) {
  bool changed = false;
  auto note = [&](const char *fmt, long from, long to) {
    altuscom_log_message(modem, dl, 0, fmt, from, to);
    changed = true;
  };
  auto &st = p.rw_stream;
  if (dl->request_samprate > 0 && st.sps != dl->request_samprate) {
    note("resetting sps for streaming data from %ld to to %ld...", st.sps, dl->request_samprate);
    st.sps = static_cast<uint16_t>(dl->request_samprate);
  }
  if (st.SampleRate != st.sps) {
    note("resetting SampleRate for streaming data from %ld to to %ld...", st.SampleRate, st.sps);
    st.SampleRate = st.sps;
  }
  dl->samprate = static_cast<uint16_t>(st.SampleRate);
  AltusEvtInfo info{};
  evt2info(&p, &info);
  uint32_t map = 0;
  int nstream = 0;
  for (int i = 0; i < ALTUS_MAXCHAN; i++) {
    AltusChan &ch = dl->data_chan[1][i];
    if (!ch.outputthischan) continue;
    if (nstream >= ALTUS_MAXSTREAM) {
      ans.pending("getstream0: Too many channels for stream processing...skipping the rest");
      break;
    }
    map |= 1u << i;
    dl->str_stream2pchan[nstream++] = i;
    if (ch.getcalib == 1) {
      int index = -1;
      if (info.channel_bitmap & (1 << i))
        index = __builtin_popcount(info.channel_bitmap & ((1u << i) - 1));
      ch.calib = 0.0;
      if (index >= 0 && index < info.nchan && index < ALTUS_MAXCHAN)
        ch.calib = info.chans[index].calib;
    }
  }
  {
    std::lock_guard<KessaroMutex> g(dl->stream_mutex);  // the state file reads it
    dl->numStream = static_cast<uint8_t>(nstream);
  }
  if (st.TxChanMap != map) {
    altuscom_log_message(modem, dl, 0,
                         "resetting TxChanMap for streaming data from 0x%X to to 0x%X...",
                         st.TxChanMap, map);
    st.TxChanMap = map;
    changed = true;
  }
  const bool rock = altuscom_isrock(modem, dl);
  if (rock) {
    uint32_t bits = p.rw_misc.channel_bitmap | map;
    for (int i = 0; i < ALTUS_MAXCHAN; i++)
      if (dl->data_chan[0][i].outputthischan) bits |= 1u << i;
    if (bits != p.rw_misc.channel_bitmap) {
      altuscom_log_message(modem, dl, 0,
                           "resetting channel_bitmap for streaming data from 0x%X to to 0x%X...",
                           p.rw_misc.channel_bitmap, bits);
      p.rw_misc.channel_bitmap = bits;
      changed = true;
    }
  }
  if (st.BufferSize != dl->altus_stream_buffer_size) {
    note("resetting BufferSize for streaming data from %ld to to %ld...", st.BufferSize,
         dl->altus_stream_buffer_size);
    st.BufferSize = static_cast<uint16_t>(dl->altus_stream_buffer_size);
  }
  if (!rock && st.TxBlkSize != 100) {
    note("resetting TxBlkSize for streaming data from %ld to to %ld...", st.TxBlkSize, 100);
    st.TxBlkSize = 100;
  }
  dl->pktTimeout = dl->numStream * 10 + 6;
  if (dl->stream_timeout >= 0) dl->pktTimeout = dl->stream_timeout;
  // Only with channels: the continue spacing divides by their number.
  if (dl->pktTimeout > 0 && dl->numStream > 0) {
    dl->next_continue_timeout =
        dl->pktTimeout * static_cast<double>(st.SampleRate / static_cast<unsigned>(dl->numStream)) -
        10;
    if (dl->next_continue_timeout < 5.0) dl->next_continue_timeout = 5.0;
  }
  if (st.Timeout != static_cast<int16_t>(dl->pktTimeout)) {
    note("resetting Timeout for streaming data from %ld to to %ld...", st.Timeout, dl->pktTimeout);
    st.Timeout = static_cast<int16_t>(dl->pktTimeout);
  }
  if (st.DataFmt != 1) {
    note("resetting DataFmt for streaming data from %ld to to %ld...", st.DataFmt, 1);
    st.DataFmt = 1;
  }
  if (dl->numStream == 0 && st.SampleRate != 0) {
    st.SampleRate = 0;
    changed = true;
  }
  return changed;
}

// One call of getstream0: the link, the datalogger, the sequence counter and the answers
// it gives, and its phases in the order they run.
struct StreamRun {
  Kessaro *altus;
  AltusDatalogger *dl;
  Modem *modem;
  Answer ans;
  SerialBuf *b;
  std::string dev;
  unsigned char seqno = 0;
  char ctrl_err[300] = "";
  int timeouts = 0;        // time-outs in a row, over the passes
  bool kept_zero = false;  // counting from a reset made before this call (state file)
  StrdataCallback handler{altuscom_process_stream_packet, nullptr};

  // How a pass of the stream loop ends.
  enum class PassEnd { RESTART, LEAVE };

  static bool halted() { return kessaro_halt.load() != 0; }

  int fail(int r) {
    dl->stream_status = STRSTATUS_IDLE;
    return r;
  }

  // Refuses a second stream or a stream during a download: GETSTREAM_BUSY (answered), else 0.
  int refuse_if_busy() {
    const int s = dl->stream_status.v;
    if (s == STRSTATUS_STARTING || s == STRSTATUS_RUNNING || s == STRSTATUS_STOPPING ||
        s == STRSTATUS_FLUSHED || s == STRSTATUS_PAUSING || s == STRSTATUS_DISABLING) {
      ans.error("getstream0: getstream0 already running");
      return GETSTREAM_BUSY;
    }
    if (dl->getevents_status.v == GETEVENTS_RUNNING) {
      ans.error("getstream0: cannot start streaming while getevents running");
      return GETSTREAM_BUSY;
    }
    return 0;
  }

  // The parameters, read again unless read in the last 30 s. False with *result when the
  // call ends.
  bool fetch_params(int *result) {
    if (dl->last_params_time > clock_now() - 30.0) {
      ans.pending("using previous parameters...");
      return true;
    }
    ans.pending("getting parameters...");
    AltusBlockParams *got = nullptr;
    int r = block_getparams(b, &seqno, &got, modem, dl);
    if (r == BLOCK_WITH_RECORD && got) r = BLOCK_OK;
    if (r != 0 || got == nullptr) {
      free(got);
      char text[300];
      snprintf(text, sizeof text, "getstream0: process_command(ALTUS_PKC_GETPARAMS,%s) error.\n",
               dev.c_str());
      ans.error(text);
      *result = fail(r == BLOCK_WITH_RECORD || r == BLOCK_OK ? BLOCK_FAILED : r);
      return false;
    }
    store_params(altus, dl, *got, clock_now());
    free(got);
    ans.pending("received parameters...");
    return true;
  }

  // The status, read again unless read in the last 30 s (a failure is only reported).
  void refresh_status() {
    if (dl->status_time >= clock_now() - 30.0) return;
    ans.pending("getting status...");
    if (read_status(altus, modem, dl, &seqno, clock_now()) != 0) {
      char text[300];
      snprintf(text, sizeof text,
               "getstream0: process_command(ALTUS_PKC_STATUS,%s) error...retrying\n", dev.c_str());
      ans.pending(text);
    } else {
      ans.pending("received status...");
    }
    altuscom_report_status_now(altus);
  }

  // Brings the stored parameters to what streaming needs and keeps or resets the
  // sequence counters; *params receives the working copy. True when it changed.
  bool reconcile_params(AltusBlockParams *params) {
    {
      std::lock_guard<KessaroMutex> g(altus->status_mutex);
      *params = dl->last_params;
    }
    const uint8_t stored_streams = dl->numStream;
    const uint32_t held_map = params->rw_stream.TxChanMap;  // what the datalogger streams now
    const bool changed = reconcile(modem, dl, ans, *params);
    store_params(altus, dl, *params, dl->last_params_time);
    // Counters kept for other streams start afresh: another stream count, or the same count
    // of other channels (the datalogger's or the one they were kept for), would give resent
    // packets of the old numbering to the wrong channels. Counters read back from a state
    // file that carried no channel map are kept as they are: resetting them would empty the
    // datalogger's resend buffer and lose an outage's data.
    const uint32_t map = params->rw_stream.TxChanMap;
    std::lock_guard<KessaroMutex> g(dl->stream_mutex);  // the state file reads them
    if (dl->strseq_chanmap_known &&
        (stored_streams != dl->numStream || held_map != map || dl->strseq_chanmap != map)) {
      dl->nextSeq = 0;
      dl->strseq_kept = 0;
    }
    dl->strseq_chanmap = map;
    dl->strseq_chanmap_known = 1;
    return changed;
  }

  // Writes changed parameters (a Rock then ends the call, idle), or starts acquisition
  // with the ones it holds. False with *result when the call ends.
  bool apply_params(AltusBlockParams &params, bool changed, int *result) {
    if (!changed) {
      ans.pending("using previous datalogger streaming parameters...");
      if (block_acqstart(b, &seqno, modem, dl) != 0) {
        ans.pending("getstream0: block_acqstart() error.\n");
      } else if (read_status(altus, modem, dl, &seqno, clock_now()) != 0) {
        char text[300];
        snprintf(text, sizeof text, "getstream0: get_block(ALTUS_PKC_STATUS,%s) error...retrying\n",
                 dev.c_str());
        ans.pending(text);
      } else {
        altuscom_report_status_now(altus);
      }
      return true;
    }
    ans.pending("resetting datalogger streaming parameters...");
    char reason[ALTUS_PARSEPARAMS_ERROR_SIZE] = "";
    int r = block_setparams(b, &params, nullptr, &seqno, modem, dl, reason);
    seqno += 1;
    if (r == ALTUS_SETPARAMS_BADPARAMS) {
      char text[300];
      snprintf(text, sizeof text,
               "getstream0: block_setparams(ALTUS_PKC_SETPARAMS,%s) BADPARAMS error.\n",
               dev.c_str());
      ans.pending(text);
      snprintf(text, sizeof text, "getstream0: %s\n", reason);
      ans.error(text);
      *result = fail(ALTUS_SETPARAMS_BADPARAMS);
      return false;
    }
    if (r != 0) {
      char text[300];
      snprintf(text, sizeof text, "getstream0: block_setparams(ALTUS_PKC_SETPARAMS,%s) error.\n",
               dev.c_str());
      ans.error(text);
      *result = fail(r);
      return false;
    }
    if (altuscom_isrock(modem, dl)) {
      altuscom_flush_stream_packet(modem, dl, 0, 0);
      dl->stream_status = STRSTATUS_IDLE;
      {
        std::lock_guard<KessaroMutex> g(dl->stream_mutex);  // the state file reads it
        dl->nextSeq = 0;
      }
      clock_sleep(10.0);
      *result = 0;
      return false;
    }
    altuscom_flush_stream_packet(modem, dl, 0, 1);
    return true;
  }

  // With no channels the call ends; with counters to start afresh the datalogger's are
  // stopped and reset. False with *result when the call ends.
  bool reset_counters(int *result) {
    if (dl->numStream == 0) {
      dl->stream_status = STRSTATUS_NOCHANNELS;
      ans.error("getstream0: No channels to process.\n");
      *result = 0;
      return false;
    }
    if (dl->nextSeq != 0) return true;
    if (dl->strseq_kept) {  // counting from the last reset: its packets are fetched again
      std::lock_guard<KessaroMutex> g(dl->stream_mutex);
      dl->strseq_kept = 0;
      dl->strseq_from_zero = 1;
      kept_zero = true;
      return true;
    }
    int r = strctrl(modem, dl, 0, &seqno);
    if (r == 0) {
      ans.pending("resetting counters...");
      altuscom_flush_stream_packet(modem, dl, 0, 1);
      bool refused = false;
      r = strctrl(modem, dl, 3, &seqno, &refused);
      std::lock_guard<KessaroMutex> g(dl->stream_mutex);
      dl->strseq_from_zero = r == 0 && !refused;
    }
    if (r != 0) {
      ans.error(ctrl_err);
      *result = fail(r);
      return false;
    }
    return true;
  }

  // The parameters (and then the status) read again while streaming: on the first pass
  // through the loop and every request_params_interval.
  void refresh_params(bool first) {
    AltusBlockParams *got = nullptr;
    int pr = block_getparams(b, &seqno, &got, modem, dl);
    if (pr != 0 && !(pr == 14 && got)) {
      altuscom_log_complain(modem, dl, 0, 0,
                            "getstream0: block_getparams(ALTUS_PKC_GETPARAMS,%s) error.\n",
                            dev.c_str());
      free(got);
      return;
    }
    if (got == nullptr) return;
    double when = clock_now();
    if (read_status(altus, modem, dl, &seqno, when) != 0) {
      altuscom_log_complain(modem, dl, 0, 0,
                            "getstream0: get_block(ALTUS_PKC_STATUS,%s) error...retrying\n",
                            dev.c_str());
    } else if (first) {
      altuscom_report_status_now(altus);
    }
    store_params(altus, dl, *got, when);
    free(got);
  }

  // Whether a continue is due: none sent yet, time-outs piling up, or its time come with
  // no retransmission outstanding (a Rock never waits for those).
  bool continue_due() {
    std::lock_guard<KessaroMutex> g(dl->stream_mutex);
    return dl->time_nextcontinue == 0.0 || dl->cntTimeout > dl->pktTimeout - 10 ||
           (clock_now() > dl->time_nextcontinue &&
            (altuscom_isrock(modem, dl) || dl->n_strretranbuf <= 0));
  }

  // A stream packet arrived: the download requests it may call for.
  void on_stream_packet() {
    if (timeouts > 0)
      altuscom_log_message(modem, dl, 0, "getstream0: Resetting stream continues counter\n");
    timeouts = 0;
    if (dl->request_getevents.v != 0 || !dl->auto_getevents) return;
    if (dl->auto_getevents_window > 0 &&
        clock_now() > dl->lastgetevents_time + dl->auto_getevents_window) {
      altuscom_log_message(modem, dl, 0, "auto_getevents_window timeout: requesting getevents");
      dl->request_getevents = 1;
    }
    int events;
    unsigned trig;
    {
      std::lock_guard<KessaroMutex> g(altus->status_mutex);
      events = dl->status.events;
      trig = dl->status.triggerStatus;
    }
    if (dl->request_getevents.v == 0 && !(trig & 2) && events != dl->last_events_count) {
      altuscom_log_message(modem, dl, 0, "event count changed from %d to %d: requesting getevents",
                           dl->last_events_count, events);
      dl->request_getevents = 1;
    }
  }

  // Starts the stream (STRCTRL start) and runs it until it stops, the line fails or the
  // program halts (LEAVE) or a time-out asks for a restart (RESTART). False with *result
  // when the start fails.
  bool start_pass(int *result) {
    altuscom_log_message(modem, dl, 0, "starting streaming data...");
    int r = strctrl(modem, dl, 1, &seqno);
    if (r != 0) {
      altuscom_log_complain(modem, dl, 0, 0, "%s", ctrl_err);
      *result = fail(r);
      return false;
    }
    altuscom_flush_stream_strdata(modem);
    {
      // Counters kept from before: whatever the datalogger sent since is fetched. (After a
      // reset of this call the datalogger starts from nothing: nothing to catch up on.)
      std::lock_guard<KessaroMutex> g(dl->stream_mutex);
      dl->strseq_backfill = (dl->nextSeq != 0 || (kept_zero && dl->strseq_from_zero)) &&
                            dl->max_strbuf > 0 && dl->order_output_data.v;
      dl->strseq_backfill_end = dl->nextSeq;
    }
    dl->time_nextcontinue = 0.0;
    b->userdata = &handler;
    dl->stream_status = STRSTATUS_RUNNING;
    if (dl->lastgetevents_time < clock_now() - 600.0) dl->lastgetevents_time = clock_now() - 540.0;
    dl->strpause = 0;
    dl->cntTimeout = 0;
    return true;
  }

  PassEnd run_pass() {
    int packets = 0;
    double next_save = clock_now();
    bool first = true;
    while (dl->stream_status.v == STRSTATUS_RUNNING && !halted()) {
      const double interval = dl->request_params_interval;
      if (first || (interval > 0 && clock_now() - dl->last_params_time > interval))
        refresh_params(first);
      first = false;
      if (dl->stream_status.v != STRSTATUS_RUNNING || halted()) break;
      if (continue_due()) {
        send_continue(modem, dl, &seqno);
        seqno += 1;
      }
      if (clock_now() > next_save) {
        write_state(dl);
        // Every 10 s, so that what a restart fetches again stays well within what it can
        // tell from the ring as written already (link_overlap); every second while the
        // saved position is a fresh one: a restart from it would reset the datalogger's
        // counters and lose what it still holds.
        int from_zero = 0;
        const bool fresh = altuscom_ring_nextseq(dl, &from_zero) == 0 && !from_zero;
        next_save = clock_now() + (fresh ? 1.0 : 10.0);
      }
      const int saved_timeout = b->timeout, saved_tries = b->tries;
      if (packets == 0) b->timeout = b->timeout_connect;
      b->tries = 1;
      void *out = nullptr;
      int lr = get_block(b, 255, nullptr, &seqno, &out, nullptr, 0, modem, dl);
      free(out);
      b->timeout = saved_timeout;
      b->tries = saved_tries;
      if (halted()) break;
      if (lr == BLOCK_TIMEOUT) {
        timeouts++;
        altuscom_log_message(modem, dl, 0, "getstream0: too many stream continues - restarting\n");
        return PassEnd::RESTART;
      } else if (lr == BLOCK_STRDATA || lr == BLOCK_STRRQDATA) {
        packets++;
        on_stream_packet();
      } else if (lr != BLOCK_OK && lr != BLOCK_STRNAK && lr != BLOCK_MESSAGE && lr != BLOCK_ALARM &&
                 lr != BLOCK_STATUS && lr != BLOCK_EXTSTATUS) {
        altuscom_log_complain(modem, dl, 0, 0,
                              "getstream0: get_block() error getting data packet.\n");
        break;
      }
      // Without dial-out there is no scheduling thread to turn a download request into a
      // queued "getevents": the stream does it, and the download runs just below.
      if (!dl->dialout) altuscom_post_getevents(dl);
      altuscom_run_commands(altus, dl);
      // A new address posted for this link (a point-of-contact move): the connection ends
      // here as at a line drop, counters kept, and the link connects to the new address.
      if (modem->reset_ipaddress) {
        altuscom_log_message(modem, dl, 0,
                             "getstream0: new address for %s - ending the connection to "
                             "reconnect\n",
                             modem->name);
        break;
      }
    }
    return PassEnd::LEAVE;
  }

  // A stream left while disabling writes sample rate 0 into the datalogger's parameters.
  void disable() {
    altuscom_log_message(modem, dl, 0, "disabling streaming acquisition...");
    AltusBlockParams *got = nullptr;
    int r = block_getparams(b, &seqno, &got, modem, dl);
    if (r == 0 && got) {
      got->rw_stream.SampleRate = 0;
      char reason[ALTUS_PARSEPARAMS_ERROR_SIZE] = "";
      int sr = block_setparams(b, got, nullptr, &seqno, modem, dl, reason);
      seqno += 1;
      store_params(altus, dl, *got, clock_now());
      if (sr == ALTUS_SETPARAMS_BADPARAMS) {
        altuscom_log_complain(
            modem, dl, 0, 0,
            "getstream0: block_setparams(ALTUS_PKC_SETPARAMS,%s) BADPARAMS error.\n", dev.c_str());
        altuscom_log_complain(modem, dl, 0, 0, "getstream0: %s\n", reason);
      } else if (sr != 0) {
        altuscom_log_complain(modem, dl, 0, 0,
                              "getstream0: block_setparams(ALTUS_PKC_SETPARAMS,%s) error.\n",
                              dev.c_str());
      }
      altuscom_flush_stream_packet(modem, dl, 0, 1);
    } else if (r != BLOCK_WITH_RECORD) {
      altuscom_log_complain(modem, dl, 0, 0,
                            "getstream0: block_getparams(ALTUS_PKC_GETPARAMS,%s) error.\n",
                            dev.c_str());
    }
    free(got);
  }

  // Leaving the loop: the handler removed, a disable carried out, the state written.
  int finish() {
    b->userdata = nullptr;
    {
      char *name = strstatus2str(dl->stream_status.v);
      altuscom_log_message(modem, dl, 0, "getstream0: leaving processing loop with status %s",
                           name);
      free(name);
    }
    if (dl->stream_status.v == STRSTATUS_DISABLING) disable();
    altuscom_flush_stream_strdata(modem);
    write_state(dl);
    dl->stream_status = STRSTATUS_IDLE;
    altuscom_report_status_now(altus);
    return 0;
  }
};

}  // namespace

int getstream0(Modem *modem, Pf *cmd) {
  AltusDatalogger *dl = modem ? modem->connected_dl : nullptr;
  Kessaro *altus = altuscom_program(modem != nullptr ? modem->userdata : nullptr);
  if (dl == nullptr || modem->buf_handle == nullptr) {
    // The request is answered, so its sequence is not held for ever.
    if (altus != nullptr && dl != nullptr && cmd != nullptr)
      Answer{altus, dl, modem, cmd}.error("getstream0: no datalogger connected.\n");
    else
      altuscom_log_complain(modem, dl, 1, 0, "getstream0: no datalogger connected.\n");
    return -1;
  }
  if (altus == nullptr) {
    altuscom_log_complain(modem, dl, 1, 0, "getstream0: no program record.\n");
    return -1;
  }
  StreamRun s{altus, dl, modem, Answer{altus, dl, modem, cmd}, modem->buf_handle, dev_of(modem)};
  s.handler.user = dl;
  if (int r = s.refuse_if_busy(); r != 0) return r;
  dl->stream_status = STRSTATUS_STARTING;
  s.b->userdata = nullptr;
  int result = 0;
  if (!s.fetch_params(&result)) return result;
  s.refresh_status();
  AltusBlockParams params;
  const bool changed = s.reconcile_params(&params);
  if (!s.apply_params(params, changed, &result)) return result;
  snprintf(s.ctrl_err, sizeof s.ctrl_err, "getstream0: get_block(ALTUS_PKC_STRCTRL,%s) error.\n",
           s.dev.c_str());
  if (!s.reset_counters(&result)) return result;
  if (cmd) altuscom_answer(altus, dl, cmd, ALTUSCOM_ANSWER_DONE, 1, "Streaming started");

  for (int restarts = 0;; restarts++) {
    if (restarts > 5) {
      altuscom_log_complain(modem, dl, 0, 0,
                            "getstream0: Leaving due to too many stream restarts\n");
      dl->stream_status = STRSTATUS_IDLE;
      break;
    }
    s.b->userdata = nullptr;
    if (StreamRun::halted()) break;
    if (!s.start_pass(&result)) return result;
    if (s.run_pass() == StreamRun::PassEnd::LEAVE) break;
  }
  return s.finish();
}
