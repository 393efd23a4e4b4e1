// kessaro_records.cpp - constructors, copies and destructors of kessaro's records (see
// kessaro.h).
#include <cstdlib>
#include <cstring>
#include <new>

#include "base/arr.h"
#include "base/oom.h"
#include "base/tbl.h"
#include "kessaro.h"

Kessaro *kessaro_glbl = nullptr;
KessaroHalt kessaro_halt{0};
ClockEvent kessaro_wake;

// The owned texts of each record, for duplication and freeing.
static char *Modem::*const modem_texts[] = {
    &Modem::name,
    &Modem::dev,
    &Modem::ipaddr,
    &Modem::connect_listen_string,
    &Modem::connect_response_string,
    &Modem::listen_string,
    &Modem::nolisten_string,
    &Modem::dialout_string_prefix,
    &Modem::dialout_string_suffix,
    &Modem::hangup_string,
    &Modem::attention_string,
    &Modem::ring_rec_string,
    &Modem::busy_rec_string,
    &Modem::connect_rec_string,
    &Modem::offhook_rec_string,
    &Modem::attention_rec_string,
    &Modem::posted_ipaddr,
    &Modem::confirmed_ipaddr,
    &Modem::announced_ipaddr,
};

static char *AltusDatalogger::*const datalogger_texts[] = {
    &AltusDatalogger::serial_name,  &AltusDatalogger::target_name, &AltusDatalogger::dialout_modem,
    &AltusDatalogger::phone_number, &AltusDatalogger::dialin_cmd,  &AltusDatalogger::poc_name,
    &AltusDatalogger::poc_value,
};

static char *dup_text(const char *text) {
  if (text == nullptr) return nullptr;
  char *copy = strdup(text);
  if (copy == nullptr) OUT_OF_MEMORY(strlen(text) + 1, "text");
  return copy;
}

static void *dup_entry(void *text) { return dup_text(static_cast<const char *>(text)); }

static int copy_entry(const char *key, void *value, void *arg) {
  setarr(static_cast<Arr *>(arg), key, dup_text(static_cast<const char *>(value)));
  return 0;
}

// A new array with the same keys and copies of its text values; none for none.
static Arr *dup_text_arr(const Arr *src) {
  if (src == nullptr) return nullptr;
  Arr *copy = newarr(nullptr);
  applyarr(const_cast<Arr *>(src), copy_entry, copy);
  return copy;
}

Kessaro *kessaro_new(void) {
  Kessaro *k = new (std::nothrow) Kessaro();
  if (k == nullptr) OUT_OF_MEMORY(sizeof(Kessaro), "Kessaro");
  k->statefile = -1;
  k->ciorb = k->coorb = -1;
  k->modems_array = newarr(nullptr);
  k->modem_templates_arr = newarr(nullptr);
  k->datalogger_templates_arr = newarr(nullptr);
  k->dlserials_array = newarr(nullptr);
  k->dltargets_array = newarr(nullptr);
  k->pending_cmd_arr = newarr(nullptr);
  k->orbtags_arr = newarr(nullptr);
  k->data_orbtags_arr = newarr(nullptr);
  k->packet_defs_arr = newarr(nullptr);
  k->pocds_tbl = newtbl(0);
  k->repackage_tbl = newtbl(0);
  // The flags that threads wait on wake them when they change.
  for (KessaroFlag *f : {&k->status_report_now, &k->stopping, &k->kill}) f->watch = &kessaro_wake;
  return k;
}

Modem *modem_new(void) {
  Modem *m = new (std::nothrow) Modem();
  if (m == nullptr) OUT_OF_MEMORY(sizeof(Modem), "Modem");
  return m;
}

Modem *modem_copy(const Modem *src) {
  Modem *m = new (std::nothrow) Modem(*src);
  if (m == nullptr) OUT_OF_MEMORY(sizeof(Modem), "Modem");
  for (char *Modem::*text : modem_texts) m->*text = dup_text(src->*text);
  m->run_thread = pthread_t();
  m->buf_handle = nullptr;
  m->buf_handle_server = nullptr;
  m->connected_dl = nullptr;
  m->cmd = nullptr;
  m->interrupt = 0;
  m->exit = 0;
  return m;
}

