#include "localcluster/mds/epoch_table.h"

lc_epoch_verdict lc_epoch_check(lc_epoch_table* t, uint64_t client, uint32_t epoch, bool resend, bool strict,
                                uint32_t* known_out) {
    auto it = t->known.find(client);
    if (it == t->known.end()) {
        if (strict && !resend) {
            *known_out = 0;
            return LC_EPOCH_UNKNOWN;
        }
        t->known.emplace(client, epoch);
        *known_out = epoch;
        return LC_EPOCH_OK;
    }
    uint32_t& known = it->second;
    if (epoch > known) {
        if (strict && !resend) {
            *known_out = known;
            return LC_EPOCH_UNKNOWN;
        }
        known = epoch;
    }
    *known_out = known;
    return epoch < known ? LC_EPOCH_PAST : LC_EPOCH_OK;
}
