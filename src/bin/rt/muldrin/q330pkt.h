// q330pkt.h - the data blockettes of a Q330 DT_DATA payload: channel-code classes, the
// decoded record of every blockette form, their decoders, and the reader of compressed
// sample frames.
//
// A DT_DATA payload is a 32-bit data record sequence number followed by blockettes, each
// opening with a one-byte channel code c. Its class is c & 0xE0 below 0x80, else c & 0xF8,
// and the class picks the layout (q330_blockette_layout). All wire fields are big-endian
// and unsigned unless marked signed; a decoded record holds them in host order.
//
// Fixed layouts (offset: field width):
//   1   4 bytes   0 channel 8; 1 par1 8; 2 par2 8; 3 par3 8
//   2   4 bytes   0 channel 8; 1 par1 8; 2 par2 16
//   3   8 bytes   0 channel 8; 1 par1 8; 2 par2 16; 4 par3 16; 6 par4 16
//   4   8 bytes   0 channel 8; 1 par1 8; 2 par2 16; 4 par3 32
//   5  12 bytes   0 channel 8; 1 par1 8; 2 par2 16; 4 par3 32; 8 par4 32
//   8  28 bytes   0 channel 8; 1 spare1 8; 2 waveform 16; 4 amplitude 16; 6 duration 16;
//                 8 calibration_bitmap 16; 10 monitor_bitmap 16; 12 frequency_divider 16;
//                 14 spare2 16; 16 coupling_bytes 12 raw bytes
//   9   8 bytes   0 channel 8; 1 spare1 8; 2 calibration_bitmap 16; 4 monitor_bitmap 16;
//                 6 spare2 16
//   A   8 + data  0 channel 8; 1 blockette_flags 8; 2 blockette_size 16; 4 port_number 8;
//                 5 unit_id 8; 6 status 8; 7 message_type 8; 8 data (blockette_size - 8)
//   B   4 + data  0 channel 8; 1 structure_type 8; 2 blockette_size 16;
//                 4 data (blockette_size - 4)
//   EP1 8 bytes   0 channel 8 (0xFC-0xFF); 1 epchannel 8; 2 blockette_size 16;
//                 4 data signed 32
// Layouts A and B skip their data rounded up to whole 4-byte words; they hold at most
// Q330_BLK_DATA_MAX data bytes. EP1 steps by its blockette_size & 0x3FF when that is
// above 8, so that every environmental code keeps the walk in step.
//
// Compressed layouts:
//   6 / EP2   0 channel 8 (EP2: 0xFC); 1 frequency 8 (EP2: epchannel); 2 blockette_size
//             16 (bits 0-9 the length); 4 previous_sample signed 32; 8 data offset 16;
//             10 code map up to the data offset; data words from the data offset to the
//             length. size_of_data = length - data offset; size_of_cmap is derived from
//             it (4 map bytes per 64 data bytes, rounded up), never read from the wire.
//   7         0 channel 8; 1 frequency 8 (bits 0-2 stream, 3-7 segment number);
//             2 blockette_size 16 (bit 15 last segment, bits 0-9 length);
//             4 segment payload, length - 4 raw bytes
// The decoders put the map (zero-filled to size_of_cmap) and the data words, both in wire
// order, into the caller's word pool, or into a malloc'ed buffer the caller frees when no
// pool is given.
//
// Every decoder reads at most `nbytes` bytes at *udppkt and refuses (-1, cursor left where
// it was, nothing copied) a blockette shorter than its fixed header or whose size fields
// claim more than remains. Stateless: callers own the records and buffers.
#pragma once

#include <cstdint>

// Most data bytes a layout A or B record holds (the largest data payload).
inline constexpr int Q330_BLK_DATA_MAX = 720;
// Most data bytes a block of compressed data may hold: the 1000-word pool.
inline constexpr int Q330_FRAME_DATA_MAX = 4000;

struct Q330DATABLK1Pkt {
  uint8_t channel;
  uint8_t par1;
  uint8_t par2;
  uint8_t par3;
};

struct Q330DATABLK2Pkt {
  uint8_t channel;
  uint8_t par1;
  uint16_t par2;
};

struct Q330DATABLK3Pkt {
  uint8_t channel;
  uint8_t par1;
  uint16_t par2;
  uint16_t par3;
  uint16_t par4;
};

struct Q330DATABLK4Pkt {
  uint8_t channel;
  uint8_t par1;
  uint16_t par2;
  uint32_t par3;
};

struct Q330DATABLK5Pkt {
  uint8_t channel;
  uint8_t par1;
  uint16_t par2;
  uint32_t par3;
  uint32_t par4;
};

struct Q330DATABLK6Pkt {
  uint8_t channel;
  uint8_t frequency;
  uint16_t blockette_size;
  int32_t previous_sample;
  uint16_t size_of_cmap;
  uint16_t size_of_data;
  unsigned int *data;  // size_of_cmap map bytes, then size_of_data data bytes
};

