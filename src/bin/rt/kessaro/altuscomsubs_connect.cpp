// altuscomsubs_connect.cpp - opening and ending datalogger connections, and the datalogger
// clock hand-off.
#include "altuscomsubs_connect.h"

#include <pthread.h>

#include <cstdlib>
#include <cstring>
#include <mutex>

#include "altuscom_hooks.h"
#include "altuscomsubs_block.h"
#include "altuscomsubs_blockops.h"
#include "altuscomsubs_console.h"
#include "altuscomsubs_getblock.h"
#include "altuscomsubs_log.h"
#include "altuscomthread.h"
#include "altusevtsubs.h"
#include "base/arr.h"
#include "base/clock.h"
#include "bytestream/serialbuf.h"
#include "support/dlclock.h"
#include "support/stdtime.h"

int debug_dlclock = 0;

namespace {

// The earliest datalogger time handed to the clock (2003-05-16 17:23:53 UTC): anything
// before it is a clock that has not been set.
constexpr double kDlclockCutoff = 1053105833.0;
// How long a connection step waits for the status thread to make a report (as long as the
// shutdown waits for the last one).
constexpr int kReportWaitSteps = 110;

Kessaro *program_of(Modem *modem) {
  return altuscom_program(modem != nullptr ? modem->userdata : nullptr);
}

// Runs fn under the program record's status mutex (or without one when there is none).
template <typename F>
void under_status(Kessaro *altus, F fn) {
  if (altus == nullptr) {
    fn();
    return;
  }
  std::lock_guard<KessaroMutex> g(altus->status_mutex);
  fn();
}

void ask_report(Kessaro *altus) {
  if (altus != nullptr) altuscom_report_status_now(altus);
}

// Asks for a status report and waits, in 0.1 s steps, for the status thread to make it;
// the wait ends after 11 s or on halt.
void report_and_wait(Kessaro *altus) {
  if (altus == nullptr) return;
  altuscom_report_status_now(altus);
  for (int i = 0; i < kReportWaitSteps && altuscom_report_pending(altus) && !kessaro_halt; i++) {
    clock_sleep(0.1);
  }
}

void set_userdata3(Modem *modem, void *dl) {
  if (modem != nullptr && modem->buf_handle != nullptr) modem->buf_handle->userdata3 = dl;
}

void release_both(Modem *modem, AltusDatalogger *dl, const char *label) {
  unlock_modem_connection(modem, label);
  unlock_datalogger_connection(dl, label);
}

// A connection lock this thread holds or has just taken without waiting.
struct Held {
  bool mine = false;   // held by this thread now
  bool taken = false;  // taken here (and released by release())
};

Held hold_datalogger(AltusDatalogger *dl, const char *label) {
  Held h;
  if (dl == nullptr) return h;
  if (datalogger_connection_held(dl)) {
    h.mine = true;
  } else if (lock_datalogger_connection(dl, label, 1) == 0) {
    h.mine = h.taken = true;
  }
  return h;
}

Held hold_modem(Modem *modem, const char *label) {
  Held h;
  if (modem == nullptr) return h;
  if (modem_connection_held(modem)) {
    h.mine = true;
  } else if (lock_modem_connection(modem, label, 1) == 0) {
    h.mine = h.taken = true;
  }
  return h;
}

void release(const Held &dlh, AltusDatalogger *dl, const Held &mh, Modem *modem,
             const char *label) {
  if (mh.taken) unlock_modem_connection(modem, label);
  if (dlh.taken) unlock_datalogger_connection(dl, label);
}

std::string owned(char *t) {
  std::string s = t != nullptr ? t : "";
  free(t);
  return s;
}

void log_status(Modem *modem, AltusDatalogger *dl, const AltusBlockStatus &st) {
  char stn[6];
  memcpy(stn, st.stnID, 5);
  stn[5] = '\0';
  altuscom_log_message(modem, dl, 0, "Altus status:");
  altuscom_log_message(modem, dl, 0, "     systemTime: %d - %s", (int)st.systemTime,
                       owned(altustime2str((int)st.systemTime)).c_str());
  altuscom_log_message(modem, dl, 0, "   serialNumber: %d", st.serialNumber);
  altuscom_log_message(modem, dl, 0, "         events: %d", st.events);
  altuscom_log_message(modem, dl, 0, "recordingErrors: %d", st.recordingErrors);
  altuscom_log_message(modem, dl, 0, "  triggerStatus: 0x%4.4X - %s", st.triggerStatus,
                       owned(altustriggerstatus2str(st.triggerStatus)).c_str());
  altuscom_log_message(modem, dl, 0, "  batteryStatus: 0x%2.2X   - %s", st.batteryStatus,
                       owned(altusbatterystatus2str(st.batteryStatus)).c_str());
  altuscom_log_message(modem, dl, 0, " hardwareStatus: 0x%2.2X   - %s", st.hardwareStatus,
                       owned(altushardwarestatus2str(st.hardwareStatus)).c_str());
  altuscom_log_message(modem, dl, 0, " driveStatus[0]: 0x%4.4X - %s", st.driveStatus[0],
                       owned(altusdrivestatus2str(st.driveStatus[0])).c_str());
  altuscom_log_message(modem, dl, 0, " driveStatus[1]: 0x%4.4X - %s", st.driveStatus[1],
                       owned(altusdrivestatus2str(st.driveStatus[1])).c_str());
  altuscom_log_message(modem, dl, 0, "          stnID: %s", stn);
  altuscom_log_message(modem, dl, 0, "    clockSource: %d - %s", st.clockSource,
                       owned(altusclocksource2str(st.clockSource)).c_str());
}

// The first steps of an opening for a datalogger that is known: no open time yet, the
// link shown in the status report, connection code "opening".
void begin_opening(Kessaro *altus, Modem *modem, AltusDatalogger *dl, bool dialout) {
  under_status(altus, [&] {
    dl->open_time = 0;
    if (dialout) dl->connected_modem = modem;
    dl->connected_modem_status = modem;
    dl->com_mode = ALTUS_COM_OPENING;
    dl->lcom = ALTUS_COM_OPENING;
  });
  ask_report(altus);
}

// A datalogger that is given up before its connection is recorded.
void forget_opening(Kessaro *altus, AltusDatalogger *dl) {
  under_status(altus, [&] {
    dl->connected_modem = nullptr;
    dl->connected_modem_status = nullptr;
    dl->com_mode = ALTUS_COM_DISCONNECTED;
  });
}

// A dial-in identified as `found` after block mode: claims it for this link (its
// connection lock free or already ours, and no other link connected to it) and moves the
// early bookkeeping over from the datalogger the banner named, if any. 0, or -1 (logged,
// nothing claimed).
int claim_identified(Kessaro *altus, Modem *modem, AltusDatalogger *banner,
                     AltusDatalogger *found) {
  if (found == banner) return 0;
  bool ours = datalogger_connection_held(found);
  if (!ours &&
      lock_datalogger_connection(found, "opendl: claiming identified datalogger", 1) != 0) {
    altuscom_log_complain(modem, found, 1, 0, "opendl: %s: Datalogger '%s' already connected.\n",
                          modem->name, found->target_name);
    return -1;
  }
  Modem *other = found->connected_modem;
  if (other != nullptr && other != modem) {
    if (!ours) unlock_datalogger_connection(found, "opendl: identified datalogger busy");
    altuscom_log_complain(modem, found, 1, 0, "opendl: %s: Datalogger '%s' already connected.\n",
                          modem->name, found->target_name);
    return -1;
  }
  if (banner != nullptr) {
    forget_opening(altus, banner);
    unlock_datalogger_connection(banner, "opendl: banner datalogger released");
  }
  begin_opening(altus, modem, found, false);
  return 0;
}

// One opening of a datalogger connection: the link, the datalogger (for a dial-in not
// known until it is identified), what the console and the status said, and the phases
// in the order they run. Each phase returns 0 to go on, else opendl's result.
struct Opening {
  Kessaro *altus;
  Modem *modem;
  bool dialout;
  AltusDatalogger *dl = nullptr;
  unsigned char seqno = 0;
  VerParams vp{};
  int got_monitor = 0;
  AltusBlockStatus st{};
  char tag[32] = "";

