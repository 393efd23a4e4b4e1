// altuscomsubs_payload.h - the payload records of Altus block mode, as get_block decodes
// them (it allocates them; the caller, or the stream handler that receives them, frees
// them), their wire layouts, and the channel and stream counts the records are sized by.
// Plain data: no functions, no locks.
#pragma once

#include <cstdint>

constexpr int BLOCK_MAX_STRDATA_SAMPLES = 2000;  // samples of one stream packet
// Channels of a datalogger (and channel entries of an event summary), and stream channels.
enum { ALTUS_MAXCHAN = 18, ALTUS_MAXSTREAM = 6 };

// The wire layouts of the payload records below, multi-byte fields big-endian:
// AltusBlockStatus, exactly 24 bytes:
//   0 systemTime u32 (s since 1980) | 4 serialNumber u16 | 6 events u16
//   8 recordingErrors u16 | 10 triggerStatus u16 | 12 batteryStatus u8
//   13 hardwareStatus u8 | 14 driveStatus 2 x u16 | 18 stnID 5 chars | 23 clockSource u8
// AltusBlockEXTStatus, exactly 12 bytes:
//   0 temperature s16 | 2 restartTime u32 | 6 fault u16 | 8 lastRAMError u32
// AltusBlockDirentry, 22 bytes each:
//   0 time u32 (s since 1980) | 4 size u32 | 8 ext 4 chars | 12 name 9 chars | 21 attr u8
// AltusBlockEventsummary: a 32-byte head, then 32 bytes per channel.
//   0 nchan s16 | 2 a2dBits s16 | 4 flags u16 | 6 sps u16 | 8 nscans u32
//   12 triggerTime u32 | 16 triggerTimeMsec u16 | 18 startTime u32 | 22 startTimeMsec u16
//   24 triggerBitMap u32 | 28 channelBitMap u32
//   channel: +0 maxPeak s32 | +4 maxPeakOffset u32 | +8 minPeak s32
//   +12 minPeakOffset u32 | +16 sensitivity f32 | +20 fullscale f32 | +24 gain u16
//   +26 id 5 chars | +31 unused
// AltusBlockStrdata (PKR_STRDATA / PKR_STRRQDATA):
//   0 serNo u16 | 2 stream u8 | 3 format (low 3 bits) | 4 dataSeq u32
//   8 time_altusepoch u32 | 12 time_msec u16 | 14 two unused bytes
//   16 .. L-4 samples | L-4 CRC u32 (CRC-16 of bytes 0 .. L-5)
//   Samples: a byte with its top bit clear starts a 2-byte word whose low 15 bits are a
//   two's-complement difference (sample = previous + 2 x difference); a set top bit
//   starts a 3-byte word whose low 23 bits are a two's-complement absolute value
//   (sample = 2 x value).
// AltusStrNak: code is payload byte 1; with more than 6 bytes, sequence is the u32 at 2
//   and stream the byte at 6.
// AltusStrSend (argument of PKC_STRSEND): u32 sequence, u8 stream, u8 type.

// PKR_STATUS: 24 bytes, same order on the wire (big-endian fields).
struct AltusBlockStatus {
  uint32_t systemTime;  // seconds since 1980-01-01
  uint16_t serialNumber;
  uint16_t events;
  uint16_t recordingErrors;
  uint16_t triggerStatus;
  uint8_t batteryStatus;
  uint8_t hardwareStatus;
  uint16_t driveStatus[2];
  char stnID[5];  // not terminated
  uint8_t clockSource;
};

// PKR_EXTSTATUS: 12 bytes.
struct AltusBlockEXTStatus {
  int16_t temperature;
  uint32_t restartTime;
  uint16_t fault;
  uint32_t lastRAMError;
};

// PKR_DIR: one 22-byte entry.
struct AltusBlockDirentry {
  uint32_t time;  // seconds since 1980-01-01
  uint32_t size;  // bytes
  char ext[4];    // three characters, terminated, trailing blanks removed
  char name[9];   // eight characters, terminated, trailing blanks removed
  uint8_t attr;   // 0x10: a directory
};

// One channel of an event summary (32 bytes on the wire).
struct AltusBlockEventsummaryChan {
  int32_t maxPeak;
  uint32_t maxPeakOffset;
  int32_t minPeak;
  uint32_t minPeakOffset;
  float sensitivity;
  float fullscale;
  uint16_t gain;
  char id[5];  // not terminated
};

// PKR_EVENTSUMMARY.
struct AltusBlockEventsummary {
  int16_t nchan;
  int16_t a2dBits;
  uint16_t flags;
  uint16_t sps;
  uint32_t nscans;
  uint32_t triggerTime;  // seconds since 1980-01-01
  uint16_t triggerTimeMsec;
  uint32_t startTime;  // seconds since 1980-01-01
  uint16_t startTimeMsec;
  uint32_t triggerBitMap;
  uint32_t channelBitMap;
  AltusBlockEventsummaryChan chan[ALTUS_MAXCHAN];
};

// PKR_STRDATA / PKR_STRRQDATA.
struct AltusBlockStrdata {
  uint16_t serNo;
  uint8_t stream;
  uint8_t format;
  uint32_t dataSeq;
  uint32_t time_altusepoch;  // seconds since 1980-01-01
  uint16_t time_msec;
  int32_t nsamp;
  int32_t data[BLOCK_MAX_STRDATA_SAMPLES];
  uint32_t dataChk;       // CRC received
  uint32_t dataChk_comp;  // CRC computed
};

// PKR_STRNAK.
struct AltusStrNak {
  uint32_t sequence;
  uint32_t stream;
  uint32_t code;  // AltusNakCode
};

// What a stream refusal says (AltusStrNak.code, as the datalogger sends it).
enum AltusNakCode : uint32_t {
  STRNAK_QUEUE_FULL = 0,  // its stream command queue is full
  STRNAK_ALREADY = 1,     // a control command found the stream started or stopped already
  STRNAK_DISABLED = 2,    // a block request while streaming is disabled
  STRNAK_EXPIRED = 3,     // a block request past its time limit: the data are lost
};

// Argument of PKC_STRSEND.
struct AltusStrSend {
  uint32_t sequence;
  uint32_t stream;
  uint32_t type;
};

// Kinds a stream handler receives.
enum { STRDATA_KIND_NAK = 9, STRDATA_KIND_DATA = 12, STRDATA_KIND_RQDATA = 13 };

// The stream handler a running stream puts in its SerialBuf's userdata: get_block hands
// it every stream record (AltusBlockStrdata, AltusStrNak), which the callee frees.
struct StrdataCallback {
  int (*callback)(void *record, int kind, void *user, int zero);
  void *user;  // the AltusDatalogger
};
