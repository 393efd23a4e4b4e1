// q330_pktdefs.cpp - the table-driven QDP codec: indexes, header check, field-list decode,
// encode and text form, address texts and counted strings (see q330_pktdefs.h).
#include "q330_pktdefs.h"

#include <arpa/inet.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "base/elog.h"
#include "base/tbl.h"
#include "q330_crc.h"
#include "support/convert.h"
#include "support/hostid.h"

const Q330Pktdefs *q330_pktdefs_index[Q330_PKTDEFS_INDEX_SIZE];
const Qtpb14Tokendefs *qtpb14_tokendefs_index[QTPB14_TOKENDEFS_INDEX_SIZE];
const Q330Codedefs *q330_codedefs_index[Q330_PKTDEFS_INDEX_SIZE];

namespace {

std::once_flag pktdefs_once;
int wire_sizes[Q330_PKTDEFS_INDEX_SIZE];
// One complaint per command code about payloads shorter than their layout.
std::atomic<bool> short_payload_told[Q330_PKTDEFS_INDEX_SIZE];

int field_count(const Pktdef &f) {
  return f.number < 0 ? -f.number : (f.number == 0 ? 1 : f.number);
}

int field_wire_size(const Pktdef &f) {
  switch (f.type) {
    case PKTDEF_UINT8:
    case PKTDEF_CHARS:
      return field_count(f);
    case PKTDEF_UINT16:
    case PKTDEF_INT16:
      return 2 * field_count(f);
    case PKTDEF_UINT32:
    case PKTDEF_FLOAT:
    case PKTDEF_IPADDR:
      return 4 * field_count(f);
    case PKTDEF_PSTR:
      return f.number;
    default:
      return 0;
  }
}

int list_wire_size(const Pktdef *list, int n) {
  int size = 0;
  for (int i = 0; i < n; i++) size += field_wire_size(list[i]);
  return size;
}

void build_indexes() {
  for (auto &e : q330_pktdefs_index) e = nullptr;
  for (auto &e : qtpb14_tokendefs_index) e = nullptr;
  for (auto &e : q330_codedefs_index) e = nullptr;
  for (int i = 0; i < q330_pktdefs_size; i++) {
    int c = q330_pktdefs[i].command;
    if (c < 0 || c >= Q330_PKTDEFS_INDEX_SIZE)
      elog_die(0, "q330_pktdefs_init: command 0x%x out of range.\n", c);
    q330_pktdefs_index[c] = &q330_pktdefs[i];
    wire_sizes[c] = list_wire_size(q330_pktdefs[i].pktdef, q330_pktdefs[i].pktdef_size);
  }
  for (int i = 0; i < qtpb14_tokendefs_size; i++) {
    int id = qtpb14_tokendefs[i].id;
    if (id < 0 || id >= QTPB14_TOKENDEFS_INDEX_SIZE)
      elog_die(0, "q330_pktdefs_init: qtpb14 Id 0x%x out of range.\n", id);
    qtpb14_tokendefs_index[id] = &qtpb14_tokendefs[i];
  }
  for (int i = 0; i < q330_codedefs_size; i++) {
    int c = q330_codedefs[i].command;
    if (c < 0 || c >= Q330_PKTDEFS_INDEX_SIZE)
      elog_die(0, "q330_pktdefs_init: command 0x%x out of range.\n", c);
    q330_codedefs_index[c] = &q330_codedefs[i];
  }
}

unsigned char *field_dest(void *qstruc, const Pktdef &f) {
  return static_cast<unsigned char *>(qstruc) + f.offset;
}

// Decodes a field list from `src`, which holds the whole layout.
void decode_fields(const Q330Pktdefs *row, void *qstruc, unsigned char *src) {
  unsigned char *cur = src;
  for (int i = 0; i < row->pktdef_size; i++) {
    const Pktdef &f = row->pktdef[i];
    unsigned char *dst = field_dest(qstruc, f);
    int n = field_count(f);
    int step = f.number < 0 ? -1 : 1;
    switch (f.type) {
      case PKTDEF_UINT8:
        for (int k = 0; k < n; k++) dst[step * k] = *cur++;
        break;
      case PKTDEF_UINT16:
        for (int k = 0; k < n; k++) {
          uint16_t v;
          ums2hs(&cur, &v, 1);
          std::memcpy(dst + step * k * 2, &v, 2);
        }
        break;
      case PKTDEF_UINT32:
      case PKTDEF_IPADDR:
        for (int k = 0; k < n; k++) {
          uint32_t v;
          umi2hi(&cur, &v, 1);
          std::memcpy(dst + step * k * 4, &v, 4);
        }
        break;
      case PKTDEF_FLOAT:
        for (int k = 0; k < n; k++) {
          float v;
          (void)mf2hf(&cur, &v, 1);
          std::memcpy(dst + step * k * 4, &v, 4);
        }
        break;
      case PKTDEF_PSTR:
        unstuff_pstr(reinterpret_cast<char *>(dst), f.number, &cur);
        break;
      default:
        break;
    }
  }
}

void encode_fields(const Q330Pktdefs *row, const void *qstruc, unsigned char **cursor) {
  unsigned char *cur = *cursor;
  for (int i = 0; i < row->pktdef_size; i++) {
    const Pktdef &f = row->pktdef[i];
    const unsigned char *src = static_cast<const unsigned char *>(qstruc) + f.offset;
    int n = field_count(f);
    int step = f.number < 0 ? -1 : 1;
    switch (f.type) {
      case PKTDEF_UINT8:
        for (int k = 0; k < n; k++) *cur++ = src[step * k];
        break;
      case PKTDEF_UINT16:
        for (int k = 0; k < n; k++) {
          uint16_t v;
          std::memcpy(&v, src + step * k * 2, 2);
          uhs2ms(&v, &cur, 1);
        }
        break;
      case PKTDEF_UINT32:
      case PKTDEF_IPADDR:
        for (int k = 0; k < n; k++) {
          uint32_t v;
          std::memcpy(&v, src + step * k * 4, 4);
          uhi2mi(&v, &cur, 1);
        }
        break;
      case PKTDEF_PSTR:
        stuff_pstr(&cur, reinterpret_cast<const char *>(src), f.number);
        break;
      default:  // floats are never sent
        break;
    }
  }
  *cursor = cur;
}

void push_fields(void **stack, const Q330Pktdefs *row, const void *qstruc, int noipresolv) {
  for (int i = 0; i < row->pktdef_size; i++) {
    const Pktdef &f = row->pktdef[i];
    const unsigned char *src = static_cast<const unsigned char *>(qstruc) + f.offset;
    int n = field_count(f);
    int step = f.number < 0 ? -1 : 1;
    bool array = f.number < 0 || f.number >= 2;
    if (f.type == PKTDEF_PSTR) {
      mypushstr(stack, "%s %s\n", f.name, reinterpret_cast<const char *>(src));
      continue;
    }
    if (f.type != PKTDEF_UINT8 && f.type != PKTDEF_UINT16 && f.type != PKTDEF_UINT32 &&
        f.type != PKTDEF_FLOAT && f.type != PKTDEF_IPADDR)
      continue;
    if (array) mypushstr(stack, "%s &Tbl{\n", f.name);
    for (int k = 0; k < n; k++) {
      std::string value;
      char buf[256];
      switch (f.type) {
        case PKTDEF_UINT8:
          snprintf(buf, sizeof buf, "%d", src[step * k]);
          break;
        case PKTDEF_UINT16: {
          uint16_t v;
          std::memcpy(&v, src + step * k * 2, 2);
          snprintf(buf, sizeof buf, "%u", (unsigned)v);
          break;
        }
        case PKTDEF_UINT32: {
          uint32_t v;
          std::memcpy(&v, src + step * k * 4, 4);
          snprintf(buf, sizeof buf, "%u", (unsigned)v);
          break;
        }
        case PKTDEF_FLOAT: {
          float v;
          std::memcpy(&v, src + step * k * 4, 4);
          snprintf(buf, sizeof buf, "%.8e", (double)v);
          break;
        }
        default: {
          uint32_t v;
          std::memcpy(&v, src + step * k * 4, 4);
          my_ip2str(v, buf, noipresolv, (int)sizeof buf);
          break;
        }
      }
      if (array)
        mypushstr(stack, "%s\n", buf);
      else
        mypushstr(stack, "%s %s\n", f.name, buf);
    }
    if (array) mypushstr(stack, "}\n");
  }
}

// Address-text caches, each bounded and under its own mutex.
constexpr size_t kIpCacheMax = 1024;
std::mutex ip2str_mutex;
std::unordered_map<uint32_t, std::string> ip2str_cache;  // resolved texts
std::mutex str2ip_mutex;
std::unordered_map<std::string, uint32_t> str2ip_cache;

void copy_text(char *dst, const std::string &src, int dst_sz) {
  if (dst_sz <= 0) return;
  snprintf(dst, (size_t)dst_sz, "%s", src.c_str());
}

}  // namespace