  // A failure after the console dialogue: the code left disconnected unless the
  // datalogger is connected elsewhere, and both locks released.
  int fail(const char *label, int code) {
    if (dl != nullptr && dl->connected_modem == nullptr) {
      under_status(altus, [&] { dl->com_mode = ALTUS_COM_DISCONNECTED; });
    }
    release_both(modem, dl, label);
    return code;
  }

  // 1-2: the datalogger and its connection code.
  int pick(AltusDatalogger **datalogger) {
    if (!dialout) {
      dl = modem->connected_dl;  // none after "EVENT DETECTED": identified below
    } else {
      dl = datalogger != nullptr ? *datalogger : nullptr;
      if (dl == nullptr) {
        altuscom_log_complain(modem, nullptr, 1, 0, "opendl: %s: Need input datalogger.\n",
                              modem->name);
        return -1;
      }
      if (!dl->dialout) {
        altuscom_log_complain(modem, dl, 1, 0, "opendl: %s: No dialout allowed for name '%s'.\n",
                              modem->name, dl->target_name);
        under_status(altus, [&] {
          dl->com_mode = ALTUS_COM_DISCONNECTED;
          dl->connected_modem_status = nullptr;
        });
        ask_report(altus);
        return -1;
      }
    }
    if (dl != nullptr) begin_opening(altus, modem, dl, dialout);
    // 3: halted before anything was said.
    if (kessaro_halt) {
      if (dl != nullptr) forget_opening(altus, dl);
      return OPENDL_HALTED;
    }
    return 0;
  }

