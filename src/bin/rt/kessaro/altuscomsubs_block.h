// altuscomsubs_block.h - Altus block mode: the packet codec (build, frame, read, unstuff,
// parse, checksums, code names), the payload records and their decoders, and the status
// texts of the datalogger's small binary codes.
//
// Packet on the wire (multi-byte fields most significant byte first):
//   offset  width        field
//   0       8-bit        typeCode   command code (sent) or response code (received)
//   1       8-bit        seqNo      transaction sequence, modulo 256
//   2       16-bit       source     1 in every command sent
//   4       16-bit       destination 0 in every command sent
//   6       16-bit       dataLength 0 to 2992
//   8       8-bit        headerChk  sum of bytes 0..7 modulo 256
//   9       dataLength   data
//   9+L     16-bit       dataChk    sum of the data bytes modulo 65536
// Frame: 0xC0, the packet with 0xC0 -> 0x5C 0xDD and 0x5C -> 0x5C 0xDC, 0xC0. Any run of
// 0xC0 is one delimiter; bytes before the first 0xC0 are noise.
//
// Ownership: every text result is newly allocated (malloc) and freed by the caller; the
// frame buffers passed in belong to the caller's transaction. Nothing here keeps state
// between calls and nothing takes a lock: the link thread that holds the connection is
// the only caller for its SerialBuf.
#pragma once

#include <cstdint>

#include "altusevtsubs.h"
#include "bytestream/serialbuf.h"

struct Modem;
struct AltusDatalogger;

constexpr int BLOCK_MAX_DATA = 2992;             // largest data field
constexpr int BLOCK_HEADER_SIZE = 9;             // bytes before the data
constexpr int BLOCK_MAX_PACKET = 2992 + 11;      // largest packet
constexpr int BLOCK_MAX_FRAME = 8192;            // read_packet limit of receive_block_packet
constexpr int BLOCK_MAX_STRDATA_BYTES = 2992;    // sample bytes of one stream packet
constexpr int BLOCK_MAX_STRDATA_SAMPLES = 2000;  // samples of one stream packet
// Channels of a datalogger (and channel entries of an event summary), and stream channels.
enum { ALTUS_MAXCHAN = 18, ALTUS_MAXSTREAM = 6 };

// Command codes.
enum {
  PKC_GETPARAMS = 1,
  PKC_SETPARAMS = 2,
  PKC_GETSTATUS = 3,
  PKC_GETDIR = 4,
  PKC_GETFILE = 5,
  PKC_DELETEFILE = 6,
  PKC_PING = 8,
  PKC_ACQSTART = 10,
  PKC_ACQSTOP = 11,
  PKC_OPENDIR = 12,
  PKC_CLOSEDIR = 13,
  PKC_OPENFILE = 14,
  PKC_CLOSEFILE = 15,
  PKC_RMDIR = 18,
  PKC_CHDIR = 20,
  PKC_FT = 21,
  PKC_GETDIRNAME = 22,
  PKC_RESETALARM = 23,
  PKC_TRIGGER = 24,
  PKC_DETRIGGER = 25,
  PKC_TIME = 26,
  PKC_GETEVENTSUMMARY = 27,
  PKC_PASSWORD = 28,
  PKC_EXTSTATUS = 30,
  PKC_STRCTRL = 32,
  PKC_STRSEND = 33,
};

// Response codes (type 9, an alarm, has no name).
enum {
  PKR_MSG = 0,
  PKR_ALARM = 9,
  PKR_ACK = 128,
  PKR_PARAMS = 129,
  PKR_STATUS = 131,
  PKR_DIR = 132,
  PKR_FILE = 133,
  PKR_EXTSTATUS = 134,
  PKR_PING = 136,
  PKR_STRNAK = 137,
  PKR_STRDATA = 138,
  PKR_STRRQDATA = 139,
  PKR_DIRNAME = 150,
  PKR_EVENTSUMMARY = 155,
};

// One parsed packet; the _comp fields are recomputed from the bytes received.
typedef struct AltusBlockPkt {
  uint8_t typeCode;
  uint8_t seqNo;
  uint16_t source;
  uint16_t destination;
  uint16_t dataLength;
  uint8_t headerChk;
  uint8_t headerChk_comp;
  unsigned char data[BLOCK_MAX_DATA];
  uint16_t dataChk;
  uint16_t dataChk_comp;
} AltusBlockPkt;

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

// ---- Payload records (decoded by get_block, freed by the caller) ----

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
  uint32_t code;
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

