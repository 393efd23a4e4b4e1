// Block operations: file system, acquisition and parameter header of an Altus datalogger,
// each a short sequence of get_block transactions.
#include "altuscomsubs_blockops.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "altuscomsubs_getblock.h"
#include "altuscomsubs_log.h"
#include "altuscomsubs_stream.h"
#include "base/elog.h"

namespace {

constexpr double kAltusEpoch = 315532800.0;  // 1980-01-01 in seconds since 1970

// Frees a get_block reply when the scope ends.
struct Reply {
  void *p = nullptr;
  int size = 0;
  ~Reply() { free(p); }
  const char *text() const { return p && size > 0 ? static_cast<const char *>(p) : nullptr; }
};

// Where an operation's complaints go: the system error log, or the link's log lines
// (prefixed with link and datalogger, forced to the error log and sent to the ring).
enum class Sink { SYSLOG, LINK };

void say(Sink sink, void *modem, void *dl, const std::string &text) {
  if (sink == Sink::LINK)
    altuscom_log_complain(static_cast<Modem *>(modem), static_cast<AltusDatalogger *>(dl), 1, 0,
                          "%s", text.c_str());
  else
    elog_complain(0, "%s", text.c_str());
}

// The complaint of a failed transaction: the "error." forms for negative results (with
// the reply text when one came back), the own texts of 1, 2 and 6. Other positive
// results are not complained about. `what` is e.g. "block_readdir: get_block(PKC_OPENDIR,x)".
void complain(const std::string &what, int status, const char *text, Sink sink = Sink::SYSLOG,
              void *modem = nullptr, void *dl = nullptr) {
  if (status < 0) {
    if (text)
      say(sink, modem, dl, what + " error - " + text + ".\n");
    else
      say(sink, modem, dl, what + " error.\n");
  } else if (status == 1) {
    say(sink, modem, dl, what + " EOF on input.\n");
  } else if (status == 2) {
    say(sink, modem, dl, what + " timeout on input.\n");
  } else if (status == 6) {
    say(sink, modem, dl, what + " input offhook.\n");
  }
}

std::string call_text(const char *op, const char *cmd, const char *arg) {
  std::string s = std::string(op) + ": get_block(" + cmd;
  if (arg) s += std::string(",") + arg;
  return s + ")";
}

// One transaction plus the operation's own sequence advance.
int transact(SerialBuf *b, int command, void *data, unsigned char *seqno, Reply *reply, int size,
             void *modem, void *dl) {
  int r = get_block(b, command, data, seqno, reply ? &reply->p : nullptr,
                    reply ? &reply->size : nullptr, size, modem, dl);
  (*seqno)++;
  return r;
}

// Sends a command whose only answer is an acknowledgement, complaining as `op` does.
int simple_command(SerialBuf *b, int command, const char *cmdname, char *arg, unsigned char *seqno,
                   void *modem, void *dl, const char *op, Sink sink = Sink::SYSLOG) {
  Reply reply;
  int r = transact(b, command, arg, seqno, &reply, 0, modem, dl);
  if (r != 0) complain(call_text(op, cmdname, arg), r, reply.text(), sink, modem, dl);
  return r;
}

// Continues the stream when the scope ends.
struct StreamPause {
  void *modem;
  explicit StreamPause(void *m) : modem(m) { altuscom_process_stream_pause(modem); }
  ~StreamPause() { altuscom_process_stream_continue(modem); }
};

void describe(SerialBuf *b, const char *path, int size, double t, int attr) {
  if (b->log_callback == nullptr) return;
  time_t tt = static_cast<time_t>(t);
  struct tm tmv;
  char when[32] = "";
  if (gmtime_r(&tt, &tmv)) strftime(when, sizeof when, "%Y%j:%H:%M:%S", &tmv);
  char line[400];
  snprintf(line, sizeof line, "readdir: %-24.24s %8d %s 0x%2.2X\n", path, size, when, attr);
  b->log_callback(b->userdata2, b->userdata3, line, 6);
}

bool ends_with_evt(const std::string &p) {
  if (p.size() < 4) return false;
  std::string e = p.substr(p.size() - 4);
  return e == ".EVT" || e == ".evt";
}

int append_record(AltusDirTree **altusdirt, int *nentries, int *altusdirtsize,
                  const std::string &path, const AltusBlockDirentry &d) {
  if (*altusdirt == nullptr) {
    *nentries = 0;
    *altusdirtsize = 0;
  }
  void *p =
      mymem(static_cast<int>((*nentries + 1) * sizeof(AltusDirTree)), *altusdirt, altusdirtsize);
  if (p == nullptr) {
    elog_complain(1, "block_readdir: mymem(altusdirt) error.\n");
    return -1;
  }
  *altusdirt = static_cast<AltusDirTree *>(p);
  AltusDirTree &t = (*altusdirt)[*nentries];
  memset(&t, 0, sizeof t);
  snprintf(t.pathname, sizeof t.pathname, "%s", path.c_str());
  t.size = static_cast<int>(d.size);
  t.attr = d.attr;
  t.processed = 0;
  t.event = ends_with_evt(path) ? 1 : 0;
  t.time = d.time + kAltusEpoch;
  (*nentries)++;
  return 0;
}

int readdirtree(SerialBuf *b, char *dirpath, unsigned char *seqno, int dirents,
                AltusDirTree **altusdirt, int *nentries, int *altusdirtsize, void *modem, void *dl,
                int verbose, int depth) {
  fixpaths(dirpath);
  AltusBlockDirentry *dir = nullptr;
  int n = 0, dirsize = 0;
  struct Free {
    AltusBlockDirentry **d;
    ~Free() { free(*d); }
  } dir_free{&dir};
  int r = block_readdir(b, dirpath, seqno, &dir, &n, &dirsize, modem, dl);
  if (r != 0) {
    std::string what = std::string("block_readdirtree: block_readdir(") + dirpath + ")";
    if (r == 1 || r == 2 || r == 6)
      complain(what, r, nullptr);
    else
      elog_complain(0, "%s error.\n", what.c_str());
    return r;
  }
  std::string base = dirpath;
  if (base.empty() || base.back() != '\\') base += '\\';
  for (int i = 0; i < n; i++) {
    const AltusBlockDirentry &d = dir[i];
    std::string path = base + d.name;
    const bool isdir = (d.attr & 0x10) && d.size == 0;
    if (isdir) {
      if (strcmp(d.name, ".") == 0 || strcmp(d.name, "..") == 0) continue;
      if (path.size() + 1 >= sizeof(AltusDirTree::pathname)) {
        elog_complain(0, "block_readdirtree: path %s too long, skipped.\n", path.c_str());
        continue;
      }
      if (dirents && append_record(altusdirt, nentries, altusdirtsize, path, d) < 0) return -1;
      if (verbose)
        describe(b, (dirents ? path : path + "\\").c_str(), 0, d.time + kAltusEpoch, d.attr);
      if (depth + 1 >= ALTUS_DIRTREE_MAXDEPTH) {
        elog_complain(0, "block_readdirtree: %s deeper than %d levels, not entered.\n",
                      path.c_str(), ALTUS_DIRTREE_MAXDEPTH);
        continue;
      }
      std::string sub = path + "\\";
      std::vector<char> subbuf(sub.begin(), sub.end());
      subbuf.push_back('\0');
      r = readdirtree(b, subbuf.data(), seqno, dirents, altusdirt, nentries, altusdirtsize, modem,
                      dl, verbose, depth + 1);
      if (r != 0) {
        std::string what = std::string("block_readdirtree: block_readdirtree(") + sub + ")";
        if (r == 1 || r == 2 || r == 6)
          complain(what, r, nullptr);
        else
          elog_complain(0, "%s error.\n", what.c_str());
        return r;
      }
      continue;
    }
    if (d.ext[0]) path += std::string(".") + d.ext;
    if (path.size() >= sizeof(AltusDirTree::pathname)) {
      elog_complain(0, "block_readdirtree: path %s too long, skipped.\n", path.c_str());
      continue;
    }
    if (append_record(altusdirt, nentries, altusdirtsize, path, d) < 0) return -1;
    if (verbose) describe(b, path.c_str(), static_cast<int>(d.size), d.time + kAltusEpoch, d.attr);
  }
  return 0;
}

// Copies `n` bytes into the caller's growing buffer.
int give_bytes(const void *src, int n, unsigned char **buf, int *bufsize, const char *op) {
  bool fresh = *buf == nullptr;
  if (fresh) *bufsize = 0;
  void *p = mymem(n > 0 ? n : 1, *buf, bufsize);
  if (p == nullptr) {
    elog_complain(1, "%s: %s() error.\n", op, fresh ? "malloc" : "realloc");
    return -1;
  }
  *buf = static_cast<unsigned char *>(p);
  if (n > 0) memcpy(*buf, src, n);
  return 0;
}

}  // namespace

