// muldrin_pocd.cpp - point-of-contact listener threads.
#include "muldrin_pocd.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/clock.h"
#include "base/elog.h"
#include "base/pf.h"
#include "base/tbl.h"
#include "base/threadstart.h"
#include "muldrin_run.h"
#include "muldrin_write.h"
#include "packet/pkt.h"
#include "q330_pktdefs.h"
#include "ring/orb.h"
#include "taverage.h"
#include "udp.h"

int (*muldrin_pocd_udp_read)(UDP *, int, const char *, char *, void *, int *, double) = udp_read;

namespace {

constexpr int POC_COMMAND = 0xC5;
constexpr int POC_COUNTDOWN = 3600;
constexpr double POC_FAIL_PAUSE = 10.0;

bool label_udp(const POCDaemon *pocd) { return pocd->udp != nullptr; }

}  // namespace

int q330_poc_set_ipaddress(Q330 *q330, const char *ipaddress) {
  std::string old;
  if (q330_address_announce(q330, ipaddress, &old) == 0) return 0;
  q330_output(q330, Q330_OUT_LOG, "POC change in datalogger ipaddress - resetting from %s to %s\n",
              old.c_str(), ipaddress);
  if (q330->status.ta_nipchs_24h != nullptr && old != "-")
    taverage_put(q330->status.ta_nipchs_24h, 1.0);
  return 1;
}

int muldrin_poc_process(POCDaemon *pocd, const char *sender, const char *sn, unsigned ip,
                        int data_port_number) {
  Muldrin *m = muldrin_write_program();
  char iptext[256];
  my_ip2str(ip, iptext, m->noipresolv, sizeof iptext);
  int lport = data_port_number + 1;
  muldrin_output(Q330_OUT_STDOUT, "%s: Processing POC from %s, sn=%s, lport=%d, ip=%s\n",
                 pocd->label, sender, sn, lport, iptext);
  Q330 *q = nullptr;
  for (long i = 0; i < maxtbl(m->q330s_tbl) && q == nullptr; i++) {
    auto *c = static_cast<Q330 *>(gettbl(m->q330s_tbl, i));
    if (c == nullptr || q330_serial_text(c) != sn) continue;
    if (!m->poc_vampire && c->params.q330_port_logical != lport) continue;
    q = c;
  }
  if (q == nullptr) {
    muldrin_output(Q330_OUT_STDOUT, "%s: Could not find appropriate entry in dataloggers table.\n",
                   pocd->label);
    return -1;
  }
  const char *dl = q->params.dlname != nullptr ? q->params.dlname : "";
  int port = q->params.q330_port_logical;
  muldrin_output(Q330_OUT_STDOUT, "%s: Found datalogger %s:%d in dataloggers table.\n", pocd->label,
                 dl, port);
  if (q->status.ta_npocs_24h != nullptr) taverage_put(q->status.ta_npocs_24h, 1.0);
  std::string addr = sender;
  addr = addr.substr(0, addr.find(':'));
  if (q330_poc_set_ipaddress(q, addr.c_str()) == 1)
    muldrin_output(Q330_OUT_STDOUT, "%s: Change in datalogger %s:%d ipaddress - resetting.\n",
                   pocd->label, dl, port);
  Q330AcqState state = q->state_acquisition.load();
  bool listen = q->params.disposition == 2;
  if (state == Q330_ACQ_HIBERNATING || state == Q330_ACQ_SLEEPING ||
      (listen && state == Q330_ACQ_WAITING)) {
    muldrin_output(Q330_OUT_STDOUT, "%s: Starting acquisition for datalogger %s:%d.\n", pocd->label,
                   dl, port);
    q330_output(q, Q330_OUT_LOG, "POC initiated acquisition start.\n");
    q330_start_acquisition(q);
  } else if (listen && state == Q330_ACQ_STOPPED) {
    muldrin_output(Q330_OUT_STDOUT, "%s: Datalogger %s:%d currently stopped.\n", pocd->label, dl,
                   port);
  } else if (listen && state >= Q330_ACQ_REGISTER && state <= Q330_ACQ_KILL) {
    muldrin_output(Q330_OUT_STDOUT, "%s: Datalogger %s:%d currently connected.\n", pocd->label, dl,
                   port);
  }
  return 0;
}

