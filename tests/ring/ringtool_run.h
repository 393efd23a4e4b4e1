// ringtool_run.h - runs the ring tool's commands in the test process and collects what
// they print.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "ringtool.h"

struct ToolRun {
  int status;
  std::string out;
};

// Runs `ringtool args...` and returns its exit status and standard output.
inline ToolRun run(std::vector<std::string> args) {
  args.insert(args.begin(), "ringtool");
  std::vector<char *> argv;
  for (auto &a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  FILE *out = tmpfile();
  ToolRun r{ringtool_run(static_cast<int>(args.size()), argv.data(), out), ""};
  rewind(out);
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, out)) > 0) r.out.append(buf, n);
  fclose(out);
  return r;
}
