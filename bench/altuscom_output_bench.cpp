// The event repackager on the write thread: the 18-channel, 200 samples/s, 5-minute event
// file (about 1.1 million samples) cut into chunks and written to a ring file, once with
// a 1-s single-channel (GENC) packet definition and once with a 10-s multiplexed (MGENC)
// one. One iteration is one whole file.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "altuscomsubs_output.h"
#include "altussim_evtwriter.h"
#include "base/tbl.h"
#include "kessaro.h"
#include "kessaro_hooks.h"
#include "ring/orb.h"

namespace {

void BM_RepackageEventFile(benchmark::State &state) {
  const bool multiplexed = state.range(0) == 1;
  // The codec writer's benchmark file, with its 18 channels marked as recorded.
  AltusSimEvtPlan plan;
  plan.ismw = 1;
  plan.bigendian = 1;
  plan.sample_bytes = 3;
  plan.nchannels = 18;
  plan.sps = 200;
  plan.frame_scans.assign(300, 200);
  plan.values.numbers["rw_misc.channel_bitmap"] = 0x3FFFF;
  std::vector<uint8_t> file;
  if (altussim_evt_file(plan, &file) != 0) abort();
  char tmpl[] = "/tmp/altuscom_output_bench.XXXXXX";
  if (mkdtemp(tmpl) == nullptr) abort();
  std::string ring = std::string(tmpl) + "/bench.ring";
  if (orbcreate(ring.c_str(), 256 << 20) != 0) abort();
  Orbtag tag{};
  tag.orbw = orbopen(ring.c_str(), "w");
  if (tag.orbw < 0) abort();

  Kessaro *altus = kessaro_new();
  kessaro_install(altus);
  Modem *modem = modem_new();
  AltusDatalogger *dl = altusdatalogger_new();
  dl->target_name = strdup("dlA");
  kessaro_copytext(dl->model, "MtWhitney");
  dl->output_packet_twin = 1.0;
  PacketDef pdef{};
  pdef.orbtag = &tag;
  kessaro_copytext(pdef.suffix, multiplexed ? "MGENC" : "GENC");
  pdef.twin = multiplexed ? 10 : 1;
  for (int c = 0; c < ALTUS_MAXCHAN; c++) {
    AltusChan &ch = dl->data_chan[0][c];
    ch.outputthischan = 1;
    ch.getcalib = 2;
    ch.calib = 1.0;
    ch.calper = 1.0;
    kessaro_copytext(ch.net, "XX");
    kessaro_copytext(ch.sta, "STA");
    snprintf(ch.chan, sizeof ch.chan, "HN%d", c);
    kessaro_copytext(ch.segtype, "A");
    ch.pdef = &pdef;
  }
  AltusPacket pkt{};
  pkt.type = ALTUSPKT_EVTFILE;
  pkt.modem = modem;
  pkt.datalogger = dl;
  pkt.data = file.data();
  pkt.nbytes = (int)file.size();
  pkt.pathname = const_cast<char *>("C:\\DATA\\BENCH.EVT");
  Orbstat before{}, after{};
  orbstat(tag.orbw, &before);
  repackage_event_pkt(altus, &pkt);
  orbstat(tag.orbw, &after);
  // Packets of one file; a file that wrote nothing would make the timing meaningless.
  const int per_file = after.npackets - before.npackets;
  if (per_file <= 0) abort();
  for (auto _ : state) {
    repackage_event_pkt(altus, &pkt);
  }
  state.counters["packets"] = per_file;
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * 18 * 200 * 300);
  orbclose(tag.orbw);
  remove(ring.c_str());
  remove(tmpl);
}
BENCHMARK(BM_RepackageEventFile)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
