// A blocking test client of the simulated MDS: one TCP connection, requests
// built with the client library's request codec (mds_req_*), replies read
// whole and checked against the rules every MDS reply obeys, then decoded
// with the client's own reply decoder. Shared by the MDS message and crash
// tests.
#pragma once

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "client/tarn_client_conv.h"
#include "client/tarn_mds_client_ops.h"
#include "client/tarn_wire.h"
#include "kiv/base.h"
#include "hang_guard.h"

namespace mdswire {

using Bytes = std::vector<uint8_t>;

// Connects to 127.0.0.1:port; the fd, or -errno.
inline int connect_port(uint16_t port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -errno;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) < 0) {
        int e = errno;
        close(fd);
        return -e;
    }
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

// The bare error reply length of each request type, when it carries no
// block: 32, except get_xattr (always 40).
inline size_t bare_error_len(uint32_t type) {
    return type == TARN_MDS_GET_XATTR ? TARN_MDS_GET_XATTR_ERR_MIN : TARN_REPLY_HDR_BYTES;
}

// The length of an error reply that carries its directory (or object)
// blocks; 0 for types whose error replies carry none.
inline size_t block_error_len(uint32_t type) {
    switch (type) {
        case TARN_MDS_LOOKUP:
        case TARN_MDS_READDIR:
        case TARN_MDS_READLINK: return TARN_MDS_ERR_POST_OP_MIN;
        case TARN_MDS_SET_ATTRS:
        case TARN_MDS_CREATE_FILE:
        case TARN_MDS_MKDIR:
        case TARN_MDS_SYMLINK:
        case TARN_MDS_LINK:
        case TARN_MDS_REMOVE: return TARN_MDS_ERR_WCC_MIN;
        case TARN_MDS_RENAME: return TARN_MDS_ERR_RENAME_MIN;
        default: return 0;
    }
}

// The least OK reply length of each type.
inline size_t ok_min(uint32_t type) {
    switch (type) {
        case TARN_MDS_LOOKUP: return TARN_MDS_LOOKUP_REP_MIN;
        case TARN_MDS_READDIR: return TARN_MDS_READDIR_REP_MIN;
        case TARN_MDS_READLINK: return TARN_MDS_READLINK_REP_MIN;
        case TARN_MDS_GET_ATTRS: return TARN_MDS_GET_ATTRS_REP_MIN;
        case TARN_MDS_SET_ATTRS: return TARN_MDS_SET_ATTRS_REP_MIN;
        case TARN_MDS_CREATE_FILE: return TARN_MDS_CREATE_REP_MIN;
        case TARN_MDS_MKDIR:
        case TARN_MDS_SYMLINK: return TARN_MDS_MKOBJ_REP_MIN;
        case TARN_MDS_LINK: return TARN_MDS_LINK_REP_MIN;
        case TARN_MDS_RENAME: return TARN_MDS_RENAME_REP_MIN;
        case TARN_MDS_REMOVE: return TARN_MDS_REMOVE_REP_MIN;
        case TARN_MDS_GET_FS_INFO: return TARN_MDS_GET_FS_INFO_REP_MIN;
        case TARN_MDS_GET_VDISK_MAP: return TARN_MDS_VDISK_MAP_REP_MIN;
        default: return TARN_REPLY_HDR_BYTES;
    }
}

// One reply as it came.
struct Reply {
    Bytes b;
    uint32_t type = 0;  // of the request
    uint32_t status() const { return b.size() >= 28 ? tarn_wire_get_u32(b.data(), TARN_REPLY_STATUS) : 0xFFFFFFFF; }
    size_t len() const { return b.size(); }
    const uint8_t* at(size_t off) const { return b.data() + off; }
    uint32_t u32(size_t off) const { return tarn_wire_get_u32(b.data(), off); }
    uint64_t u64(size_t off) const { return tarn_wire_get_u64(b.data(), off); }
};

// What every MDS reply obeys, whatever the request: its length field, type
// and transaction id; a status the client knows; an OK reply at least its
// type's minimum; an error reply bare or exactly as long as the blocks it
// carries; the reserved word zero; and the client's decoder taking it.
inline void check_discipline(const Reply& r, const uint8_t* xid) {
    ASSERT_GE(r.len(), TARN_REPLY_HDR_BYTES);
    EXPECT_EQ(r.len(), r.u32(TARN_MSG_LENGTH));
    EXPECT_EQ(r.type + 1, r.u32(TARN_MSG_TYPE));
    EXPECT_EQ(0, memcmp(xid, r.at(TARN_MSG_XID), TARN_MSG_XID_BYTES));
    EXPECT_EQ(0u, r.u32(TARN_REPLY_RESERVED));
    uint32_t st = r.status();
    EXPECT_LE(st, TARN_MDS_STATUS_MAX);
    if (st == TARN_MDS_OK) {
        EXPECT_GE(r.len(), ok_min(r.type)) << "OK reply to type " << r.type;
    } else if (r.len() != bare_error_len(r.type)) {
        EXPECT_EQ(block_error_len(r.type), r.len()) << "error reply to type " << r.type << ", status " << st;
    }
    // Here the decoder only judges the reply; its text outputs land in a
    // scratch buffer as large as any reply.
    static thread_local Bytes scratch(TARN_MDS_MAX_MSG);
    mds_reply_outs outs{};
    outs.buf = scratch.data();
    outs.buf_size = scratch.size();
    rpc_error err{};
    bool taken = mds_reply_decode(r.type, st == TARN_MDS_OK, r.b.data(), r.len(), &outs, &err);
    EXPECT_TRUE(taken) << "the client refuses the reply to type " << r.type << " (status " << st << ", "
                       << r.len() << " bytes)";
    if (outs.reply_copy) __kiv_free(outs.reply_copy);
    if (outs.map) mds_client_free_vdisk_map(outs.map);
}