int q330_pktdefs_init(void) {
  std::call_once(pktdefs_once, build_indexes);
  return 0;
}

const Q330Pktdefs *q330_pktdef_lookup(int command) {
  q330_pktdefs_init();
  if (command < 0 || command >= Q330_PKTDEFS_INDEX_SIZE) return nullptr;
  return q330_pktdefs_index[command];
}

int q330_pktdef_wire_size(int command) {
  const Q330Pktdefs *row = q330_pktdef_lookup(command);
  if (!row) return -1;
  return wire_sizes[command];
}

int q330_get_port_type(int command) {
  const Q330Pktdefs *row = q330_pktdef_lookup(command);
  if (!row) {
    elog_log(0, "q330_get_port_type: Command 0x%x not defined.\n", command);
    return -1;
  }
  return row->port_type;
}

const char *q330_cmdstr(unsigned command) {
  q330_pktdefs_init();
  const Q330Codedefs *c = q330_codedefs_index[command & 0xFFu];
  return c ? c->code : "undef";
}

int q330_code2str(int command, int code, char *str, int str_sz) {
  q330_pktdefs_init();
  const Q330Codedefs *c =
      (command >= 0 && command < Q330_PKTDEFS_INDEX_SIZE) ? q330_codedefs_index[command] : nullptr;
  if (!c) {
    if (str && str_sz > 0)
      snprintf(str, (size_t)str_sz, "q330_code2str: Command 0x%x not defined.\n", command);
    elog_log(0, "q330_code2str: Command 0x%x not defined.\n", command);
    return -1;
  }
  if (!str || str_sz <= 0) return 0;
  if (code < 0) {
    snprintf(str, (size_t)str_sz, "%s", c->code);
    return 0;
  }
  for (int i = 0; i < c->codedef_size; i++) {
    if (c->codedef[i].code == code) {
      snprintf(str, (size_t)str_sz, "%s", c->codedef[i].str);
      return 0;
    }
  }
  snprintf(str, (size_t)str_sz, "Code 0x%2.2x Unknown", code);
  return 0;
}

