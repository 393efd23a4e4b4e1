// The program records: templates copied, changed and freed without shared texts (the
// copies are checked under AddressSanitizer), fresh locks, flags copied by value, and
// bounded copies into fixed arrays.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "base/arr.h"
#include "base/tbl.h"
#include "kessaro.h"

namespace {

void replace(char *&text, const char *value) {
  free(text);
  text = strdup(value);
}

TEST(Records, ModemTemplateCopyOwnsItsTexts) {
  Modem *tmpl = modem_new();
  tmpl->name = strdup("default");
  tmpl->dev = strdup("/dev/ttyS0");
  tmpl->ipaddr = nullptr;  // none stays none
  tmpl->hangup_string = strdup("ATH");
  tmpl->offhook_rec_string = strdup("OFFHOOK");
  tmpl->baud = 9600;
  tmpl->reset_ipaddress = 1;
  tmpl->exit = 1;
  kessaro_copytext(tmpl->com, "serial:/dev/ttyS0:9600:none");
  std::lock_guard<KessaroMutex> held(tmpl->connection_mutex);

  Modem *item = modem_copy(tmpl);
  EXPECT_NE(item->name, tmpl->name);
  EXPECT_NE(item->dev, tmpl->dev);
  EXPECT_STREQ(item->dev, "/dev/ttyS0");
  EXPECT_EQ(item->ipaddr, nullptr);
  EXPECT_EQ(item->baud, 9600);
  EXPECT_EQ(item->reset_ipaddress, 1);
  EXPECT_EQ(item->exit, 0);  // a copy has not ended
  EXPECT_STREQ(item->com, "serial:/dev/ttyS0:9600:none");
  EXPECT_TRUE(item->connection_mutex.try_lock());  // its own mutex, not the held one
  item->connection_mutex.unlock();

  // Change the item, free the template: the item's texts survive, the template's
  // are not freed twice.
  replace(item->name, "modem1");
  replace(item->hangup_string, "ATH0");
  modem_free_texts(tmpl);
  EXPECT_EQ(tmpl->name, nullptr);
  EXPECT_STREQ(item->dev, "/dev/ttyS0");
  EXPECT_STREQ(item->offhook_rec_string, "OFFHOOK");
  modem_free(item);
  delete tmpl;
}

TEST(Records, DataloggerTemplateCopySharesNothing) {
  AltusDatalogger *tmpl = altusdatalogger_new();
  tmpl->target_name = strdup("tmpl");
  tmpl->dialin_cmd = strdup("getevents");
  tmpl->poc_name = strdup("serial");
  tmpl->pchans_arr = newarr(nullptr);
  setarr(tmpl->pchans_arr, "0", strdup("XX_$DLSTA_HNZ"));
  tmpl->acq_matrix_tbl = newtbl(0);
  pushtbl(tmpl->acq_matrix_tbl, strdup("1 1 1"));
  Modem link{};
  tmpl->dialout_modems = newtbl(0);
  pushtbl(tmpl->dialout_modems, &link);
  tmpl->commands = newtbl(0);
  pushtbl(tmpl->commands, strdup("command &Arr{\n}\n"));
  tmpl->debug_data = 2;
  tmpl->data_gap_time = 30.0;
  tmpl->max_strbuf = 4;
  tmpl->stat.nevents_transfered = 9;
  tmpl->last_params.headerBytes = 2040;
  tmpl->last_params.rw_channel[17].gain = 4;

  AltusDatalogger *item = altusdatalogger_copy(tmpl);
  EXPECT_NE(item->target_name, tmpl->target_name);
  EXPECT_NE(item->pchans_arr, tmpl->pchans_arr);
  EXPECT_NE(getarr(item->pchans_arr, "0"), getarr(tmpl->pchans_arr, "0"));
  EXPECT_NE(item->acq_matrix_tbl, tmpl->acq_matrix_tbl);
  EXPECT_NE(gettbl(item->acq_matrix_tbl, 0), gettbl(tmpl->acq_matrix_tbl, 0));
  EXPECT_EQ(gettbl(item->dialout_modems, 0), &link);  // links are shared, not owned
  EXPECT_EQ(maxtbl(item->commands), 0);               // its own, empty queue
  EXPECT_EQ(item->debug_data, 2);
  EXPECT_EQ(item->data_gap_time, 30.0);
  EXPECT_EQ(item->max_strbuf, 4);
  EXPECT_EQ(item->strbuf, nullptr);
  EXPECT_EQ(item->stat.nevents_transfered, 0);
  EXPECT_EQ(item->last_params.headerBytes, 2040);  // the parameter header, by value
  EXPECT_EQ(item->last_params.rw_channel[17].gain, 4);

  replace(item->target_name, "dl1");
  setarr(item->pchans_arr, "1", strdup("XX_$DLSTA_HNE"));
  altusdatalogger_free_contents(tmpl);
  EXPECT_EQ(tmpl->target_name, nullptr);
  EXPECT_STREQ(item->dialin_cmd, "getevents");
  EXPECT_STREQ(static_cast<char *>(getarr(item->pchans_arr, "0")), "XX_$DLSTA_HNZ");
  EXPECT_STREQ(static_cast<char *>(gettbl(item->acq_matrix_tbl, 0)), "1 1 1");

  // A reorder buffer with a held packet, a packet already output and a missing one.
  item->strbuf = static_cast<AltusStrbufEntry *>(calloc(4, sizeof(AltusStrbufEntry)));
  item->strbuf[0].packet = static_cast<AltusBlockStrdata *>(calloc(1, sizeof(AltusBlockStrdata)));
  item->strbuf[1].packet = ALTUS_STRBUF_OUTPUT;
  item->files = static_cast<AltusDirTree *>(calloc(2, sizeof(AltusDirTree)));
  item->files_size = 2;
  altusdatalogger_free(item);
  delete tmpl;
}

TEST(Records, FixedTextsAreCutAndTerminated) {
  AltusDatalogger *dl = altusdatalogger_new();
  const std::string longer(300, 'x');
  kessaro_copytext(dl->model, longer.c_str());
  kessaro_copytext(dl->password, "12345678");
  kessaro_copytext(dl->last_connected_modem, longer.c_str());
  kessaro_copytext(dl->verparams.codedate, longer.c_str());
  kessaro_copytext(dl->dlnet, nullptr);
  EXPECT_EQ(std::string(dl->model), longer.substr(0, 15));
  EXPECT_STREQ(dl->password, "12345678");
  EXPECT_EQ(strlen(dl->last_connected_modem), 255u);
  EXPECT_EQ(strlen(dl->verparams.codedate), 31u);
  EXPECT_STREQ(dl->dlnet, "");
  altusdatalogger_free(dl);
}

TEST(Records, ProgramRecordStartsEmpty) {
  Kessaro *k = kessaro_new();
  EXPECT_EQ(k->statefile, -1);
  EXPECT_EQ(cntarr(k->modems_array), 0);
  EXPECT_EQ(maxtbl(k->repackage_tbl), 0);
  EXPECT_EQ(k->kill, KESSARO_KILL_RUN);
  EXPECT_EQ(k->status_interval, 0.0);
  k->status_interval = 60.0;
  EXPECT_EQ(k->status_interval, 60.0);
  EXPECT_EQ(k->datalogger_defaults.target_name, nullptr);
  kessaro_glbl = k;  // lives until the process ends, as in the program
}

}  // namespace
