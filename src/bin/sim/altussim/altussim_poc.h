// altussim_poc.h - a point-of-contact announcement as a datalogger's network front sends
// it: a parameter-file packet holding "srcip <host:port>" and the keys that name the
// datalogger (its serial number, say), put into a ring file.
#pragma once

#include <string>
#include <utility>
#include <vector>

// Writes one announcement into the ring file `ring` under `srcname` (e.g. "sim/pf/poc")
// with the time `time` (epoch seconds). 0, or -1 with a message on standard error.
int altussim_write_poc(const std::string &ring, const std::string &srcname,
                       const std::string &srcip,
                       const std::vector<std::pair<std::string, std::string>> &keys, double time);
