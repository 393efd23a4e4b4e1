// Fuzz target of the QDP datagram layer. The first byte picks the path: base-96 text
// decoded in place and its datagram checked; a DT_DATA payload split into blockettes; or
// the bytes sent over loopback to a session's control and data ports and received by
// q330_recv_pkt (into a record of exactly the wanted command's size) and
// q330_recv_pkt_data.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "q330_qdp.h"

namespace {

struct Rig {
  Q330 *q = new Q330();
  int peer = -1;
  sockaddr_in ports[2]{};
  Rig() {
    peer = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(peer, reinterpret_cast<sockaddr *>(&sa), sizeof sa);
    socklen_t len = sizeof sa;
    getsockname(peer, reinterpret_cast<sockaddr *>(&sa), &len);
    std::string hp = "127.0.0.1:" + std::to_string(ntohs(sa.sin_port));
    set_q330_str(&q->q330_hostport_control, hp.c_str());
    set_q330_str(&q->q330_hostport_data, hp.c_str());
    set_q330_str(&q->params.local_ipaddr, "127.0.0.1");
    q->params.timeout_control = q->params.timeout_data = q->params.udp_timeout_data = 0.05;
    udp_new(&q->udp_control);
    udp_new(&q->udp_data);
    // Open both endpoints and learn their ports.
    q330_sendcmd(q, 0x14);
    q330_sendcmd(q, 0x0B);
    for (auto &p : ports) {
      unsigned char buf[64];
      socklen_t l = sizeof p;
      recvfrom(peer, buf, sizeof buf, 0, reinterpret_cast<sockaddr *>(&p), &l);
    }
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1 || size > 2048) return 0;
  std::vector<unsigned char> bytes(data + 1, data + size);
  int n = static_cast<int>(bytes.size());
  switch (data[0] % 3) {
    case 0: {
      if (q330_decode_base96(bytes.data(), &n) == 0) {
        if (n < 0 || n > static_cast<int>(bytes.size())) abort();
        int command, length, sequence, ack;
        q330_unstuff_pkt_hdr(reinterpret_cast<const char *>(bytes.data()), n, &command, &length,
                             &sequence, &ack);
      }
      break;
    }
    case 1: {
      static Q330 *q = new Q330();
      auto d = std::make_unique<Q330DATAPkt>();
      int rc = q330_unstuff_pkt(q, 0x00, 1, 2, bytes.data(), n, d.get());
      if (rc == 0 && (d->nblockettes < 0 || d->nblockettes > Q330_DATA_MAXBLOCKETTES)) abort();
      break;
    }
    default: {
      static Rig rig;
      // The ack field follows the session's sequence half of the time, so the decode runs.
      if (n >= 12 && (bytes[0] & 1)) {
        bytes[10] = static_cast<unsigned char>(rig.q->sequence >> 8);
        bytes[11] = static_cast<unsigned char>(rig.q->sequence);
      }
      sendto(rig.peer, bytes.data(), bytes.size(), 0,
             reinterpret_cast<const sockaddr *>(&rig.ports[0]), sizeof rig.ports[0]);
      auto *srvch = new Q330SRVCHPkt();
      int command;
      unsigned short ack;
      q330_recv_pkt(rig.q, 0xA1, bytes.size() > 1 && (bytes[1] & 1), 1, &command, srvch, &ack);
      delete srvch;
      sendto(rig.peer, bytes.data(), bytes.size(), 0,
             reinterpret_cast<const sockaddr *>(&rig.ports[1]), sizeof rig.ports[1]);
      unsigned char payload[720];
      int nbytes = 0;
      unsigned short seq;
      if (q330_recv_pkt_data(rig.q, &command, &seq, payload, &nbytes) == 0 &&
          (nbytes < 0 || nbytes > 720))
        abort();
    }
  }
  return 0;
}
