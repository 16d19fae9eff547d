// The system error text from strerror_r, which is thread-safe where strerror
// is not. Deliberately not here: any translation of the text.
#include "drux_v2/system_error.h"

#include <string.h>

namespace drux {

std::string system_error_text(int errnum) {
  char buffer[256];
  // GNU strerror_r returns the description, in `buffer` or a static string.
  const char* description = strerror_r(errnum, buffer, sizeof buffer);
  return std::string(description) + " (os error " + std::to_string(errnum) + ")";
}

}  // namespace drux
