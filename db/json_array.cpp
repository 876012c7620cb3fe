#include "db/json_array.h"

namespace nodrel::db {

std::string sqlJsonArray(const std::vector<std::string>& values) {
  static const char* hex = "0123456789abcdef";
  std::string out = "[";
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (i) out += ',';
    out += '"';
    for (unsigned char c : values[i]) {
      if (c == '"' || c == '\\') {
        out += '\\';
        out += static_cast<char>(c);
      } else if (c < 0x20) {
        out += "\\u00";
        out += hex[c >> 4];
        out += hex[c & 15];
      } else {
        out += static_cast<char>(c);
      }
    }
    out += '"';
  }
  out += ']';
  return out;
}

}  // namespace nodrel::db
