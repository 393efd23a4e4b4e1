// altuscomsubs_block.h - Altus block mode: the packet codec (build, frame, read, unstuff,
// parse, checksums, code names), the payload decoders (the records are in
// altuscomsubs_payload.h), and the status texts of the datalogger's small binary codes.
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

#include "altuscomsubs_payload.h"
#include "altusevtsubs.h"
#include "bytestream/serialbuf.h"

struct Modem;
struct AltusDatalogger;

constexpr int BLOCK_MAX_DATA = 2992;           // largest data field
constexpr int BLOCK_HEADER_SIZE = 9;           // bytes before the data
constexpr int BLOCK_MAX_PACKET = 2992 + 11;    // largest packet
constexpr int BLOCK_MAX_FRAME = 8192;          // read_packet limit of receive_block_packet
constexpr int BLOCK_MAX_STRDATA_BYTES = 2992;  // sample bytes of one stream packet

// What the link's log callback (the SerialBuf's log_callback) is handed by the block layer,
// besides the byte stream's own SERIALBUF_LOG_READ (1) and SERIALBUF_LOG_WRITTEN (2).
enum AltusLogKind : int {
  ALTUSLOG_KIND_LOG = 3,        // a datalogger message
  ALTUSLOG_KIND_ALARM = 4,      // an alarm
  ALTUSLOG_KIND_LINE = 6,       // a packet dump or console line, passed as it is
  ALTUSLOG_KIND_BADSIZE = 7,    // a packet refused for its size (no text)
  ALTUSLOG_KIND_BADCHKSUM = 8,  // a packet refused for its checksum
};

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
// byte's wait. The noise before a frame, and the frame from its first byte, each have the
// link's time-out plus the time maxsize + 2 bytes take on the line (block_line_rate): a
// frame whose bytes come at the line's pace is read whatever its length up to maxsize,
// and one (or the noise) still unfinished past that bound is a time-out, however the bytes
// trickle in.
int read_packet(SerialBuf *handle, unsigned char flag_char, unsigned char **packet, int *nbytes,
                int *bufsize, int maxsize);
// The slowest pace, in bytes a second, that read_packet allows a line: a serial line
// without a modem carries baud / 10 (a start bit, 8 data bits, a stop bit). A modem's
// line may run slower than its port, and a TCP link may end on a slow line behind a
// terminal server or radio: those get BLOCK_FLOOR_RATE, the pace of a 1200-baud line,
// the slowest speed a serial line is set to.
constexpr double BLOCK_FLOOR_RATE = 120.0;
double block_line_rate(const SerialBuf *handle);
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
