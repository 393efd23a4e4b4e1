// altusevtsubs.h - the Altus header and event-file codec, and the datalogger parameter
// block built on it.
//
// An Altus datalogger describes itself and each recording with one fixed-layout header
// (`AltusEvtFile`, named `AltusBlockParams` where it travels as datalogger parameters).
// An event file (.evt) is a 16-byte tag, the header, then `duration` frames, each a tag, a
// 32-byte frame header and whole scans of multiplexed samples. Every multi-byte field is
// big-endian when the governing flag `evt_bigendian` is non-zero and little-endian
// otherwise: in a file the flag is the `byteOrder` byte of the tag ahead of the item; in
// block mode it is always 1. Records are converted field by field through the cursor
// functions below, never by laying a record over the bytes.
//
// Tag (16 bytes):
//   0 u8 sync 'K' | 1 u8 byteOrder | 2 u8 version | 3 u8 instrumentType | 4 u32 type
//   8 u16 length | 10 u16 dataLength | 12 u16 id | 14 u16 checksum
// Header: 8-byte prefix (0 "KMI", 3 u8 instrumentCode, 4 u16 headerVersion, 6 u16
// headerBytes), then nine parts at these offsets (12-channel / 18-channel layout):
//   ro_misc 8/8 (48)   ro_timing 56/56 (68)   ro_channel 124/124 (36 per channel)
//   ro_stream 556/772 (32)   rw_misc 588/804 (92)   rw_timing 680/896 (32)
//   rw_channel 712/928 (76 per channel)   rw_stream 1624/2296 (48 + 4 per voter entry)
//   rw_modem 1732/2428 (308)   total 2040/2736
// The field tables of each part sit beside the decoder in altusevtsubs.cpp.
// Frame header (32 bytes):
//   0 u8 frameType | 1 u8 instrumentCode | 2 u16 recorderID | 4 u16 frameSize
//   6 u32 blockTime | 10 u16 channelBitMap | 12 u16 streamPar | 14 u8 frameStatus
//   15 u8 frameStatus2 | 16 u16 msec | 18 u8 channelBitMap1 | 19 13 bytes timeCode (as is)
//
// Readers take either a stream (`file`, one read of the whole item into a 4096-byte buffer
// local to the call; larger items are refused) or, when `file` is none, the memory cursor
// `*buf_ptr` with the end of its buffer `buf_end`. The cursor is moved past the item before
// the item is examined, so a reader that fails still leaves it behind the item, but never
// beyond `buf_end`; an item that would run past `buf_end` is refused.
//
// Failures are registered with elog_log (message beginning with the function's name) and
// give -1. No state outside the arguments: every function may run in several threads at
// once on different buffers.
#pragma once

#include <cstdint>
#include <cstdio>

struct Pf;
// The datalogger record of the program (kessaro.h, which includes this header);
// params2pf does not read it.
struct AltusDatalogger;

enum {
  ALTUS_EVTTAG_SIZE = 16,
  ALTUS_FRAMEHDR_SIZE = 32,
  ALTUS_HDR_PREFIX_SIZE = 8,
  ALTUS_HDR_SIZE = 2040,     // 12-channel layout
  ALTUS_HDR_SIZE_MW = 2736,  // 18-channel layout (Mt Whitney)
  ALTUS_NCHAN = 12,
  ALTUS_NCHAN_MW = 18,
  ALTUS_NVOTER = 15,
  ALTUS_NVOTER_MW = 21,
  ALTUS_CHECKSUM_CAP = 2992,  // bytes that count in a byte sum
  ALTUS_STREAM_ITEM_MAX = 4096,
  ALTUS_PARSEPARAMS_ERROR_SIZE = 64,  // room evt_parseparams needs in `error`
};

// Altus time is seconds since 1980-01-01 00:00:00 UTC.
#define ALTUS_EPOCH_OFFSET 315532800.0

struct AltusEvtTag {
  uint8_t sync;
  uint8_t byteOrder;
  uint8_t version;
  uint8_t instrumentType;
  uint32_t type;
  uint16_t length;
  uint16_t dataLength;
  uint16_t id;
  uint16_t checksum;
};

