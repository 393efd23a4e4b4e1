// q330sim_poc.cpp - the simulator's point-of-contact announcements (C2_POC, 0xC5).
//
// Payload (40 bytes, big-endian):
// | Offset | Size | Field                                  |
// |--------|------|----------------------------------------|
// | 0      | 4    | serial number, high word               |
// | 4      | 4    | serial number, low word                |
// | 8      | 4    | the unit's IP address                  |
// | 12     | 4    | point-of-contact IP address            |
// | 16     | 4    | netmask                                |
// | 20     | 2    | base port                              |
// | 22     | 2    | data port number (logical port - 1)    |
// | 24     | 2    | web server bytes/s limit               |
// | 26     | 2    | flags                                  |
// | 28     | 2    | access time-out                        |
// | 30     | 2    | serial baud rate                       |
// | 32     | 4    | baler serial number, high word         |
// | 36     | 4    | baler serial number, low word          |
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <vector>

#include "q330sim.h"

namespace {

void put(std::vector<unsigned char> &d, uint32_t v, int bytes) {
  for (int s = 8 * (bytes - 1); s >= 0; s -= 8) d.push_back(static_cast<unsigned char>(v >> s));
}

}  // namespace

int Q330Sim::send_poc(int poc_port, uint32_t ip, const char *from_addr) {
  std::vector<unsigned char> d(4, 0);
  d.push_back(0xC5);
  d.push_back(2);
  put(d, 40, 2);
  put(d, 1, 2);  // sequence
  put(d, 0, 2);  // acknowledge
  put(d, static_cast<uint32_t>(options_.serial >> 32), 4);
  put(d, static_cast<uint32_t>(options_.serial), 4);
  put(d, ip, 4);
  put(d, 0x7F000001, 4);
  put(d, 0xFF000000, 4);
  put(d, static_cast<uint32_t>(base_), 2);
  put(d, static_cast<uint32_t>(options_.logical - 1), 2);
  for (int i = 0; i < 4; i++) put(d, 0, 2);
  put(d, 0, 4);
  put(d, 0, 4);
  uint32_t crc = q330sim_crc(d.data() + 4, d.size() - 4);
  for (int i = 0; i < 4; i++)
    d[static_cast<size_t>(i)] = static_cast<unsigned char>(crc >> (24 - 8 * i));

  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  if (fd < 0) return -1;
  sockaddr_in from{};
  from.sin_family = AF_INET;
  inet_pton(AF_INET, from_addr, &from.sin_addr);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<uint16_t>(poc_port));
  inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
  int rc = -1;
  if (bind(fd, reinterpret_cast<sockaddr *>(&from), sizeof from) == 0 &&
      sendto(fd, d.data(), d.size(), 0, reinterpret_cast<sockaddr *>(&to), sizeof to) ==
          static_cast<ssize_t>(d.size()))
    rc = 0;
  close(fd);
  return rc;
}

int Q330Sim::move(const std::string &address) {
  stop();
  options_.address = address;
  options_.base_port = base_;
  return start();
}
