// Authentication domains of RPC engines. The domain name is kept for logs
// and never interpreted.
#pragma once

#include <stdint.h>

struct kiv_auth_domain;

kiv_auth_domain* kiv_auth_create_domain(void);  // never NULL
int kiv_auth_init_domain(kiv_auth_domain* d, const char* name, uint64_t a, uint64_t b);
const char* kiv_auth_domain_name(const kiv_auth_domain* d);
// Only for a domain that was never attached to an engine.
void kiv_auth_destroy_domain(kiv_auth_domain* d);