  // 4: the console dialogue into block mode, with the datalogger's packet dumps off and a
  // reboot it asks for taken over.
  int console(int reboot, int acqoff, int acqon) {
    if (!modem_connection_held(modem)) lock_modem_connection(modem, "opendl", 0);
    int saved_debug = 0;
    if (dl != nullptr) {
      saved_debug = dl->debug_data;
      dl->debug_data = -2;
      if (dl->reboot) {
        reboot = dl->reboot;
        dl->reboot = 0;
      }
    }
    int *gotp = dl != nullptr ? &dl->gotintomonitormode : &got_monitor;
    AltusOpening opening;  // the dumps of the opening are not the operator's debug lines
    int rc = open_block(modem->buf_handle, modem->devname, &vp, modem, dl,
                        altus != nullptr ? altus->connect_listen_string : nullptr, gotp, reboot,
                        acqoff, acqon);
    if (dl != nullptr) {
      dl->debug_data = saved_debug;
      if (!dl->gotintomonitormode) {
        under_status(altus, [&] {
          dl->connected_modem = nullptr;
          dl->connected_modem_status = nullptr;
        });
      }
    }
    return rc;
  }

  // 5: the result of the console dialogue.
  int judge(int rc) {
    if (kessaro_halt) return fail("opendl: halt", OPENDL_HALTED);
    if (rc < 0) {
      altuscom_log_complain(modem, dl, 1, 0, "opendl: %s: open_block(%s) error.\n", modem->name,
                            modem->devname);
      return fail("opendl: open_block error", -1);
    }
    if (rc == OPENDL_TIMEOUT) {
      altuscom_log_complain(modem, dl, 1, 0, "opendl: %s: open_block(%s) timeout.\n", modem->name,
                            modem->devname);
      return fail("opendl: open_block timeout", OPENDL_TIMEOUT);
    }
    if (rc == OPENDL_DIALIN) {
      altuscom_log_message(modem, dl, 0, "opendl: BLOCKMODE interrupted by attempt to dialin");
      modem->dialin_pending = 1;
      return fail("opendl: BLOCKMODE interrupted", OPENDL_DIALIN);
    }
    if (rc == OPENDL_NOT_ACTIVE) {
      altuscom_log_message(modem, dl, 0, "opendl: Connection no longer active");
      altuscom_log_complain(modem, dl, 1, 0,
                            "opendl: %s: open_block(%s) error: connection no longer active.\n",
                            modem->name, modem->devname);
      return fail("opendl: Connection not active", OPENDL_NOT_ACTIVE);
    }
    if (rc != 0) {
      altuscom_log_complain(modem, dl, 1, 0, "opendl: %s: open_block(%s) error.\n", modem->name,
                            modem->devname);
      return fail("opendl: open_block error", rc);
    }
    altuscom_log_message(modem, dl, 0, "opendl: BLOCKMODE enabled");
    if (dl != nullptr) under_status(altus, [&] { dl->last_blockmode_time = std_now(); });
    return 0;
  }

  // 6-7: the status.
  int read_status() {
    void *out = nullptr;
    int outsize = 0;
    int r =
        get_block(modem->buf_handle, PKC_GETSTATUS, nullptr, &seqno, &out, &outsize, 0, modem, dl);
    seqno++;
    if (r == 0 && (out == nullptr || outsize != (int)sizeof st)) r = -1;
    if (r == 0) memcpy(&st, out, sizeof st);
    free(out);
    if (r == BLOCK_TIMEOUT) {
      altuscom_log_complain(modem, dl, 1, 0, "opendl: %s: get_block(status) timeout on %s.\n",
                            modem->name, modem->devname);
      return fail("opendl: get status timeout", OPENDL_TIMEOUT);
    }
    if (r != 0) {
      altuscom_log_complain(modem, dl, 1, 0, "opendl: %s: get_block(status) error on %s.\n",
                            modem->name, modem->devname);
      return fail("opendl: get status error", -1);
    }
    log_status(modem, dl, st);
    return 0;
  }