struct misc_ro_params_ {
  uint8_t a2dBits;
  uint8_t sampleBytes;
  uint8_t restartSource;
  uint8_t bytePad[3];
  uint16_t installedChan;
  uint16_t maxChannels;
  uint16_t sysBlkVersion;
  uint16_t bootBlkVersion;
  uint16_t appBlkVersion;
  uint16_t dspBlkVersion;
  int16_t batteryVoltage;
  uint16_t crc;
  uint16_t flags;
  int16_t temperature;
  uint8_t bytepad[22];
};

struct timing_ro_params_ {
  uint8_t clockSource;
  uint8_t gpsStatus;
  uint8_t gpsSOH;
  uint8_t bytePad[5];
  uint16_t gpsLockFailCount;
  uint16_t gpsUpdateRTCCount;
  int16_t acqDelay;
  int16_t gpsLatitude;
  int16_t gpsLongitude;
  int16_t gpsAltitude;
  uint16_t dacCount;
  uint8_t wordpad[2];
  int16_t gpsLastDrift[2];
  uint32_t gpsLastTurnOnTime[2];
  uint32_t gpsLastUpdateTime[2];
  uint32_t gpsLastLockTime[2];
  uint8_t dwordpad[16];
};

struct channel_ro_params_ {
  int32_t maxPeak;
  uint32_t maxPeakOffset;
  int32_t minPeak;
  uint32_t minPeakOffset;
  int32_t mean;
  int32_t aqOffset;
  uint8_t bytepad[12];
};

struct stream_ro_params_ {
  uint32_t startTime;
  uint32_t triggerTime;
  uint32_t duration;
  uint16_t errors;
  uint16_t flags;
  uint16_t startTimeMsec;
  uint16_t triggerTimeMsec;
  uint32_t nscans;
  uint32_t triggerBitMap;
  uint8_t pad[4];
};

struct misc_rw_params_ {
  uint16_t serialNumber;
  uint16_t nchannels;
  char stnID[6];
  char comment[34];
  int16_t elevation;
  float latitude;
  float longitude;
  int16_t userCodes[4];
  uint8_t cutlerCode;
  uint8_t minBatteryVoltage;
  uint8_t cutler_decimation;
  uint8_t cutler_irig_type;
  uint32_t cutler_bitmap;
  uint32_t channel_bitmap;
  uint8_t cutler_protocol;
  char siteID[18];
  uint8_t externalTrigger;
  uint8_t networkFlag;
};

struct timing_rw_params_ {
  uint8_t gpsTurnOnInterval;
  uint8_t gpsMaxTurnOnTime;
  uint8_t bytepad[6];
  int16_t localOffset;
  uint8_t bytepada[22];
};

struct channel_rw_params_ {
  char id[6];
  uint8_t bytepad;
  uint16_t sensorSerialNumberExt;
  int16_t north;
  int16_t east;
  int16_t up;
  int16_t altitude;
  int16_t azimuth;
  uint16_t sensorType;
  uint16_t sensorSerialNumber;
  uint16_t gain;
  uint8_t triggerType;
  uint8_t iirTriggerFilter;
  uint8_t StaSeconds;
  uint8_t LtaSeconds;
  uint16_t StaLtaRatio;
  uint8_t StaLtaPercent;
  uint8_t bytepada;
  float fullscale;
  float sensitivity;
  float damping;
  float naturalFrequency;
  float triggerThreshold;
  float detriggerThreshold;
  float alarmTriggerThreshold;
  uint8_t bytepad2[16];
};

struct voter_info_ {
  uint8_t type;
  uint8_t number;
  int16_t weight;
};

struct stream_rw_params_ {
  uint8_t filterFlag;
  uint8_t primaryStorage;
  uint8_t secondaryStorage;
  uint8_t bytepad[3];
  uint16_t CheckinTime;
  uint16_t eventNumber;
  uint16_t sps;
  uint16_t apw;
  uint16_t preEvent;
  uint16_t postEvent;
  uint16_t minRunTime;
  int16_t VotesToTrigger;
  int16_t VotesToDetrigger;
  uint8_t bytepada;
  uint8_t FilterType;
  uint8_t DataFmt;
  uint8_t Reserved;
  int16_t Timeout;
  uint16_t TxBlkSize;
  uint16_t BufferSize;
  uint16_t SampleRate;
  uint32_t TxChanMap;
  uint8_t dwordpad[8];
  voter_info_ voterInfo[ALTUS_NVOTER_MW];
};

