// Authentication domains. The runtime only carries a domain for its engine;
// the name is kept for logs and the two words are stored as given.
#include <string.h>

#include "kiv/auth.h"
#include "kiv/base.h"

struct kiv_auth_domain {
    char* name;
    uint64_t a;
    uint64_t b;
};

kiv_auth_domain* kiv_auth_create_domain(void) {
    return static_cast<kiv_auth_domain*>(__kiv_zmalloc("auth_domain", KIV_POS, KIV_MEM_NOFAIL, sizeof(kiv_auth_domain)));
}

int kiv_auth_init_domain(kiv_auth_domain* d, const char* name, uint64_t a, uint64_t b) {
    __kiv_free(d->name);
    d->name = __kiv_strdup("auth_domain", KIV_POS, KIV_MEM_NOFAIL, name ? name : "");
    d->a = a;
    d->b = b;
    return 0;
}

const char* kiv_auth_domain_name(const kiv_auth_domain* d) { return d && d->name ? d->name : ""; }

void kiv_auth_destroy_domain(kiv_auth_domain* d) {
    if (!d) return;
    __kiv_free(d->name);
    __kiv_free(d);
}
