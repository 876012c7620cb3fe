// store/file_byte_count.h: byte counts as people read them, for the capacity messages (the
// refusal of a write, the demotion pass's audit summary).
#pragma once

#include <cstdint>
#include <string>

namespace nodrel::store {

// A byte count in the style of a file-size formatter with decimal units: "Zero KB",
// "1 byte", "999 bytes", "1 KB" (whole kilobytes), "1.5 MB" (one decimal), "1.23 GB" (two
// decimals, and so on up to EB); halves round to even, trailing zeros are dropped, a value
// that rounds up to 1,000 of a unit is written in the next one, negatives carry a "-".
std::string fileByteCountString(std::int64_t bytes);

}  // namespace nodrel::store
