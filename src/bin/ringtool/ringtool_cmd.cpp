// ringtool_cmd.cpp - the ring tool's commands: create, status, follow, put.
#include <sys/stat.h>

#include <atomic>
#include <cmath>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <limits>
#include <string>
#include <vector>

#include "base/clock.h"
#include "base/elog.h"
#include "ring/orb.h"
#include "ring/ringname.h"
#include "ringtool.h"

namespace {

const char kUsage[] =
    "Usage: ringtool create [-s size] ring\n"
    "       ringtool status [-w seconds] ring\n"
    "       ringtool follow [-s select] [-r reject] [-o | -n | -t time] [-c count] [-v] ring\n"
    "       ringtool put [-t time] ring srcname text...\n"
    "       ringtool command [-d dlnames] [-r reply] [-w seconds] ring target command...\n"
    "       ringtool -h | --help\n"
    "\n"
    "A ring is the path of a ring file when the name has a \"/\", ends in \".ring\" or\n"
    "names a file that exists; any other name is [host]:port for the ring <port>.ring\n"
    "in $VANTREL_RINGDIR (default $VANTREL/rings, $VANTREL default /opt/vantrel); the\n"
    "host must be this machine, the default port is 6510. Only `create` makes a ring:\n"
    "the programs and the other commands refuse a ring that does not exist.\n"
    "\n"
    "create   make a ring of `size` bytes (suffix K, M or G; default $VANTREL_RINGSIZE,\n"
    "         else 64M)\n"
    "           -s size   the ring's size\n"
    "status   packets held, oldest and newest, missed packets, and per source: packets\n"
    "         held, bytes, the newest packet's data time and its age (now - that time)\n"
    "           -w N      show it again every N seconds, until interrupted\n"
    "follow   one line per packet as it arrives: id, source name, time (UTC), length\n"
    "           -s expr   only source names that the POSIX extended expression matches\n"
    "           -r expr   no source names that it matches\n"
    "                     (the expression must match the whole source name: -s BHZ\n"
    "                     matches nothing, -s '.*BHZ.*' or -s 'TA_Q1_BHZ/.*' does)\n"
    "           -o / -n   start at the oldest / newest packet held (default: new ones)\n"
    "           -t time   start at the first packet after `time` (epoch seconds or\n"
    "                     YYYY-MM-DD[ HH:MM[:SS.sss]], UTC)\n"
    "           -c count  stop after `count` packets (default: until interrupted)\n"
    "           -v        also show each packet's contents\n"
    "put      write a text (log) packet and print its packet id\n"
    "           -t time   packet time (default now)\n"
    "command  send a signed remote command, print its responses until done or error\n"
    "           -d names  regular expression of the dataloggers it is for (all when\n"
    "                     absent): -d 'XB_KS1|XX_5678' names two\n"
    "           -r reply  the source name of the responses\n"
    "           -w secs   how long to wait for the final response\n";

std::atomic<bool> g_stop{false};
std::atomic<int> g_follow_orb{-1};

// The command being run: the first word of every message.
const char *g_cmd = "ringtool";

// Complains, then shows the usage on standard error.
void usage_error(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void usage_error(const char *fmt, ...) {
  char text[512];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(text, sizeof text, fmt, ap);
  va_end(ap);
  // The error log already begins the line with "ringtool: ".
  if (strcmp(g_cmd, "ringtool") == 0)
    elog_complain(0, "%s", text);
  else
    elog_complain(0, "%s: %s", g_cmd, text);
  fputs(kUsage, stderr);
}

// A command's options (letters that take a value listed in `with_value`) and its
// positional arguments. Options come first; "--" ends them.
struct Args {
  std::vector<std::pair<char, std::string>> options;
  std::vector<std::string> words;
};

bool parse_args(int argc, char **argv, const char *flags, const char *with_value, Args *a) {
  int i = 2;
  for (; i < argc; i++) {
    const char *s = argv[i];
    if (strcmp(s, "--") == 0) {
      i++;
      break;
    }
    if (s[0] != '-' || s[1] == '\0') break;
    if (s[2] != '\0' || !strchr(flags, s[1])) {
      usage_error("unknown option '%s'\n", s);
      return false;
    }
    if (strchr(with_value, s[1])) {
      if (i + 1 >= argc) {
        usage_error("option '%s' needs a value\n", s);
        return false;
      }
      a->options.emplace_back(s[1], argv[++i]);
    } else {
      a->options.emplace_back(s[1], "");
    }
  }
  for (; i < argc; i++) a->words.emplace_back(argv[i]);
  return true;
}

int open_ring(const std::string &name, const char *mode) {
  int orb = orbopen(name.c_str(), mode);
  if (orb < 0) elog_complain(0, "%s: can't open ring '%s'\n", g_cmd, name.c_str());
  return orb;
}

int cmd_create(int argc, char **argv, FILE *out) {
  Args a;
  if (!parse_args(argc, argv, "s", "s", &a)) return 1;
  int64_t capacity = -1;
  for (auto &[flag, value] : a.options) {
    capacity = orb_parse_size(value.c_str());
    if (capacity < 0) {
      usage_error("bad size '%s'\n", value.c_str());
      return 1;
    }
  }
  if (a.words.size() != 1) {
    usage_error("create needs one ring name\n");
    return 1;
  }
  if (capacity < 0) capacity = orb_default_capacity(g_cmd);
  if (capacity < 0) {
    elog_complain(0, "%s: can't create ring '%s'\n", g_cmd, a.words[0].c_str());
    return 1;
  }
  if (orbcreate(a.words[0].c_str(), capacity) < 0) {
    elog_complain(0, "%s: can't create ring '%s'\n", g_cmd, a.words[0].c_str());
    return 1;
  }
  int orb = open_ring(a.words[0], "r");
  if (orb < 0) return 1;
  Orbstat st;
  int rc = orbstat(orb, &st);
  orbclose(orb);
  if (rc < 0) {
    elog_complain(0, "%s: orbstat failed\n", g_cmd);
    return 1;
  }
  fprintf(out, "created ring '%s': %lld bytes, %lld bytes of data, %d packets at most\n",
          a.words[0].c_str(), (long long)st.capacity, (long long)st.maxdata, st.maxpackets);
  return 0;
}

// "12.3 s", "4.5 h", "6.7 d": how long ago `t` was, by the wall clock.
std::string age_text(double now, double t) {
  if (!std::isfinite(t)) return "-";
  double age = now - t;
  char buf[32];
  if (std::fabs(age) < 3600)
    snprintf(buf, sizeof buf, "%.1f s", age);
  else if (std::fabs(age) < 86400 * 2)
    snprintf(buf, sizeof buf, "%.1f h", age / 3600);
  else
    snprintf(buf, sizeof buf, "%.1f d", age / 86400);
  return buf;
}

int show_status(const std::string &name, FILE *out) {
  int orb = open_ring(name, "r");
  if (orb < 0) return 1;
  Orbstat st;
  Orbsrc *sources = nullptr;
  int nsources = 0;
  if (orbstat(orb, &st) < 0 || orbsources(orb, &sources, &nsources) < 0) {
    elog_complain(0, "%s: can't read the status of ring '%s'\n", g_cmd, name.c_str());
    orbclose(orb);
    return 1;
  }
  orbclose(orb);
  const double now = clock_now();
  fprintf(out, "ring      %s\n", name.c_str());
  fprintf(out, "now       %s\n", ringtool_format_time(now).c_str());
  fprintf(out, "address   %u.%u.%u.%u:%d\n", st.address[0], st.address[1], st.address[2],
          st.address[3], st.port);
  fprintf(out, "created   %s\n", ringtool_format_time(st.started).c_str());
  fprintf(out, "capacity  %lld bytes: %lld bytes of data, %d packets\n", (long long)st.capacity,
          (long long)st.maxdata, st.maxpackets);
  fprintf(out, "held      %d packets, %lld bytes\n", st.npackets, (long long)st.nbytes);
  fprintf(out, "written   %lld packets\n", (long long)st.written);
  if (st.npackets > 0) {
    fprintf(out, "oldest    %d %s\n", st.oldest, ringtool_format_time(st.oldest_time).c_str());
    fprintf(out, "newest    %d %s\n", st.newest, ringtool_format_time(st.newest_time).c_str());
  } else {
    fprintf(out, "oldest    -\nnewest    -\n");
  }
  fprintf(out, "missed    %lld packets (by lapped readers)\n", (long long)st.missed);
  if (st.resets > 0) fprintf(out, "damaged   emptied %lld times\n", (long long)st.resets);
  fprintf(out, "sources   %d\n", nsources);
  if (nsources > 0)
    fprintf(out, "  %-32s %8s %10s  %-23s  %s\n", "source", "packets", "bytes", "newest data time",
            "age");
  for (int i = 0; i < nsources; i++) {
    const Orbsrc &s = sources[i];
    fprintf(out, "  %-32s %8d %10lld  %-23s  %s\n", s.srcname, s.npackets, (long long)s.nbytes,
            ringtool_format_time(s.newest_time).c_str(), age_text(now, s.newest_time).c_str());
  }
  free(sources);
  fflush(out);
  return 0;
}

int cmd_status(int argc, char **argv, FILE *out) {
  Args a;
  if (!parse_args(argc, argv, "w", "w", &a)) return 1;
  double every = 0;
  for (auto &[flag, value] : a.options) {
    char *end = nullptr;
    every = strtod(value.c_str(), &end);
    if (value.empty() || *end || !(every > 0) || every > 86400) {
      usage_error("bad interval '%s' (seconds, more than 0)\n", value.c_str());
      return 1;
    }
  }
  if (a.words.size() != 1) {
    usage_error("status needs one ring name\n");
    return 1;
  }
  int rc = 0;
  for (;;) {
    rc = show_status(a.words[0], out);
    if (rc != 0 || every <= 0 || g_stop.load()) break;
    clock_sleep(every);
    if (g_stop.load()) break;
    fputc('\n', out);
  }
  g_stop.store(false);
  return rc;
}

int cmd_follow(int argc, char **argv, FILE *out) {
  Args a;
  if (!parse_args(argc, argv, "srontcv", "srtc", &a)) return 1;
  std::string select, reject;
  enum { kNew, kOldest, kNewest, kAfter } start = kNew;
  double after = 0;
  long count = -1;
  bool verbose = false;
  for (auto &[flag, value] : a.options) {
    switch (flag) {
      case 's':
        select = value;
        break;
      case 'r':
        reject = value;
        break;
      case 'o':
        start = kOldest;
        break;
      case 'n':
        start = kNewest;
        break;
      case 'v':
        verbose = true;
        break;
      case 't':
        start = kAfter;
        if (ringtool_parse_time(value.c_str(), &after) < 0) {
          usage_error("bad time '%s'\n", value.c_str());
          return 1;
        }
        break;
      case 'c': {
        char *end = nullptr;
        count = strtol(value.c_str(), &end, 10);
        if (value.empty() || *end || count < 1) {
          usage_error("bad count '%s'\n", value.c_str());
          return 1;
        }
        break;
      }
      default:
        break;
    }
  }
  if (a.words.size() != 1) {
    usage_error("follow needs one ring name\n");
    return 1;
  }
  const std::string &name = a.words[0];
  int orb = open_ring(name, "r");
  if (orb < 0) return 1;
  int rc = 0;
  if ((!select.empty() && orbselect(orb, select.c_str()) < 0) ||
      (!reject.empty() && orbreject(orb, reject.c_str()) < 0)) {
    rc = -1;
  } else if (start == kOldest || start == kNewest) {
    rc = orbseek(orb, start == kOldest ? ORBOLDEST : ORBNEWEST);
  } else if (start == kAfter) {
    rc = orbafter(orb, after);
  }
  if (rc < 0) {
    elog_complain(0, "%s: can't position ring '%s'\n", g_cmd, name.c_str());
    orbclose(orb);
    return 1;
  }
  g_follow_orb.store(orb);
  int status = 0;
  int errors = 0;
  char *packet = nullptr;
  int bufsize = 0;
  for (long seen = 0; count < 0 || seen < count;) {
    if (g_stop.load()) break;
    int pktid, nbytes;
    double time;
    char srcname[ORBSRCNAME_SIZE];
    if (orbreap(orb, &pktid, srcname, &time, &packet, &nbytes, &bufsize) < 0) {
      if (g_stop.load()) break;
      elog_complain(0, "%s: orbreap failed on ring '%s'\n", g_cmd, name.c_str());
      // A damaged packet is skipped; an error that keeps coming ends the follow.
      if (++errors >= 10) {
        status = 1;
        break;
      }
      continue;
    }
    errors = 0;
    seen++;
    fprintf(out, "%d %s %s %d bytes\n", pktid, srcname, ringtool_format_time(time).c_str(), nbytes);
    if (verbose) {
      fputs(ringtool_describe(srcname, time, reinterpret_cast<unsigned char *>(packet), nbytes)
                .c_str(),
            out);
    }
    fflush(out);
  }
  free(packet);
  g_follow_orb.store(-1);
  if (orbclose(orb) < 0) elog_clear_register(0);  // closed by ringtool_stop
  g_stop.store(false);
  return status;
}

int cmd_put(int argc, char **argv, FILE *out) {
  Args a;
  if (!parse_args(argc, argv, "t", "t", &a)) return 1;
  double time = clock_now();
  for (auto &[flag, value] : a.options) {
    if (ringtool_parse_time(value.c_str(), &time) < 0) {
      usage_error("bad time '%s'\n", value.c_str());
      return 1;
    }
  }
  if (a.words.size() < 3) {
    usage_error("put needs a ring name, a source name and a text\n");
    return 1;
  }
  std::string text;
  for (size_t i = 2; i < a.words.size(); i++) text += (i > 2 ? " " : "") + a.words[i];
  // A log packet: header size 8, packet size (16 bits), 0x716C twice, text and NUL.
  size_t size = 8 + text.size() + 1;
  std::vector<char> pkt(size);
  const unsigned head[4] = {8, (unsigned)(size & 0xFFFF), 0x716C, 0x716C};
  for (int i = 0; i < 4; i++) {
    pkt[2 * i] = (char)(head[i] >> 8);
    pkt[2 * i + 1] = (char)(head[i] & 0xFF);
  }
  memcpy(pkt.data() + 8, text.c_str(), text.size() + 1);
  if (size > (size_t)INT32_MAX) {
    elog_complain(0, "%s: the text is too long\n", g_cmd);
    return 1;
  }
  int orb = open_ring(a.words[0], "w");
  if (orb < 0) return 1;
  int pktid = orbputx(orb, a.words[1].c_str(), time, pkt.data(), (int)size);
  orbclose(orb);
  if (pktid < 0) {
    elog_complain(0, "%s: can't put the packet into ring '%s'\n", g_cmd, a.words[0].c_str());
    return 1;
  }
  fprintf(out, "%d\n", pktid);
  return 0;
}

}  // namespace

std::string ringtool_format_time(double t) {
  if (!std::isfinite(t)) return "-";
  double whole = std::floor(t);
  long ms = std::lround((t - whole) * 1000.0);
  if (ms >= 1000) {
    whole += 1;
    ms -= 1000;
  }
  if (whole < (double)std::numeric_limits<time_t>::min() ||
      whole > (double)std::numeric_limits<time_t>::max())
    return "-";  // beyond this machine's time_t
  time_t secs = (time_t)whole;
  struct tm tm {};
  if (!gmtime_r(&secs, &tm)) return "-";
  char buf[64];
  snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d.%03ld", tm.tm_year + 1900, tm.tm_mon + 1,
           tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, ms);
  return buf;
}

