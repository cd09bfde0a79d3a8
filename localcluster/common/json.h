// Small JSON text helpers for the control interface's answers.
#pragma once

#include <string>
#include <string_view>

// `s` as a quoted JSON string: quotes, backslashes and control bytes
// escaped; other bytes, UTF-8 included, as they are.
std::string lc_json_str(std::string_view s);
// A control answer that refuses: {"ok":false,"error":"<text>"}.
std::string lc_json_error(std::string_view text);
