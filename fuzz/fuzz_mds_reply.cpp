// The Tarn client's reading of MDS replies: the decoder of each request
// type, ok and error replies alike, then what the operations make of the
// outputs (handles, attributes, directory entries, the vdisk map).
#include <string.h>

#include "client/tarn_client_conv.h"
#include "client/tarn_handle.h"
#include "client/tarn_mds_client_ops.h"
#include "fuzz_mds_env.h"

namespace {

const uint32_t kTypes[] = {TARN_MDS_NOOP,        TARN_MDS_LOOKUP,       TARN_MDS_READDIR,     TARN_MDS_READLINK,
                           TARN_MDS_GET_ATTRS,   TARN_MDS_SET_ATTRS,    TARN_MDS_CREATE_FILE, TARN_MDS_MKDIR,
                           TARN_MDS_LINK,        TARN_MDS_SYMLINK,      TARN_MDS_RENAME,      TARN_MDS_REMOVE,
                           TARN_MDS_GET_FS_INFO, TARN_MDS_GET_VDISK_MAP, TARN_MDS_REPORT_VDISK, TARN_MDS_LIST_XATTRS,
                           TARN_MDS_GET_XATTR,   TARN_MDS_SET_XATTR,    TARN_MDS_REMOVE_XATTR, TARN_MDS_TEST};
constexpr size_t kNTypes = sizeof kTypes / sizeof kTypes[0];

// Input: one byte choosing the request type (and, in its top bit, an error
// reply), then the reply frame.
void seeds(fuzzseed::Writer& w) {
    FuzzMds mds;
    std::vector<fuzzseed::Bytes> requests;
    std::vector<std::pair<uint32_t, fuzzseed::Bytes>> replies;
    mds.sample(&requests, &replies);
    for (const auto& [type, reply] : replies) {
        uint8_t index = 0;
        while (index < kNTypes && kTypes[index] != type) index++;
        const bool error = reply.size() >= 28 && tarn_wire_get_u32(reply.data(), TARN_REPLY_STATUS) != 0;
        fuzzseed::Bytes in{uint8_t(index | (error ? 0x80 : 0))};
        in.insert(in.end(), reply.begin(), reply.end());
        w.add(in);
    }
}

// What the operations do with what a decoder let through.
bool entry(const char*, const tarn_mds_handle* h, const uint8_t* attrs, uint64_t, void*) {
    tarn_handle handle;
    tarn_handle_init(&handle, h, attrs);
    uint8_t bytes[TARN_OPAQUE_BUF_BYTES];
    tarn_opaque_buf buf{bytes, 0, sizeof bytes};
    tarn_handle_to_opaque(&handle, &buf);
    tarn_attr a;
    mds2tarn_attributes(attrs, &a);
    return true;
}

bool name(const char*, void*) { return true; }

}  // namespace

KIV_FUZZ_SEEDS(seeds)

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const uint32_t type = kTypes[(data[0] & 0x7f) % kNTypes];
    const bool ok = (data[0] & 0x80) == 0;
    // The transport hands over whole frames of at least a reply header.
    fuzzseed::Bytes reply(data + 1, data + size);
    if (reply.size() < TARN_REPLY_HDR_BYTES) reply.resize(TARN_REPLY_HDR_BYTES);

    tarn_mds_handle handle{};
    uint8_t attrs[TARN_MDS_ATTR_BYTES] = {}, post_op[TARN_POST_OP_BYTES] = {}, wcc[TARN_WCC_BYTES] = {},
            wcc2[TARN_WCC_BYTES] = {}, created = 0, info[TARN_MDS_FS_INFO_BYTES] = {};
    uint8_t value[256];
    uint64_t value_size = 0;
    mds_reply_outs outs{};
    outs.handle = &handle;
    outs.attrs = attrs;
    outs.post_op = post_op;
    outs.wcc = wcc;
    outs.wcc2 = wcc2;
    outs.created = &created;
    outs.info = info;
    outs.buf = value;
    outs.buf_size = sizeof value;
    outs.value_size = &value_size;
    outs.names_cb = name;
    mds_reply_outs_mark_absent(&outs);
    rpc_error error{};
    if (!mds_reply_has_handler(type, ok)) return 0;
    const bool decoded = mds_reply_decode(type, ok, reply.data(), reply.size(), &outs, &error);
    if (decoded && ok) {
        tarn_post_op_data p;
        mds2tarn_post_op_wcc_data(post_op, &p);
        tarn_wcc_data wd;
        mds2tarn_wcc_data(wcc, &wd);
        switch (type) {
            case TARN_MDS_LOOKUP:
            case TARN_MDS_CREATE_FILE:
            case TARN_MDS_MKDIR:
            case TARN_MDS_SYMLINK:
                entry("", &handle, attrs, 0, nullptr);
                break;
            case TARN_MDS_GET_ATTRS:
            case TARN_MDS_LINK: {
                tarn_attr a;
                mds2tarn_attributes(attrs, &a);
                break;
            }
            case TARN_MDS_READDIR: {
                uint8_t eof = 0;
                mds_readdir_walk(outs.reply_copy, entry, nullptr, &eof);
                break;
            }
            default:
                break;
        }
    }
    __kiv_free(outs.reply_copy);
    mds_client_free_vdisk_map(outs.map);
    return 0;
}
