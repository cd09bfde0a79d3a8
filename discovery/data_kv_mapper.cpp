// Service records as registry items.
#include "discovery/data_kv_mapper.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>

#include "discovery/discov.h"
#include "discovery/json_conv.h"
#include "discovery/kvstore_msg.h"
#include "kiv/base.h"

namespace {

const char* const k_tag = "discov_kv";
const char k_key_root[] = "/discov/services/";

}  // namespace

char* dsc_make_svc_key(const char* namespace_key, const char* name) {
    KIV_BUG_ON(name == nullptr);
    if (namespace_key != nullptr)
        return __kiv_asprintf(k_tag, KIV_POS, KIV_MEM_NOFAIL, "%s%s/%s", k_key_root, namespace_key, name);
    return __kiv_asprintf(k_tag, KIV_POS, KIV_MEM_NOFAIL, "%s%s", k_key_root, name);
}

char* dsc_make_svc_value(const discov_svc* svc) { return dsc_convert_svc_to_json_str(svc); }

int dsc_convert_msg_item_to_svc(const kvstore_item* item, const char* namespace_key, discov_svc* svc,
                                std::string* why) {
    const uint32_t key_len = kvstore_item_key_len(item);
    const uint32_t value_len = kvstore_item_value_len(item);
    const char* key = reinterpret_cast<const char*>(kvstore_msg_get_key(item));
    // The key as it can be printed: a peer's bytes, cut and made visible.
    auto named = [&](const std::string& what) {
        if (!why) return;
        std::string k;
        for (uint32_t i = 0; i < key_len && i < 256; i++) {
            const unsigned char c = static_cast<unsigned char>(key[i]);
            if (c >= 0x20 && c < 0x7f) {
                k += char(c);
            } else {
                char hex[8];
                snprintf(hex, sizeof hex, "\\x%02x", c);
                k += hex;
            }
        }
        *why = "record '" + k + (key_len > 256 ? "...': " : "': ") + what;
    };
    if (key_len == 0 || value_len == 0) {
        named(key_len == 0 ? "empty key" : "empty value");
        return -EPROTO;
    }

    std::string cause;
    int rc = dsc_convert_json_str_to_svc_why(reinterpret_cast<const char*>(kvstore_msg_get_value(item)), value_len, svc,
                                             why ? &cause : nullptr);
    if (rc != 0) {
        named(cause);
        return rc;
    }

    char* prefix = dsc_make_svc_key(namespace_key, "");
    const size_t prefix_len = strlen(prefix);
    const bool in_namespace = key_len > prefix_len && memcmp(key, prefix, prefix_len) == 0;
    __kiv_free(prefix);
    // An id with a NUL byte could not be told apart from its first part.
    if (!in_namespace || memchr(key + prefix_len, '\0', key_len - prefix_len) != nullptr) {
        named("key outside the namespace");
        discov_svc_fini(svc);
        return -EPROTO;
    }
    svc->id = __kiv_strndup(k_tag, KIV_POS, KIV_MEM_NOFAIL, key + prefix_len, key_len - prefix_len);
    svc->version = kvstore_item_version(item);
    svc->flag = (kvstore_item_flags(item) & KV_ITEM_FLAG) != 0;
    return 0;
}
