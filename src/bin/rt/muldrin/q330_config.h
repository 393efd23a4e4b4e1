// q330_config.h - the configuration readout of a session and the data-port channel set-up.
//
// q330_get_config_pvt asks a registered datalogger for its flags block (C1_RQFLGS),
// rebuilds the channel table from it, reads the environmental-processor blocks when an
// environmental processor is present, with need_config the twelve further configuration
// blocks, and with need_config or need_rqmem the token areas of the data ports.
// q330_cfg_channels_pvt makes the data port's LOG block and the EP configuration match the
// parameters, sending C1_SLOG and C2_SEPCFG only where they differ, and counts reboots.
//
// Both run on the session's control thread only: the control thread's "config",
// "cfg_channels" and "cfg_channels_auto" commands (q330_get_config, q330_cfg_channels,
// q330_cfg_channels_auto in q330.h post them).
//
// Locking: every block the readout stores (config_pkt, the C1/C2 blocks, the token sets),
// the channel table made from config_pkt and the EP channel delays are written under
// config.config_mutex, and only after their exchange succeeded, so a reader holding the
// mutex never sees half a block. The exchanges themselves run outside the mutex. The
// status record's reboot count is changed under status.status_mutex.
#pragma once

#include "q330.h"

// Room for one data port's token area.
inline constexpr int Q330_TOKEN_AREA_MAX = 8192;

// The readout, run by the control thread for its command "config" (q330_get_config).
// 0, or -1 with a one-line reason in `error` that names the failing step ("too many" when
// the tries ran out). A failure leaves every block that was not read whole as it was.
int q330_get_config_pvt(Q330 *q330, char *error, int err_sz);

// Reads the token area of data port `memory_type` (1-4) over as many C1_MEM segments as
// it takes. *nbytes: the capacity of `contents` on entry, the bytes read on return. 0 or -1
// (logged).
int q330_read_tokens(Q330 *q330, int memory_type, unsigned char *contents, int *nbytes);

// Decodes one port's token area into config.dptokens[memory_type - 1] (made on first use)
// and names each token channel after the output channel it feeds ("-" for none). The
// caller holds config.config_mutex. 0, or -1 when the set cannot be made.
int q330_parse_pb14_tokens(Q330 *q330, int memory_type, unsigned char *contents, int nbytes);

// Channel set-up, run by the control thread for its commands "cfg_channels_auto" (posted
// by q330_cfg_channels_auto in q330.h, before the data port is opened; pass `pf` none) and
// "cfg_channels" (posted by q330_cfg_channels; pass the command's object).
// `pf` none: the automatic form, from the parameters' channels. Otherwise
// "cfg_channels" (lines "physical stream on/off") and/or "throttle" (bytes per second).
// 0 when nothing had to change, 1 after a reconfiguration and the readout that follows
// it; -1 with the reason in `error`.
int q330_cfg_channels_pvt(Q330 *q330, Pf *pf, char *error, int err_sz);