struct modem_rw_params_ {
  char initCmd[65];
  char dialingPrefix[17];
  char dialingSuffix[17];
  char hangupCmd[17];
  char autoAnswerOnCmd[17];
  char autoAnswerOffCmd[17];
  char phoneNumber[4][25];
  uint8_t waitForConnection;
  uint8_t pauseBetweenCalls;
  uint8_t maxDialAttempts;
  uint8_t cellShare;
  uint8_t cellOnTime;
  uint8_t cellWarmupTime;
  int16_t cellStartTime[5];
  uint8_t bytepad0;
  uint8_t complete_call;
  uint8_t bytepad[2];
  uint16_t flags;
  char calloutMsg[47];
};

// The Altus header. Plain data: callers allocate and copy it whole. In the 12-channel
// layout channel slots 12-17 and voter slots 15-20 are neither read nor written.
struct AltusEvtFile {
  char id[4];
  uint8_t instrumentCode;
  uint16_t headerVersion;
  uint16_t headerBytes;
  misc_ro_params_ ro_misc;
  timing_ro_params_ ro_timing;
  channel_ro_params_ ro_channel[ALTUS_NCHAN_MW];
  stream_ro_params_ ro_stream;
  misc_rw_params_ rw_misc;
  timing_rw_params_ rw_timing;
  channel_rw_params_ rw_channel[ALTUS_NCHAN_MW];
  stream_rw_params_ rw_stream;
  modem_rw_params_ rw_modem;
};
using AltusBlockParams = AltusEvtFile;

struct AltusEvtFrame {
  uint8_t frameType;
  uint8_t instrumentCode;
  uint16_t recorderID;
  uint16_t frameSize;
  uint32_t blockTime;
  uint16_t channelBitMap;
  uint16_t streamPar;
  uint8_t frameStatus;
  uint8_t frameStatus2;
  uint16_t msec;
  uint8_t channelBitMap1;
  uint8_t timeCode[13];
};

// Header size (2040 or 2736), channel records (12 or 18) and voter entries (15 or 21) of
// the layout chosen by `ismw`.
int altus_hdr_size(int ismw);
int altus_hdr_nchan(int ismw);
int altus_hdr_nvoter(int ismw);

// 1 when the two headers are equal field for field in the layout chosen by `ismw`, else 0.
// Their encodings are compared, never the records' memory, so padding, reserved members
// and unused channel and voter slots do not count.
int evt_samealtusheader(const AltusEvtFile *a, const AltusEvtFile *b, int ismw);

// Reads a 16-byte tag; requires sync 'K'. `evt_bigendian` receives byteOrder as stored,
// `size` length, `datasize` dataLength and `chk` checksum.
int evt_readtag(FILE *file, unsigned char **buf_ptr, const unsigned char *buf_end, AltusEvtTag *tag,
                int *evt_bigendian, int *size, int *datasize, unsigned short *chk);
// Reads `expected_size` header bytes, sets `computed_checksum` to their byte sum, requires
// "KMI", headerBytes equal to `expected_size` and `expected_size` equal to the size of the
// layout chosen by `ismw`, decodes the header and sets `nframes` to its duration. The sum
// is not compared with any tag: callers do.
int evt_readaltusfilehdr(FILE *file, unsigned char **buf_ptr, const unsigned char *buf_end,
                         AltusEvtFile *fhdr, int expected_size, int evt_bigendian, int ismw,
                         unsigned short *computed_checksum, int *nframes);
