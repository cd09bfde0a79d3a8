// Case folding of names for case-insensitive file systems: simple,
// one-to-one lower-case folding of the BMP (tools/gen_fold_table.py), no
// locale rules. Valid UTF-8 is folded code point by code point; bytes that
// are not part of a valid sequence are kept as they are, so any byte string
// has a key and two names match iff their keys are equal.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <string_view>

// The folded form of one code point (code points beyond the BMP and those
// without a mapping are their own fold).
uint32_t lc_ns_fold_cp(uint32_t cp);

// Replaces *out with the match key of `name`.
void lc_ns_fold_name(std::string_view name, std::string* out);

// Decodes one valid UTF-8 sequence at the start of `s` (shortest form, no
// surrogates, at most U+10FFFF). Its length, or 0 when the first byte does
// not start a valid sequence; *cp gets the code point.
size_t lc_ns_utf8_decode(const unsigned char* s, size_t len, uint32_t* cp);
