// Fuzzes the event-file check and the demultiplexer with outside bytes. The first byte
// picks the layout (bit 0: Mt Whitney), the rest is the file. Both must stay inside the
// bytes they are given; a file the check passes must demultiplex, into no more scans than
// the header announces, and the demultiplexer must refuse anything it cannot place.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "altusevtsubs.h"
#include "base/elog.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1 || size > (1u << 20)) return 0;
  const int ismw = data[0] & 1;
  // An exact-size copy, so that any read past the file is caught.
  std::vector<unsigned char> file(data + 1, data + size);
  unsigned char *fbuf = file.empty() ? nullptr : file.data();
  const int nbytes = static_cast<int>(file.size());
  const int good = check_evt_file(fbuf, nbytes, ismw) == 0;

  unsigned char *p = fbuf;
  const unsigned char *end = fbuf + nbytes;
  AltusEvtTag tag;
  AltusEvtFile hdr;
  int be = 0, hsize = 0, dsize = 0, nframes = 0;
  unsigned short chk = 0, sum = 0;
  int rc = -1;
  if (fbuf != nullptr && evt_readtag(nullptr, &p, end, &tag, &be, &hsize, &dsize, &chk) == 0 &&
      evt_readaltusfilehdr(nullptr, &p, end, &hdr, hsize, be, ismw, &sum, &nframes) == 0) {
    int nsamps = 0, nchans = 0, msize = 0;
    int *matrix = nullptr;
    rc = evt_demuxdata(nullptr, &p, end, &hdr, &nsamps, &nchans, &matrix, &msize);
    if (p < fbuf || p > end) abort();
    if (rc == 0) {
      if (static_cast<uint32_t>(nsamps) > hdr.ro_stream.nscans) abort();
      if (static_cast<long long>(nsamps) * nchans * 4 > msize) abort();
    }
    free(matrix);
  }
  if (good && rc != 0) abort();
  elog_clear_register(0);
  return 0;
}
