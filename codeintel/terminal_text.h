// codeintel/terminal_text.h: tool output as a terminal would show it. Compilers and test
// runners colour their output when they think a terminal is watching, and an assistant pastes
// it as it came: the escape sequences sit between the words the failure parsers look for.
#pragma once

#include <string>
#include <string_view>

namespace nodrel::codeintel {

// `text` without its terminal control sequences: CSI sequences (colours, cursor movement,
// "ESC [ ... m" and the 8-bit form U+009B), OSC strings such as hyperlinks (ended by BEL or
// "ESC \", or at a line break when the paste cut them off), the other string commands (DCS,
// SOS, PM, APC) and two- or three-byte escapes. Everything else, line breaks included, is kept
// byte for byte; a sequence cut off by the end of a line loses only its own bytes.
std::string stripTerminalEscapes(std::string_view text);

}  // namespace nodrel::codeintel
