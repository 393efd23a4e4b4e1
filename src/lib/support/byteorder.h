// byteorder.h - network byte order (most significant byte first) for wire and file
// fields, byte reversal, 24-bit items and float/double images.
//
// The array wrappers convert `count` items between a byte buffer with no alignment
// requirement and an array of the host type, through the matching member of the
// conversion family (support/convert.h), and return its result: 0, or -1 where that
// member reports (a NaN for the double forms, clipping for HI2NC/HI2NS, lost precision
// for HI2NF, a fraction, range or NaN for NF2HI). The caller's pointer is not advanced.
// Names beginning with H2N, UH2N or HI2N take (network destination, host source,
// count); those beginning with N2H, UN2H, NC2H, NS2H or NF2H take (host destination,
// network source, count).
//
// The pointer forms (htondp ... ntoh8p) and swap2/swap4/swap8 take the source first.
// Stateless and reentrant.
#pragma once

int H2N2(void *dst, const short *src, int count);
int H2N4(void *dst, const int *src, int count);
int H2N8(void *dst, const double *src, int count);
int N2H2(short *dst, const void *src, int count);
int N2H4(int *dst, const void *src, int count);
int N2H8(double *dst, const void *src, int count);
int UH2N2(void *dst, const unsigned short *src, int count);
int UH2N4(void *dst, const unsigned int *src, int count);
int UH2N8(void *dst, const unsigned long long *src, int count);
int UN2H2(unsigned short *dst, const void *src, int count);
int UN2H4(unsigned int *dst, const void *src, int count);
int UN2H8(unsigned long long *dst, const void *src, int count);

int H2NS(void *dst, const short *src, int count);
int H2NI(void *dst, const int *src, int count);
int H2NL(void *dst, const long long *src, int count);
int H2ND(void *dst, const double *src, int count);
int N2HS(short *dst, const void *src, int count);
int N2HI(int *dst, const void *src, int count);
int N2HL(long long *dst, const void *src, int count);
int N2HD(double *dst, const void *src, int count);
int UH2NS(void *dst, const unsigned short *src, int count);
int UH2NI(void *dst, const unsigned int *src, int count);
int UH2NL(void *dst, const unsigned long long *src, int count);
int UN2HS(unsigned short *dst, const void *src, int count);
int UN2HI(unsigned int *dst, const void *src, int count);
int UN2HL(unsigned long long *dst, const void *src, int count);

// int to 8-bit, 16-bit and IEEE single items, and back.
int HI2NC(void *dst, const int *src, int count);
int HI2NS(void *dst, const int *src, int count);
int HI2NF(void *dst, const int *src, int count);
int NC2HI(int *dst, const void *src, int count);
int NS2HI(int *dst, const void *src, int count);
int NF2HI(int *dst, const void *src, int count);

// Single values. htond/htonf return a value whose bytes in memory are the network
// image of the argument; ntohd/ntohf take such a value and return the host value.
double htond(double host);
double ntohd(double net);
float htonf(float host);
float ntohf(float net);
int htondp(const double *src, void *dst);
int ntohdp(const void *src, double *dst);
int htonfp(const float *src, void *dst);
int ntohfp(const void *src, float *dst);
int hton8p(const long long *src, void *dst);
int ntoh8p(const void *src, long long *dst);

// Byte reversal of count 2, 4 or 8-byte items; source and destination may be the same.
void swap2(const void *src, void *dst, int count);
void swap4(const void *src, void *dst, int count);
void swap8(const void *src, void *dst, int count);

// 3-byte network items: N32H4 sign-extends from bit 23; H42N3 writes the low 24 bits
// of each value without clipping.
void N32H4(int *dst, const void *src, int count);
void H42N3(void *dst, const int *src, int count);
// 4-byte network IEEE singles to doubles, and doubles rounded (to nearest; infinity
// beyond the single range) to 4-byte network singles. Nothing is reported.
void NF2HD(double *dst, const void *src, int count);
void HD2NF(void *dst, const double *src, int count);
