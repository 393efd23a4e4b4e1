#include "packet/logpkt.h"

#include <cstdlib>
#include <cstring>

#include "base/bigendian.h"
#include "base/elog.h"

//  Log packet (big-endian):
//   0  2  header size, 8
//   2  2  packet size = 8 + text length + 1
//   4  2  0x716C
//   6  2  0x716C
//   8  .  the text and its zero byte
int log2orbpkt(const char *msg, char **packet, int *nbytes, int *bufsize) {
  size_t len = strlen(msg);
  if (len > 65535 - 9) {
    elog_log(0, "log2orbpkt: text of %zu bytes too long for a log packet.\n", len);
    return -1;
  }
  int size = static_cast<int>(8 + len + 1);
  int needed = size + 1;
  if (*packet == nullptr || *bufsize < needed) {
    char *p = static_cast<char *>(realloc(*packet, static_cast<size_t>(needed)));
    if (p == nullptr) {
      elog_log(1, "log2orbpkt: realloc() error.\n");
      return -1;
    }
    *packet = p;
    *bufsize = needed;
  }
  unsigned char *b = reinterpret_cast<unsigned char *>(*packet);
  be_put16(b, 8);
  be_put16(b + 2, static_cast<uint16_t>(size));
  be_put16(b + 4, 0x716C);
  be_put16(b + 6, 0x716C);
  memcpy(b + 8, msg, len + 1);
  *nbytes = size;
  return 0;
}
