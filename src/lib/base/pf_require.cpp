// pf_require.cpp - pfrequire: whether a parameter file is recent enough for the program,
// by its "pf_revision_time" (see pf.h).

#include <memory>
#include <new>

#include "base/elog.h"
#include "base/oom.h"
#include "base/pf.h"
#include "base/pf_tree.h"
#include "base/timetext.h"

int pfrequire(const char *name, const char *time_text) {
  double required = 0;
  if (time_text == nullptr || zstr2epoch(time_text, &required) != 0) {
    elog_log(0, "pfrequire: '%s' is not a time\n", time_text != nullptr ? time_text : "");
    return -5;
  }
  if (name == nullptr || *name == '\0') {
    elog_log(0, "pfrequire: no file name\n");
    return -4;
  }
  try {
    std::unique_ptr<Pf> tree;
    bool syntax = false;
    switch (pfint::read_files(name, "pfrequire", &tree, &syntax)) {
      case pfint::FOUND:
        break;
      case pfint::NOT_FOUND:
        return -4;
      case pfint::FIND_ERROR:
        // A file that is there but can't be read counts as not found.
        return syntax ? -3 : -4;
    }
    Pf *rev = pfint::lookup(tree.get(), "pf_revision_time");
    if (rev == nullptr || rev->kind != PFSTRING) {
      elog_log(0, "pfrequire: no pf_revision_time in '%s'\n", name);
      return -1;
    }
    // An epoch number or a time text such as "2005010:00:00:00".
    double revised = 0;
    if (zstr2epoch(rev->text.c_str(), &revised) != 0) {
      elog_log(0, "pfrequire: pf_revision_time '%.80s' of '%s' is not a time\n", rev->text.c_str(),
               name);
      return -1;
    }
    if (revised < required) {
      elog_log(0, "pfrequire: '%s' was revised before %s\n", name, time_text);
      return -2;
    }
    return 0;
  } catch (const std::bad_alloc &) {
    OUT_OF_MEMORY(sizeof(Pf), "parameter file");
  }
}
