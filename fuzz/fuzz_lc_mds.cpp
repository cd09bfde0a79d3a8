// The local cluster's MDS request path: header and name checks, then the
// handler of the type, on a file system that lives across inputs (made
// afresh now and then, so state does not pile up).
#include "fuzz_mds_env.h"

namespace {

FuzzMds* g_mds = nullptr;
unsigned g_runs = 0;

void seeds(fuzzseed::Writer& w) {
    FuzzMds mds;
    std::vector<fuzzseed::Bytes> requests;
    std::vector<std::pair<uint32_t, fuzzseed::Bytes>> replies;
    mds.sample(&requests, &replies);
    for (const fuzzseed::Bytes& r : requests) w.add(r);
}

}  // namespace

KIV_FUZZ_SEEDS(seeds)

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > TARN_MDS_MAX_MSG) return 0;  // the transport never hands these over
    if (g_mds == nullptr) g_mds = new FuzzMds;
    if (++g_runs % 20000 == 0) g_mds->reset();
    // The length field is the transport's: it always matches the frame.
    fuzzseed::Bytes frame(data, data + size);
    if (frame.size() < 24) frame.resize(24);
    fuzzseed::put32(frame, 0, uint32_t(frame.size()));
    (void)g_mds->execute(frame.data(), frame.size());
    return 0;
}