// QDP datagram header (big-endian):
//   0 crc uint32 (CRC-32 of bytes 4..end) | 4 command uint8 | 5 version uint8 (2)
//   6 length uint16 (payload bytes)       | 8 sequence uint16 | 10 ack uint16 | 12 payload
int q330_unstuff_pkt_hdr(const char *pkt, int nbytes, int *command, int *length, int *sequence,
                         int *ack) {
  if (!pkt || nbytes < 12 || nbytes > 1024) return 3;
  unsigned char *cur = reinterpret_cast<unsigned char *>(const_cast<char *>(pkt));
  uint32_t crc_wire = 0;
  unsigned crc = 0;
  if (umi2hi(&cur, &crc_wire, 1) < 0) return -1;
  q330_crc(cur, nbytes - 4, &crc);
  if (crc != crc_wire) return 1;
  int cmd = cur[0];
  int version = cur[1];
  cur += 2;
  if (version != 2) return 2;
  uint16_t len = 0, seq = 0, ak = 0;
  if (ums2hs(&cur, &len, 1) < 0) return -1;
  if (nbytes != (int)len + 12) return 3;
  if (ums2hs(&cur, &seq, 1) < 0 || ums2hs(&cur, &ak, 1) < 0) return -1;
  if (command) *command = cmd;
  if (length) *length = len;
  if (sequence) *sequence = seq;
  if (ack) *ack = ak;
  return 0;
}

int q330_unstuff_block(int command, void *qstruc, int avail, unsigned char **cursor) {
  const Q330Pktdefs *row = q330_pktdef_lookup(command);
  if (!row) {
    elog_log(0, "q330_unstuff_block: Command 0x%x not defined.\n", command);
    return -1;
  }
  if (row->pktdef) {
    int size = wire_sizes[command];
    if (avail < size) return -1;
    decode_fields(row, qstruc, *cursor);
    *cursor += size;
    return 0;
  }
  if (row->unstuff) return row->unstuff(qstruc, avail, cursor);
  return 0;
}

int q330_unstuff_qpkt(int command, void *qstruc, int pktsize, unsigned char **udppkt) {
  const Q330Pktdefs *row = q330_pktdef_lookup(command);
  if (!row) {
    elog_log(0, "q330_unstuff_qpkt: Command 0x%x not defined.\n", command);
    return -1;
  }
  if (pktsize < 0) pktsize = 0;
  if (row->pktdef) {
    int size = wire_sizes[command];
    if (pktsize >= size) {
      decode_fields(row, qstruc, *udppkt);
      *udppkt += size;
      return 0;
    }
    // Older firmware sends shorter blocks: decode what is there, the rest reads as zero.
    std::vector<unsigned char> padded((size_t)size, 0);
    if (pktsize > 0) std::memcpy(padded.data(), *udppkt, (size_t)pktsize);
    decode_fields(row, qstruc, padded.data());
    *udppkt += pktsize;
    if (!short_payload_told[command].exchange(true))
      elog_complain(0,
                    "q330_unstuff_qpkt: %s payload of %d bytes is shorter than its %d-byte "
                    "layout; the missing fields read as 0.\n",
                    q330_cmdstr((unsigned)command), pktsize, size);
    return 0;
  }
  if (row->unstuff) return row->unstuff(qstruc, pktsize, udppkt);
  return 0;
}

