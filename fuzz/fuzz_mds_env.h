// An MDS without sockets for the fuzz targets: the namespace engine of one
// file system with its data disks, and the request path of an instance
// (header checks, name checks, handler, reply) minus epochs. Requests are
// built with the client library's encoders; their replies come from the
// local cluster's handlers.
#pragma once

#include <string.h>

#include <memory>
#include <string>
#include <vector>

#include "client/tarn_mds_client_ops.h"
#include "client/tarn_wire.h"
#include "fuzz_seeds.h"
#include "kiv/rpc.h"
#include "localcluster/mds/mds_handlers.h"
#include "localcluster/mds/mds_proto.h"
#include "test_namespace_env.h"

class FuzzMds {
public:
    FuzzMds() : fs_(std::make_unique<NsTestFs>(false)) { bind(); }

    // A fresh file system, so that state does not pile up over a long run.
    void reset() {
        fs_ = std::make_unique<NsTestFs>(false);
        bind();
    }

    // Runs one request frame as an instance would; the reply frame, or
    // nothing for a request that is never answered.
    fuzzseed::Bytes execute(const uint8_t* frame, size_t len) {
        kiv_msg* req = kiv_rpc_alloc_output_msg(uint32_t(len < 24 ? 24 : len));
        memcpy(req->buf, frame, len);
        req->kept_len = req->total_len = uint32_t(len);
        lc_mds_call call{nullptr, &env_, req, req->buf, req->kept_len, {}, nullptr};
        const lc_mds_msg_def* def = nullptr;
        uint32_t st = lc_mds_check_header(call.buf, call.len, NsTestFs::kFsId, &def);
        // The test request crashes an instance: fault injection, not input.
        if (st == TARN_MDS_OK && def->type == TARN_MDS_TEST) st = TARN_MDS_NOT_IMPL;
        if (st == TARN_MDS_OK) {
            tarn_mds_req_hdr_read(call.buf, call.len, &call.hdr);
            if (!lc_mds_names_ok(def, call.buf, call.len)) st = TARN_MDS_INVAL;
        }
        if (st == TARN_MDS_OK) st = def->handler ? def->handler(&call) : uint32_t(TARN_MDS_NOT_IMPL);
        kiv_msg* reply = call.reply;
        if (reply)
            tarn_wire_put_u32(reply->buf, TARN_REPLY_STATUS, st);
        else if (len >= 24)
            reply = lc_mds_status_reply(req, def, st);
        fuzzseed::Bytes out;
        if (reply) out.assign(reply->buf, reply->buf + reply->kept_len);
        kiv_free_msg(reply);
        kiv_free_msg(req);
        return out;
    }

    tarn_mds_handle root() {
        lc_ns_handle h = fs_->root();
        tarn_mds_handle m;
        memcpy(&m, h.b, sizeof m);
        return m;
    }

    // The frame of `req` with a well-formed header.
    static fuzzseed::Bytes frame(const mds_request& req) {
        fuzzseed::Bytes b(req.length, 0);
        tarn_mds_req_hdr h{};
        h.length = req.length;
        h.type = req.type;
        h.version = TARN_WIRE_VERSION;
        h.client_id = 0xc1;
        h.epoch = 1;
        h.fs_id = NsTestFs::kFsId;
        tarn_mds_req_hdr_write(b.data(), &h);
        mds_req_write_fields(&req, b.data());
        return b;
    }

    // One request of every kind, in an order where each finds what the
    // earlier ones made; with their replies, type first.
    void sample(std::vector<fuzzseed::Bytes>* requests, std::vector<std::pair<uint32_t, fuzzseed::Bytes>>* replies) {
        const tarn_mds_handle r = root();
        NsUpdate mode(0644);
        uint8_t guard[TARN_MDS_GUARD_BYTES] = {};
        tarn_mds_handle made{};
        auto run = [&](int (*build)(mds_request*, void*), void* arg) {
            mds_request req;
            if (build(&req, arg) != 0) return fuzzseed::Bytes();
            fuzzseed::Bytes f = frame(req);
            fuzzseed::Bytes rep = execute(f.data(), f.size());
            requests->push_back(f);
            if (!rep.empty()) replies->push_back({req.type, rep});
            return rep;
        };
        struct Ctx {
            const tarn_mds_handle* root;
            tarn_mds_handle* made;
            const uint8_t* update;
            const uint8_t* guard;
        } c{&r, &made, mode.b, guard};
        fuzzseed::Bytes created = run(
            [](mds_request* q, void* a) {
                auto* c = static_cast<Ctx*>(a);
                return mds_req_create_file(q, c->root, "f", 2, c->update, 5);
            },
            &c);
        if (created.size() >= TARN_MDS_CREATE_REP_HANDLE + sizeof made)
            memcpy(&made, created.data() + TARN_MDS_CREATE_REP_HANDLE, sizeof made);
        using B = int (*)(mds_request*, void*);
        const B builders[] = {
            [](mds_request* q, void* a) { return mds_req_mkdir(q, static_cast<Ctx*>(a)->root, "d", static_cast<Ctx*>(a)->update, 6); },
            [](mds_request* q, void* a) { return mds_req_symlink(q, static_cast<Ctx*>(a)->root, "s", "f", static_cast<Ctx*>(a)->update); },
            [](mds_request* q, void* a) { return mds_req_lookup(q, static_cast<Ctx*>(a)->root, "f"); },
            [](mds_request* q, void* a) { return mds_req_readdir(q, static_cast<Ctx*>(a)->root, 0); },
            [](mds_request* q, void* a) { return mds_req_get_attrs(q, static_cast<Ctx*>(a)->made); },
            [](mds_request* q, void* a) { return mds_req_set_attrs(q, static_cast<Ctx*>(a)->made, static_cast<Ctx*>(a)->update, static_cast<Ctx*>(a)->guard); },
            [](mds_request* q, void* a) { return mds_req_link(q, static_cast<Ctx*>(a)->made, static_cast<Ctx*>(a)->root, "g"); },
            [](mds_request* q, void* a) { return mds_req_set_xattr(q, static_cast<Ctx*>(a)->root, "user.x", "v", 1, 0); },
            [](mds_request* q, void* a) { return mds_req_list_xattrs(q, static_cast<Ctx*>(a)->root); },
            [](mds_request* q, void* a) { return mds_req_get_xattr(q, static_cast<Ctx*>(a)->root, "user.x", 64); },
            [](mds_request* q, void* a) { return mds_req_remove_xattr(q, static_cast<Ctx*>(a)->root, "user.x"); },
            [](mds_request* q, void* a) { return mds_req_readlink(q, static_cast<Ctx*>(a)->root); },
            [](mds_request* q, void* a) { return mds_req_rename(q, static_cast<Ctx*>(a)->root, "g", static_cast<Ctx*>(a)->root, "h"); },
            [](mds_request* q, void* a) { return mds_req_remove(q, static_cast<Ctx*>(a)->root, "h"); },
            [](mds_request* q, void* a) { (void)a; return mds_req_get_fs_info(q); },
            [](mds_request* q, void* a) { (void)a; return mds_req_get_vdisk_map(q); },
            [](mds_request* q, void* a) { return mds_req_lookup(q, static_cast<Ctx*>(a)->root, "missing"); },
        };
        for (B b : builders) run(b, &c);
    }

private:
    void bind() {
        env_.ns = fs_->ns;
        env_.cdisk = nullptr;
        env_.fs = 0;
        env_.fs_id = NsTestFs::kFsId;
    }

    std::unique_ptr<NsTestFs> fs_;
    lc_mds_env env_;
};
