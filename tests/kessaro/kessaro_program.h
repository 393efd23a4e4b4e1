// kessaro_program.h - frees a program record made by kessaro_new in a test, once the test
// has freed the values it put into its arrays and lists.
#pragma once

#include "base/arr.h"
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
