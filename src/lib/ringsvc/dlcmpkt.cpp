// dlcmpkt.cpp - remote-command packets, their signature, command and response texts.
#include "ringsvc/dlcmpkt.h"

#include <unistd.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/bigendian.h"
#include "base/elog.h"
#include "base/md5.h"
#include "base/oom.h"
#include "base/pf.h"
#include "base/textutil.h"
#include "ring/orb.h"
#include "support/hostid.h"
#include "support/stdtime.h"

const unsigned char pktbts[9] = {0x7c, 0x3e, 0x91, 0xd4, 0x05, 0xb8, 0xa2, 0x6f, 0x00};

namespace {

const char i2h[] = "0123456789abcdef";
constexpr size_t kSuffixLen = sizeof(DLCM_SUFFIX) - 1;  // 8

// Process-wide count of the commands built by initcmd.
std::atomic<int> iseq{0};

size_t key_length() { return strlen(reinterpret_cast<const char *>(pktbts)); }

unsigned get16(const char *p) { return be_get16(reinterpret_cast<const unsigned char *>(p)); }
void put16(char *p, unsigned v) {
  be_put16(reinterpret_cast<unsigned char *>(p), static_cast<uint16_t>(v));
}

// True when the text holds a character that a "key value" line cannot carry.
bool bad_value(const char *s) {
  if (!s) return false;
  for (; *s; s++) {
    unsigned char c = static_cast<unsigned char>(*s);
    if ((c < 0x20 && c != '\t') || c == 0x7f) return true;
  }
  return false;
}

// Checks each (key, value) pair; logs the first bad one for `who`.
bool values_ok(const char *who, std::initializer_list<std::pair<const char *, const char *>> kv) {
  for (const auto &[key, value] : kv) {
    if (bad_value(value)) {
      elog_log(0, "%s: %s value holds a line break or control character.\n", who, key);
      return false;
    }
  }
  return true;
}

// The login name; when the system has none for this user, "u#<uid>" (not a failure).
std::string login() {
  char name[HOSTID_NAME_SIZE];
  my_username(name);
  return name;
}

// This host's name and dotted address; "?" for the address when it has none.
void host_and_ip(std::string *host, std::string *ip) {
  char h[HOSTID_NAME_SIZE] = "localhost";
  char d[HOSTID_DOTTED_SIZE] = "?";
  unsigned address = 0;
  if (my_ip(h, d, &address) < 0) {
    elog_clear_register(0);
    snprintf(d, sizeof d, "?");
  }
  *host = h;
  *ip = d;
}

char *dup_text(const std::string &s) {
  char *p = strdup(s.c_str());
  if (!p) OUT_OF_MEMORY(s.size() + 1, "identity text");
  return p;
}

}  // namespace

MdDigest mdcompute(std::initializer_list<MdPiece> pieces) {
  MD5_CTX ctx;
  MD5Init(&ctx);
  for (const MdPiece &p : pieces) {
    if (p.bytes && p.length) MD5Update(&ctx, p.bytes, p.length);
  }
  unsigned char digest[16];
  MD5Final(digest, &ctx);
  MdDigest out;
  for (int i = 0; i < 16; i++) {
    out.hex[2 * i] = i2h[digest[i] >> 4];
    out.hex[2 * i + 1] = i2h[digest[i] & 0x0f];
  }
  out.hex[32] = '\0';
  return out;
}

int dlcm_encode(const std::string &text, std::vector<char> *packet) {
  if (text.size() > DLCM_TEXT_MAX) {
    elog_log(0, "dlcm_encode: text of %lu characters is longer than %d.\n",
             static_cast<unsigned long>(text.size()), DLCM_TEXT_MAX);
    return -1;
  }
  packet->assign(DLCM_HEADER_SIZE + text.size() + 1, '\0');
  char *p = packet->data();
  put16(p, 0);
  put16(p + 2, static_cast<unsigned>(text.size() + 1));
  put16(p + 4, DLCM_TYPE);
  put16(p + 6, DLCM_TYPE);
  memcpy(p + DLCM_HEADER_SIZE, text.data(), text.size());
  return 0;
}

