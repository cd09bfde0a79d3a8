// Registry message codec and key rules.
//
// A reply comes from the network, so none of its lengths is trusted: every
// read is bounded by the bytes actually received, all offset arithmetic is
// done in 64 bits, and every item handed out has its header, key and value
// inside its declared size and inside the payload. Iteration moves forward
// by at least one item header per step, so it always ends.
#include "discovery/kvstore_msg.h"

#include <errno.h>
#include <string.h>

#include "kiv/base.h"
#include "kiv/mds.h"
#include "kiv/rpc.h"

namespace {

uint32_t rd32(const uint8_t* p) {
    uint32_t v;
    memcpy(&v, p, sizeof(v));
    return v;
}

uint64_t rd64(const uint8_t* p) {
    uint64_t v;
    memcpy(&v, p, sizeof(v));
    return v;
}

void wr32(uint8_t* p, uint32_t v) { memcpy(p, &v, sizeof(v)); }
void wr64(uint8_t* p, uint64_t v) { memcpy(p, &v, sizeof(v)); }

const uint8_t* item_bytes(const kvstore_item* item) { return reinterpret_cast<const uint8_t*>(item); }

// Bytes of the message that may be read: what the buffer holds, and no more
// than the wire length or the frame's own length word.
uint64_t received_len(const kiv_msg* msg) {
    if (msg == nullptr || msg->buf == nullptr) return 0;
    uint64_t len = msg->kept_len;
    if (msg->total_len < len) len = msg->total_len;
    if (len >= 4) {
        uint32_t frame_len = rd32(msg->buf);
        if (frame_len < len) len = frame_len;
    }
    return len;
}

uint32_t header_word(const kiv_msg* msg, uint32_t off) {
    return received_len(msg) >= uint64_t{off} + 4 ? rd32(msg->buf + off) : 0;
}

// Payload bytes that lie within the received message.
uint64_t readable_payload(const kiv_msg* msg) {
    uint64_t len = received_len(msg);
    if (len < KVSTORE_HDR_SIZE) return 0;
    uint64_t payload = rd32(msg->buf + KVSTORE_OFF_PAYLOAD_LEN);
    uint64_t room = len - KVSTORE_HDR_SIZE;
    return payload < room ? payload : room;
}

// The declared size of the item at payload offset `off` when the whole item
// fits the payload of `payload` bytes, else 0 (an item is never smaller than
// its header, so 0 is never a valid size).
uint64_t fitting_item_size(const uint8_t* items, uint64_t payload, uint64_t off) {
    if (off > payload || payload - off < KVSTORE_ITEM_HDR_SIZE) return 0;
    const uint8_t* it = items + off;
    uint64_t size = rd32(it + KVSTORE_ITEM_OFF_SIZE);
    uint64_t key_len = rd32(it + KVSTORE_ITEM_OFF_KEY_LEN);
    uint64_t key_size = rd32(it + KVSTORE_ITEM_OFF_KEY_SIZE);
    uint64_t value_len = rd32(it + KVSTORE_ITEM_OFF_VALUE_LEN);
    if (key_len > key_size) return 0;
    if (size < KVSTORE_ITEM_HDR_SIZE + key_size + value_len) return 0;
    if (size > payload - off) return 0;
    return size;
}

bool is_key_char(unsigned char c) {
    if (c >= 0x80) return false;
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
    return c == '_' || c == '-' || c == '@' || c == '.';
}

}  // namespace

kiv_msg* kvstore_msg_alloc(kiv_mds_client* client, uint32_t op, uint64_t version, uint64_t watch_timeout,
                           uint32_t flags, const void* key, uint32_t key_len, const void* value,
                           uint32_t value_len) {
    const uint64_t payload = uint64_t{KVSTORE_ITEM_HDR_SIZE} + key_len + value_len;
    const uint64_t size = uint64_t{KVSTORE_HDR_SIZE} + payload;
    KIV_BUG_ON(size > UINT32_MAX);
    KIV_BUG_ON(key_len != 0 && key == nullptr);
    KIV_BUG_ON(value_len != 0 && value == nullptr);

    kiv_msg* msg = mds_client_alloc_msg(client, KVSTORE_MSG_TYPE, static_cast<uint32_t>(size));
    if (msg == nullptr) kiv_err("allocation failed", __FILE__, __LINE__, __func__);

    uint8_t* b = msg->buf;
    memset(b + 0x18, 0, KVSTORE_OFF_OP - 0x18);
    wr32(b + KVSTORE_OFF_OP, op);
    wr32(b + KVSTORE_OFF_FLAGS, flags);
    wr64(b + KVSTORE_OFF_GENERATION, 0);
    memset(b + 0x40, 0, KVSTORE_OFF_MAX_REPLY - 0x40);
    wr32(b + KVSTORE_OFF_MAX_REPLY, KVSTORE_MAX_REPLY_WORD);
    wr32(b + KVSTORE_OFF_PAYLOAD_LEN, static_cast<uint32_t>(payload));

    uint8_t* it = b + KVSTORE_OFF_ITEMS;
    wr64(it + KVSTORE_ITEM_OFF_VERSION, version);
    wr64(it + KVSTORE_ITEM_OFF_WATCH_TIMEOUT, watch_timeout);
    wr32(it + KVSTORE_ITEM_OFF_SIZE, static_cast<uint32_t>(payload));
    wr32(it + KVSTORE_ITEM_OFF_KEY_LEN, key_len);
    wr32(it + KVSTORE_ITEM_OFF_KEY_SIZE, key_len);
    wr32(it + KVSTORE_ITEM_OFF_VALUE_LEN, value_len);
    if (key_len) memcpy(it + KVSTORE_ITEM_HDR_SIZE, key, key_len);
    if (value_len) memcpy(it + KVSTORE_ITEM_HDR_SIZE + key_len, value, value_len);
    return msg;
}