int muldrin_poc_datagram(POCDaemon *pocd, const char *sender, const unsigned char *buf,
                         int nbytes) {
  int command = 0, length = 0, sequence = 0, ack = 0;
  if (q330_unstuff_pkt_hdr(reinterpret_cast<const char *>(buf), nbytes, &command, &length,
                           &sequence, &ack) != 0) {
    elog_clear_register(0);
    muldrin_output(Q330_OUT_LOG, "muldrin: POC%d: error unstuffing QDP hdr from %s\n", pocd->port,
                   sender);
    return -1;
  }
  if (command != POC_COMMAND) {
    muldrin_output(Q330_OUT_LOG, "muldrin: POC%d: Ignoring command 0x%2.2X from %s\n", pocd->port,
                   command, sender);
    return -1;
  }
  Q330C2POCPkt poc{};
  auto *cursor = const_cast<unsigned char *>(buf) + 12;
  if (q330_unstuff_qpkt(command, &poc, length, &cursor) != 0) {
    elog_clear_register(0);
    muldrin_output(Q330_OUT_LOG, "muldrin: POC%d: error unstuffing POC packet from %s\n",
                   pocd->port, sender);
    return -1;
  }
  char sn[32];
  snprintf(sn, sizeof sn, "%-8.8X%-8.8X", poc.q330_serial_number_high, poc.q330_serial_number_low);
  return muldrin_poc_process(pocd, sender, sn, poc.q330_ip_address, poc.data_port_number);
}

int muldrin_poc_ring_packet(POCDaemon *pocd, const char *srcname, double time, const char *packet,
                            int nbytes) {
  Packet *pkt = nullptr;
  int kind = unstuffPkt(srcname, time, packet, nbytes, &pkt);
  int rc = -1;
  if (kind < 0) {
    elog_clear_register(0);
    muldrin_output(Q330_OUT_LOG, "muldrin: %s: unstuffPkt(%s) error\n", pocd->label, srcname);
  } else if (kind != Pkt_pf || pkt->pf == nullptr) {
    muldrin_output(Q330_OUT_LOG, "muldrin: %s: packet '%s' not a pf packet\n", pocd->label,
                   srcname);
  } else {
    void *v = nullptr;
    char *ipstr = nullptr, *portstr = nullptr, *sn = nullptr, *srcip = nullptr;
    if (pfget(pkt->pf, "pocc2", &v) != PFARR) {
      muldrin_output(Q330_OUT_LOG, "muldrin: no pocc2 parameter in packet '%s'\n", srcname);
    } else if ((ipstr = pfget_string(static_cast<Pf *>(v), "q330_ip_address")) == nullptr) {
      muldrin_output(Q330_OUT_LOG, "muldrin: no pocc2->q330_ip_address parameter in packet '%s'\n",
                     srcname);
    } else if ((portstr = pfget_string(static_cast<Pf *>(v), "data_port_number")) == nullptr) {
      muldrin_output(Q330_OUT_LOG, "muldrin: no pocc2->data_port_number parameter in packet '%s'\n",
                     srcname);
    } else if ((sn = pfget_string(pkt->pf, "sn")) == nullptr) {
      muldrin_output(Q330_OUT_LOG, "muldrin: %s: no sn parameter in packet '%s'\n", pocd->label,
                     srcname);
    } else if ((srcip = pfget_string(pkt->pf, "srcip")) == nullptr) {
      muldrin_output(Q330_OUT_LOG, "muldrin: %s: no srcip parameter in packet '%s'\n", pocd->label,
                     srcname);
    } else {
      unsigned ip = 0;
      my_str2ip(ipstr, &ip);
      rc = muldrin_poc_process(pocd, srcip, sn, ip, atoi(portstr));
    }
  }
  freePkt(pkt);
  return rc;
}

