// Seeds of a fuzz target: before libFuzzer reads its corpus, the target
// writes valid messages made by the project's own encoders into the first
// corpus directory named on its command line.
#pragma once

#include <stdint.h>
#include <stdio.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "kiv/base.h"

namespace fuzzseed {

using Bytes = std::vector<uint8_t>;

class Writer {
public:
    explicit Writer(std::string dir) : dir_(std::move(dir)) {}
    void add(const Bytes& b) {
        const std::string path = dir_ + "/seed-" + std::to_string(n_++);
        if (FILE* f = fopen(path.c_str(), "wb")) {
            if (!b.empty()) fwrite(b.data(), 1, b.size(), f);
            fclose(f);
        }
    }

private:
    std::string dir_;
    unsigned n_ = 0;
};

inline void put32(Bytes& b, size_t off, uint32_t v) {
    if (b.size() < off + 4) b.resize(off + 4);
    for (int i = 0; i < 4; i++) b[off + i] = uint8_t(v >> (8 * i));
}

inline void put64(Bytes& b, size_t off, uint64_t v) {
    if (b.size() < off + 8) b.resize(off + 8);
    for (int i = 0; i < 8; i++) b[off + i] = uint8_t(v >> (8 * i));
}

}  // namespace fuzzseed

// Defines LLVMFuzzerInitialize: quiets the runtime's reports and calls
// `fn(Writer&)` for the corpus directory, if one was named.
#define KIV_FUZZ_SEEDS(fn)                                                          \
    extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {                  \
        __kiv_log_level = -1;                                                       \
        for (int i = 1; i < *argc; i++) {                                           \
            const char* a = (*argv)[i];                                             \
            if (a[0] == '-') continue;                                              \
            mkdir(a, 0700);                                                         \
            fuzzseed::Writer w(a);                                                  \
            fn(w);                                                                  \
            break;                                                                  \
        }                                                                           \
        return 0;                                                                   \
    }
