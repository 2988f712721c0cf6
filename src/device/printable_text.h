// Text that came from outside (a path, the command line, a key of a scenario
// file) is printed to a terminal or a journal with its control characters
// spelled out, so it can neither move the cursor, clear the screen nor forge a
// line of its own.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace kvx {

// Each C0 control byte, DEL and each UTF-8-encoded C1 control (U+0080..U+009F)
// becomes "\xHH" (C1 as its two bytes); everything else is kept as it is.
std::string PrintableText(std::string_view text);

// Length of the well-formed UTF-8 sequence at the start of `text`, 0 if none
// (a stray continuation byte, an overlong form, a surrogate, past U+10FFFF).
std::size_t Utf8SequenceLength(std::string_view text);

// `text` as a JSON string with its quotes: quotes, backslashes and control
// characters escaped; a byte that is not well-formed UTF-8 written as the code
// point of its value, so strict JSON readers take it.
std::string JsonString(std::string_view text);

}  // namespace kvx
