// byteorder.cpp - network byte-order wrappers over the conversion family, byte
// reversal and the 24-bit and float/double functions.
#include "support/byteorder.h"

#include <cstring>

#include "support/convert.h"

namespace {

// A local cursor over the caller's buffer; readers never write through it.
char *cursor(const void *p) { return const_cast<char *>(static_cast<const char *>(p)); }

template <class H>
using Reader = int (*)(char **, H *, int);
template <class H>
using Writer = int (*)(const H *, char **, int);

template <class H>
int to_net(Writer<H> member, void *dst, const H *src, int count) {
  char *c = cursor(dst);
  return member(src, &c, count);
}
template <class H>
int to_host(Reader<H> member, H *dst, const void *src, int count) {
  char *c = cursor(src);
  return member(&c, dst, count);
}

template <int N>
void swap_items(const void *src, void *dst, int count) {
  auto *s = static_cast<const unsigned char *>(src);
  auto *d = static_cast<unsigned char *>(dst);
  for (int k = 0; k < count; ++k) {
    unsigned char item[N];
    std::memcpy(item, s + k * N, N);
    for (int j = 0; j < N; ++j) d[k * N + j] = item[N - 1 - j];
  }
}

}  // namespace

int H2N2(void *dst, const short *src, int count) { return to_net<short>(hs2ms, dst, src, count); }
int H2N4(void *dst, const int *src, int count) { return to_net<int>(hi2mi, dst, src, count); }
int H2N8(void *dst, const double *src, int count) { return to_net<double>(hd2md, dst, src, count); }
int N2H2(short *dst, const void *src, int count) { return to_host<short>(ms2hs, dst, src, count); }
int N2H4(int *dst, const void *src, int count) { return to_host<int>(mi2hi, dst, src, count); }
int N2H8(double *dst, const void *src, int count) {
  return to_host<double>(md2hd, dst, src, count);
}
int UH2N2(void *dst, const unsigned short *src, int count) {
  return to_net<unsigned short>(uhs2ms, dst, src, count);
}
int UH2N4(void *dst, const unsigned int *src, int count) {
  return to_net<unsigned int>(uhi2mi, dst, src, count);
}
int UH2N8(void *dst, const unsigned long long *src, int count) {
  return to_net<unsigned long long>(uhl2ml, dst, src, count);
}
int UN2H2(unsigned short *dst, const void *src, int count) {
  return to_host<unsigned short>(ums2hs, dst, src, count);
}
int UN2H4(unsigned int *dst, const void *src, int count) {
  return to_host<unsigned int>(umi2hi, dst, src, count);
}
int UN2H8(unsigned long long *dst, const void *src, int count) {
  return to_host<unsigned long long>(uml2hl, dst, src, count);
}

int H2NS(void *dst, const short *src, int count) { return to_net<short>(hs2ms, dst, src, count); }
int H2NI(void *dst, const int *src, int count) { return to_net<int>(hi2mi, dst, src, count); }
int H2NL(void *dst, const long long *src, int count) {
  return to_net<long long>(hl2ml, dst, src, count);
}
int H2ND(void *dst, const double *src, int count) { return to_net<double>(hd2md, dst, src, count); }
int N2HS(short *dst, const void *src, int count) { return to_host<short>(ms2hs, dst, src, count); }
int N2HI(int *dst, const void *src, int count) { return to_host<int>(mi2hi, dst, src, count); }
int N2HL(long long *dst, const void *src, int count) {
  return to_host<long long>(ml2hl, dst, src, count);
}
int N2HD(double *dst, const void *src, int count) {
  return to_host<double>(md2hd, dst, src, count);
}
int UH2NS(void *dst, const unsigned short *src, int count) {
  return to_net<unsigned short>(uhs2ms, dst, src, count);
}
int UH2NI(void *dst, const unsigned int *src, int count) {
  return to_net<unsigned int>(uhi2mi, dst, src, count);
}
int UH2NL(void *dst, const unsigned long long *src, int count) {
  return to_net<unsigned long long>(uhl2ml, dst, src, count);
}
int UN2HS(unsigned short *dst, const void *src, int count) {
  return to_host<unsigned short>(ums2hs, dst, src, count);
}
int UN2HI(unsigned int *dst, const void *src, int count) {
  return to_host<unsigned int>(umi2hi, dst, src, count);
}
int UN2HL(unsigned long long *dst, const void *src, int count) {
  return to_host<unsigned long long>(uml2hl, dst, src, count);
}

int HI2NC(void *dst, const int *src, int count) { return to_net<int>(hi2mb, dst, src, count); }
int HI2NS(void *dst, const int *src, int count) { return to_net<int>(hi2ms, dst, src, count); }
int HI2NF(void *dst, const int *src, int count) { return to_net<int>(hi2mf, dst, src, count); }
int NC2HI(int *dst, const void *src, int count) { return to_host<int>(mb2hi, dst, src, count); }
int NS2HI(int *dst, const void *src, int count) { return to_host<int>(ms2hi, dst, src, count); }
int NF2HI(int *dst, const void *src, int count) { return to_host<int>(mf2hi, dst, src, count); }

// The value forms carry the network image in a byte buffer and only copy it into the
// returned float or double at the end.
double htond(double host) {
  unsigned char image[8];
  htondp(&host, image);
  double net;
  std::memcpy(&net, image, sizeof net);
  return net;
}
double ntohd(double net) {
  unsigned char image[8];
  std::memcpy(image, &net, sizeof image);
  double host;
  ntohdp(image, &host);
  return host;
}
float htonf(float host) {
  unsigned char image[4];
  htonfp(&host, image);
  float net;
  std::memcpy(&net, image, sizeof net);
  return net;
}
float ntohf(float net) {
  unsigned char image[4];
  std::memcpy(image, &net, sizeof image);
  float host;
  ntohfp(image, &host);
  return host;
}

int htondp(const double *src, void *dst) { return to_net<double>(hd2md, dst, src, 1); }
int ntohdp(const void *src, double *dst) { return to_host<double>(md2hd, dst, src, 1); }
int htonfp(const float *src, void *dst) { return to_net<float>(hf2mf, dst, src, 1); }
int ntohfp(const void *src, float *dst) { return to_host<float>(mf2hf, dst, src, 1); }
int hton8p(const long long *src, void *dst) { return to_net<long long>(hl2ml, dst, src, 1); }
int ntoh8p(const void *src, long long *dst) { return to_host<long long>(ml2hl, dst, src, 1); }

void swap2(const void *src, void *dst, int count) { swap_items<2>(src, dst, count); }
void swap4(const void *src, void *dst, int count) { swap_items<4>(src, dst, count); }
void swap8(const void *src, void *dst, int count) { swap_items<8>(src, dst, count); }

void N32H4(int *dst, const void *src, int count) { to_host<int>(mt2hi, dst, src, count); }

void H42N3(void *dst, const int *src, int count) {
  auto *d = static_cast<unsigned char *>(dst);
  for (int k = 0; k < count; ++k) {
    auto u = (unsigned int)src[k];
    d[3 * k] = (unsigned char)(u >> 16);
    d[3 * k + 1] = (unsigned char)(u >> 8);
    d[3 * k + 2] = (unsigned char)u;
  }
}

void NF2HD(double *dst, const void *src, int count) { to_host<double>(mf2hd, dst, src, count); }
void HD2NF(void *dst, const double *src, int count) { to_net<double>(hd2mf, dst, src, count); }
