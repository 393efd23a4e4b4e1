// ringtool_command.cpp - `ringtool command`: sends a signed remote command to a target
// through a ring and prints the responses that come back, until the final one ("done" or
// "error") or a time-out.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/clock.h"
#include "base/elog.h"
#include "base/pf.h"
#include "ring/orb.h"
#include "ringsvc/dlcmpkt.h"
#include "ringtool.h"

namespace {

const char kCommandUsage[] =
    "Usage: ringtool command [-d dlnames] [-r reply] [-w seconds] ring target command...\n"
    "  sends the signed command to <target> (\"<target>/pf/dlcm\"; target \"-\" reaches\n"
    "  every target) and prints each response until \"done\" or \"error\"\n"
    "  -d dlnames  regular expression of the dataloggers the command is for\n"
    "  -r reply    source name of the responses (default ringtool_<pid>/pf/rsp)\n"
    "  -w seconds  how long to wait for the final response (default 30; 0: do not wait)\n";

int command_usage(const char *why) {
  elog_complain(0, "command: %s\n", why);
  fputs(kCommandUsage, stderr);
  return 1;
}

// A POSIX extended expression matching exactly the text.
std::string regex_quote(const std::string &text) {
  std::string out;
  for (char c : text) {
    if (strchr(".[]\\()*+?{}|^$", c)) out += '\\';
    out += c;
  }
  return out;
}

// Prints one response; sets *final when it is the last one (done or error).
void print_response(FILE *out, int n, const std::string &text, Pf *pf, bool *final, int *status) {
  const char *disposition = pfget_string(pf, "disposition");
  fprintf(out, "response %d: %s\n", n, disposition ? disposition : "-");
  fputs(text.c_str(), out);
  if (!text.empty() && text.back() != '\n') fputc('\n', out);
  fflush(out);
  if (disposition && strcmp(disposition, "done") == 0) {
    *final = true;
    *status = 0;
  } else if (disposition && strcmp(disposition, "error") == 0) {
    *final = true;
    *status = 1;
  }
}

}  // namespace

int ringtool_command(int argc, char **argv, FILE *out) {
  const char *dlnames = nullptr;
  std::string reply = "ringtool_" + std::to_string(getpid()) + "/pf/rsp";
  double wait = 30.0;
  int i = 2;
  for (; i < argc && argv[i][0] == '-' && argv[i][1] != '\0'; i++) {
    if (strcmp(argv[i], "--") == 0) {
      i++;
      break;
    }
    if (strlen(argv[i]) != 2 || !strchr("drw", argv[i][1])) return command_usage("unknown option");
    if (i + 1 >= argc) return command_usage("an option needs a value");
    const char *value = argv[++i];
    switch (argv[i - 1][1]) {
      case 'd':
        dlnames = value;
        break;
      case 'r':
        reply = value;
        break;
      default: {
        char *end = nullptr;
        wait = strtod(value, &end);
        if (!*value || *end || !(wait >= 0)) return command_usage("bad time-out");
      }
    }
  }
  if (argc - i < 3) return command_usage("a ring, a target and a command are needed");
  const char *ring = argv[i];
  std::string target = strcmp(argv[i + 1], "-") == 0 ? "" : argv[i + 1];
  std::string command;
  for (int k = i + 2; k < argc; k++) command += (command.empty() ? "" : " ") + std::string(argv[k]);
  std::string srcname = target + DLCM_SUFFIX;
  if (srcname.size() > ORBSRCNAME_MAX) return command_usage("the target name is too long");
  if (reply.empty() || reply.size() > DLCM_REPLY_MAX)
    return command_usage("the reply source name must have 1 to 63 characters");

  int orb = orbopen(ring, "w");
  if (orb < 0) {
    elog_complain(0, "command: can't open ring '%s'\n", ring);
    return 1;
  }
  std::string sequence, text;
  if (orbselect(orb, regex_quote(reply).c_str()) < 0 ||
      initcmd(command.c_str(), reply.c_str(), nullptr, nullptr, dlnames, 0.0, &sequence, &text) <
          0 ||
      pfcmdstring2orb(text.c_str(), srcname.c_str(), orb) < 0) {
    elog_complain(0, "command: can't send '%s' to '%s'\n", command.c_str(), srcname.c_str());
    orbclose(orb);
    return 1;
  }
  fprintf(out, "sent '%s' to %s, sequence %s\n", command.c_str(), srcname.c_str(),
          sequence.c_str());
  fflush(out);

  int status = 0;
  bool final = wait == 0;
  const double deadline = clock_monotonic() + wait;
  char *packet = nullptr;
  int bufsize = 0, n = 0;
  while (!final) {
    if (clock_monotonic() >= deadline) {
      elog_complain(0, "command: no final response within %g s\n", wait);
      status = 1;
      break;
    }
    int pktid, nbytes = 0;
    double time;
    char src[ORBSRCNAME_SIZE];
    int rc = orbreap_nd(orb, &pktid, src, &time, &packet, &nbytes, &bufsize);
    if (rc == -2) {
      clock_sleep(0.1);
      continue;
    }
    if (rc < 0) {
      elog_complain(0, "command: can't read ring '%s'\n", ring);
      status = 1;
      break;
    }
    std::string rsp;
    Pf *pf = nullptr;
    if (dlcm_decode(packet, nbytes, &rsp) != 1 || pfcompile(rsp.c_str(), &pf) < 0) {
      elog_clear_register(0);  // not a response
      continue;
    }
    const char *seq = pfget_string(pf, "sequence");
    if (seq && sequence == seq) print_response(out, ++n, rsp, pf, &final, &status);
    pffree(pf);
  }
  free(packet);
  orbclose(orb);
  return status;
}
