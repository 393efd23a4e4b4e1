// q330_opcmds.h - operator commands of a Q330 session: mass recentre, lock and unlock,
// calibration start and stop, and user messages; and the "dlcalwf" calibration row.
//
// Each command has a front end that runs on the caller's thread (the remote-command
// handler): it parses the words, fills defaults from the parameters and the sensor
// control mapping and posts one named command to the control thread through q330_cmd.
// The executor (_pvt) runs on the control thread, checks the values and sends the QDP
// command, waiting for C1_CACK.
//
// Locking: front ends read `params` and the sensor control mapping of `config` without a
// lock (the mapping changes only on a configuration readout). Executors run on the control
// thread only. q330_output_db_dlcalwf takes one process-wide mutex around its scratch
// database and releases it before calling the output callback.
#pragma once

#include "q330.h"

// Sensor control function codes and the channel bitmaps of the two sensors.
enum {
  Q330_SC_CALIB_A = 1,
  Q330_SC_RECENTER_A = 2,
  Q330_SC_CAPACITIVE_A = 3,
  Q330_SC_CALIB_B = 4,
  Q330_SC_RECENTER_B = 5,
  Q330_SC_CAPACITIVE_B = 6,
  Q330_SC_LOCK_A = 7,
  Q330_SC_UNLOCK_A = 8,
  Q330_SC_LOCK_B = 11,
  Q330_SC_UNLOCK_B = 12,
};
inline constexpr unsigned Q330_CHANS_A = 0x07, Q330_CHANS_B = 0x38;

// QDP codes of the commands sent here.
enum { Q330_C1_PULSE = 0x22, Q330_C1_QCAL = 0x23, Q330_C1_STOP = 0x24, Q330_C1_UMSG = 0x30 };

// Longest waveform text an executor accepts (characters).
inline constexpr int Q330_WAVEFORM_MAX = 511;

// ---- Front ends (caller's thread) -------------------------------------------------------

// cmd 0 recentre, 1 lock, 2 unlock; argv[0] is the command word and is skipped. The
// result of q330_cmd, or -1 with the reason in `error` (also logged and emitted).
int q330_masscmds(Q330 *q330, int cmd, int argc, char **argv, char *error, int err_sz);
int q330_calibrate(Q330 *q330, int argc, char **argv, char *error, int err_sz);
// Posts "umsg" with `msg` (none: ""). 0, or -1 when the control thread refused it.
int q330_umsg(Q330 *q330, const char *msg);

// ---- Executors (control thread) ---------------------------------------------------------

int q330_massrecenter_pvt(Q330 *q330, Pf *pf, char *error, int err_sz);
int q330_masslock_pvt(Q330 *q330, Pf *pf, char *error, int err_sz);
int q330_massunlock_pvt(Q330 *q330, Pf *pf, char *error, int err_sz);
int q330_calibrate_pvt(Q330 *q330, Pf *pf, char *error, int err_sz);
int q330_calibrate_stop_pvt(Q330 *q330);
int q330_umsg_pvt(Q330 *q330, Pf *pf);

// The control thread's rows for the operator commands: runs the executor of `name` on
// `pf` and writes the control thread's answer text ("OK", the executor's error, or the
// fixed text of the stop and user-message executors) into `answer`. 1 when `name` is one
// of them ("massrecenter", "masslock", "massunlock", "calibrate", "cal_stop", "umsg"),
// else 0 and nothing is done.
int q330_opcmds_exec(Q330 *q330, const char *name, Pf *pf, char *answer, int answer_sz);

// ---- Calibration row --------------------------------------------------------------------

// Formats one "dlcalwf" row in the scratch database and hands it to the output callback
// as type 16 ("dlcalwf", NUL, the row's text, NUL). 0 when handed over or when the
// session has no callback; -1 on a database or memory failure (logged and emitted).
int q330_output_db_dlcalwf(Q330 *q330, const char *snet, const char *fsta, const char *fchan,
                           const char *loc, double time, double endtime, const char *model,
                           const char *ssident, const char *dlcalseq, const char *dlcaltype,
                           const char *dlcalerr, const char *dlcalinput, const char *dlcalchanbm,
                           int phchan, double samprate, double dlcalamp, double dlcalfreq,
                           double dlcalsettle, double dlcaltrailer);
// Writes the rows the calibration handler `who` left in cal_rows; a failed row is logged
// as "<who>: q330_output_db_dlcalwf() error." and the others still go. 0.
int q330_output_cal_rows(Q330 *q330, const char *who);
