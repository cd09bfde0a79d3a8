// Service records to and from their JSON text (json-c).
#include "discovery/json_conv.h"

#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <string.h>

#include <json-c/json.h>

#include <string>

#include "discovery/discov.h"
#include "kiv/base.h"

namespace {

const char* const k_tag = "discov_json";

// json-c reports allocation failure by returning NULL; a record that cannot
// be built is as fatal as any other failed allocation of this library.
template <typename T>
T* nofail(T* p, int line, const char* func) {
    if (p == nullptr) kiv_err("allocation failed", __FILE__, line, func);
    return p;
}

#define NOFAIL(expr) nofail((expr), __LINE__, __func__)

void add_member(json_object* obj, const char* key, json_object* value) {
    if (json_object_object_add(obj, key, value) != 0) kiv_err("allocation failed", __FILE__, __LINE__, __func__);
}

int quoted_len(size_t length) { return length > INT_MAX ? INT_MAX : static_cast<int>(length); }

// Parses a NUL-terminated copy of the record's bytes. The terminator is fed
// to the tokener too, so that the tokener knows the input ends there (a
// bare number at the top level would otherwise wait for more digits).
json_object* tokenize(const std::string& text, json_tokener_error* err) {
    if (text.size() >= INT_MAX) {
        *err = json_tokener_error_size;
        return nullptr;
    }
    json_tokener* tok = NOFAIL(json_tokener_new());
    json_object* obj = json_tokener_parse_ex(tok, text.c_str(), static_cast<int>(text.size()) + 1);
    *err = json_tokener_get_error(tok);
    if (obj == nullptr && *err == json_tokener_success) *err = json_tokener_error_parse_eof;
    json_tokener_free(tok);
    return obj;
}

// A string member, or NULL when it is missing or not a string.
const char* string_member(json_object* root, const char* key) {
    json_object* v = nullptr;
    if (!json_object_object_get_ex(root, key, &v) || !json_object_is_type(v, json_type_string)) return nullptr;
    return json_object_get_string(v);
}

char* dup(const char* s) { return __kiv_strdup(k_tag, KIV_POS, KIV_MEM_NOFAIL, s); }

// Fills `svc` from the parsed object; logs the first problem and returns
// false. Whatever was taken before a failure stays in `svc` for the caller
// to free.
bool fail(std::string* why, const char* text) {
    kiv_log(0, "%s", text);
    if (why) *why = text;
    return false;
}

bool fill_svc(json_object* root, discov_svc* svc, std::string* why) {
    if (!json_object_is_type(root, json_type_object)) {
        return fail(why, "JSON must be an object");
    }

    const char* name = string_member(root, "name");
    if (name == nullptr) {
        return fail(why, "name must be a string");
    }
    svc->name = dup(name);

    const char* host_id = string_member(root, "host_id");
    if (host_id == nullptr) {
        return fail(why, "host_id must be a string");
    }
    unsigned long hid = 0;
    if (sscanf(host_id, "%lx", &hid) != 1) {
        return fail(why, "Invalid host_id");
    }
    svc->host_id = hid;

    json_object* tags = nullptr;
    if (!json_object_object_get_ex(root, "tags", &tags) || !json_object_is_type(tags, json_type_array)) {
        return fail(why, "tags must be an array");
    }
    // The array came out of a text of bounded length, so its length is too.
    const size_t n = json_object_array_length(tags);
    if (n > UINT32_MAX) {
        return fail(why, "tags must be an array");
    }
    if (n != 0) {
        svc->tags = static_cast<char**>(__kiv_zmalloc(k_tag, KIV_POS, KIV_MEM_NOFAIL, n * sizeof(char*)));
        for (size_t i = 0; i < n; ++i) {
            json_object* tag = json_object_array_get_idx(tags, i);
            if (!json_object_is_type(tag, json_type_string)) {
                return fail(why, "Tags must be strings");
            }
            svc->tags[i] = dup(json_object_get_string(tag));
            svc->tag_count = static_cast<uint32_t>(i + 1);
        }
    }

    const char* addr = string_member(root, "addr");
    if (addr == nullptr) {
        return fail(why, "addr must be a string");
    }
    svc->addr = dup(addr);

    json_object* port = nullptr;
    if (!json_object_object_get_ex(root, "port", &port) || !json_object_is_type(port, json_type_int)) {
        return fail(why, "port must be an integer");
    }
    // A value outside 0..65535 names no port; cutting it to 16 bits would
    // send the caller to some other service.
    const int64_t port_value = json_object_get_int64(port);
    if (port_value < 0 || port_value > UINT16_MAX) {
        return fail(why, "port must be between 0 and 65535");
    }
    svc->port = static_cast<uint16_t>(port_value);
    return true;
}

}  // namespace