int dlcm_decode(const char *packet, int nbytes, std::string *text) {
  if (!packet || nbytes < DLCM_HEADER_SIZE) return 0;
  if (get16(packet + 4) != DLCM_TYPE || get16(packet + 6) != DLCM_TYPE) return 0;
  unsigned extra = get16(packet), length = get16(packet + 2);
  if (extra != 0) {
    elog_log(0, "dlcm_decode: extra header length %u is not 0.\n", extra);
    return -1;
  }
  if (length == 0 || length > static_cast<unsigned>(nbytes - DLCM_HEADER_SIZE)) {
    elog_log(0, "dlcm_decode: text length %u does not fit the packet of %d bytes.\n", length,
             nbytes);
    return -1;
  }
  const char *t = packet + DLCM_HEADER_SIZE;
  const void *nul = memchr(t, '\0', length);
  if (!nul) {
    elog_log(0, "dlcm_decode: text is not terminated within its %u bytes.\n", length);
    return -1;
  }
  text->assign(t, static_cast<size_t>(static_cast<const char *>(nul) - t));
  return 1;
}

int orbpkt2cmdpf(const char *srcname, const char *packet, int nbytes, char *target, Pf **request,
                 int *verified) {
  if (target) target[0] = '\0';
  if (request) *request = nullptr;
  if (verified) *verified = 0;
  if (!srcname || !target || !request || !verified) {
    elog_log(0, "orbpkt2cmdpf: missing argument.\n");
    return -1;
  }
  size_t sl = strnlen(srcname, DLCM_TARGET_SIZE);
  if (sl < kSuffixLen || sl >= DLCM_TARGET_SIZE ||
      memcmp(srcname + sl - kSuffixLen, DLCM_SUFFIX, kSuffixLen) != 0)
    return 0;
  std::string text;
  int rc = dlcm_decode(packet, nbytes, &text);
  if (rc < 0) {
    elog_log(0, "orbpkt2cmdpf: bad packet header from '%s'.\n", srcname);
    return -1;
  }
  if (rc == 0) return 0;
  memcpy(target, srcname, sl - kSuffixLen);
  target[sl - kSuffixLen] = '\0';

  Pf *pf = nullptr;
  if (pfcompile(text.c_str(), &pf) < 0) {
    elog_log(0, "orbpkt2cmdpf: pfcompile() error.\n");
    return -1;
  }
  *request = pf;
  const char *dsig = pfget_string(pf, "dsig");
  if (!dsig) return 0;
  size_t nl = text.find('\n');
  if (nl == std::string::npos) return 0;
  const char *signed_part = text.c_str() + nl + 1;
  MdDigest d = mdcompute({{signed_part, text.size() - nl - 1}, {pktbts, key_length()}});
  *verified = strnlen(dsig, 32) == 32 && memcmp(dsig, d.hex, 32) == 0;
  return 0;
}

int initcmd(const char *command, const char *reply, const char *targets, const char *types,
            const char *dlnames, double delayhangup, std::string *sequence, std::string *text) {
  if (!command || !sequence || !text) {
    elog_log(0, "initcmd: missing argument.\n");
    return -1;
  }
  if (!values_ok("initcmd", {{"command", command},
                             {"reply", reply},
                             {"targets", targets},
                             {"types", types},
                             {"dlnames", dlnames}}))
    return -1;
  std::string user = login();
  std::string host, ip;
  host_and_ip(&host, &ip);
  int n = iseq.fetch_add(1);
  if (dlnames)
    *sequence = string_printf("%s_%s_%d_%d", dlnames, host.c_str(), (int)getpid(), n);
  else
    *sequence = string_printf("%s_%d_%d", host.c_str(), (int)getpid(), n);

  std::string &t = *text;
  t = "command\t";
  t += command;
  t += "\n";
  t += string_printf("cmdtime %.1f\n", std_now());
  t += "username " + user + "\n";
  t += "hostname " + host + "\n";
  t += "ip " + ip + "\n";
  t += "sequence " + *sequence + "\n";
  if (reply) t += std::string("reply ") + reply + "\n";
  if (targets) t += std::string("targets ") + targets + "\n";
  if (types) t += std::string("types ") + types + "\n";
  if (dlnames) t += std::string("dlnames ") + dlnames + "\n";
  t += string_printf("delayhangup %.2f\n", delayhangup);
  return 0;
}