int fixpaths(char *path) {
  if (path == nullptr) return 0;
  for (char *p = path; *p; p++)
    if (*p == '/') *p = '\\';
  if ((path[0] == 'a' || path[0] == 'b' || path[0] == 'c') && path[1] == ':')
    path[0] = static_cast<char>(toupper(static_cast<unsigned char>(path[0])));
  return 0;
}

void *mymem(int total_requested, void *oldbuf, int *bufsize) {
  if (total_requested < 0) return nullptr;
  int have = oldbuf ? *bufsize : 0;
  if (oldbuf && total_requested <= have) return oldbuf;
  long long want = total_requested + total_requested / 2LL;
  if (want < 1) want = 1;
  if (want > 0x7fffffffLL) want = total_requested;
  void *p = realloc(oldbuf, static_cast<size_t>(want));
  if (p == nullptr) return nullptr;
  memset(static_cast<char *>(p) + have, 0, static_cast<size_t>(want - have));
  *bufsize = static_cast<int>(want);
  return p;
}

int block_readdir(SerialBuf *bufhandle, char *dirpath, unsigned char *seqno,
                  AltusBlockDirentry **altusdir, int *nentries, int *altusdirsize, void *modem,
                  void *dl) {
  fixpaths(dirpath);
  StreamPause pause(modem);
  {
    Reply reply;
    int r = transact(bufhandle, PKC_OPENDIR, dirpath, seqno, &reply, 0, modem, dl);
    if (r != 0) {
      complain(call_text("block_readdir", "PKC_OPENDIR", dirpath), r, reply.text());
      return r;
    }
  }
  Reply listing;
  int r = transact(bufhandle, PKC_GETDIR, nullptr, seqno, &listing, 0, modem, dl);
  if (r != 0) {
    complain(call_text("block_readdir", "PKC_GETDIR", dirpath), r, nullptr);
    return r;
  }
  int n = listing.p ? listing.size / static_cast<int>(sizeof(AltusBlockDirentry)) : 0;
  if (n > 0) {
    bool fresh = *altusdir == nullptr;
    if (fresh) *altusdirsize = 0;
    void *p = mymem(static_cast<int>(n * sizeof(AltusBlockDirentry)), *altusdir, altusdirsize);
    if (p == nullptr) {
      elog_complain(
          1, fresh ? "block_readdir: malloc() error.\n" : "block_readdir: realloc() error.\n");
      return -1;
    }
    *altusdir = static_cast<AltusBlockDirentry *>(p);
    memcpy(*altusdir, listing.p, n * sizeof(AltusBlockDirentry));
  }
  *nentries = n;
  Reply reply;
  r = transact(bufhandle, PKC_CLOSEDIR, nullptr, seqno, &reply, 0, modem, dl);
  if (r < 0) {
    complain(call_text("block_readdir", "PKC_CLOSEDIR", dirpath), r, reply.text());
    return r;
  }
  if (r == 5 || r == 6) return r;
  return 0;
}

