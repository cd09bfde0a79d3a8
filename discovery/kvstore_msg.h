// The registry's key-value message (request type 0x240, reply 0x241), shared
// by the discovery client and the local cluster's registry server.
//
// Layout, little-endian; bytes 0x00-0x17 are the runtime's frame header:
//   0x18 u32 status (reply)          0x30 u32 op
//   0x34 u32 flags                   0x38 u64 generation
//   0x60 u32 largest reply (request) 0x64 u32 payload length
//   0x68 items, back to back
// Item: +0x00 u64 version, +0x08 u64 watch time-out (s), +0x20 u32 item
// flags, +0x24 u32 item size (56 + key size + value length), +0x28 u32 key
// length, +0x2C u32 key size (offset of the value from the key), +0x30 u32
// value length, +0x38 key bytes, then value bytes.
#pragma once

#include <stddef.h>
#include <stdint.h>

struct kiv_msg;
struct kiv_mds_client;

enum kv_op : uint32_t {
    KV_OP_PUT = 1,
    KV_OP_GET = 2,
    KV_OP_RANGE = 4,
    KV_OP_WATCH = 5,
    KV_OP_DELETE = 6,
};

enum : uint32_t {
    KVSTORE_MSG_TYPE = 0x240,
    KVSTORE_REPLY_TYPE = 0x241,

    KVSTORE_OFF_STATUS = 0x18,
    KVSTORE_OFF_OP = 0x30,
    KVSTORE_OFF_FLAGS = 0x34,
    KVSTORE_OFF_GENERATION = 0x38,
    KVSTORE_OFF_MAX_REPLY = 0x60,
    KVSTORE_OFF_PAYLOAD_LEN = 0x64,
    KVSTORE_OFF_ITEMS = 0x68,
    KVSTORE_HDR_SIZE = 0x68,

    KVSTORE_ITEM_OFF_VERSION = 0x00,
    KVSTORE_ITEM_OFF_WATCH_TIMEOUT = 0x08,
    KVSTORE_ITEM_OFF_FLAGS = 0x20,
    KVSTORE_ITEM_OFF_SIZE = 0x24,
    KVSTORE_ITEM_OFF_KEY_LEN = 0x28,
    KVSTORE_ITEM_OFF_KEY_SIZE = 0x2C,
    KVSTORE_ITEM_OFF_VALUE_LEN = 0x30,
    KVSTORE_ITEM_HDR_SIZE = 0x38,

    KVSTORE_MAX_REPLY_WORD = 0x100000,

    // request flags
    KV_FLAG_START_AFTER = 0x4,   // range: the start key itself is excluded
    KV_FLAG_CMP_VERSION = 0x10,  // put, delete: only at the item's version
    // reply flags
    KV_FLAG_MORE = 0x1,   // range: more items follow
    KV_FLAG_STALE = 0x1,  // watch: the watched generation is unknown
    // item flags (reply)
    KV_ITEM_TOMBSTONE = 0x1,
    KV_ITEM_FLAG = 0x4,   // copied into discov_svc.flag
};

// Registry statuses at 0x18.
enum : uint32_t {
    KV_STATUS_OK = 0,
    KV_STATUS_NOT_FOUND = 8,
    KV_STATUS_NO_CHANGE = 13,
    KV_STATUS_INVALID = 29,
    KV_STATUS_VERSION_MISMATCH = 203,
};

// An item inside a message buffer. Only valid while the message lives.
struct kvstore_item;

// A new request of 0xA0 + key_len + value_len bytes holding one item.
// Allocation failure ends the process.
kiv_msg* kvstore_msg_alloc(kiv_mds_client* client, uint32_t op, uint64_t version, uint64_t watch_timeout,
                           uint32_t flags, const void* key, uint32_t key_len, const void* value,
                           uint32_t value_len);

// Sets the generation word at 0x38 (the generation a watch waits after).
void kvstore_msg_set_generation(kiv_msg* msg, uint64_t generation);

// Checks the whole message before anything reads its items: it must hold
// the fixed header, its payload length must fit the received bytes, and
// every item must hold its 56-byte header, key and value within its declared
// size and within the payload. 0 or -EPROTO. A peer's lengths are never
// trusted beyond what this accepts.
int kvstore_msg_check(const kiv_msg* msg);

// Iteration over the items of a message that passed kvstore_msg_check; on
// any other message they stop at the first item that does not fit (header,
// key and value within its declared size, declared size within the payload,
// payload within the received bytes), so they never loop or over-read.
const kvstore_item* kvstore_msg_get_first_item(const kiv_msg* msg);
const kvstore_item* kvstore_msg_get_next_item(const kiv_msg* msg, const kvstore_item* item);
uint32_t kvstore_msg_get_item_count(const kiv_msg* msg);

const uint8_t* kvstore_msg_get_key(const kvstore_item* item);
const uint8_t* kvstore_msg_get_value(const kvstore_item* item);
uint32_t kvstore_item_key_len(const kvstore_item* item);
uint32_t kvstore_item_value_len(const kvstore_item* item);
uint64_t kvstore_item_version(const kvstore_item* item);
uint64_t kvstore_item_watch_timeout(const kvstore_item* item);
uint32_t kvstore_item_flags(const kvstore_item* item);

// Header fields of a message (request or reply); a field that lies beyond
// the received bytes reads as 0.
uint32_t kvstore_msg_status(const kiv_msg* msg);
uint32_t kvstore_msg_op(const kiv_msg* msg);
uint32_t kvstore_msg_flags(const kiv_msg* msg);
uint64_t kvstore_msg_generation(const kiv_msg* msg);
uint32_t kvstore_msg_payload_len(const kiv_msg* msg);

// Keys.
bool kvstore_key_is_valid_key(const char* text);
void kvstore_key_get_last_name(const char* key, size_t len, const char** name, size_t* name_len);
// Bounds of a namespace listing, as names appended to the namespace prefix:
// "" (the prefix itself, below every record key of the namespace) and "{"
// (above every letter, digit and allowed sign).
const char* kvstore_key_name_range_begin(void);
const char* kvstore_key_name_range_end(void);