int pfcmdstring2orb(const char *text, const char *srcname, int orb) {
  if (!text || !srcname) {
    elog_log(0, "pfcmdstring2orb: missing argument.\n");
    return -1;
  }
  MdDigest d = mdcompute({{text, strlen(text)}, {pktbts, key_length()}});
  std::string signed_text = std::string("dsig ") + d.hex + "\n" + text;
  Pf *pf = nullptr;
  if (pfcompile(signed_text.c_str(), &pf) < 0) {
    elog_log(0, "pfcmdstring2orb: pfcompile() error.\n");
    return -1;
  }
  pffree(pf);
  std::vector<char> packet;
  if (dlcm_encode(signed_text, &packet) < 0) {
    elog_log(0, "pfcmdstring2orb: the signed text is too long.\n");
    return -1;
  }
  if (orbputx(orb, srcname, std_now(), packet.data(), static_cast<int>(packet.size())) < 0) {
    elog_log(0, "pfcmdstring2orb: orbputx() error.\n");
    return -1;
  }
  return 0;
}

int initrsp(const char *command, const char *target, const char *type, const char *dlname,
            const char *dlserial, const char *dlcom, Pf *request, int count, char **username,
            char **hostname, char **ip, char **sequence_target, const char *disposition,
            std::string *reply, std::string *text) {
  if (!reply || !text) {
    elog_log(0, "initrsp: missing argument.\n");
    return -1;
  }
  reply->clear();
  text->clear();
  char *r = nullptr;
  if (parse_param(request, "reply", P_STR, 0, &r) < 0) {
    elog_log(0, "initrsp: parse_param(reply) error.\n");
    return -1;
  }
  if (!r) return 0;
  std::string reply_value = r;
  free(r);
  if (reply_value.empty() || reply_value.size() > DLCM_REPLY_MAX) {
    elog_log(0, "initrsp: reply '%.63s' is not a source name of 1 to %d characters.\n",
             reply_value.c_str(), DLCM_REPLY_MAX);
    return -1;
  }
  char *s = nullptr;
  if (parse_param(request, "sequence", P_STR, 1, &s) < 0) {
    elog_log(0, "initrsp: parse_param(sequence) error.\n");
    return -1;
  }
  std::string sequence = s;
  free(s);
  if (!values_ok("initrsp", {{"command", command},
                             {"sequence", sequence.c_str()},
                             {"target", target},
                             {"type", type},
                             {"dlname", dlname},
                             {"dlserial", dlserial},
                             {"dlcom", dlcom},
                             {"disposition", disposition}}))
    return -1;

  std::string user, host, addr, seqtarget;
  if (username && *username) {
    user = *username;
  } else {
    user = login();
    if (username) *username = dup_text(user);
  }
  if (hostname && *hostname) {
    host = *hostname;
    addr = ip && *ip ? *ip : "?";
  } else {
    host_and_ip(&host, &addr);
    if (hostname) *hostname = dup_text(host);
    if (ip) {
      free(*ip);
      *ip = dup_text(addr);
    }
  }
  if (sequence_target && *sequence_target) {
    seqtarget = *sequence_target;
  } else {
    seqtarget = string_printf("%s_%d_%d", host.c_str(), (int)getpid(), count);
    if (sequence_target) *sequence_target = dup_text(seqtarget);
  }

  std::string &t = *text;
  t = std::string("command ") + (command ? command : "") + "\n";
  t += "sequence " + sequence + "\n";
  t += "sequence_target " + seqtarget + "\n";
  t += std::string("target ") + (target ? target : "") + "\n";
  t += std::string("type ") + (type ? type : "") + "\n";
  t += "tusername " + user + "\n";
  t += "thostname " + host + "\n";
  t += "tip " + addr + "\n";
  t += string_printf("tpid %d\n", (int)getpid());
  if (dlname) t += std::string("dlname ") + dlname + "\n";
  if (dlserial) t += std::string("dlserial ") + dlserial + "\n";
  if (dlcom) t += std::string("dlcom ") + dlcom + "\n";
  if (disposition) t += std::string("disposition ") + disposition + "\n";
  *reply = reply_value;
  return 1;
}
