// altuscomsubs_console.h - the Altus console ("monitor mode") dialogue: bringing the
// datalogger to its prompt, reading and parsing its version report, restarting it,
// recycling its acquisition, switching it to block mode and checking that block mode
// answers (open_block), putting it back into automatic call-out (initiate_callmode), and
// the console exchanges of the remote commands "reboot", "mcmd" and "erase".
//
// Everything runs on the link thread that holds the connection, synchronously, with
// blocking waits on the link's SerialBuf; the caller holds the datalogger's and the
// link's connection locks. The one lock taken here is the program record's
// status_mutex (of the record altuscom_program finds), held while the datalogger's connection
// mode and times are written, since the status thread reads them under it.
//
// The dialogue is paced by fixed pauses through myusleep (the clock seam): 1 s between
// the escape characters, 2 s of discarded input before and after them, 1 s after monitor
// mode and after block mode is entered, 2 s after "aq off", 20 s after "aq on", 10 s
// after "sys res".
//
// Results shared by initiate_monitormode, initiate_blockmode, open_block and
// initiate_callmode: the AltusConsoleResult codes below, or another positive code passed
// up: the byte-stream wait code (SerialbufResult: 1 time-out, 2 end of input) or, from
// open_block, the status of get_block (AltusBlockResult: 1 end of input).
// Each saves the SerialBuf's rverbose at entry and restores it on every return;
// open_block does the same with timeout and tries. Failures are logged through
// altuscom_log_complain for the link and datalogger given.
#pragma once

#include <string>

#include "altuscomsubs_getblock.h"
#include "bytestream/serialbuf.h"
#include "kessaro.h"

// What the console operations return. Not connected and dial-in have the numbers of
// get_block's BLOCK_OFFHOOK and BLOCK_DIALIN, whose codes open_block passes up as well.
enum AltusConsoleResult : int {
  CONSOLE_FAILED = -1,                   // write error, unknown model, or a step failed hard
  CONSOLE_OK = 0,                        // done (initiate_monitormode: see there)
  CONSOLE_NOTCONNECTED = BLOCK_OFFHOOK,  // not connected, on-hook, or told to restart
  CONSOLE_DIALIN = BLOCK_DIALIN,         // the dial-in recognition string arrived
};

// ---- the version report ----

// Parses the text of a "ver" report into *vp. Text fields start empty, isbeta and isrock
// at -1; every field is cut to 31 characters and terminated. The model is the name
// before the software marker, trimmed of blanks at both ends, as the report gives it
// (see verparams_model for the canonical name). 0 when a strong-motion or a Rock
// report was recognised, -1 when the text has neither marker (model empty).
int verparams_parse(const char *text, VerParams *vp);
// The canonical model name of a name as reports give it ("Mt. Whitney" -> "MtWhitney";
// "K2", "Etna", "Everest", "Makalu", "ROCK" as they stand; exact and case-sensitive), or
// none for an unknown name.
const char *verparams_model(const char *name);

// ---- the four operations ----

// Brings the datalogger to its prompt: passes of up to three attempts (discard input,
// four escape characters and a carriage return, wait for "\r\n* "); a pass succeeds only
// when its first attempt saw the prompt, and a second pass follows a failed first one.
// `mode` (may be none) is ALTUS_COM_DISCONNECTED at entry and ALTUS_COM_MONITOR on
// success; *gotintomonitormode is 0 at entry and 1 only on success. A failed second pass
// returns the code of its last wait, which is 0 when only a later attempt saw the prompt:
// then 0 comes back with *gotintomonitormode 0, and callers that must know look at the
// flag. With a connect_listen_string (none or "" for none) every prompt wait also watches
// for it (CONSOLE_DIALIN). With a datalogger its com_mode, lcom, open_time,
// last_monitormode_time and close_time are set on success, under status_mutex.
int initiate_monitormode(SerialBuf *handle, void *modem, void *dl, AltusComMode *mode,
                         const char *connect_listen_string, int *gotintomonitormode);

// Monitor mode, then (with a datalogger) either a restart ("sys res", returns
// CONSOLE_NOTCONNECTED without reading the version) or: the version report (parsed and,
// when verparams is given, stored with the canonical model; an unknown model gives -1),
// "aq off" and "aq on" when asked, "cd A:\", and "blockmode".
int initiate_blockmode(SerialBuf *buf, VerParams *verparams, void *modem, void *dl, int acqoff,
                       int acqon, int reboot, const char *connect_listen_string,
                       int *gotintomonitormode);

// Block-mode entry with its check (PKC_GETSTATUS, and PKC_CHDIR "A:" after a time-out,
// three passes at a 5 s time-out) and its recycle rules: a Rock gives up at its second
// failure; other models at their third, or act on the datalogger's blockmode_unhang (1
// restart, 2 acquisition off and on) and give up at the fourth. The datalogger's lcom
// becomes ALTUS_COM_MONHANG at the third failure. `path` names the link in messages;
// verparams must be given. kessaro_halt ends it with -1.
int open_block(SerialBuf *buf, const char *path, VerParams *verparams, void *vmodem, void *vdl,
               const char *connect_listen_string, int *gotintomonitormode, int reboot, int acqoff,
               int acqon);

// Monitor mode, then "callmode" and the wait for "\r\nEntering auto-" and the link's
// off-hook text; three attempts. A monitor mode that comes back 0 without the prompt is
// retried; on the third such attempt the result is 0.
int initiate_callmode(SerialBuf *buf, void *modem, void *dl, const char *connect_listen_string);

// ---- console exchanges of remote commands ----

// Receives the progress texts of an exchange (pending replies to the requester).
typedef void (*AltusConsoleProgress)(void *user, const char *text);

// Each runs after initiate_monitormode returned 0 with the prompt seen; progress may be
// none. Each sets status_report_now, pauses 1 s, waits with a 90000 ms time-out and
// restores the SerialBuf's rverbose and timeout. 0 with the response text in *answer, or
// a failure code (-1 for a short write, else the wait's code) with the reply text in
// *answer; failures are logged.
//
// "reboot": flushes the stream buffers, writes "sys res", pauses a running stream, sets
// com_mode and lcom to 5 and waits for "\r\nEntering " (its result does not matter). The
// link's cmd holds `request` meanwhile. Answer "reboot successfully processed\n".
int altuscom_console_reboot(SerialBuf *buf, Modem *modem, AltusDatalogger *dl, Pf *request,
                            AltusConsoleProgress progress, void *user, std::string *answer);
// "mcmd": writes `string` and a carriage return and answers the console's text before
// the next prompt (its last 511 characters).
int altuscom_console_mcmd(SerialBuf *buf, Modem *modem, AltusDatalogger *dl, const char *string,
                          AltusConsoleProgress progress, void *user, std::string *answer);
// "erase": the "wipedisk <drive>" dialogue (confirm "y", then "destroy"). The link's cmd
// holds `request` meanwhile. Answer "" (done, no text).
int altuscom_console_erase(SerialBuf *buf, Modem *modem, AltusDatalogger *dl, Pf *request,
                           const char *drive, AltusConsoleProgress progress, void *user,
                           std::string *answer);