int block_readdirtree(SerialBuf *bufhandle, char *dirpath, unsigned char *seqno, int dirents,
                      AltusDirTree **altusdirt, int *nentries, int *altusdirtsize, void *modem,
                      void *dl, int verbose) {
  return readdirtree(bufhandle, dirpath, seqno, dirents, altusdirt, nentries, altusdirtsize, modem,
                     dl, verbose, 0);
}

int block_readfile(SerialBuf *bufhandle, char *filepath, unsigned char *seqno, unsigned char **file,
                   int *nbytes, int *bufsize, int size, void *modem, void *dl) {
  fixpaths(filepath);
  // The stream is continued on every path, the successful one too: left paused, the
  // stream handler would drop every packet after the file.
  StreamPause pause(modem);
  {
    Reply reply;
    int r = transact(bufhandle, PKC_OPENFILE, filepath, seqno, &reply, 0, modem, dl);
    if (r != 0) {
      complain(call_text("block_readfile", "PKC_OPENFILE", filepath), r, reply.text(), Sink::LINK,
               modem, dl);
      if (r < 0 && reply.text() == nullptr) return ALTUS_OPENFILE_REFUSED;
      return r;
    }
  }
  Reply data;
  int r = transact(bufhandle, PKC_GETFILE, nullptr, seqno, &data, size, modem, dl);
  if (r != 0) {
    if (r > 0) *nbytes = data.p ? data.size : 0;
    complain(call_text("block_readfile", "PKC_GETFILE", filepath), r, nullptr, Sink::LINK, modem,
             dl);
    return r;
  }
  int n = data.p ? data.size : 0;
  if (give_bytes(data.p, n, file, bufsize, "block_readfile") < 0) return -1;
  *nbytes = n;
  Reply reply;
  r = transact(bufhandle, PKC_CLOSEFILE, nullptr, seqno, &reply, 0, modem, dl);
  if (r < 0) {
    complain(call_text("block_readfile", "PKC_CLOSEFILE", filepath), r, reply.text(), Sink::LINK,
             modem, dl);
    return r;
  }
  if (r == 5 || r == 6) return r;
  return 0;
}

