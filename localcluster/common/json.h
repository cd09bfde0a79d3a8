// Small JSON text helpers for the control interface's answers.
#pragma once

#include <string>
#include <string_view>

// `s` as a quoted JSON string in plain ASCII: quotes and backslashes
// escaped, and every control byte, DEL and byte of 0x80 or more as
// \u00XX with the byte's value.
std::string lc_json_str(std::string_view s);
// A control answer that refuses: {"ok":false,"error":"<text>"}.
std::string lc_json_error(std::string_view text);
