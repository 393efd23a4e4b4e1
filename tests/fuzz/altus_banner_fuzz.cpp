// Fuzzes the dial-in banner values: the input up to its first newline is the model text,
// the rest the serial text, as the banner lines deliver them. Accepted values must fit
// their fields: a model of at most 23 characters without its "Altus " prefix, and a serial
// number of digits alone that fits an int.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "altuscom_dial.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string in(reinterpret_cast<const char *>(data), size);
  size_t cut = in.find('\n');
  std::string model_text = in.substr(0, cut);
  std::string serial_text = cut == std::string::npos ? "" : in.substr(cut + 1);
  // The banner reader hands over terminated texts.
  model_text = model_text.c_str();
  serial_text = serial_text.c_str();
  char model[32];
  memset(model, 'x', sizeof model);
  int serial = -1;
  int rc =
      altuscom_banner_values(model_text.c_str(), serial_text.c_str(), model, sizeof model, &serial);
  if (rc != 0 && rc != -1) abort();
  if (rc == 0) {
    if (memchr(model, '\0', sizeof model) == nullptr || strlen(model) > 23) abort();
    if (model_text.size() > 23) abort();
    if (serial < 0 || serial_text.empty() || serial_text.size() > 15) abort();
    if (serial_text.find_first_not_of("0123456789") != std::string::npos) abort();
    if (std::to_string(serial) !=
        serial_text.substr(serial_text.find_first_not_of('0') == std::string::npos
                               ? serial_text.size() - 1
                               : serial_text.find_first_not_of('0')))
      abort();
  }
  return 0;
}