  // 8, dial-in: the datalogger found by its serial tag and claimed for this link.
  int identify(AltusDatalogger **datalogger) {
    if (make_dlserial(modem, vp.model, st.serialNumber, tag) < 0) {
      altuscom_log_complain(modem, dl, 1, 0, "opendl: make_dlserial() error.\n");
      return fail("opendl: make_dlserial error", -1);
    }
    auto *found = altus != nullptr
                      ? static_cast<AltusDatalogger *>(getarr(altus->dlserials_array, tag))
                      : nullptr;
    if (found == nullptr) {
      altuscom_log_complain(modem, dl, 1, 0,
                            "opendl: %s: Unregnized datalogger serial number '%s'.\n", modem->name,
                            tag);
      return fail("opendl: datalogger serial mismatch", -1);
    }
    if (claim_identified(altus, modem, dl, found) < 0) {
      return fail("opendl: datalogger serial mismatch", -1);
    }
    if (dl != found) {
      dl = found;
      dl->gotintomonitormode = got_monitor;
      under_status(altus, [&] { dl->last_blockmode_time = std_now(); });
    }
    if (datalogger != nullptr) *datalogger = dl;
    dl->verparams = vp;
    return 0;
  }

  // 8, dial-out: the model and serial number the datalogger reports must be the
  // configured ones (or are learned with any_model and any_serial).
  int verify() {
    if (!dl->any_model) {
      if (strcmp(dl->model, vp.model) != 0) {
        altuscom_log_complain(modem, dl, 1, 0,
                              "opendl: %s: Datalogger model '%s' does not match '%s' in "
                              "kessaro.pf file for dlname %s.\n",
                              modem->name, vp.model, dl->model, dl->target_name);
        return fail("opendl: datalogger model mismatch", -1);
      }
    } else {
      kessaro_copytext(dl->model, vp.model);
    }
    dl->verparams = vp;
    if (dl->any_serial) {
      dl->serial = st.serialNumber;
    } else if (dl->serial != st.serialNumber) {
      altuscom_log_complain(modem, dl, 1, 0,
                            "opendl: %s: Datalogger serial no. %d does not match %d in "
                            "kessaro.pf file for dlname %s.\n",
                            modem->name, st.serialNumber, dl->serial, dl->target_name);
      return fail("opendl: datalogger serial mismatch", -1);
    }
    return 0;
  }

  // 9-11: the clock, the connection recorded, the status stored.
  void record() {
    altuscom_set_dlclock(dl, &st);
    double now = std_now();
    modem->connected_dl = dl;
    set_userdata3(modem, dl);
    under_status(altus, [&] {
      dl->connected_modem = modem;
      dl->connected_modem_status = modem;
      dl->com_mode = ALTUS_COM_BLOCKMODE;
      dl->lcom = ALTUS_COM_BLOCKMODE;
      dl->open_time = now;
      dl->close_time = 0;
    });
    report_and_wait(altus);
    altuscom_set_dlclock(dl, &st);
    std::lock_guard<KessaroMutex> g(dl->stat.status_mutex);
    under_status(altus, [&] {
      dl->status = st;
      dl->status_time = std_now();
    });
  }

  // 12: a dial-in from a datalogger that may not call in is undone.
  int check_dialin(char *dlserial) {
    if (dialout) return 0;
    if (!dl->dialin) {
      altuscom_log_complain(modem, dl, 1, 0,
                            "opendl: %s: No dialin allowed for datalogger serial number '%s'.\n",
                            modem->name, tag);
      modem->connected_dl = nullptr;
      set_userdata3(modem, nullptr);
      under_status(altus, [&] {
        dl->connected_modem = nullptr;
        dl->connected_modem_status = nullptr;
        dl->com_mode = ALTUS_COM_DISCONNECTED;
      });
      release_both(modem, dl, "opendl: no dialin allowed");
      return -1;
    }
    if (dlserial != nullptr) snprintf(dlserial, 32, "%s", tag);
    return 0;
  }