void modem_free_texts(Modem *modem) {
  if (modem == nullptr) return;
  for (char *Modem::*text : modem_texts) {
    free(modem->*text);
    modem->*text = nullptr;
  }
}

void modem_free(Modem *modem) {
  if (modem == nullptr) return;
  modem_free_texts(modem);
  delete modem;
}

AltusDatalogger *altusdatalogger_new(void) {
  AltusDatalogger *dl = new (std::nothrow) AltusDatalogger();
  if (dl == nullptr) OUT_OF_MEMORY(sizeof(AltusDatalogger), "AltusDatalogger");
  return dl;
}

AltusDatalogger *altusdatalogger_copy(const AltusDatalogger *src) {
  AltusDatalogger *dl = new (std::nothrow) AltusDatalogger(*src);
  if (dl == nullptr) OUT_OF_MEMORY(sizeof(AltusDatalogger), "AltusDatalogger");
  for (char *AltusDatalogger::*text : datalogger_texts) dl->*text = dup_text(src->*text);
  dl->dialout_modems = src->dialout_modems ? duptbl(src->dialout_modems, nullptr) : nullptr;
  dl->acq_matrix_tbl = src->acq_matrix_tbl ? duptbl(src->acq_matrix_tbl, dup_entry) : nullptr;
  dl->pchans_arr = dup_text_arr(src->pchans_arr);
  dl->files = nullptr;
  dl->files_size = 0;
  dl->strbuf = nullptr;
  dl->strbuf_head = 0;
  dl->n_strbuf = 0;
  dl->n_strretranbuf = 0;
  for (AltusBlockStrdata *&slot : dl->strdatabuf) slot = nullptr;
  dl->commands = newtbl(0);
  dl->commands_refused = 0;
  dl->stat.laststatus_time = dl->stat.lastclose_time = 0.0;
  dl->stat.lastgetevents_time = dl->stat.lastgetevents_baud = 0.0;
  dl->stat.lastcom_error_rate = 0.0;
  dl->stat.nevents_transfered = 0;
  dl->run_thread = pthread_t();
  dl->connected_modem = nullptr;
  dl->connected_modem_status = nullptr;
  dl->single_modem = nullptr;
  return dl;
}

void altusdatalogger_free_contents(AltusDatalogger *dl) {
  if (dl == nullptr) return;
  for (char *AltusDatalogger::*text : datalogger_texts) {
    free(dl->*text);
    dl->*text = nullptr;
  }
  freetbl(dl->dialout_modems, nullptr);
  dl->dialout_modems = nullptr;
  freetbl(dl->acq_matrix_tbl, free);
  dl->acq_matrix_tbl = nullptr;
  freearr(dl->pchans_arr, free);
  dl->pchans_arr = nullptr;
  {
    std::lock_guard<KessaroMutex> g(dl->command_mutex);
    freetbl(dl->commands, free);
    dl->commands = nullptr;
  }
  free(dl->files);
  dl->files = nullptr;
  dl->files_size = 0;
  std::lock_guard<KessaroMutex> g(dl->stream_mutex);
  if (dl->strbuf != nullptr) {
    for (int i = 0; i < dl->max_strbuf; i++) {
      if (dl->strbuf[i].packet != ALTUS_STRBUF_OUTPUT) free(dl->strbuf[i].packet);
    }
    free(dl->strbuf);
    dl->strbuf = nullptr;
  }
  dl->n_strbuf = 0;
  dl->strbuf_head = 0;
  for (AltusBlockStrdata *&slot : dl->strdatabuf) {
    free(slot);
    slot = nullptr;
  }
}

void altusdatalogger_free(AltusDatalogger *dl) {
  if (dl == nullptr) return;
  altusdatalogger_free_contents(dl);
  delete dl;
}
