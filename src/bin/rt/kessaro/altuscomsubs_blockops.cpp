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

// Texts hold what the datalogger named (paths, refusal texts): their control characters
// are escaped, the trailing line end kept.
void say(Sink sink, void *modem, void *dl, const std::string &raw) {
  std::string text = raw;
  bool newline = !text.empty() && text.back() == '\n';
  if (newline) text.pop_back();
  text = elog_escape(text, true) + (newline ? "\n" : "");
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
  } else if (status == BLOCK_EOF) {
    say(sink, modem, dl, what + " EOF on input.\n");
  } else if (status == BLOCK_TIMEOUT) {
    say(sink, modem, dl, what + " timeout on input.\n");
  } else if (status == BLOCK_OFFHOOK) {
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
  b->log_callback(b->userdata2, b->userdata3, line, ALTUSLOG_KIND_LINE);
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
  t.processed = ALTUS_FILE_LISTED;
  t.event = ends_with_evt(path) ? 1 : 0;
  t.time = d.time + kAltusEpoch;
  (*nentries)++;
  return 0;
}

int readdir_once(SerialBuf *bufhandle, char *dirpath, unsigned char *seqno,
                 AltusBlockDirentry **altusdir, int *nentries, int *altusdirsize, void *modem,
                 void *dl, bool *refused);

// One walk of a directory tree: where its records go, and what its bounds left out.
struct TreeWalk {
  SerialBuf *b;
  unsigned char *seqno;
  int dirents;
  AltusDirTree **altusdirt;
  int *nentries;
  int *altusdirtsize;
  void *modem;
  void *dl;
  int verbose;
  int listed = 0;        // directories listed
  int entries = 0;       // entries looked at ("." and ".." aside)
  int too_deep = 0;      // directories not entered: below the depth bound
  int dirs_over = 0;     // directories not entered: past the bound of directories
  int entries_over = 0;  // entries left out: past the bound of entries
  int too_long = 0;      // entries left out: the path does not fit the record
  int refused = 0;       // directories the datalogger would not open, skipped

  // One line on what the walk left out, when it left out anything.
  void report(const char *top) const {
    if (too_deep + dirs_over + entries_over + too_long + refused == 0) return;
    std::string t = std::string("block_readdirtree: the walk of ") + top + " left out";
    const char *sep = " ";
    auto part = [&](int n, const char *one, const char *many, const std::string &rest) {
      if (n == 0) return;
      t += sep + std::to_string(n) + " " + (n == 1 ? one : many) + rest;
      sep = ", ";
    };
    const std::string depth = std::to_string(ALTUS_DIRTREE_MAXDEPTH);
    part(too_deep, "directory", "directories", " deeper than " + depth + " levels");
    part(dirs_over, "directory", "directories",
         " past " + std::to_string(ALTUS_DIRTREE_MAXDIRS) + " directories listed");
    part(entries_over, "entry", "entries",
         " past " + std::to_string(ALTUS_DIRTREE_MAXENTRIES) + " entries");
    part(too_long, "entry", "entries", " whose path is too long");
    part(refused, "directory", "directories", " that would not open");
    say(Sink::SYSLOG, modem, dl, t + ".\n");
  }