char* dsc_convert_svc_to_json_str(const discov_svc* svc) {
    KIV_BUG_ON(svc == nullptr || svc->name == nullptr || svc->addr == nullptr);
    KIV_BUG_ON(svc->tag_count != 0 && svc->tags == nullptr);

    json_object* root = NOFAIL(json_object_new_object());
    add_member(root, "name", NOFAIL(json_object_new_string(svc->name)));

    char host_id[17];
    snprintf(host_id, sizeof(host_id), "%016lx", static_cast<unsigned long>(svc->host_id));
    add_member(root, "host_id", NOFAIL(json_object_new_string(host_id)));

    json_object* tags = NOFAIL(json_object_new_array());
    for (uint32_t i = 0; i < svc->tag_count; ++i) {
        KIV_BUG_ON(svc->tags[i] == nullptr);
        if (json_object_array_add(tags, NOFAIL(json_object_new_string(svc->tags[i]))) != 0)
            kiv_err("allocation failed", __FILE__, __LINE__, __func__);
    }
    add_member(root, "tags", tags);
    add_member(root, "addr", NOFAIL(json_object_new_string(svc->addr)));
    add_member(root, "port", NOFAIL(json_object_new_int(svc->port)));

    const char* text = NOFAIL(json_object_to_json_string_ext(root, JSON_C_TO_STRING_PLAIN));
    char* out = dup(text);
    json_object_put(root);
    return out;
}

int dsc_convert_json_str_to_svc(const char* text, size_t length, discov_svc* svc) {
    return dsc_convert_json_str_to_svc_why(text, length, svc, nullptr);
}

int dsc_convert_json_str_to_svc_why(const char* text, size_t length, discov_svc* svc, std::string* why) {
    KIV_BUG_ON(svc == nullptr);
    KIV_BUG_ON(svc->name != nullptr || svc->tags != nullptr || svc->addr != nullptr);
    KIV_BUG_ON(text == nullptr && length != 0);

    const std::string copy(text ? text : "", length);
    json_tokener_error err = json_tokener_success;
    json_object* root = tokenize(copy, &err);
    bool ok;
    if (root == nullptr) {
        kiv_log(0, "Cannot parse JSON \"%.*s\": %s", quoted_len(length), copy.c_str(), json_tokener_error_desc(err));
        if (why) *why = std::string("not JSON: ") + json_tokener_error_desc(err);
        ok = false;
    } else {
        ok = fill_svc(root, svc, why);
        json_object_put(root);
    }
    if (ok) return 0;

    kiv_log(0, "Cannot parse JSON \"%.*s\"", quoted_len(length), copy.c_str());
    // Only what this call took is freed; id, version and flag were never
    // touched and the caller's values stay.
    for (uint32_t i = 0; i < svc->tag_count; ++i) __kiv_free(svc->tags[i]);
    __kiv_free(svc->tags);
    __kiv_free(svc->name);
    __kiv_free(svc->addr);
    svc->tags = nullptr;
    svc->tag_count = 0;
    svc->name = nullptr;
    svc->addr = nullptr;
    svc->host_id = 0;
    svc->port = 0;
    return -EINVAL;
}