// ---- Codec ----

// CRC-16 lookup table, polynomial 0x1021, most significant bit first (low 16 bits used).
extern const uint32_t CRC_TABLE[256];

// Plain sum of the bytes.
int checksum(const unsigned char *buf, int len);
// CRC-16/XMODEM of the bytes: initial 0, no reflection, no final XOR.
uint16_t datacrc(const unsigned char *buf, int len);
// "PKC_..." / "PKR_..." names, or "PKC_unknown" / "UNKNOWN(0x%2.2x)". Caller frees.
char *cmd2str(int command);
char *code2str(int code);
// 1 when command is a command code of the table above.
int block_command_known(int command);

// Builds a command packet in the caller's reusable buffer (allocated or grown as
// needed): 0, or -1 for lendata outside 0..2992 (logged).
int make_block_command_packet(int command, const void *data, int lendata, unsigned char seqno,
                              int source, unsigned char **packet, int *nbytes, int *bufsize,
                              void *modem, void *dl);
// Frames one packet and writes it in pieces of at most 130 bytes: 0 or -1.
int send_block_command_packet(SerialBuf *sbuf, const unsigned char *packet, int nbytes);
// Reads one frame (delimiter flag_char, not stored) into the reusable buffer, at most
// maxsize bytes. After the closing delimiter the delimiter is put back into the SerialBuf
// so that a frame sharing it is read next. Results: 0 frame read, 1 end of input,
// 2 time-out, 5 stopped by the idle callback, 6 not connected, 8 busy text, other
// positive values passed up, -1 over-long frame or error. The link's time-out bounds each
// byte's wait and also the whole frame from its first byte: a frame (or the noise before
// it) still unfinished when it runs out is a time-out, however the bytes trickle in.
int read_packet(SerialBuf *handle, unsigned char flag_char, unsigned char **packet, int *nbytes,
                int *bufsize, int maxsize);
// Undoes the escapes of a frame in place; returns the unstuffed length.
int block_unstuff(unsigned char *frame, int nbytes);
// read_packet with 0xC0 and 8192, then the frame unstuffed in place. Results as
// read_packet.
int receive_block_packet(SerialBuf *handle, unsigned char **packet, int *nbytes, int *bufsize);
// Parses an unstuffed packet into *altuspkt (zeroed first): 0, or -1 with a complaint.
// The checksums are recomputed, not judged.
int decode_block_packet(const unsigned char *packet, int nbytes, AltusBlockPkt *altuspkt,
                        void *modem, void *dl);

// ---- Payload decoders: 0 or -1 (logged), the packet type checked first ----
int decode_block_status(const AltusBlockPkt *pkt, AltusBlockStatus *out);
int decode_block_extstatus(const AltusBlockPkt *pkt, AltusBlockEXTStatus *out);
int decode_block_eventsummary(const AltusBlockPkt *pkt, AltusBlockEventsummary *out);
int decode_block_direntry(const AltusBlockPkt *pkt, int index, AltusBlockDirentry *out);
int decode_block_strdata(const AltusBlockPkt *pkt, AltusBlockStrdata *out);
// The parameter header of a PKR_PARAMS reply (or of a PKC_SETPARAMS command), in the
// 18-channel layout when ismw is nonzero.
int decode_block_params(const AltusBlockPkt *pkt, AltusBlockParams *out, int ismw);
int decode_block_strnak(const AltusBlockPkt *pkt, AltusStrNak *out);

// ---- Status texts (each newly allocated; the caller frees) ----
char *altustime2str(int altustime);
char *altustriggerstatus2str(unsigned int status);
char *altusbatterystatus2str(unsigned int status);
char *altushardwarestatus2str(unsigned int status);
char *altusdrivestatus2str(unsigned int status);
char *altusclocksource2str(unsigned int status);
char *altusnak2str(unsigned int code);

// Parameter-file text ("<target_name> &Arr{ ... }") of the datalogger's transfer
// statistics and last status, built under stat.status_mutex. Newly allocated; the
// caller frees. None when out of memory.
char *status2pf(AltusDatalogger *dl);

// Debug dump of one packet, sent (cmd nonzero) or received, line by line through the
// links' log_callback with kind 6. 0.
int print_block(void *modem, void *dl, int cmd, const AltusBlockPkt *altuspkt);
// The hex/character lines of the data dump, each ending "\n" (16 bytes a line).
void block_hexdump_lines(const unsigned char *data, int n, void (*emit)(const char *, void *),
                         void *user);