int q330_stuff_qpkt(int command, unsigned char **udppkt, void *qstruc) {
  const Q330Pktdefs *row = q330_pktdef_lookup(command);
  if (!row) {
    elog_log(0, "q330_stuff_qpkt: Command 0x%x not defined.\n", command);
    return -1;
  }
  if (row->pktdef) {
    encode_fields(row, qstruc, udppkt);
    return 0;
  }
  if (row->stuff) return row->stuff(udppkt, qstruc);
  return 0;
}

int q330_pfstuff_qpkt(int command, void **stack, void *qstruc, int puthdr, int noipresolv) {
  const Q330Pktdefs *row = q330_pktdef_lookup(command);
  if (!row) {
    elog_log(0, "q330_pfstuff_qpkt: Command 0x%x not defined.\n", command);
    return -1;
  }
  if (!row->pktdef && !row->pfstuff) return 0;
  if (puthdr) mypushstr(stack, "%s &Arr{\n", row->name);
  int result = 0;
  if (row->pktdef)
    push_fields(stack, row, qstruc, noipresolv);
  else
    result = row->pfstuff(stack, qstruc, noipresolv);
  if (puthdr) mypushstr(stack, "}\n");
  return result;
}

int mypushstr(void **stack, const char *fmt, ...) {
  char buf[8192];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  pushstr(stack, buf);
  return 0;
}

int my_str2ip(const char *ipstr, unsigned *ipaddress) {
  *ipaddress = 0;
  if (!ipstr) return 0;
  std::string key(ipstr);
  {
    std::lock_guard<std::mutex> lock(str2ip_mutex);
    auto it = str2ip_cache.find(key);
    if (it != str2ip_cache.end()) {
      *ipaddress = it->second;
      return 0;
    }
  }
  int a, b, c, d;
  if (sscanf(ipstr, "%d.%d.%d.%d", &a, &b, &c, &d) < 4) return 0;
  for (int v : {a, b, c, d})
    if (v < 0 || v > 255) return 0;
  uint32_t addr = ((uint32_t)a << 24) | ((uint32_t)b << 16) | ((uint32_t)c << 8) | (uint32_t)d;
  *ipaddress = addr;
  std::lock_guard<std::mutex> lock(str2ip_mutex);
  if (str2ip_cache.size() < kIpCacheMax) str2ip_cache.emplace(key, addr);
  return 0;
}

int my_ip2str(unsigned ipaddress, char *ipstr, int noipresolv, int ipstr_sz) {
  char dotted[32];
  snprintf(dotted, sizeof dotted, "%u.%u.%u.%u", (ipaddress >> 24) & 0xFFu,
           (ipaddress >> 16) & 0xFFu, (ipaddress >> 8) & 0xFFu, ipaddress & 0xFFu);
  if (noipresolv) {
    copy_text(ipstr, dotted, ipstr_sz);
    return 0;
  }
  {
    std::lock_guard<std::mutex> lock(ip2str_mutex);
    auto it = ip2str_cache.find(ipaddress);
    if (it != ip2str_cache.end()) {
      copy_text(ipstr, it->second, ipstr_sz);
      return 0;
    }
  }
  // The lookup may take seconds: other printers must not wait for it.
  char name[HOSTID_NAME_SIZE];
  std::string text;
  if (ip2name(htonl(ipaddress), name) == 0) {
    text = std::string(dotted) + " (" + name + ")";
  } else {
    elog_clear_register(0);
    text = std::string(dotted) + " (?)";
  }
  {
    std::lock_guard<std::mutex> lock(ip2str_mutex);
    auto res = ip2str_cache.emplace(ipaddress, text);
    if (!res.second)
      text = res.first->second;
    else if (ip2str_cache.size() > kIpCacheMax)
      ip2str_cache.erase(res.first);
  }
  copy_text(ipstr, text, ipstr_sz);
  return 0;
}

// Counted string: 0 length L uint8 | 1 L characters | filler up to the field width.
int unstuff_pstr(char *str, int length, unsigned char **cursor) {
  unsigned char *cur = *cursor;
  if (length <= 0) return 0;
  int n = cur[0];
  if (n > length - 1) n = length - 1;
  std::memcpy(str, cur + 1, (size_t)n);
  str[n] = '\0';
  *cursor = cur + length;
  return 0;
}

int stuff_pstr(unsigned char **cursor, const char *str, int length) {
  unsigned char *cur = *cursor;
  if (length <= 0) return 0;
  size_t n = str ? strnlen(str, (size_t)length) : 0;
  if ((int)n > length - 1) n = (size_t)(length - 1);
  std::memset(cur, 0, (size_t)length);
  cur[0] = (unsigned char)n;
  if (n) std::memcpy(cur + 1, str, n);
  *cursor = cur + length;
  return 0;
}
