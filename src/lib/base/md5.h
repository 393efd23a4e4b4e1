// md5.h - the MD5 message digest (RFC 1321).
//
// MD5Init starts a digest, MD5Update feeds it bytes (any number of calls, any lengths,
// any alignment of the input), MD5Final writes the 16-byte digest and wipes the
// context. The caller owns the context, usually on its stack; a context has no lock, so
// one thread at a time works on it, while different contexts are independent.
// Used for the command signatures and the datalogger registration response; MD5 is not
// a defence against a deliberate collision, only a keyed check of the text.
#pragma once

#include <cstddef>
#include <cstdint>

struct MD5_CTX {
  uint32_t state[4];         // A, B, C, D
  uint64_t nbytes;           // bytes fed so far (the length is taken modulo 2^64 bits)
  unsigned char buffer[64];  // the partial block not yet processed
};

void MD5Init(MD5_CTX *ctx);
void MD5Update(MD5_CTX *ctx, const void *input, size_t len);
void MD5Final(unsigned char digest[16], MD5_CTX *ctx);
