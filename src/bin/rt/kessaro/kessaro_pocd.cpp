// kessaro_pocd.cpp - the point-of-contact thread.
#include "kessaro_pocd.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "altuscomsubs_log.h"
#include "altuscomthread.h"
#include "base/arr.h"
#include "base/clock.h"
#include "base/elog.h"
#include "base/pf.h"
#include "base/tbl.h"
#include "packet/pkt.h"
#include "ring/orb.h"
#include "ringsvc/orbreapthr.h"

int (*kessaro_pocd_reap)(OrbreapThr *, int *, char *, double *, char **, int *,
                         int *) = orbreapthr_get;
void (*kessaro_pocd_exit)(int status) = kessaro_exit;

namespace {

bool shutting_down(Kessaro *altus) { return kessaro_halt != 0 || altus->kill != KESSARO_KILL_RUN; }

// Re-targets the datalogger's own link when the announcement comes from another host.
void retarget(POCDaemon *poc, AltusDatalogger *dl, const std::string &srcip) {
  Kessaro *altus = poc->altus;
  Modem *m = dl->single_modem;
  if (altus->log_poc > 0) {
    altuscom_log_message(m, dl, 1, "%s: Found datalogger %s in dataloggers table.\n", poc->label,
                         dl->target_name);
  }
  size_t colon = srcip.find(':');
  std::string host = srcip.substr(0, colon);
  int port = colon == std::string::npos ? 0 : atoi(srcip.c_str() + colon + 1);
  AltusAddressChange change;
  if (altuscom_post_address(m, host.c_str(), port, &change) != ALTUSCOM_ADDRESS_POSTED) return;
  altuscom_log_message(m, dl, 1,
                       "%s: Change in datalogger %s ipaddress - resetting from %s:%d to %s:%d.\n",
                       poc->label, dl->target_name, change.old_host.c_str(), change.old_port,
                       change.new_host.c_str(), change.new_port);
}

// One announcement, decoded: every datalogger whose poc_name key has its poc_value.
void announcement(POCDaemon *poc, const std::vector<AltusDatalogger *> &dls, const char *srcname,
                  double time, const char *bytes, int nbytes) {
  Packet *pkt = nullptr;
  int kind = unstuffPkt(srcname, time, bytes, nbytes, &pkt);
  if (kind < 0) {
    elog_clear_register(1);
    altuscom_log_message(nullptr, nullptr, 1, "%s: unstuffPkt(%s) error\n", poc->label, srcname);
    return;
  }
  if (kind != Pkt_pf) {
    altuscom_log_message(nullptr, nullptr, 1, "%s: packet '%s' not a pf packet\n", poc->label,
                         srcname);
    freePkt(pkt);
    return;
  }
  char *srcip = nullptr;
  if (parse_param(pkt->pf, "srcip", P_STR, 1, &srcip) != 0 || srcip == nullptr) {
    elog_clear_register(1);
    altuscom_log_message(nullptr, nullptr, 1, "%s: no srcip parameter in packet '%s'\n", poc->label,
                         srcname);
    free(srcip);
    freePkt(pkt);
    return;
  }
  const std::string from = srcip;
  free(srcip);
  if (poc->altus->log_poc > 1) {
    altuscom_log_message(nullptr, nullptr, 1, "%s: Processing POC from %s\n", poc->label,
                         from.c_str());
  }
  for (AltusDatalogger *dl : dls) {
    if (dl->poc_name == nullptr || dl->poc_value == nullptr || dl->single_modem == nullptr)
      continue;
    char *value = nullptr;
    if (parse_param(pkt->pf, dl->poc_name, P_STR, 0, &value) != 0) {
      elog_clear_register(1);
      free(value);
      continue;
    }
    bool match = value != nullptr && strcmp(value, dl->poc_value) == 0;
    free(value);
    if (match) retarget(poc, dl, from);
  }
  freePkt(pkt);
}

}  // namespace

void *kessaro::run_pocd_thread(void *arg) {
  auto *poc = static_cast<POCDaemon *>(arg);
  Kessaro *altus = poc->altus;
  altuscom_log_message(nullptr, nullptr, 1, "Starting %s POC Daemon thread\n", poc->label);
  std::vector<AltusDatalogger *> dls;
  {
    Tbl *t = valsarr(altus->dltargets_array);
    for (long i = 0; i < maxtbl(t); i++)
      dls.push_back(static_cast<AltusDatalogger *>(gettbl(t, i)));
    freetbl(t, nullptr);
  }
  char *bytes = nullptr;
  int bufsize = 0;
  double failing_since = -1.0;  // clock time of the first failure in a row, or none
  while (!shutting_down(altus)) {
    int pktid = 0, nbytes = 0;
    char srcname[ORBSRCNAME_SIZE] = "";
    double time = 0.0;
    int rc = kessaro_pocd_reap(poc->orb, &pktid, srcname, &time, &bytes, &nbytes, &bufsize);
    // A stopped reader can never deliver again: a failure like an error.
    if (rc < 0 || rc == ORBREAPTHR_STOPPED) {
      elog_clear_register(1);
      altuscom_log_message(nullptr, nullptr, 1, "%s: orbreapthr_get() error\n", poc->label);
      if (failing_since < 0.0) failing_since = clock_now();
      clock_sleep(10.0);
      if (clock_now() - failing_since < KESSARO_POCD_FAILURE_LIMIT) continue;
      free(bytes);
      if (!kessaro_shutdown_claim()) return nullptr;  // another shutdown ends the process
      altuscom_log_message(nullptr, nullptr, 1, "%s: AUTOMATIC KESSARO SHUTDOWN...\n", poc->label);
      kessaro_stop(altus, 0);
      kessaro_pocd_exit(0);
      return nullptr;
    }
    failing_since = -1.0;
    if (shutting_down(altus)) break;
    if (rc != ORBREAPTHR_PACKET) {
      elog_clear_register(0);
      continue;
    }
    announcement(poc, dls, srcname, time, bytes, nbytes);
  }
  free(bytes);
  altuscom_log_message(nullptr, nullptr, 1, "Stopping %s POC Daemon thread\n", poc->label);
  return nullptr;
}
