// The opaque handle decoder: handles come back from callers as bytes. What
// decodes must encode again to the same bytes when it is a length this
// library makes.
#include <stdlib.h>
#include <string.h>

#include "client/tarn_handle.h"
#include "client/tarn_wire.h"
#include "fuzz_seeds.h"

namespace {

void seeds(fuzzseed::Writer& w) {
    // Handles as the encoder makes them: files with their vdisk, directories.
    for (uint16_t type : {1, 2, 5}) {
        for (uint8_t len : {10, 20, 28}) {
            tarn_mds_handle m{};
            m.file_id = 0x1122334455667788ull + type;
            m.type = uint8_t(type);
            m.flags = type == 1 ? 1 : 0;
            m.len = len;
            uint8_t attrs[TARN_MDS_ATTR_BYTES] = {};
            tarn_wire_put_u16(attrs, TARN_MDS_ATTR_TYPE, type);
            tarn_wire_put_u16(attrs, TARN_MDS_ATTR_VDISK_ID, 5);
            tarn_handle h;
            tarn_handle_init(&h, &m, attrs);
            uint8_t bytes[TARN_OPAQUE_BUF_BYTES];
            tarn_opaque_buf buf{bytes, 0, sizeof bytes};
            if (tarn_handle_to_opaque(&h, &buf) == 0) w.add(fuzzseed::Bytes(bytes, bytes + buf.size));
        }
    }
}

}  // namespace

KIV_FUZZ_SEEDS(seeds)

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    tarn_handle h;
    if (tarn_handle_from_optional_opaque(data, size, &h) == 0 && size >= TARN_OPAQUE_MIN_LEN &&
        size <= TARN_OPAQUE_MAX_LEN) {
        uint8_t bytes[TARN_OPAQUE_BUF_BYTES];
        tarn_opaque_buf buf{bytes, 0, sizeof bytes};
        if (tarn_handle_to_opaque(&h, &buf) != 0 || buf.size != size || memcmp(bytes, data, size) != 0) abort();
    }
    uint64_t file_id = 0;
    tarn_file_type type = 0;
    (void)tarn_decode_file_info(data, size, &file_id, &type);
    return 0;
}
