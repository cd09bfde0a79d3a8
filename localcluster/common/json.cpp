#include "localcluster/common/json.h"

#include <stdio.h>

std::string lc_json_str(std::string_view s) {
    std::string out = "\"";
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += char(c);
        } else if (c < 0x20 || c >= 0x7f) {
            // Names and callers are bytes, not text: each byte above ASCII
            // becomes the code point of its value, so the answer is valid
            // UTF-8 and a reader gets every byte back.
            char buf[8];
            snprintf(buf, sizeof buf, "\\u%04x", c);
            out += buf;
        } else {
            out += char(c);
        }
    }
    return out + "\"";
}

std::string lc_json_error(std::string_view text) { return "{\"ok\":false,\"error\":" + lc_json_str(text) + "}"; }
