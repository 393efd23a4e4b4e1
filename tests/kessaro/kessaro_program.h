// kessaro_program.h - helpers of the program-record tests: freeing a record made by
// kessaro_new, and reading a datalogger's command queue.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "base/arr.h"
#include "base/pf.h"
#include "base/tbl.h"
#include "kessaro.h"

inline void kessaro_test_free(Kessaro *k) {
  for (Arr **a : {&k->modems_array, &k->modem_templates_arr, &k->datalogger_templates_arr,
                  &k->dlserials_array, &k->dltargets_array, &k->pending_cmd_arr, &k->orbtags_arr,
                  &k->data_orbtags_arr, &k->packet_defs_arr}) {
    freearr(*a, nullptr);
    *a = nullptr;
  }
  freetbl(k->pocds_tbl, nullptr);
  freetbl(k->repackage_tbl, nullptr);
  delete k;
}

// The `key` value ("" when absent) of each request queued for the datalogger, in order.
inline std::vector<std::string> kessaro_test_queued(AltusDatalogger *dl,
                                                    const char *key = "command") {
  std::vector<std::string> out;
  std::lock_guard<KessaroMutex> g(dl->command_mutex);
  for (long i = 0; i < maxtbl(dl->commands); i++) {
    Pf *pf = nullptr;
    pfcompile(static_cast<char *>(gettbl(dl->commands, i)), &pf);
    char *c = pf ? pfget_string(pf, key) : nullptr;
    out.push_back(c ? c : "");
    pffree(pf);
  }
  return out;
}