void *muldrin::run_pocd_thread(void *arg) {
  auto *pocd = static_cast<POCDaemon *>(arg);
  muldrin_output(Q330_OUT_STDOUT, "muldrin: --------POC Daemon thread starting for %s--------\n",
                 pocd->label);
  int countdown = POC_COUNTDOWN;
  char *pkt = nullptr;
  int bufsize = 0;
  for (;;) {
    if (myshutdown_pocds.load() != 0) {
      muldrin_output(Q330_OUT_STDOUT,
                     "muldrin: --------POC Daemon thread stopping for %s--------\n", pocd->label);
      free(pkt);
      return nullptr;
    }
    int r;
    if (label_udp(pocd)) {
      unsigned char buf[1024];
      char sender[256] = "";
      int nbytes = sizeof buf;
      r = muldrin_pocd_udp_read(pocd->udp, pocd->port, nullptr, sender, buf, &nbytes, 1.0);
      if (r == 3)
        muldrin_output(Q330_OUT_LOG, "muldrin: POC%d: udp_read() returned EWOULDBLOCK\n",
                       pocd->port);
      if (r == 0) muldrin_poc_datagram(pocd, sender, buf, nbytes);
    } else {
      int pktid = 0, nbytes = 0;
      char srcname[ORBSRCNAME_SIZE] = "";
      double time = 0;
      r = orbreapthr_get(pocd->orb, &pktid, srcname, &time, &pkt, &nbytes, &bufsize);
      // A reap thread that has stopped for good fails like an error, with the pause.
      if (r == ORBREAPTHR_STOPPED) r = ORBREAPTHR_ERROR;
      if (r == ORBREAPTHR_PACKET) muldrin_poc_ring_packet(pocd, srcname, time, pkt, nbytes);
    }
    if (r >= 0) {
      countdown = POC_COUNTDOWN;
      continue;
    }
    elog_clear_register(0);
    if (label_udp(pocd) && r == -2) {
      const char *warn =
          "muldrin: POC%d: ********************WARNING!!!!!!******************************\n";
      muldrin_output(Q330_OUT_STDOUT, warn, pocd->port);
      muldrin_output(
          Q330_OUT_STDOUT,
          "muldrin: POC%d: udp_read(bind) ERROR - SOMEBODY ELSE IS SITTING ON PORT %d!!!\n",
          pocd->port, pocd->port);
      muldrin_output(Q330_OUT_STDOUT,
                     "muldrin: POC%d: FIX THIS NOW OR MULDRIN WILL BE SHUTDOWN IN %d SECONDS\n",
                     pocd->port, countdown);
      muldrin_output(Q330_OUT_STDOUT, warn, pocd->port);
    } else if (label_udp(pocd)) {
      muldrin_output(Q330_OUT_STDOUT, "muldrin: POC%d: udp_read() error\n", pocd->port);
    } else {
      muldrin_output(Q330_OUT_STDOUT, "muldrin: %s: orbreapthr_get() error\n", pocd->label);
    }
    clock_sleep(POC_FAIL_PAUSE);
    countdown -= static_cast<int>(POC_FAIL_PAUSE);
    if (countdown > 0) continue;
    if (label_udp(pocd))
      muldrin_output(Q330_OUT_STDOUT, "muldrin: POC%d: AUTOMATIC MULDRIN SHUTDOWN...\n",
                     pocd->port);
    else
      muldrin_output(Q330_OUT_STDOUT, "muldrin: %s: AUTOMATIC MULDRIN SHUTDOWN...\n", pocd->label);
    muldrin_halt();
    // Nothing more to listen for; the thread idles until the shutdown reaches it.
    while (myshutdown_pocds.load() == 0) clock_sleep(1.0);
    free(pkt);
    return nullptr;
  }
}

int muldrin_pocd_start(Muldrin *muldrin) {
  for (long i = 0; i < maxtbl(muldrin->pocds_tbl); i++) {
    auto *pocd = static_cast<POCDaemon *>(gettbl(muldrin->pocds_tbl, i));
    if (threadstart_create(&pocd->thread, THREAD_POCD, muldrin::run_pocd_thread, pocd) != 0) {
      elog_log(1, "muldrin_pocd_start: pthread_create() error.\n");
      return -1;
    }
    pthread_detach(pocd->thread);
  }
  return 0;
}
