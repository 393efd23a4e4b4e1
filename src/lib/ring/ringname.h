// ringname.h - from a ring-buffer name to the path of its ring file.
//
// A name is the path of a ring file when it has a "/", ends in ".ring" or names a file
// that exists. Any other name is [host][:port]: the host must be this machine, and the
// port (a number, default 6510, or a word) names "<port>.ring" in the ring directory.
// Messages say which of these rules read the name. No lock, no state: safe from any
// thread.
#pragma once

#include <string>

struct RingName {
  std::string path;  // the ring file
  std::string host;  // the host part of the name ("" for a path)
  int port = 0;      // the port number; 0 for a path or a port word
  bool in_ring_dir = false;
  std::string rule;  // how the name was read, for messages ("a path: it has a '/'", ...)
};

// Fills *out. -1 after logging why (messages begin with `who`): a host that is not this
// machine, a bad port, an empty name.
int ring_resolve_name(const char *who, const char *name, RingName *out);

// The ring directory: $VANTREL_RINGDIR, else $VANTREL/rings, $VANTREL defaulting to
// /opt/vantrel.
std::string ring_directory();

// True when `host` names this machine: empty, "localhost", its host name (with or without
// the domain), or an address of one of its interfaces or of the loopback. Nothing is
// looked up over the network.
bool ring_host_is_local(const std::string &host);