  // 14: the password, when one is configured.
  int send_password() {
    if (dl->password[0] == '\0') return 0;
    altuscom_log_message(modem, dl, 0, "sending password...");
    void *out = nullptr;
    int outsize = 0;
    int r = get_block(modem->buf_handle, PKC_PASSWORD, dl->password, &seqno, &out, &outsize, 0,
                      modem, dl);
    seqno++;
    free(out);
    if (r == BLOCK_TIMEOUT) {
      altuscom_log_complain(modem, dl, 1, 0, "opendl: %s: get_block(password) timeout on %s.\n",
                            modem->name, modem->devname);
      altuscom_log_message(modem, dl, 0, "password not ok...");
      return OPENDL_TIMEOUT;
    }
    if (r != 0) {
      altuscom_log_complain(modem, dl, 1, 0, "opendl: %s: get_block(password) error on %s.\n",
                            modem->name, modem->devname);
      altuscom_log_message(modem, dl, 0, "password not ok...");
      return -1;
    }
    altuscom_log_message(modem, dl, 0, "password ok...");
    return 0;
  }

  // 15: the parameter header.
  int read_params() {
    altuscom_log_message(modem, dl, 0, "getting parameters...");
    AltusBlockParams *params = nullptr;
    int r = block_getparams(modem->buf_handle, &seqno, &params, modem, dl);
    if (r != 0 || params == nullptr) {
      free(params);
      altuscom_log_complain(modem, dl, 1, 0, "getevents: opendl(ALTUS_PKC_GETPARAMS,%s) error.\n",
                            modem->devname);
      altuscom_log_message(modem, dl, 0, "parameters not received...");
      ask_report(altus);
      return -1;
    }
    under_status(altus, [&] {
      dl->last_params = *params;
      dl->last_params_time = std_now();
    });
    free(params);
    altuscom_log_message(modem, dl, 0, "parameters received...");
    report_and_wait(altus);
    return 0;
  }
};

}  // namespace

int opendl(Modem *modem, int callmode, char *dlserial, AltusDatalogger **datalogger, int reboot,
           int acqoff, int acqon) {
  Opening o{program_of(modem), modem, callmode != 1};
  if (int r = o.pick(datalogger); r != 0) return r;
  if (int r = o.judge(o.console(reboot, acqoff, acqon)); r != 0) return r;
  if (int r = o.read_status(); r != 0) return r;
  if (int r = o.dialout ? o.verify() : o.identify(datalogger); r != 0) return r;
  o.record();
  if (int r = o.check_dialin(dlserial); r != 0) return r;
  // 13: the connection is established; the locks go back.
  {
    std::lock_guard<KessaroMutex> g(o.dl->stat.status_mutex);
    o.dl->stat.laststatus_time = std_now();
    o.dl->stat.lastcom_error_rate = 0;
  }
  release_both(modem, o.dl, "opendl: connection established");
  if (int r = o.send_password(); r != 0) return r;
  return o.read_params();
}

// ---- ending a connection ----

