// Fuzzes the word splitter, whole-text matching and substitution with outside text:
// the first line is a pattern, the rest the text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/elog.h"
#include "base/tbl.h"
#include "base/textutil.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string input(reinterpret_cast<const char *>(data), size);
  input = input.substr(0, strnlen(input.c_str(), input.size()));
  size_t nl = input.find('\n');
  std::string pattern = nl == std::string::npos ? input : input.substr(0, nl);
  std::string text = nl == std::string::npos ? "" : input.substr(nl + 1);

  int argc;
  char **argv;
  if (splitlist(text.c_str(), &argc, &argv) == 0) {
    for (int i = 0; i < argc; i++) {
      if (argv[i] == nullptr) abort();
    }
    if (argv[argc] != nullptr) abort();
    freeargs(argc, argv);
  }

  Hook *hook = nullptr;
  int whole = strmatches(text.c_str(), pattern.c_str(), &hook);
  long start = -1, end = -1;
  int anywhere = strcontains(text.c_str(), pattern.c_str(), &hook, &start, &end);
  if (whole == 1 && anywhere != 1) abort();  // a whole match is a match
  if (anywhere == 1 && (start < 0 || end < start || static_cast<size_t>(end) > text.size()))
    abort();
  free_hook(&hook);

  regex_t re;
  if (regcomp_bounded(&re, pattern.c_str(), 0, nullptr, 0) == 0) {
    free(patsub(text.c_str(), &re, "<&\\1>"));
    regfree(&re);
  }
  char *sub = strsub(text.c_str(), pattern.c_str(), "xy");
  free(sub);
  elog_clear_register(0);
  return 0;
}