class Conn {
   public:
    Conn(uint16_t port, uint64_t fs_id, uint64_t client_id = 0x7e57c11e)
        : fs_id_(fs_id), client_id_(client_id) {
        fd_ = connect_port(port);
        EXPECT_GE(fd_, 0) << "connect: " << strerror(-fd_);
        tarn_credentials cr{};
        cr.uid = 0;
        cr.gid = 0;
        tarn2mds_credentials(&cr, creds_);
    }
    ~Conn() {
        if (fd_ >= 0) close(fd_);
    }
    Conn(const Conn&) = delete;
    Conn& operator=(const Conn&) = delete;

    bool ok() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    void set_creds(uint32_t uid, uint32_t gid) {
        tarn_credentials cr{};
        cr.uid = uid;
        cr.gid = gid;
        tarn2mds_credentials(&cr, creds_);
    }
    void set_fs(uint64_t fs_id) { fs_id_ = fs_id; }
    // The epoch re-send flag on every request (a restarted server knows
    // nobody), or only when asked.
    void set_resend(bool on) { resend_ = on; }

    // The frame of `req`: the header as the client writes it, a fresh
    // transaction id, the fields from the client's codec.
    Bytes frame(const mds_request& req) {
        Bytes b(req.length, 0);
        tarn_mds_req_hdr h{};
        h.length = req.length;
        h.type = req.type;
        h.version = TARN_WIRE_VERSION;
        h.client_id = client_id_;
        h.epoch = 1;
        h.flags = resend_ ? TARN_REQ_FLAG_EPOCH_RESEND : 0;
        memcpy(h.credentials, creds_, sizeof creds_);
        h.fs_id = fs_id_;
        tarn_mds_req_hdr_write(b.data(), &h);
        tarn_wire_put_u64(b.data(), TARN_MSG_XID, ++xid_);
        tarn_wire_put_u64(b.data(), TARN_MSG_XID + 8, 0x5eed);
        mds_req_write_fields(&req, b.data());
        return b;
    }

    bool send_bytes(const Bytes& b) {
        size_t off = 0;
        while (off < b.size()) {
            ssize_t w = ::send(fd_, b.data() + off, b.size() - off, MSG_NOSIGNAL);
            if (w < 0 && errno == EINTR) continue;
            if (w <= 0) return false;
            off += size_t(w);
        }
        return true;
    }

    // One whole frame; false on EOF, error or `timeout_ms` without data.
    // The default is the hang guard, for a reply or a close that must come;
    // a test that asserts that nothing comes passes a short time-out.
    bool read_frame(Bytes* out, int timeout_ms = int(lctest::kHangGuard.count())) {
        uint8_t len4[4];
        if (!read_exact(len4, 4, timeout_ms)) return false;
        uint32_t len = tarn_wire_get_u32(len4, 0);
        if (len < 24 || len > TARN_MDS_MAX_MSG) return false;
        out->assign(len, 0);
        memcpy(out->data(), len4, 4);
        return read_exact(out->data() + 4, len - 4, timeout_ms);
    }

    // Sends a raw frame and returns its reply, checked.
    Reply call_raw(const Bytes& f) {
        Reply r;
        r.type = tarn_wire_get_u32(f.data(), TARN_MSG_TYPE);
        EXPECT_TRUE(send_bytes(f));
        EXPECT_TRUE(read_frame(&r.b)) << "no reply to type " << r.type;
        if (r.b.size() >= TARN_REPLY_HDR_BYTES) check_discipline(r, f.data() + TARN_MSG_XID);
        return r;
    }
    Reply call(const mds_request& req) { return call_raw(frame(req)); }

   private:
    bool read_exact(uint8_t* p, size_t n, int timeout_ms) {
        size_t got = 0;
        while (got < n) {
            pollfd pfd{fd_, POLLIN, 0};
            int pr = poll(&pfd, 1, timeout_ms);
            if (pr < 0 && errno == EINTR) continue;
            if (pr <= 0) return false;
            ssize_t r = ::recv(fd_, p + got, n - got, 0);
            if (r < 0 && errno == EINTR) continue;
            if (r <= 0) return false;
            got += size_t(r);
        }
        return true;
    }

    int fd_ = -1;
    uint64_t fs_id_;
    uint64_t client_id_;
    uint64_t xid_ = 0;
    bool resend_ = true;
    uint8_t creds_[TARN_WIRE_CREDS_BYTES] = {};
};

// The handle at `off` of a reply.
inline tarn_mds_handle handle_at(const Reply& r, size_t off) {
    tarn_mds_handle h;
    memcpy(&h, r.at(off), sizeof h);
    return h;
}

inline uint64_t now_ns() {
    return uint64_t(std::chrono::duration_cast<std::chrono::nanoseconds>(
                        std::chrono::system_clock::now().time_since_epoch())
                        .count());
}

// The all-zero handle ("no parent").
inline tarn_mds_handle zero_handle() {
    tarn_mds_handle h;
    memset(&h, 0, sizeof h);
    return h;
}

}  // namespace mdswire
