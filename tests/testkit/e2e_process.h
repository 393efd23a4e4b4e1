// e2e_process.h - child programs of the end-to-end tests: started with their output in a
// file, stopped by a signal within a bound, and their output waited on. Every wait goes
// through the clock seam (clock_sleep between looks). No test framework, so that the
// load run (bench/loadrun) uses them too.
#pragma once

#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "base/clock.h"

// A loopback port of the kind `socktype` (SOCK_DGRAM or SOCK_STREAM) free now, for a
// listener the children share; 0 none.
inline int e2e_free_port(int socktype = SOCK_DGRAM) {
  int fd = socket(AF_INET, socktype, 0);
  if (fd < 0) return 0;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  int port = 0;
  if (bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) == 0)
    port = ntohs(a.sin_port);
  close(fd);
  return port;
}

// The whole of a file; empty when it cannot be read.
inline std::string e2e_read_text(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// Starts `argv` (argv[0] the program, found on PATH unless it is a path) in folder `cwd` with
// standard output and error into the file `out`, and returns once the child runs the
// program (not a copy of the caller, whose memory a look at /proc would count). The child's
// pid, or -1.
inline pid_t e2e_start(const std::vector<std::string> &argv, const std::string &cwd,
                       const std::string &out) {
  int ran[2];
  if (pipe2(ran, O_CLOEXEC) != 0) return -1;
  const pid_t parent = getpid();
  pid_t pid = fork();
  if (pid < 0) {
    close(ran[0]);
    close(ran[1]);
    return -1;
  }
  if (pid == 0) {
    close(ran[0]);
    // A test that fails (or crashes) before it stops its children takes them with it.
    if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != parent) _exit(125);
    int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (fd < 0 || chdir(cwd.c_str()) != 0) _exit(126);
    dup2(fd, 1);
    dup2(fd, 2);
    std::vector<char *> args;
    std::vector<std::string> copy = argv;
    for (auto &a : copy) args.push_back(a.data());
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
  }
  // The write end closes at the child's exec (or exit): end of file here.
  close(ran[1]);
  char byte;
  while (read(ran[0], &byte, 1) < 0 && errno == EINTR) {
  }
  close(ran[0]);
  return pid;
}

// Sends `sig` (none: 0) and waits up to `seconds` of clock time for the child to end;
// after that it is killed. Its wait status, or -1 when it had to be killed.
inline int e2e_stop(pid_t pid, int sig, double seconds) {
  if (pid <= 0) return -1;
  if (sig) kill(pid, sig);
  int status = 0;
  for (double waited = 0; waited < seconds; waited += 0.05) {
    if (waitpid(pid, &status, WNOHANG) == pid) return status;
    clock_sleep(0.05);
  }
  kill(pid, SIGKILL);
  waitpid(pid, &status, 0);
  return -1;
}

// How many times `text` occurs in the file.
inline int e2e_count_text(const std::string &file, const std::string &text) {
  std::string s = e2e_read_text(file);
  int n = 0;
  for (size_t at = s.find(text); at != std::string::npos; at = s.find(text, at + 1)) n++;
  return n;
}

// Waits (at most `seconds` of clock time) until `text` occurs `count` times in the file.
inline bool e2e_wait_text(const std::string &file, const std::string &text, int count,
                          double seconds) {
  for (double waited = 0;; waited += 0.05) {
    if (e2e_count_text(file, text) >= count) return true;
    if (waited >= seconds) return false;
    clock_sleep(0.05);
  }
}
