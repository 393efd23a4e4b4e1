// Stream acquisition: the stream handler, its buffers, pause and continue, and getstream0.
#include "altuscomsubs_stream.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

#include "altuscomsubs_block.h"
#include "altuscomsubs_getblock.h"
#include "altuscomsubs_log.h"
#include "altuscomsubs_output.h"
#include "base/clock.h"
#include "base/elog.h"
#include "kessaro_state.h"

char *strstatus2str(int status) {
  static const char *const names[] = {"IDLE",       "POSTED",  "STARTING", "RUNNING",  "STOPPING",
                                      "NOCHANNELS", "FLUSHED", "PAUSING",  "DISABLING"};
  const char *n = (status >= 0 && status <= STRSTATUS_DISABLING) ? names[status] : "UNKNOWN";
  return strdup(n);
}

namespace {

Kessaro *program_of(AltusDatalogger *dl) {
  return dl && dl->userdata ? static_cast<Kessaro *>(dl->userdata) : kessaro_glbl;
}

void write_state(AltusDatalogger *dl) {
  Kessaro *k = program_of(dl);
  if (k) mybury(k);
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
  return true;
}

void send_continue(Modem *modem, AltusDatalogger *dl, unsigned char *seqno) {
  if (dl->pktTimeout <= 0) return;
  dl->time_nextcontinue = clock_now() + dl->next_continue_timeout;
  dl->cntTimeout = 0;
  if (altuscom_v_strseq_verbose(dl))
    altuscom_log_message(modem, dl, 0, "Sending stream continue\n");
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

// The handler's work on one record, stream_mutex held. Calls itself for packets the
// live-order window releases.
int handle_locked(Modem *modem, AltusDatalogger *dl, void *packet, int kind, int override_window,
                  Deferred &todo) {
  if (kind == STRDATA_KIND_NAK) {
    auto *nak = static_cast<AltusStrNak *>(packet);
    unsigned code = nak->code, seq = nak->sequence, stream = nak->stream;
    free(nak);
    if (code != 3) {
      char *text = altusnak2str(code);
      altuscom_log_message(modem, dl, 0, "altuscom_process_stream_packet: STRNAK: %s.\n", text);
      free(text);
      if (code == 0) {
        altuscom_log_message(
            modem, dl, 0,
            "altuscom_process_stream_packet: it looks like the packet buffer needs resetting");
        altuscom_log_message(modem, dl, 0,
                             "altuscom_process_stream_packet: flushing internal buffers");
        todo.state |= flush_locked(modem, dl, 1);
      }
      return 0;
    }
    if (stream >= dl->numStream) {
      altuscom_log_complain(modem, dl, 0, 0,
                            "altuscom_process_stream_packet: STRNAK for stream %u of %d dropped",
                            stream, static_cast<int>(dl->numStream));
      return 0;
    }
    unsigned coded = seq * dl->numStream + stream;
    if (dl->max_strbuf <= 0) {
      seq_log(modem, dl, coded, "STRNAK   ");
      return 0;
    }
    int n_before = dl->n_strretranbuf;
    retran_remove_below(dl, coded, true);
    seq_log(
        modem, dl, coded,
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
    return 0;
  }

  auto *p = static_cast<AltusBlockStrdata *>(packet);
  const bool live = kind == STRDATA_KIND_DATA;
  const char *kname = live ? "STRDATA  " : "STRRQDATA";
  if (live)
    dl->cntTimeout += 1;
  else if (altuscom_isrock(modem, dl))
    dl->cntTimeout += 1;

  if (p->dataChk != p->dataChk_comp) {
    altuscom_log_message(modem, dl, 0,
                         "altuscom_process_stream_packet: %s packet crc failed (data %d comp %d)",
                         live ? "STRDATA" : "STRRQDATA", static_cast<int>(p->dataChk),
                         static_cast<int>(p->dataChk_comp));
    free(p);
    return -1;
  }
  if (p->stream >= dl->numStream) {
    altuscom_log_complain(modem, dl, 0, 0,
                          "altuscom_process_stream_packet: %s for stream %d of %d dropped",
                          live ? "STRDATA" : "STRRQDATA", static_cast<int>(p->stream),
                          static_cast<int>(dl->numStream));
    free(p);
    return -1;
  }
  const unsigned coded = p->dataSeq * dl->numStream + p->stream;
  seq_log(modem, dl, coded, live ? "STRDATA   read..." : "STRRQDATA read...");

  // A fresh stream starts counting at its first packet.
  if (dl->max_strbuf > 0 && dl->nextSeq == 0 && dl->n_strbuf == 0 && dl->n_strretranbuf == 0)
    dl->nextSeq = coded;

  if (live && !override_window) {
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
        return -1;
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
      return 0;
    }
  }

  const bool ordered = dl->order_output_data.v != 0 && dl->max_strbuf > 0;
  if (!ordered) {
    if (dl->max_strbuf <= 0) seq_log(modem, dl, coded, kname);
    output_packet(modem, dl, p);
    p = nullptr;  // taken over
  }
  if (dl->max_strbuf <= 0 || dl->strbuf == nullptr) return 0;

  int64_t d = static_cast<int32_t>(coded - dl->nextSeq);
  if (d < -static_cast<int64_t>(dl->max_strbuf) ||
      d >= static_cast<int64_t>(dl->max_strbuf) + dl->max_strretranbuf) {
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

AltusDatalogger *stream_dl(void *modem_void) {
  auto *modem = static_cast<Modem *>(modem_void);
  if (modem == nullptr || modem->buf_handle == nullptr || modem->buf_handle->userdata == nullptr)
    return nullptr;
  return modem->connected_dl;
}

}  // namespace

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

int getstream0(Modem *modem, Pf *) {
  altuscom_log_complain(modem, modem ? modem->connected_dl : nullptr, 1, 0,
                        "getstream0: streaming not available.\n");
  return -1;
}
