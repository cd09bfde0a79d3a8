// Helpers shared by the public client operations.
#include "client/tarn_client_utils.h"

#include <errno.h>
#include <sys/random.h>

#include "kiv/base.h"

uint64_t tarn_make_default_verifier(void) {
    uint64_t v = 0;
    // A zero verifier means "none" to the callers that replace it, so it is
    // never handed out.
    while (v == 0) {
        ssize_t n = getrandom(&v, sizeof v, 0);
        if (n < 0 && errno == EINTR) continue;
        KIV_BUG_ON(n != ssize_t(sizeof v));
    }
    return v;
}

uint32_t tarn_client_mds_retry_timeout(const tarn_client* client) {
    return client->params.use_custom_timeouts ? client->params.mds_retry_timeout_ms : TARN_DEFAULT_RETRY_TIMEOUT_MS;
}

uint32_t tarn_client_ds_retry_timeout(const tarn_client* client) {
    return client->params.use_custom_timeouts ? client->params.ds_retry_timeout_ms : TARN_DEFAULT_RETRY_TIMEOUT_MS;
}

uint32_t tarn_client_get_mds_retry_timeout(const tarn_context* context) {
    return tarn_client_mds_retry_timeout(context->fs->client);
}

uint32_t tarn_client_get_ds_retry_timeout(const tarn_context* context) {
    return tarn_client_ds_retry_timeout(context->fs->client);
}