int ringtool_parse_time(const char *text, double *t) {
  if (!text || !*text) return -1;
  char *end = nullptr;
  double v = strtod(text, &end);
  if (*end == '\0' && std::isfinite(v)) {
    *t = v;
    return 0;
  }
  int y, mo, d, h = 0, mi = 0, n = 0;
  double s = 0;
  if (sscanf(text, "%4d-%2d-%2d%n", &y, &mo, &d, &n) != 3) return -1;
  const char *p = text + n;
  if (*p == ' ' || *p == 'T') {
    int m = 0;
    if (sscanf(p + 1, "%2d:%2d%n", &h, &mi, &m) != 2) return -1;
    p += 1 + m;
    if (*p == ':') {
      char *e = nullptr;
      s = strtod(p + 1, &e);
      if (e == p + 1 || !(s >= 0 && s < 61)) return -1;
      p = e;
    }
  }
  if (*p != '\0' || mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || h < 0 || mi < 0)
    return -1;
  struct tm tm {};
  tm.tm_year = y - 1900;
  tm.tm_mon = mo - 1;
  tm.tm_mday = d;
  tm.tm_hour = h;
  tm.tm_min = mi;
  time_t secs = timegm(&tm);
  if (secs == (time_t)-1 && !(y == 1969 && mo == 12 && d == 31)) return -1;
  *t = (double)secs + s;
  return 0;
}

void ringtool_stop(void) {
  g_stop.store(true);
  int orb = g_follow_orb.load();
  if (orb >= 0) orbclose(orb);
}

int ringtool_run(int argc, char **argv, FILE *out) {
  if (argc < 2) {
    fputs(kUsage, stderr);
    return 1;
  }
  std::string cmd = argv[1];
  g_cmd = "ringtool";
  for (const char *known : {"create", "status", "follow", "put", "command"}) {
    if (cmd == known) g_cmd = known;
  }
  const std::string second = argc > 2 ? argv[2] : "";
  if (cmd == "--help" || cmd == "-h" || cmd == "help" || second == "-h" || second == "--help") {
    fputs(kUsage, out);
    return 0;
  }
  if (cmd == "create") return cmd_create(argc, argv, out);
  if (cmd == "status") return cmd_status(argc, argv, out);
  if (cmd == "follow") return cmd_follow(argc, argv, out);
  if (cmd == "put") return cmd_put(argc, argv, out);
  if (cmd == "command") return ringtool_command(argc, argv, out);
  usage_error("unknown command '%s'\n", argv[1]);
  return 1;
}
