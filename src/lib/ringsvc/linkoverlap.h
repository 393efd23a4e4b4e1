// linkoverlap.h - data a datalogger sends again after a reconnection or a restart: the
// window in which it counts as already written, and the newest sample of each waveform
// channel that a ring holds, from which a program that starts again knows what it wrote.
//
// No state and no locks: the caller owns what it passes.
#pragma once

#include <map>
#include <string>

// Seconds before the last sample written within which a sample is taken for one written
// already; older samples are written (a datalogger clock set back, not a resend).
inline constexpr double LINK_OVERLAP_WINDOW = 180.0;

// True when a sample (or record) at `t` lies in the overlap of a channel whose last output
// was at `last` (0: none): within LINK_OVERLAP_WINDOW before it, or at it.
bool link_overlap(double last, double t);

// The number of leading samples of a block (first sample at `t`, one every `dt` s, `nsamp`
// of them) that lie in the overlap of `last`; 0 when the first does not.
int link_overlap_samples(double last, double t, double dt, int nsamp);

// Reads the newest packet of every source the ring `ringname` holds and, for each channel
// of each waveform packet among them, notes in `*last` (key net_sta_chan, or
// net_sta_chan_loc when the location code is not empty) the time of its last sample, the
// later one when a channel appears in several sources. 0, or -1 (registered) when the ring
// cannot be read; packets that do not decode are passed over.
int ring_newest_sample_times(const char *ringname, std::map<std::string, double> *last);
