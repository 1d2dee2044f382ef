#include "storage/sql.h"

namespace bw {

std::string SqlQuote(std::string_view value) {
  std::string out;
  out.reserve(value.size() + 2);
  out += '\'';
  for (char c : value) {
    // A NUL would end the statement text early at the driver.
    if (c == '\0') continue;
    if (c == '\'') out += '\'';
    out += c;
  }
  out += '\'';
  return out;
}

std::string SqlQuote(int64_t value) { return SqlQuote(std::to_string(value)); }

}  // namespace bw