void kvstore_msg_set_generation(kiv_msg* msg, uint64_t generation) {
    KIV_BUG_ON(received_len(msg) < KVSTORE_HDR_SIZE);
    wr64(msg->buf + KVSTORE_OFF_GENERATION, generation);
}

int kvstore_msg_check(const kiv_msg* msg) {
    const uint64_t len = received_len(msg);
    if (len < KVSTORE_HDR_SIZE) return -EPROTO;
    const uint64_t payload = rd32(msg->buf + KVSTORE_OFF_PAYLOAD_LEN);
    if (payload > len - KVSTORE_HDR_SIZE) return -EPROTO;
    const uint8_t* items = msg->buf + KVSTORE_OFF_ITEMS;
    uint64_t off = 0;
    while (off < payload) {
        uint64_t size = fitting_item_size(items, payload, off);
        if (size == 0) return -EPROTO;
        off += size;
    }
    return 0;
}

const kvstore_item* kvstore_msg_get_first_item(const kiv_msg* msg) {
    uint64_t payload = readable_payload(msg);
    if (payload == 0) return nullptr;
    const uint8_t* items = msg->buf + KVSTORE_OFF_ITEMS;
    if (fitting_item_size(items, payload, 0) == 0) return nullptr;
    return reinterpret_cast<const kvstore_item*>(items);
}

const kvstore_item* kvstore_msg_get_next_item(const kiv_msg* msg, const kvstore_item* item) {
    uint64_t payload = readable_payload(msg);
    if (payload == 0 || item == nullptr) return nullptr;
    const uint8_t* items = msg->buf + KVSTORE_OFF_ITEMS;
    const uint8_t* cur = item_bytes(item);
    KIV_BUG_ON(cur < items || uint64_t(cur - items) >= payload);
    uint64_t off = static_cast<uint64_t>(cur - items);
    uint64_t size = fitting_item_size(items, payload, off);
    if (size == 0) return nullptr;
    uint64_t next = off + size;
    if (fitting_item_size(items, payload, next) == 0) return nullptr;
    return reinterpret_cast<const kvstore_item*>(items + next);
}

uint32_t kvstore_msg_get_item_count(const kiv_msg* msg) {
    uint32_t n = 0;
    for (const kvstore_item* it = kvstore_msg_get_first_item(msg); it; it = kvstore_msg_get_next_item(msg, it)) ++n;
    return n;
}

const uint8_t* kvstore_msg_get_key(const kvstore_item* item) { return item_bytes(item) + KVSTORE_ITEM_HDR_SIZE; }

const uint8_t* kvstore_msg_get_value(const kvstore_item* item) {
    return kvstore_msg_get_key(item) + rd32(item_bytes(item) + KVSTORE_ITEM_OFF_KEY_SIZE);
}

uint32_t kvstore_item_key_len(const kvstore_item* item) { return rd32(item_bytes(item) + KVSTORE_ITEM_OFF_KEY_LEN); }

uint32_t kvstore_item_value_len(const kvstore_item* item) {
    return rd32(item_bytes(item) + KVSTORE_ITEM_OFF_VALUE_LEN);
}

uint64_t kvstore_item_version(const kvstore_item* item) { return rd64(item_bytes(item) + KVSTORE_ITEM_OFF_VERSION); }

uint64_t kvstore_item_watch_timeout(const kvstore_item* item) {
    return rd64(item_bytes(item) + KVSTORE_ITEM_OFF_WATCH_TIMEOUT);
}

uint32_t kvstore_item_flags(const kvstore_item* item) { return rd32(item_bytes(item) + KVSTORE_ITEM_OFF_FLAGS); }

uint32_t kvstore_msg_status(const kiv_msg* msg) { return header_word(msg, KVSTORE_OFF_STATUS); }
uint32_t kvstore_msg_op(const kiv_msg* msg) { return header_word(msg, KVSTORE_OFF_OP); }
uint32_t kvstore_msg_flags(const kiv_msg* msg) { return header_word(msg, KVSTORE_OFF_FLAGS); }
uint32_t kvstore_msg_payload_len(const kiv_msg* msg) { return header_word(msg, KVSTORE_OFF_PAYLOAD_LEN); }

uint64_t kvstore_msg_generation(const kiv_msg* msg) {
    return received_len(msg) >= uint64_t{KVSTORE_OFF_GENERATION} + 8 ? rd64(msg->buf + KVSTORE_OFF_GENERATION) : 0;
}

bool kvstore_key_is_valid_key(const char* text) {
    if (text == nullptr || text[0] == '\0') return false;
    bool segment_empty = true;
    for (const char* p = text; *p; ++p) {
        if (*p == '/') {
            if (segment_empty) return false;
            segment_empty = true;
            continue;
        }
        if (!is_key_char(static_cast<unsigned char>(*p))) return false;
        segment_empty = false;
    }
    return !segment_empty;
}

void kvstore_key_get_last_name(const char* key, size_t len, const char** name, size_t* name_len) {
    const char* slash = len ? static_cast<const char*>(memrchr(key, '/', len)) : nullptr;
    const char* start = slash ? slash + 1 : key;
    *name = start;
    *name_len = len - static_cast<size_t>(start - key);
}

const char* kvstore_key_name_range_begin(void) { return ""; }

const char* kvstore_key_name_range_end(void) { return "{"; }
