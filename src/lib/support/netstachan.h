// netstachan.h - channel names of the form net_sta_chan[_loc], shared by both programs'
// parameter-file readers. No state, no locking.
#pragma once

#include <string>

// Splits text at the underscores into network, station, channel and location codes. Each
// output is cleared first; missing trailing parts stay empty, and underscores after the
// third belong to the location. A null text gives four empty codes. Returns 0.
int split_netstachanloc(const char *text, std::string &net, std::string &sta, std::string &chan,
                        std::string &loc);