// Decodes the nine parts from `buf_ptr`, just behind the prefix; the caller guarantees
// altus_hdr_size(ismw) - 8 bytes there. Returns 0.
int evt_decodealtusheader(unsigned char *buf_ptr, AltusEvtFile *hdr, int evt_bigendian, int ismw);
// Writes the prefix as stored in the record (headerBytes is not computed) and the nine
// parts into `buffer` (altus_hdr_size(ismw) bytes). Returns 0.
int evt_encodealtusfilehdr(const AltusEvtFile *fhdr, unsigned char *buffer, int evt_bigendian,
                           int ismw);
// The inverse of evt_decodealtusheader: reserved bytes are written as zero, modem byte 256
// as stored. Returns 0.
int evt_encodealtusheader(unsigned char *buf_ptr, const AltusEvtFile *hdr, int evt_bigendian,
                          int ismw);
// Reads `expected_size` (32 to 4096 over a stream, at least 32 from memory) frame-header
// bytes, sets `computed_checksum` to their byte sum and decodes the first 32.
int evt_readframehdr(FILE *file, unsigned char **buf_ptr, const unsigned char *buf_end,
                     AltusEvtFrame *fhdr, int expected_size, int evt_bigendian,
                     unsigned short *computed_checksum);
// Reads the `duration` frames that follow the file header into the sample matrix
// `*dataout` (allocated or grown as needed, `*dataout_size` its size in bytes; it stays
// with the caller also on failure). `nchans` receives the header's nchannels and `nsamps`
// the scans the frames filled (at most nscans); the sample of scan s of channel c is
// element c x *nsamps + s. Refused: frame sums that differ from the tag, data that do not
// end on a whole scan, more scans than nscans, frame data with nchannels 0 or above the
// layout's channel count (18 when headerBytes is 2736, else 12).
int evt_demuxdata(FILE *file, unsigned char **buf_ptr, const unsigned char *buf_end,
                  const AltusEvtFile *fhdr, int *nsamps, int *nchans, int **dataout,
                  int *dataout_size);
// The 16-bit sum of the first min(size, 2992) bytes; 0 for size <= 0.
int evt_checksum(const unsigned char *ptr, int size);
int altustime2epoch(int altustime, double *epoch);
// Removes trailing blanks (0x20 only) in place. Returns 0.
int trimblanks(char *string);

// Cursor functions: each moves one field between the host value and the cursor, advances
// the cursor by the bytes moved and returns 0. The 4-byte forms also carry float32 bit
// patterns. ev2hs zeroes size + 1 bytes of the field, copies size bytes and trims trailing
// blanks; h2evs copies exactly size bytes of the field.
int ev2h1(void *h_ptr, unsigned char **evt_ptr);
int h2ev1(unsigned char **evt_ptr, const void *h_ptr);
int ev2h2(void *h_ptr, unsigned char **evt_ptr, int evt_bigendian);
int h2ev2(unsigned char **evt_ptr, const void *h_ptr, int evt_bigendian);
int ev2h4(void *h_ptr, unsigned char **evt_ptr, int evt_bigendian);
int h2ev4(unsigned char **evt_ptr, const void *h_ptr, int evt_bigendian);
int ev2hs(char *h_ptr, unsigned char **evt_ptr, int size);
int h2evs(unsigned char **evt_ptr, const char *h_ptr, int size);
int zeromem(unsigned char **ptr, int nbytes);

// Validates a whole event file in memory: the tags, the header and its sum, and every
// frame (sizes within the buffer, sums, and the demultiplexer's checks), so that a file it
// passes always demultiplexes. 0 good; -1 bad with the reason registered (elog_log).
int check_evt_file(unsigned char *fbuf, int nbytes, int ismw);

// Overlays the array "params" of `params` on `hdr` in place (element counts by `ismw`).
// 0, or -1 with a short text in `error` (at least ALTUS_PARSEPARAMS_ERROR_SIZE bytes; set
// empty first) and the reason registered; keys applied before a failing one stay applied.
int evt_parseparams(AltusEvtFile *hdr, int ismw, Pf *params, char *error);
// The header as parameter-file text, a new text the caller frees (free()). The layout is
// taken from headerBytes (2736: 18 channels and 21 voter entries); channel lists hold
// maxChannels entries, at most the layout's channel count. `dl` is not read.
char *params2pf(AltusDatalogger *dl, const AltusBlockParams *altusparams, int extended);