  // Lists one directory and walks the directories in it. 0, or a failed transaction's
  // status; a sub-directory the datalogger refuses to open is skipped with one line.
  int dir(char *dirpath, int depth) {
    fixpaths(dirpath);
    AltusBlockDirentry *d = nullptr;
    int n = 0, dirsize = 0;
    struct Free {
      AltusBlockDirentry **d;
      ~Free() { free(*d); }
    } dir_free{&d};
    bool refusal = false;
    listed++;
    int r = readdir_once(b, dirpath, seqno, &d, &n, &dirsize, modem, dl, &refusal);
    if (r != 0) {
      if (refusal && depth > 0) {
        refused++;
        say(Sink::SYSLOG, modem, dl,
            std::string("block_readdirtree: directory ") + dirpath + " would not open, skipped.\n");
        return 0;
      }
      std::string what = std::string("block_readdirtree: block_readdir(") + dirpath + ")";
      if (r == BLOCK_EOF || r == BLOCK_TIMEOUT || r == BLOCK_OFFHOOK)
        complain(what, r, nullptr);
      else
        say(Sink::SYSLOG, modem, dl, what + " error.\n");
      return r;
    }
    std::string base = dirpath;
    if (base.empty() || base.back() != '\\') base += '\\';
    for (int i = 0; i < n; i++) {
      const AltusBlockDirentry &e = d[i];
      std::string path = base + e.name;
      const bool isdir = (e.attr & 0x10) && e.size == 0;
      if (isdir && (strcmp(e.name, ".") == 0 || strcmp(e.name, "..") == 0)) continue;
      if (++entries > ALTUS_DIRTREE_MAXENTRIES) {
        entries_over++;
        continue;
      }
      if (!isdir && e.ext[0]) path += std::string(".") + e.ext;
      if (path.size() + (isdir ? 1 : 0) >= sizeof(AltusDirTree::pathname)) {
        too_long++;
        continue;
      }
      if ((isdir ? dirents : 1) && append_record(altusdirt, nentries, altusdirtsize, path, e) < 0)
        return -1;
      if (verbose) {
        std::string shown = isdir && !dirents ? path + "\\" : path;
        describe(b, shown.c_str(), isdir ? 0 : static_cast<int>(e.size), e.time + kAltusEpoch,
                 e.attr);
      }
      if (!isdir) continue;
      if (depth + 1 >= ALTUS_DIRTREE_MAXDEPTH) {
        too_deep++;
        continue;
      }
      if (listed >= ALTUS_DIRTREE_MAXDIRS) {
        dirs_over++;
        continue;
      }
      std::string sub = path + "\\";
      std::vector<char> subbuf(sub.begin(), sub.end());
      subbuf.push_back('\0');
      r = dir(subbuf.data(), depth + 1);
      if (r != 0) {
        std::string what = std::string("block_readdirtree: block_readdirtree(") + sub + ")";
        if (r == BLOCK_EOF || r == BLOCK_TIMEOUT || r == BLOCK_OFFHOOK)
          complain(what, r, nullptr);
        else
          say(Sink::SYSLOG, modem, dl, what + " error.\n");
        return r;
      }
    }
    return 0;
  }
};

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
  return readdir_once(bufhandle, dirpath, seqno, altusdir, nentries, altusdirsize, modem, dl,
                      nullptr);
}

namespace {

int readdir_once(SerialBuf *bufhandle, char *dirpath, unsigned char *seqno,
                 AltusBlockDirentry **altusdir, int *nentries, int *altusdirsize, void *modem,
                 void *dl, bool *refused) {
  fixpaths(dirpath);
  StreamPause pause(modem);
  {
    Reply reply;
    int r = transact(bufhandle, PKC_OPENDIR, dirpath, seqno, &reply, 0, modem, dl);
    if (r != 0) {
      complain(call_text("block_readdir", "PKC_OPENDIR", dirpath), r, reply.text());
      if (refused != nullptr) *refused = r == BLOCK_FAILED;
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
  if (r == BLOCK_STOPPED || r == BLOCK_OFFHOOK) return r;
  return 0;
}

}  // namespace

int block_readdirtree(SerialBuf *bufhandle, char *dirpath, unsigned char *seqno, int dirents,
                      AltusDirTree **altusdirt, int *nentries, int *altusdirtsize, void *modem,
                      void *dl, int verbose) {
  TreeWalk walk{bufhandle, seqno, dirents, altusdirt, nentries, altusdirtsize, modem, dl, verbose};
  std::string top = dirpath != nullptr ? dirpath : "";
  int r = walk.dir(dirpath, 0);
  walk.report(top.c_str());
  return r;
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
  if (r == BLOCK_STOPPED || r == BLOCK_OFFHOOK) return r;
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
  if (r < 0 || r == BLOCK_EOF || r == BLOCK_TIMEOUT || r == BLOCK_OFFHOOK)
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
  if (r == BLOCK_EOF || r == BLOCK_TIMEOUT || r == BLOCK_OFFHOOK || r < 0) return r;
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
                              "block_readfileinfo: checksum error on Altus file header.\n",
                              ALTUSLOG_KIND_BADCHKSUM);
    elog_complain(0, "block_readfileinfo: checksum error on Altus file header.\n");
    return -1;
  }
  Reply reply;
  r = transact(bufhandle, PKC_CLOSEFILE, nullptr, seqno, &reply, 0, modem, dl);
  if (r < 0) {
    complain(call_text("block_readfileinfo", "PKC_CLOSEFILE", filepath), r, reply.text());
    return r;
  }
  if (r == BLOCK_STOPPED || r == BLOCK_OFFHOOK) return r;
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
