// Event download and file commands: placeholders that fail until the download is built.
#include "altuscomsubs_getevents.h"

#include "altuscomsubs_log.h"
#include "kessaro_cmdresp.h"

int getevents(Modem *modem, int, Pf *) {
  altuscom_log_complain(modem, modem ? modem->connected_dl : nullptr, 1, 0,
                        "getevents: event download not available.\n");
  return -1;
}

int get_dirtree(AltusDatalogger *dl, Modem *modem, Pf *, char *, int, unsigned char *,
                AltusDirTree **dirtree, int *dirtree_n) {
  if (dirtree) *dirtree = nullptr;
  if (dirtree_n) *dirtree_n = 0;
  altuscom_log_complain(modem, dl, 1, 0, "get_dirtree: file listing not available.\n");
  return -1;
}

int altus_file_command(Kessaro *altus, AltusDatalogger *dl, Modem *modem, Pf *cmd,
                       const std::vector<std::string> &words, unsigned char *) {
  const char *word = words.empty() ? "" : words[0].c_str();
  altuscom_log_complain(modem, dl, 1, 0, "process_command: %s not available.\n", word);
  altus_cmd_error(altus, dl, cmd, 0, "process_command: %s not available.\n", word);
  return -1;
}