namespace {

// The end of a connection without a connected link: only the code and the status link.
void end_unconnected(Kessaro *altus, AltusDatalogger *dl) {
  under_status(altus, [&] {
    dl->com_mode = ALTUS_COM_DISCONNECTED;
    dl->connected_modem_status = nullptr;
  });
  ask_report(altus);
}

// A link held by this thread that points at the datalogger lets go of it.
void unlink_link(const Held &mh, Modem *link, AltusDatalogger *dl) {
  if (mh.mine && link->connected_dl == dl) {
    link->connected_dl = nullptr;
    set_userdata3(link, nullptr);
  }
}

// How long a close tries the datalogger's lock while another thread holds it, and the
// pause between tries. While a connection stands, the others take that lock only for a
// moment (a dial-out scan or a dial-in finding the datalogger connected), so the close
// gets it well within this.
constexpr double kCloseLockWait = 2.0;
constexpr double kCloseLockStep = 0.01;

// The datalogger's lock for a close: held already, or taken within kCloseLockWait.
Held hold_datalogger_for_close(AltusDatalogger *dl, const char *label) {
  Held h = hold_datalogger(dl, label);
  for (int i = 0; !h.mine && i < (int)(kCloseLockWait / kCloseLockStep); i++) {
    clock_sleep(kCloseLockStep);
    h = hold_datalogger(dl, label);
  }
  return h;
}

// The opening both closes share: the datalogger's lock, then its link's. Returns false
// when there is nothing more to do: no datalogger, no connected link (only the code and
// status link are ended), or a datalogger whose lock stays busy while it names a link
// that another thread runs (that link took it: the connection is its own to end). On its
// link's own thread a datalogger whose lock stays busy is disconnected all the same, so
// that it never names a link that has closed (and may be freed).
bool begin_close(AltusDatalogger *dl, const char *label, Kessaro **altus, Modem **link, Held *dlh,
                 Held *mh) {
  if (dl == nullptr) return false;
  *altus = altuscom_program(dl->userdata);
  *link = dl->connected_modem;
  if (*link == nullptr) {
    end_unconnected(*altus, dl);
    return false;
  }
  *dlh = hold_datalogger_for_close(dl, label);
  *link = dl->connected_modem;  // read again: a holder may have ended the connection
  if (*link == nullptr) {
    if (dlh->taken) unlock_datalogger_connection(dl, label);
    end_unconnected(*altus, dl);
    return false;
  }
  *mh = hold_modem(*link, label);
  if (!dlh->mine) {
    // Only this link's own thread ends the connection without the datalogger's lock: a
    // datalogger another link has taken meanwhile stays that link's.
    if (!pthread_equal((*link)->run_thread, pthread_self())) {
      if (mh->taken) unlock_modem_connection(*link, label);
      return false;
    }
    altuscom_log_complain(*link, dl, 1, 0,
                          "%s: datalogger lock busy for %.0f s: connection ended without it.\n",
                          label, kCloseLockWait);
  }
  return true;
}

}  // namespace

int closedl(AltusDatalogger *dl) {
  Kessaro *altus = nullptr;
  Modem *link = nullptr;
  Held dlh, mh;
  if (!begin_close(dl, "closedl", &altus, &link, &dlh, &mh)) return 0;
  SerialBuf *buf = link->buf_handle;
  if (dl->callmode_on_close && buf != nullptr && dl->gotintomonitormode &&
      buf->state == SERIALBUF_CONNECTED && link->dialin_pending != 1) {
    if (initiate_callmode(buf, link, dl,
                          altus != nullptr ? altus->connect_listen_string : nullptr) < 0) {
      altuscom_log_complain(link, dl, 1, 0, "closedl: initiate_callmode() error.\n");
    }
  }
  {
    std::lock_guard<KessaroMutex> g(dl->stat.status_mutex);
    double now = std_now();
    dl->stat.lastclose_time = now;
    under_status(altus, [&] {
      dl->close_time = now;
      dl->open_time = 0;
    });
    dl->stat.lastcom_error_rate =
        (buf != nullptr && buf->packets > 0) ? (double)buf->errors / (double)buf->packets : 0.0;
  }
  unlink_link(mh, link, dl);
  dl->connected_modem = nullptr;
  release(dlh, dl, mh, link, "closedl");
  under_status(altus, [&] {
    dl->com_mode = ALTUS_COM_DISCONNECTED;
    dl->last_connection_ended_time = std_now();
    dl->connected_modem_status = nullptr;
  });
  ask_report(altus);
  return 0;
}

int closedlnc(AltusDatalogger *dl) {
  Kessaro *altus = nullptr;
  Modem *link = nullptr;
  Held dlh, mh;
  if (!begin_close(dl, "closedlnc", &altus, &link, &dlh, &mh)) return 0;
  under_status(altus, [&] {
    dl->com_mode = ALTUS_COM_DISCONNECTED;
    dl->connected_modem_status = nullptr;
  });
  unlink_link(mh, link, dl);
  dl->connected_modem = nullptr;
  under_status(altus, [&] {
    double now = std_now();
    dl->close_time = now;
    dl->last_connection_ended_time = now;
    dl->open_time = 0;
  });
  release(dlh, dl, mh, link, "closedlnc");
  ask_report(altus);
  return 0;
}

// ---- the datalogger clock ----

int altuscom_set_dlclock(AltusDatalogger *dl, AltusBlockStatus *altusstat) {
  if (dl == nullptr || altusstat == nullptr || !dl->dlclock) return 0;
  if (altusstat->clockSource != 2 && altusstat->clockSource != 3) return 0;
  double t = 0;
  altustime2epoch((int)altusstat->systemTime, &t);
  if (t < kDlclockCutoff) return 0;
  if (debug_dlclock) {
    altuscom_log_message(nullptr, dl, 0, "set_Dlclock(%s)", owned(logtime(t, 0)).c_str());
  }
  set_Dlclock(t);
  return 0;
}
