// q330_crc.h - the CRC-32 that guards every QDP datagram.
//
// Polynomial 0x56070368, most significant bit first, initial value 0, no reflection of
// input or output and no final exclusive-or. Table-driven, one lookup per byte: entry i
// of the 256-entry table is the register after shifting (i << 24) through 8 steps. The
// table is built once per process (thread-safe static initialisation); q330_crc builds it
// on its first call too, so calling q330_crc_init first is optional. Reentrant.
#pragma once

// Builds the table if it is not built yet; returns 0.
int q330_crc_init(void);

// The CRC-32 of `len` bytes at `buf` into *crc; returns 0. A `len` of 0 or less gives 0.
int q330_crc(const unsigned char *buf, int len, unsigned *crc);
