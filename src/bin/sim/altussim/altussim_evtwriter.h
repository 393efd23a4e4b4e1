// altussim_evtwriter.h - the simulator's Altus event-file (.evt) writer: a tag, the Altus
// header, then frames of multiplexed samples, in either byte order, good or damaged on
// purpose.
//
// Written from the file format alone, apart from the program's codec: its own field table
// (every header field by name, absolute offset and width, for the 12-channel 2040-byte
// and the 18-channel 2736-byte layout), its own byte-order writer and its own byte sums
// (16-bit sum of at most the first 2992 bytes of a region). A tag is 16 bytes: 'K',
// byteOrder, version, instrumentType, u32 type, u16 length, u16 dataLength, u16 id,
// u16 checksum; a frame is a tag, a frame header (32 bytes or longer) and whole scans.
//
// Stateless; every function is reentrant.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

// One header field. Kinds: 'u' unsigned, 'i' signed, 'f' float32, 't' text (NUL padded),
// 'r' reserved (zero).
struct AltusSimField {
  std::string name;  // "rw_misc.nchannels", "rw_channel[3].gain", "rw_modem.phoneNumber[1]"
  int offset;        // from the start of the header (prefix included)
  int width;
  char kind;
};

// Every field of the layout in wire order, reserved runs included (named "*.reserved@N").
const std::vector<AltusSimField> &altussim_evt_fields(int ismw);
int altussim_evt_header_size(int ismw);

// Integer and float fields are given as numbers (a float field gets the float nearest),
// text fields as texts; a field left out is zero, except these defaults: id "KMI",
// headerBytes the layout's size, sampleBytes, nchannels, nscans and duration from the
// file being made.
struct AltusSimHeaderValues {
  std::map<std::string, double> numbers;
  std::map<std::string, std::string> texts;
};

// The header bytes of the layout in the byte order; -1 for an unknown field name or a
// text longer than its field.
int altussim_evt_header(int ismw, int bigendian, const AltusSimHeaderValues &values,
                        std::vector<uint8_t> *out);

// The parameter header a datalogger of `model` sends: the 18-channel layout for
// "MtWhitney", the 12-channel one for any other; big-endian, with its serial number and
// station. -1 for a station longer than its field.
int altussim_model_params(const std::string &model, int serial, const std::string &station,
                          std::vector<uint8_t> *out);

// A header with a distinct value in every field, reserved bytes zero except modem byte 256
// (rw_modem.bytepad0) which holds 0xA5. altussim_evt_fixture_number gives the value of a
// number field (by its index in altussim_evt_fields), altussim_evt_fixture_text that of a
// text field (it fills the whole field, no terminator).
void altussim_evt_fixture(int ismw, int bigendian, std::vector<uint8_t> *out);
double altussim_evt_fixture_number(int ismw, int index);
std::string altussim_evt_fixture_text(int ismw, int index);

// The sample the writer puts at scan s of channel c for a sample width of 1 to 4 bytes:
// it covers the whole range of the width, negatives included (1 byte: 0 to 255).
int32_t altussim_evt_sample(int c, long s, int sample_bytes);

// What to make. Samples come from altussim_evt_sample unless `samples` is given
// (channel-major, element c x total scans + s).
struct AltusSimEvtPlan {
  int ismw = 0;
  int bigendian = 1;
  int sample_bytes = 4;                       // 1, 2, 3 or 4
  int nchannels = 3;                          // channels in the frames
  int sps = 100;                              // samples per second (rw_stream.sps)
  uint32_t start_time = 1;                    // Altus time of the first sample
  std::vector<int> frame_scans = {100, 100};  // scans in each frame
  std::vector<int32_t> samples;
  int frame_hdr_len = 32;       // frame header bytes (>= 32; the rest is filler)
  AltusSimHeaderValues values;  // more header fields

  // Damage, each off by default.
  long header_nscans = -1;    // announced scans (-1: the scans written)
  int header_nchannels = -1;  // announced nchannels (-1: nchannels)
  long header_duration = -1;  // announced frames (-1: the frames written)
  bool bad_sync = false;      // file tag starts with 'X'
  bool bad_header_sum = false;
  int bad_frame_sum = -1;     // frame (from 0) whose tag sum is off by one
  int frame_extra_bytes = 0;  // bytes of a partial scan added to the last frame's data
};

// The whole file; -1 as altussim_evt_header.
int altussim_evt_file(const AltusSimEvtPlan &plan, std::vector<uint8_t> *out);

// The file the repackaging benchmark reads: 18 channels (Mt Whitney layout), 200 samples/s,
// 5 minutes, 3-byte samples, one-second frames, big-endian.
int altussim_evt_bench_file(std::vector<uint8_t> *out);

// The event files of the altussim program: the k-th (from 0) of a datalogger of `model`
// ("MtWhitney" the 18-channel layout), 2 to 4 bytes a sample, the byte order alternating,
// an hour after the previous one; its path "A:\\EV<k+1, five digits>.EVT".
AltusSimEvtPlan altussim_event_plan(const std::string &model, int k);
std::string altussim_event_path(int k);