int block_delfile(SerialBuf *bufhandle, char *filepath, unsigned char *seqno, void *modem,
                  void *dl) {
  fixpaths(filepath);
  StreamPause pause(modem);
  return simple_command(bufhandle, PKC_DELETEFILE, "PKC_DELETEFILE", filepath, seqno, modem, dl,
                        "block_delfile");
}

int block_deldir(SerialBuf *bufhandle, char *dirpath, unsigned char *seqno, void *modem, void *dl) {
  fixpaths(dirpath);
  StreamPause pause(modem);
  return simple_command(bufhandle, PKC_RMDIR, "PKC_RMDIR", dirpath, seqno, modem, dl,
                        "block_deldir");
}

int block_acqstop(SerialBuf *bufhandle, unsigned char *seqno, void *modem, void *dl) {
  altuscom_flush_stream_packet(modem, dl, 1, 1);
  return simple_command(bufhandle, PKC_ACQSTOP, "PKC_ACQSTOP", nullptr, seqno, modem, dl,
                        "block_acqstop", Sink::LINK);
}

int block_acqstart(SerialBuf *bufhandle, unsigned char *seqno, void *modem, void *dl) {
  return simple_command(bufhandle, PKC_ACQSTART, "PKC_ACQSTART", nullptr, seqno, modem, dl,
                        "block_acqstart", Sink::LINK);
}

int block_getparams(SerialBuf *bufhandle, unsigned char *seqno, AltusBlockParams **altusparams,
                    void *modem, void *dl) {
  StreamPause pause(modem);
  Reply reply;
  int r = transact(bufhandle, PKC_GETPARAMS, nullptr, seqno, &reply, 0, modem, dl);
  if (r == 0 && reply.p && reply.size == static_cast<int>(sizeof(AltusBlockParams))) {
    *altusparams = static_cast<AltusBlockParams *>(reply.p);
    reply.p = nullptr;
    return 0;
  }
  *altusparams = nullptr;
  if (r == 0) r = -1;  // an acknowledgement where the header was due
  if (r < 0 || r == 1 || r == 2 || r == 6)
    complain("block_getparams: get_block(PKC_GETPARAMS)", r, nullptr, Sink::LINK, modem, dl);
  else
    say(Sink::LINK, modem, dl, "block_getparams: get_block(PKC_GETPARAMS) error on input.\n");
  return r;
}

int block_setparams(SerialBuf *bufhandle, AltusBlockParams *altuspin, Pf *params,
                    unsigned char *seqno, void *modem, void *dl, char *error) {
  const int ismw = altuscom_ismw(modem, dl);
  Reply current;
  int r = transact(bufhandle, PKC_GETPARAMS, nullptr, seqno, &current, 0, modem, dl);
  if (r == 0 &&
      (current.p == nullptr || current.size != static_cast<int>(sizeof(AltusBlockParams))))
    r = -1;
  if (r != 0) {
    complain("block_setparams: get_block(PKC_GETPARAMS)", r, nullptr, Sink::LINK, modem, dl);
    return r;
  }
  auto *cur = static_cast<AltusBlockParams *>(current.p);
  auto *fresh = static_cast<AltusBlockParams *>(malloc(sizeof(AltusBlockParams)));
  if (fresh == nullptr) {
    elog_complain(1, "block_setparams: malloc() error.\n");
    return -1;
  }
  struct Free {
    AltusBlockParams *p;
    ~Free() { free(p); }
  } fresh_free{fresh};
  if (altuspin) {
    *fresh = *altuspin;
  } else {
    *fresh = *cur;
    if (evt_parseparams(fresh, ismw, params, error) < 0) {
      say(Sink::LINK, modem, dl, "block_setparams: evt_parseparams() error.\n");
      return ALTUS_SETPARAMS_BADPARAMS;
    }
  }
  if (evt_samealtusheader(fresh, cur, ismw)) {
    altuscom_log_message(modem, dl, 0,
                         "block_setparams: Existing parameters same as input...parameters "
                         "unchanged\n");
    return 0;
  }
  if (error) error[0] = '\0';
  int failed = block_acqstop(bufhandle, seqno, modem, dl);
  if (failed == 0) {
    std::string buf(static_cast<size_t>(altus_hdr_size(ismw)), '\0');
    auto *bytes = reinterpret_cast<unsigned char *>(&buf[0]);
    evt_encodealtusfilehdr(fresh, bytes, 1, ismw);
    Reply reply;
    failed = transact(bufhandle, PKC_SETPARAMS, bytes, seqno, &reply, 0, modem, dl);
    if (failed != 0)
      complain("block_setparams: get_block(PKC_SETPARAMS)", failed, reply.text(), Sink::LINK, modem,
               dl);
  }
  r = block_acqstart(bufhandle, seqno, modem, dl);
  if (r == 1 || r == 2 || r == 6 || r < 0) return r;
  return failed;
}

