// response.cpp - instrument responses kept as the bytes of their files.
#include <cstdlib>
#include <new>
#include <string>

#include "science/science.h"

struct Response {
  std::string bytes;
};

int read_response(FILE *file, Response **response) {
  *response = nullptr;
  if (!file) return -1;
  std::string bytes;
  char chunk[8192];
  size_t n;
  while ((n = fread(chunk, 1, sizeof chunk, file)) > 0) {
    if (bytes.size() + n > RESPONSE_MAX_BYTES) return -1;
    bytes.append(chunk, n);
  }
  if (ferror(file)) return -1;
  Response *r = new (std::nothrow) Response;
  if (!r) return -1;
  r->bytes = std::move(bytes);
  *response = r;
  return 0;
}

void free_response(Response *response) { delete response; }

const char *response_bytes(const Response *response, size_t *size) {
  *size = response ? response->bytes.size() : 0;
  return response ? response->bytes.data() : "";
}
