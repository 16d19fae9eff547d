// UTF-8 validity of input text, by the strict rules: no overlong forms, no
// surrogates (U+D800..U+DFFF), nothing above U+10FFFF.
//
// Deliberately not here: any other encoding.
#pragma once

#include <cstddef>

namespace drux {

// True when the `size` bytes at `data` are well-formed UTF-8. Runs of ASCII
// are checked eight bytes at a time.
bool is_valid_utf8(const char* data, std::size_t size);

}  // namespace drux