int block_readfileinfo(SerialBuf *bufhandle, char *filepath, unsigned char *seqno, AltusEvtTag *tag,
                       AltusEvtFile *fhdr, void *modem, void *dl) {
  fixpaths(filepath);
  StreamPause pause(modem);
  const int ismw = altuscom_ismw(modem, dl);
  {
    Reply reply;
    int r = transact(bufhandle, PKC_OPENFILE, filepath, seqno, &reply, 0, modem, dl);
    if (r != 0) {
      complain(call_text("block_readfileinfo", "PKC_OPENFILE", filepath), r, reply.text());
      return r;
    }
  }
  Reply data;
  const int want = -(16 + altus_hdr_size(ismw));
  int r = transact(bufhandle, PKC_GETFILE, nullptr, seqno, &data, want, modem, dl);
  std::string what = call_text("block_readfileinfo", "PKC_GETFILE", filepath);
  if (r != 0) {
    complain(what, r, nullptr);
    return r;
  }
  if (data.p == nullptr || data.size <= 0) {
    elog_complain(0, "%s returned 0 length file.\n", what.c_str());
    return -1;
  }
  auto *p = static_cast<unsigned char *>(data.p);
  const unsigned char *end = p + data.size;
  int bigendian = 0, tsize = 0, datasize = 0;
  unsigned short chk = 0, computed = 0;
  if (evt_readtag(nullptr, &p, end, tag, &bigendian, &tsize, &datasize, &chk) < 0) {
    elog_complain(0, "block_readfileinfo: evt_readtag() error.\n");
    return -1;
  }
  int nframes = 0;
  if (evt_readaltusfilehdr(nullptr, &p, end, fhdr, tsize, bigendian, ismw, &computed, &nframes) <
      0) {
    elog_complain(0, "block_readfileinfo: evt_readaltusfilehdr() error.\n");
    return -1;
  }
  if (computed != chk) {
    if (bufhandle->log_callback)
      bufhandle->log_callback(bufhandle->userdata2, bufhandle->userdata3,
                              "block_readfileinfo: checksum error on Altus file header.\n", 8);
    elog_complain(0, "block_readfileinfo: checksum error on Altus file header.\n");
    return -1;
  }
  Reply reply;
  r = transact(bufhandle, PKC_CLOSEFILE, nullptr, seqno, &reply, 0, modem, dl);
  if (r < 0) {
    complain(call_text("block_readfileinfo", "PKC_CLOSEFILE", filepath), r, reply.text());
    return r;
  }
  if (r == 5 || r == 6) return r;
  return 0;
}

int block_ping(SerialBuf *bufhandle, char *string, unsigned char *seqno, char **resp, int *nbytes,
               int *bufsize, void *modem, void *dl) {
  StreamPause pause(modem);
  Reply reply;
  int r = transact(bufhandle, PKC_PING, string, seqno, &reply, 0, modem, dl);
  if (r != 0) {
    complain(call_text("block_ping", "PKC_PING", string), r, reply.text());
    return r;
  }
  int n = reply.p ? reply.size : 0;
  bool fresh = *resp == nullptr;
  if (fresh) *bufsize = 0;
  void *p = mymem(n + 1, *resp, bufsize);
  if (p == nullptr) {
    elog_complain(1, fresh ? "block_ping: malloc() error.\n" : "block_ping: realloc() error.\n");
    return -1;
  }
  *resp = static_cast<char *>(p);
  if (n > 0) memcpy(*resp, reply.p, n);
  (*resp)[n] = '\0';
  *nbytes = n;
  return 0;
}