struct Q330DATABLK7Pkt {
  uint8_t channel;
  uint8_t frequency;
  uint16_t blockette_size;
  uint16_t size_of_data;
  unsigned int *data;  // the segment payload, size_of_data bytes
};

struct Q330DATABLK8Pkt {
  uint8_t channel;
  uint8_t spare1;
  uint16_t waveform;
  uint16_t amplitude;
  uint16_t duration;
  uint16_t calibration_bitmap;
  uint16_t monitor_bitmap;
  uint16_t frequency_divider;
  uint16_t spare2;
  uint8_t coupling_bytes[12];
};

struct Q330DATABLK9Pkt {
  uint8_t channel;
  uint8_t spare1;
  uint16_t calibration_bitmap;
  uint16_t monitor_bitmap;
  uint16_t spare2;
};

struct Q330DATABLKAPkt {
  uint8_t channel;
  uint8_t blockette_flags;
  uint16_t blockette_size;
  uint8_t port_number;
  uint8_t unit_id;
  uint8_t status;
  uint8_t message_type;
  uint8_t data[Q330_BLK_DATA_MAX];
};

struct Q330DATABLKBPkt {
  uint8_t channel;
  uint8_t structure_type;
  uint16_t blockette_size;
  uint8_t data[Q330_BLK_DATA_MAX];
};

struct Q330DATABLKEP1Pkt {
  uint8_t channel;
  uint8_t epchannel;
  uint16_t blockette_size;
  int32_t data;
};

struct Q330DATABLKEP2Pkt {
  uint8_t channel;
  uint8_t epchannel;
  uint16_t blockette_size;
  int32_t previous_sample;
  uint16_t size_of_cmap;
  uint16_t size_of_data;
  unsigned int *data;  // as in Q330DATABLK6Pkt
};

// Layout of a channel code: 1 to 9, 0xA, 0xB for those layouts, 0xC for the environmental
// codes 0xFC to 0xFF (read as EP1, and 0xFC again as EP2 when its blockette_size is 9 or
// more).
int q330_blockette_layout(unsigned int code);

// Fixed layouts: read one blockette of the `nbytes` at *udppkt into vpkt and move *udppkt
// past it. 0, or -1 when the blockette does not fit in nbytes (or claims more data than
// the record holds).
int q330_decode_DATABLK1(void *vpkt, unsigned char **udppkt, int nbytes);
int q330_decode_DATABLK2(void *vpkt, unsigned char **udppkt, int nbytes);
int q330_decode_DATABLK3(void *vpkt, unsigned char **udppkt, int nbytes);
int q330_decode_DATABLK4(void *vpkt, unsigned char **udppkt, int nbytes);
int q330_decode_DATABLK5(void *vpkt, unsigned char **udppkt, int nbytes);
int q330_decode_DATABLK8(void *vpkt, unsigned char **udppkt, int nbytes);
int q330_decode_DATABLK9(void *vpkt, unsigned char **udppkt, int nbytes);
int q330_decode_DATABLKA(void *vpkt, unsigned char **udppkt, int nbytes);
int q330_decode_DATABLKB(void *vpkt, unsigned char **udppkt, int nbytes);
int q330_decode_DATABLKEP1(void *vpkt, unsigned char **udppkt, int nbytes);

// Compressed layouts, with the word pool *data of *data_size_int free words (no pool when
// *data is null). On success the record's data points into the pool, whose pointer and
// free count move on by the words taken. -1 with a complaint for a pool too small or a
// failed allocation; -1 without one for a blockette whose sizes or data offset are not
// consistent. Nothing is copied and nothing moves on failure.
int q330_decode_DATABLK6(void *vpkt, unsigned char **udppkt, int nbytes, unsigned int **data,
                         int *data_size_int);
int q330_decode_DATABLK7(void *vpkt, unsigned char **udppkt, int nbytes, unsigned int **data,
                         int *data_size_int);
int q330_decode_DATABLKEP2(void *vpkt, unsigned char **udppkt, int nbytes, unsigned int **data,
                           int *data_size_int);

// Map bytes of a block of size_of_data data bytes (4 per 64 data bytes, rounded up).
int q330_cmap_size(int size_of_data);
// The number of samples in the code map and data words at dblkdata (size_of_cmap map
// bytes, then size_of_data data bytes, in wire order). -1 when size_of_data is above
// Q330_FRAME_DATA_MAX or the map holds fewer codes than there are data words.
int q330_nsamps(uint16_t size_of_data, uint16_t size_of_cmap, const unsigned int *dblkdata);

// Writes the sample differences of the block to data[0] onward and returns their number,
// or -1 as q330_nsamps. Nothing is written past the count q330_nsamps gives, which is at
// most 7 per data word (size_of_data / 4 words). The differences are not integrated.
int q330_convert_frame(uint16_t size_of_data, uint16_t size_of_cmap, const unsigned int *dblkdata,
                       int *data);
