// orbpkt2cmdpf_fuzz - hostile dlcm packets: the reader must refuse or read them without
// reading outside the packet, and what it reads must go through the response builder.
//
// Input: the first byte picks the source name (a broadcast, a named target, a name that
// is not a command's), the rest is the packet.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/elog.h"
#include "base/pf.h"
#include "ringsvc/dlcmpkt.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1) return 0;
  static const char *const kNames[] = {"/pf/dlcm", "q1/pf/dlcm", "q1/pf/dlcmx", "q1/pf/rsp"};
  const char *srcname = kNames[data[0] % 4];
  // An exact copy, so that a read past the end is caught.
  std::vector<char> packet(data + 1, data + size);
  char target[DLCM_TARGET_SIZE];
  Pf *request = nullptr;
  int verified = -1;
  int rc = orbpkt2cmdpf(srcname, packet.data(), static_cast<int>(packet.size()), target, &request,
                        &verified);
  if (rc < 0) {
    if (request != nullptr || verified != 0) abort();
    elog_clear_register(0);
    return 0;
  }
  if (rc != 0 || (verified != 0 && verified != 1) || (verified == 1 && !request)) abort();
  if (!request) return 0;
  if (strlen(target) > DLCM_TARGET_SIZE - 1 - 8) abort();

  // The response to it, with the identity already known (no host lookups).
  char *username = strdup("u"), *hostname = strdup("h"), *ip = strdup("127.0.0.1"), *seqt = nullptr;
  std::string reply, text;
  int r = initrsp("cmd", target, "q330", nullptr, nullptr, nullptr, request, 1, &username,
                  &hostname, &ip, &seqt, "done", &reply, &text);
  if (r == 1) {
    if (reply.empty() || reply.size() > DLCM_REPLY_MAX) abort();
    std::vector<char> out;
    if (dlcm_encode(text, &out) == 0) {
      std::string back;
      if (dlcm_decode(out.data(), static_cast<int>(out.size()), &back) != 1 || back != text)
        abort();
    }
  }
  free(username);
  free(hostname);
  free(ip);
  free(seqt);
  pffree(request);
  elog_clear_register(0);
  return 0;
}
