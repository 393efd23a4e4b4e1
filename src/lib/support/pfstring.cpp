// pfstring.cpp - my_pf2string.
#include "support/pfstring.h"

#include <cstdlib>
#include <cstring>
#include <string>

#include "base/elog.h"
#include "base/pf.h"
#include "base/tbl.h"

namespace {

int my_pf2string_pvt(Pf *pf, const char *name, int printname, void **stack) {
  void *value = nullptr;
  int kind = pfget(pf, name, &value);
  switch (kind) {
    case PFARR:
    case PFFILE: {
      if (printname) {
        pushstr(stack, name);
        pushstr(stack, " &Arr{\n");
      }
      Pf *sub = static_cast<Pf *>(value);
      Tbl *keys = pfkeys(sub);
      for (int i = 0; i < maxtbl(keys); i++) {
        if (my_pf2string_pvt(sub, static_cast<char *>(gettbl(keys, i)), 1, stack) < 0) {
          freetbl(keys, nullptr);
          return -1;
        }
      }
      freetbl(keys, nullptr);
      if (printname) pushstr(stack, "}\n");
      return 0;
    }
    case PFSTRING:
      if (printname) {
        pushstr(stack, name);
        pushstr(stack, " ");
      }
      pushstr(stack, static_cast<char *>(value));
      pushstr(stack, "\n");
      return 0;
    case PFTBL: {
      if (printname) {
        pushstr(stack, name);
        pushstr(stack, " &Tbl{\n");
      }
      Pf *sub = static_cast<Pf *>(value);
      Tbl *list = pfget_tbl(pf, name);
      int n = maxtbl(list);
      freetbl(list, nullptr);
      for (int i = 0; i < n; i++) {
        std::string idx = std::to_string(i);
        if (my_pf2string_pvt(sub, idx.c_str(), 0, stack) < 0) return -1;
      }
      if (printname) pushstr(stack, "}\n");
      return 0;
    }
    default:
      elog_log(0, "my_pf2string_pvt: pfget() error.\n");
      return -1;
  }
}

}  // namespace

char *my_pf2string(Pf *pf) {
  void *stack = nullptr;
  Tbl *keys = pfkeys(pf);
  for (int i = 0; i < maxtbl(keys); i++) {
    if (my_pf2string_pvt(pf, static_cast<char *>(gettbl(keys, i)), 1, &stack) < 0) {
      freetbl(keys, nullptr);
      popstr(&stack, 0);
      return nullptr;
    }
  }
  freetbl(keys, nullptr);
  if (stack == nullptr) return strdup("");
  return popstr(&stack, 1);
}
