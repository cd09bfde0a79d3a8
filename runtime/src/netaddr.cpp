// Numeric network addresses: parsing, formatting and ordering.
//
// The record travels on the wire and is compared byte for byte, so every
// path starts from a zero-filled record and writes only the used bytes.
#include <arpa/inet.h>
#include <errno.h>
#include <stdio.h>
#include <string.h>

#include "kiv/base.h"

namespace {

// Decimal 0..65535, digits only (no sign, no spaces), at most `n` chars.
bool parse_port(const char* s, size_t n, uint16_t* out) {
    if (n == 0 || n > 5) return false;
    uint32_t v = 0;
    for (size_t i = 0; i < n; i++) {
        if (s[i] < '0' || s[i] > '9') return false;
        v = v * 10 + uint32_t(s[i] - '0');
    }
    if (v > 65535) return false;
    *out = uint16_t(v);
    return true;
}

// inet_pton needs a terminated string; longer texts are never valid.
bool parse_host(int af, const char* s, size_t n, uint8_t* addr) {
    char tmp[INET6_ADDRSTRLEN + 1];
    if (n == 0 || n >= sizeof(tmp)) return false;
    memcpy(tmp, s, n);
    tmp[n] = 0;
    return inet_pton(af, tmp, addr) == 1;
}

int parse(const char* host, const char* port, kiv_netaddr* out) {
    if (host == nullptr) return -EINVAL;
    const size_t len = strlen(host);
    const char* in_port = nullptr;  // port text inside `host`, if any
    size_t in_port_len = 0;

    if (host[0] == '[') {
        const char* close = strchr(host, ']');
        if (close == nullptr) return -EINVAL;
        if (close[1] == ':') {
            in_port = close + 2;
            in_port_len = len - size_t(in_port - host);
            if (in_port_len == 0) return -EINVAL;
        } else if (close[1] != 0) {
            return -EINVAL;
        }
        if (!parse_host(AF_INET6, host + 1, size_t(close - host - 1), out->addr)) return -EINVAL;
        out->kind = KIV_AF_INET6;
    } else {
        const char* colon = strchr(host, ':');
        if (colon != nullptr && strchr(colon + 1, ':') != nullptr) {
            // Two or more colons: a bare IPv6 address, which cannot carry a port.
            if (!parse_host(AF_INET6, host, len, out->addr)) return -EINVAL;
            out->kind = KIV_AF_INET6;
        } else {
            size_t host_len = colon ? size_t(colon - host) : len;
            if (colon) {
                in_port = colon + 1;
                in_port_len = len - host_len - 1;
                if (in_port_len == 0) return -EINVAL;
            }
            if (!parse_host(AF_INET, host, host_len, out->addr)) return -EINVAL;
            out->kind = KIV_AF_INET;
        }
    }

    if (in_port) return parse_port(in_port, in_port_len, &out->port) ? 0 : -EINVAL;
    if (port == nullptr || port[0] == 0) return 0;
    return parse_port(port, strlen(port), &out->port) ? 0 : -EINVAL;
}

}  // namespace

int kiv_parse_netaddr_port(const char* host, const char* port, kiv_netaddr* out) {
    memset(out, 0, sizeof(*out));
    int rc = parse(host, port, out);
    if (rc != 0) memset(out, 0, sizeof(*out));
    return rc;
}

int kiv_parse_netaddr(const char* text, kiv_netaddr* out) { return kiv_parse_netaddr_port(text, nullptr, out); }

int kiv_format_netaddr(char* buf, size_t size, const kiv_netaddr* a) {
    char host[INET6_ADDRSTRLEN];
    const char* fmt;
    if (a->kind == KIV_AF_INET) {
        inet_ntop(AF_INET, a->addr, host, sizeof(host));
        fmt = "%s:%u";
    } else if (a->kind == KIV_AF_INET6) {
        inet_ntop(AF_INET6, a->addr, host, sizeof(host));
        fmt = "[%s]:%u";
    } else {
        if (buf && size) buf[0] = 0;
        return -EINVAL;
    }
    return snprintf(buf, size, fmt, host, unsigned(a->port));
}

int kiv_format_netaddr_port(char* buf, size_t size, const kiv_netaddr* a) { return kiv_format_netaddr(buf, size, a); }

int kiv_netaddr_cmp(const kiv_netaddr* a, const kiv_netaddr* b) {
    if (a->kind != b->kind) return a->kind < b->kind ? -1 : 1;
    if (a->port != b->port) return a->port < b->port ? -1 : 1;
    int c = memcmp(a->addr, b->addr, sizeof(a->addr));
    return (c > 0) - (c < 0);
}
