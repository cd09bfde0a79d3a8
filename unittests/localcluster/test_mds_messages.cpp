// Every MDS message of the simulated cluster end to end: requests built
// with the client library's codec and sent over TCP to a cluster started
// in-process; each reply checked byte by byte against what the request
// did, and fed to the client's own reply decoder. Every reply also passes
// the general discipline (mds_wire_client.h): exact length field, OK
// replies at least their minimum, error replies bare or exactly as long as
// the blocks they carry, get_xattr error replies always 40 bytes.
#include <gtest/gtest.h>
#include <string.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "client/tarn_mds_client_ops.h"
#include "localcluster/cluster.h"
#include "mds_wire_client.h"

namespace {

using mdswire::Bytes;
using mdswire::Conn;
using mdswire::Reply;
using mdswire::handle_at;
using mdswire::now_ns;
using mdswire::zero_handle;

constexpr uint64_t kFs = 0x1001;      // case-sensitive, regular-file xattrs on the DS
constexpr uint64_t kFsCi = 0x1002;    // case-insensitive
constexpr uint64_t kFsMx = 0x1003;    // regular-file xattrs on the MDS
constexpr uint64_t kFsTiny = 0x1004;  // 4 files, 1 MiB
constexpr uint32_t kVdisks = 6;       // 3 hosts x 2

localcluster::Cluster* g_cluster = nullptr;

// The MDS port of a file system, from the cluster's status.
uint16_t mds_port(const std::string& fs) {
    std::string s = g_cluster->control("status");
    size_t at = 0;
    while ((at = s.find("{\"service\":\"mds\"", at)) != std::string::npos) {
        std::string obj = s.substr(at, s.find('}', at) - at + 1);
        size_t p = obj.find("\"port\":");
        if (obj.find("\"fs\":\"" + fs + "\"") != std::string::npos && p != std::string::npos)
            return uint16_t(strtol(obj.c_str() + p + 7, nullptr, 10));
        at++;
    }
    return 0;
}

Bytes update(uint32_t mask, uint32_t mode = 0, uint32_t uid = 0, uint32_t gid = 0, uint64_t size = 0,
             uint64_t atime = 0, uint64_t mtime = 0) {
    tarn_attr_update u{};
    u.mask = mask;
    u.attr.mode = mode;
    u.attr.uid = uid;
    u.attr.gid = gid;
    u.attr.size = size;
    u.attr.atime = atime;
    u.attr.mtime = mtime;
    Bytes b(TARN_MDS_UPDATE_BYTES);
    tarn2mds_attr_update(&u, b.data());
    return b;
}

const Bytes kNoUpdate = update(0);

// The handle bytes of an object: file id, type, flags, fs id, length 20,
// everything else zero.
void expect_handle(const uint8_t* h, uint64_t id, uint8_t type, uint8_t flags, uint64_t fs) {
    EXPECT_EQ(id, tarn_wire_get_u64(h, TARN_MDS_HANDLE_FILE_ID));
    EXPECT_EQ(type, h[TARN_MDS_HANDLE_TYPE]);
    EXPECT_EQ(flags, h[TARN_MDS_HANDLE_FLAGS]);
    EXPECT_EQ(0u, tarn_wire_get_u16(h, 10));
    EXPECT_EQ(fs, tarn_wire_get_u64(h, 12));
    for (size_t i = 20; i < TARN_MDS_HANDLE_LENGTH; i++) EXPECT_EQ(0, h[i]) << "handle byte " << i;
    EXPECT_EQ(20, h[TARN_MDS_HANDLE_LENGTH]);
}

// A wire time: the value in the first 8 bytes, zero in the second 8.
uint64_t time_at(const uint8_t* p, size_t off) {
    EXPECT_EQ(0u, tarn_wire_get_u64(p, off + 8)) << "second half of the time at +" << off;
    return tarn_wire_get_u64(p, off);
}

struct Attrs {
    uint16_t type, vdisk;
    uint64_t inode;
    uint32_t mode, nlinks, uid, gid;
    uint64_t size, space, atime, mtime, ctime;
};

Attrs attrs_at(const uint8_t* a) {
    Attrs x;
    x.type = tarn_wire_get_u16(a, TARN_MDS_ATTR_TYPE);
    x.vdisk = tarn_wire_get_u16(a, TARN_MDS_ATTR_VDISK_ID);
    x.inode = tarn_wire_get_u64(a, TARN_MDS_ATTR_INODE_NUM);
    x.mode = tarn_wire_get_u32(a, TARN_MDS_ATTR_MODE);
    x.nlinks = tarn_wire_get_u32(a, TARN_MDS_ATTR_NLINKS);
    x.uid = tarn_wire_get_u32(a, TARN_MDS_ATTR_UID);
    x.gid = tarn_wire_get_u32(a, TARN_MDS_ATTR_GID);
    x.size = tarn_wire_get_u64(a, TARN_MDS_ATTR_SIZE);
    x.space = tarn_wire_get_u64(a, TARN_MDS_ATTR_SPACE_USED);
    x.atime = time_at(a, TARN_MDS_ATTR_ATIME);
    x.mtime = time_at(a, TARN_MDS_ATTR_MTIME);
    x.ctime = time_at(a, TARN_MDS_ATTR_CTIME);
    EXPECT_EQ(0u, tarn_wire_get_u32(a, TARN_MDS_ATTR_RESERVED));
    EXPECT_EQ(0u, tarn_wire_get_u64(a, TARN_MDS_ATTR_SPARE1));
    EXPECT_EQ(0u, tarn_wire_get_u64(a, TARN_MDS_ATTR_SPARE2));
    // The client's view of the same block.
    tarn_attr t{};
    mds2tarn_attributes(a, &t);
    EXPECT_EQ(x.type, t.type);
    EXPECT_EQ(x.inode, t.inode_num);
    EXPECT_EQ(x.mode, t.mode);
    EXPECT_EQ(x.nlinks, t.nlinks);
    EXPECT_EQ(x.size, t.size);
    EXPECT_EQ(x.space, t.space_used);
    EXPECT_EQ(x.mtime, t.mtime);
    EXPECT_EQ(x.ctime, t.ctime);
    return x;
}

struct PostOp {
    bool present;
    uint64_t size, space, id, mtime, ctime;
};

PostOp post_at(const uint8_t* p) {
    PostOp x{};
    x.present = p[TARN_POST_OP_PRESENT] & 1;
    if (!x.present) {
        for (size_t i = 0; i < TARN_POST_OP_BYTES; i++) EXPECT_EQ(0, p[i]) << "absent post-op byte " << i;
        return x;
    }
    for (size_t i = 1; i < 8; i++) EXPECT_EQ(0, p[i]);
    x.size = tarn_wire_get_u64(p, TARN_POST_OP_VALUE1);
    x.space = tarn_wire_get_u64(p, TARN_POST_OP_VALUE2);
    x.id = tarn_wire_get_u64(p, TARN_POST_OP_VALUE3);
    x.mtime = time_at(p, TARN_POST_OP_TIME1);
    x.ctime = time_at(p, TARN_POST_OP_TIME2);
    tarn_post_op_data d{};
    mds2tarn_post_op_wcc_data(p, &d);
    EXPECT_EQ(1, d.present);
    EXPECT_EQ(x.size, d.value1);
    EXPECT_EQ(x.id, d.value3);
    EXPECT_EQ(x.mtime, d.time1);
    return x;
}

struct Wcc {
    bool pre_present;
    uint64_t pre_size, pre_mtime, pre_ctime;
    PostOp post;
};

Wcc wcc_at(const uint8_t* p) {
    Wcc w{};
    w.pre_present = p[TARN_WCC_PRE_PRESENT] & 1;
    if (w.pre_present) {
        w.pre_size = tarn_wire_get_u64(p, TARN_WCC_PRE_VALUE);
        w.pre_mtime = time_at(p, TARN_WCC_PRE_TIME1);
        w.pre_ctime = time_at(p, TARN_WCC_PRE_TIME2);
        tarn_wcc_data d{};
        mds2tarn_wcc_data(p, &d);
        EXPECT_EQ(w.pre_mtime, d.pre_time1);
        EXPECT_EQ(w.pre_ctime, d.pre_time2);
    }
    w.post = post_at(p + TARN_WCC_POST);
    return w;
}

class MdsMessagesTest : public ::testing::Test {
   protected:
    static void SetUpTestSuite() {
        localcluster::ClusterConfig cfg;
        cfg.fs.push_back({"tarn", kFs});
        cfg.fs.push_back({"tarn_ci", kFsCi, true});
        localcluster::FsConfig mx{"tarn_mx", kFsMx};
        mx.xattrs_on_ds = false;
        cfg.fs.push_back(mx);
        localcluster::FsConfig tiny{"tarn_tiny", kFsTiny};
        tiny.capacity = 1 << 20;
        tiny.files = 4;
        cfg.fs.push_back(tiny);
        cfg.lock_servers = false;
        cfg.log_level = 0;
        g_cluster = localcluster::Cluster::start(cfg).release();
    }
    static void TearDownTestSuite() {
        delete g_cluster;
        g_cluster = nullptr;
    }

    void SetUp() override {
        conn_ = std::make_unique<Conn>(mds_port("tarn"), kFs);
        ASSERT_TRUE(conn_->ok());
        Reply r = lookup(*conn_, zero_handle(), "/");
        ASSERT_EQ(TARN_MDS_OK, r.status());
        root_ = handle_at(r, TARN_MDS_LOOKUP_REP_HANDLE);
        // Every test works in a directory of its own.
        std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        home_ = mkdir(*conn_, root_, name);
    }

    // mkdir, expected to succeed; the new directory's handle.
    tarn_mds_handle mkdir(Conn& c, const tarn_mds_handle& dir, const std::string& name, uint64_t verifier = 0) {
        mds_request rq;
        EXPECT_EQ(0, mds_req_mkdir(&rq, &dir, name.c_str(), kNoUpdate.data(), verifier));
        Reply r = c.call(rq);
        EXPECT_EQ(TARN_MDS_OK, r.status()) << "mkdir " << name;
        return handle_at(r, TARN_MDS_MKOBJ_REP_HANDLE);
    }
    Reply create(Conn& c, const tarn_mds_handle& dir, const std::string& name, uint32_t mode = 2,
                 uint64_t verifier = 0, const Bytes& upd = kNoUpdate) {
        mds_request rq;
        EXPECT_EQ(0, mds_req_create_file(&rq, &dir, name.c_str(), mode, upd.data(), verifier));
        return c.call(rq);
    }
    tarn_mds_handle create_ok(Conn& c, const tarn_mds_handle& dir, const std::string& name) {
        Reply r = create(c, dir, name);
        EXPECT_EQ(TARN_MDS_OK, r.status()) << "create " << name;
        return handle_at(r, TARN_MDS_CREATE_REP_HANDLE);
    }
    Reply lookup(Conn& c, const tarn_mds_handle& dir, const std::string& name) {
        mds_request rq;
        EXPECT_EQ(0, mds_req_lookup(&rq, &dir, name.c_str()));
        return c.call(rq);
    }
    Reply get_attrs(Conn& c, const tarn_mds_handle& h) {
        mds_request rq;
        EXPECT_EQ(0, mds_req_get_attrs(&rq, &h));
        return c.call(rq);
    }
    Attrs attrs_of(Conn& c, const tarn_mds_handle& h) {
        Reply r = get_attrs(c, h);
        EXPECT_EQ(TARN_MDS_OK, r.status());
        EXPECT_EQ(TARN_MDS_GET_ATTRS_REP_MIN, r.len());
        return attrs_at(r.at(TARN_MDS_GET_ATTRS_REP_ATTRS));
    }
    Reply readdir(Conn& c, const tarn_mds_handle& dir, uint64_t cookie, uint64_t max_reply = TARN_MDS_MAX_MSG) {
        mds_request rq;
        EXPECT_EQ(0, mds_req_readdir(&rq, &dir, cookie));
        Bytes f = c.frame(rq);
        tarn_wire_put_u64(f.data(), TARN_MDS_READDIR_MAX_REPLY, max_reply);
        return c.call_raw(f);
    }
    Reply set_xattr(Conn& c, const tarn_mds_handle& h, const std::string& name, const std::string& value,
                    uint32_t mode = 0) {
        mds_request rq;
        EXPECT_EQ(0, mds_req_set_xattr(&rq, &h, name.c_str(), value.data(), value.size(), mode));
        return c.call(rq);
    }
    Reply get_xattr(Conn& c, const tarn_mds_handle& h, const std::string& name, size_t buf_size) {
        mds_request rq;
        EXPECT_EQ(0, mds_req_get_xattr(&rq, &h, name.c_str(), buf_size));
        return c.call(rq);
    }

    std::unique_ptr<Conn> conn_;
    tarn_mds_handle root_{};
    tarn_mds_handle home_{};
};

// ---------------------------------------------------------------- lookup

TEST_F(MdsMessagesTest, LookupOfTheRootAndItsHandle) {
    Reply r = lookup(*conn_, zero_handle(), "/");
    ASSERT_EQ(TARN_MDS_OK, r.status());
    ASSERT_EQ(TARN_MDS_LOOKUP_REP_MIN, r.len());
    expect_handle(r.at(TARN_MDS_LOOKUP_REP_HANDLE), 1, 2, 0, kFs);
    Attrs a = attrs_at(r.at(TARN_MDS_LOOKUP_REP_ATTRS));
    EXPECT_EQ(2, a.type);
    EXPECT_EQ(TARN_VDISK_ID_NONE, a.vdisk);
    EXPECT_EQ(1u, a.inode);
    EXPECT_EQ(0755u, a.mode);
    EXPECT_GE(a.nlinks, 3u);  // 2 + this test's directory at least
    EXPECT_EQ(0u, a.size);
    EXPECT_EQ(0u, a.space);
    EXPECT_LE(a.atime, now_ns());
    PostOp p = post_at(r.at(TARN_MDS_LOOKUP_REP_DIR_POST_OP));
    EXPECT_TRUE(p.present);
    EXPECT_EQ(1u, p.id);
    EXPECT_EQ(a.mtime, p.mtime);
    EXPECT_EQ(a.ctime, p.ctime);

    // The client's decoder hands out the same bytes.
    tarn_mds_handle h;
    uint8_t attrs[TARN_MDS_ATTR_BYTES], post[TARN_POST_OP_BYTES];
    mds_reply_outs outs{};
    outs.handle = &h;
    outs.attrs = attrs;
    outs.post_op = post;
    rpc_error err{};
    ASSERT_TRUE(mds_reply_decode(TARN_MDS_LOOKUP, true, r.b.data(), r.len(), &outs, &err));
    EXPECT_EQ(0, memcmp(&h, r.at(TARN_MDS_LOOKUP_REP_HANDLE), sizeof h));
    EXPECT_EQ(0, memcmp(attrs, r.at(TARN_MDS_LOOKUP_REP_ATTRS), sizeof attrs));
    EXPECT_EQ(0, memcmp(post, r.at(TARN_MDS_LOOKUP_REP_DIR_POST_OP), sizeof post));

    // "/." and "." from the root name the root.
    Reply dot = lookup(*conn_, zero_handle(), "/.");
    ASSERT_EQ(TARN_MDS_OK, dot.status());
    EXPECT_EQ(0, memcmp(&h, dot.at(TARN_MDS_LOOKUP_REP_HANDLE), sizeof h));
    Reply self = lookup(*conn_, h, ".");
    ASSERT_EQ(TARN_MDS_OK, self.status());
    EXPECT_EQ(0, memcmp(&h, self.at(TARN_MDS_LOOKUP_REP_HANDLE), sizeof h));
}

TEST_F(MdsMessagesTest, LookupErrorsCarryTheDirectoryWhenItExists) {
    tarn_mds_handle f = create_ok(*conn_, home_, "file");
    struct Case {
        const char* what;
        tarn_mds_handle dir;
        const char* name;
        uint32_t status;
        bool post;  // the directory's post-op comes back
    };
    tarn_mds_handle unknown = home_;
    unknown.file_id = 1u << 30;
    tarn_mds_handle short_len = home_;
    short_len.len = 9;
    tarn_mds_handle other_fs = home_;
    memset(other_fs.rest + 2, 0x11, 1);  // fs id at +12 differs
    tarn_mds_handle wrong_type = home_;
    wrong_type.type = 1;
    std::vector<Case> cases = {
        {"missing name", home_, "nope", TARN_MDS_NOT_FOUND, true},
        {"missing intermediate", home_, "a/b", TARN_MDS_NOT_FOUND, true},
        {"dot-dot before a missing name", home_, "../nope", TARN_MDS_INVAL, true},
        {"inner dot", home_, "file/./x", TARN_MDS_INVAL, true},
        {"empty component", home_, "a//b", TARN_MDS_INVAL, true},
        {"through a file", home_, "file/x", TARN_MDS_NOT_DIR, true},
        {"relative path from no parent", zero_handle(), "tarn", TARN_MDS_INVAL, true},
        {"empty path from no parent", zero_handle(), "", TARN_MDS_INVAL, false},
        {"empty path", home_, "", TARN_MDS_INVAL, true},
        {"dot-dot from the root", zero_handle(), "/..", TARN_MDS_INVAL, true},
        {"below a file", f, "x", TARN_MDS_NOT_DIR, false},
        {"unknown file id", unknown, "x", TARN_MDS_NOT_FOUND, false},
        {"handle length 9", short_len, "x", TARN_MDS_INVAL, false},
        {"handle of another fs", other_fs, "x", TARN_MDS_INVAL, false},
        {"type byte not the object's", wrong_type, "x", TARN_MDS_INVAL, false},
    };
    for (const Case& c : cases) {
        Reply r = lookup(*conn_, c.dir, c.name);
        EXPECT_EQ(c.status, r.status()) << c.what;
        ASSERT_EQ(c.post ? TARN_MDS_ERR_POST_OP_MIN : TARN_REPLY_HDR_BYTES, r.len()) << c.what;
        if (!c.post) continue;
        PostOp p = post_at(r.at(TARN_MDS_ERR_POST_OP));
        EXPECT_TRUE(p.present) << c.what;
        EXPECT_EQ(c.dir.file_id ? c.dir.file_id : 1u, p.id) << c.what;
        // The decoder copies it out of the error reply.
        uint8_t post[TARN_POST_OP_BYTES] = {};
        mds_reply_outs outs{};
        outs.post_op = post;
        rpc_error err{};
        ASSERT_TRUE(mds_reply_decode(TARN_MDS_LOOKUP, false, r.b.data(), r.len(), &outs, &err));
        EXPECT_EQ(0, memcmp(post, r.at(TARN_MDS_ERR_POST_OP), sizeof post)) << c.what;
    }
}

// ---------------------------------------------------------------- create, mkdir, symlink

TEST_F(MdsMessagesTest, CreateFileReplyCarriesEveryField) {
    Reply before = lookup(*conn_, home_, ".");
    ASSERT_EQ(TARN_MDS_OK, before.status());
    Attrs dir0 = attrs_at(before.at(TARN_MDS_LOOKUP_REP_ATTRS));

    conn_->set_creds(1234, 5678);
    uint64_t t0 = now_ns();
    Reply r = create(*conn_, home_, "f1", 2, 0, update(TARN_MDS_SET_MODE | TARN_MDS_SET_GID, 0100640, 0, 8));
    uint64_t t1 = now_ns();
    ASSERT_EQ(TARN_MDS_OK, r.status());
    ASSERT_EQ(TARN_MDS_CREATE_REP_MIN, r.len());
    tarn_mds_handle h = handle_at(r, TARN_MDS_CREATE_REP_HANDLE);
    EXPECT_GT(h.file_id, home_.file_id);
    expect_handle(r.at(TARN_MDS_CREATE_REP_HANDLE), h.file_id, 1, TARN_MDS_HANDLE_XATTRS_ON_DS, kFs);
    Attrs a = attrs_at(r.at(TARN_MDS_CREATE_REP_ATTRS));
    EXPECT_EQ(1, a.type);
    EXPECT_LT(a.vdisk, kVdisks);
    EXPECT_EQ(h.file_id, a.inode);
    EXPECT_EQ(0640u, a.mode);  // permission bits only
    EXPECT_EQ(1u, a.nlinks);
    EXPECT_EQ(1234u, a.uid);  // from the credentials
    EXPECT_EQ(8u, a.gid);     // from the update
    EXPECT_EQ(0u, a.size);
    EXPECT_EQ(0u, a.space);
    EXPECT_GE(a.ctime, t0);
    EXPECT_LE(a.ctime, t1);
    EXPECT_EQ(a.ctime, a.mtime);
    EXPECT_EQ(a.ctime, a.atime);
    Wcc w = wcc_at(r.at(TARN_MDS_CREATE_REP_DIR_WCC));
    EXPECT_TRUE(w.pre_present);
    EXPECT_EQ(dir0.mtime, w.pre_mtime);
    EXPECT_EQ(dir0.ctime, w.pre_ctime);
    EXPECT_EQ(0u, w.pre_size);
    EXPECT_TRUE(w.post.present);
    EXPECT_EQ(home_.file_id, w.post.id);
    EXPECT_GE(w.post.mtime, t0);
    EXPECT_EQ(w.post.mtime, w.post.ctime);
    EXPECT_EQ(1u, r.u32(TARN_MDS_CREATE_REP_FLAGS));
    EXPECT_EQ(0u, r.u32(TARN_MDS_CREATE_REP_FLAGS + 4));

    // The client's decoder.
    tarn_mds_handle dh;
    uint8_t attrs[TARN_MDS_ATTR_BYTES], wcc[TARN_WCC_BYTES];
    uint8_t created = 0;
    mds_reply_outs outs{};
    outs.handle = &dh;
    outs.attrs = attrs;
    outs.wcc = wcc;
    outs.created = &created;
    rpc_error err{};
    ASSERT_TRUE(mds_reply_decode(TARN_MDS_CREATE_FILE, true, r.b.data(), r.len(), &outs, &err));
    EXPECT_EQ(0, memcmp(&dh, &h, sizeof h));
    EXPECT_EQ(1, created);
    EXPECT_EQ(0, memcmp(wcc, r.at(TARN_MDS_CREATE_REP_DIR_WCC), sizeof wcc));

    // Lookup and get_attrs agree byte for byte.
    Reply l = lookup(*conn_, home_, "f1");
    ASSERT_EQ(TARN_MDS_OK, l.status());
    EXPECT_EQ(0, memcmp(l.at(TARN_MDS_LOOKUP_REP_HANDLE), &h, sizeof h));
    EXPECT_EQ(0, memcmp(l.at(TARN_MDS_LOOKUP_REP_ATTRS), r.at(TARN_MDS_CREATE_REP_ATTRS), TARN_MDS_ATTR_BYTES));
    Reply g = get_attrs(*conn_, h);
    ASSERT_EQ(TARN_MDS_OK, g.status());
    EXPECT_EQ(0, memcmp(g.at(TARN_MDS_GET_ATTRS_REP_ATTRS), r.at(TARN_MDS_CREATE_REP_ATTRS), TARN_MDS_ATTR_BYTES));
}

TEST_F(MdsMessagesTest, CreateModesAndVerifiers) {
    // Exclusive with a verifier: a repeat answers exactly as the first.
    Reply first = create(*conn_, home_, "x", 3, 77);
    ASSERT_EQ(TARN_MDS_OK, first.status());
    Reply again = create(*conn_, home_, "x", 3, 77);
    ASSERT_EQ(TARN_MDS_OK, again.status());
    EXPECT_EQ(1u, again.u32(TARN_MDS_CREATE_REP_FLAGS));
    EXPECT_EQ(0, memcmp(first.at(TARN_MDS_CREATE_REP_HANDLE), again.at(TARN_MDS_CREATE_REP_HANDLE),
                        TARN_MDS_HANDLE_BYTES));
    EXPECT_EQ(0, memcmp(first.at(TARN_MDS_CREATE_REP_ATTRS), again.at(TARN_MDS_CREATE_REP_ATTRS),
                        TARN_MDS_ATTR_BYTES));
    Wcc w = wcc_at(again.at(TARN_MDS_CREATE_REP_DIR_WCC));
    EXPECT_EQ(w.pre_mtime, w.post.mtime);  // nothing changed

    struct Case {
        const char* what;
        const char* name;
        uint32_t mode;
        uint64_t verifier;
        uint32_t status;
    };
    std::vector<Case> cases = {
        {"another verifier", "x", 3, 78, TARN_MDS_EXISTS},
        {"guarded on an existing name", "x", 2, 77, TARN_MDS_OK},  // same verifier: a repeat
        {"guarded without verifier", "x", 2, 0, TARN_MDS_EXISTS},
        {"unchecked", "y", 1, 0, TARN_MDS_NOT_IMPL},
        {"mode 4", "y", 4, 0, TARN_MDS_INVAL},
        {"mode 0", "y", 0, 0, TARN_MDS_INVAL},
        {"exclusive without verifier", "y", 3, 0, TARN_MDS_INVAL},
        {"dot", ".", 2, 0, TARN_MDS_INVAL},
        {"dot-dot", "..", 2, 0, TARN_MDS_INVAL},
        {"slash", "a/b", 2, 0, TARN_MDS_INVAL},
        {"empty", "", 2, 0, TARN_MDS_INVAL},
    };
    for (const Case& c : cases) {
        Reply r = create(*conn_, home_, c.name, c.mode, c.verifier);
        EXPECT_EQ(c.status, r.status()) << c.what;
        if (c.status == TARN_MDS_OK) continue;
        ASSERT_EQ(TARN_MDS_ERR_WCC_MIN, r.len()) << c.what;
        Wcc e = wcc_at(r.at(TARN_MDS_ERR_WCC));
        EXPECT_TRUE(e.pre_present && e.post.present) << c.what;
        EXPECT_EQ(home_.file_id, e.post.id) << c.what;
    }
    // Under a directory that does not exist, no blocks come back.
    tarn_mds_handle gone = home_;
    gone.file_id = 1u << 30;
    Reply r = create(*conn_, gone, "z");
    EXPECT_EQ(TARN_MDS_NOT_FOUND, r.status());
    EXPECT_EQ(TARN_REPLY_HDR_BYTES, r.len());
    // Under a file: not a directory, and no directory blocks.
    tarn_mds_handle f = handle_at(first, TARN_MDS_CREATE_REP_HANDLE);
    r = create(*conn_, f, "z");
    EXPECT_EQ(TARN_MDS_NOT_DIR, r.status());
    EXPECT_EQ(TARN_REPLY_HDR_BYTES, r.len());
}

TEST_F(MdsMessagesTest, MkdirSymlinkAndReadlinkReplies) {
    uint64_t t0 = now_ns();
    mds_request rq;
    Bytes u1 = update(TARN_MDS_SET_MODE, 0700);
    ASSERT_EQ(0, mds_req_mkdir(&rq, &home_, "sub", u1.data(), 5));
    Reply d = conn_->call(rq);
    ASSERT_EQ(TARN_MDS_OK, d.status());
    ASSERT_EQ(TARN_MDS_MKOBJ_REP_MIN, d.len());
    tarn_mds_handle dh = handle_at(d, TARN_MDS_MKOBJ_REP_HANDLE);
    expect_handle(d.at(TARN_MDS_MKOBJ_REP_HANDLE), dh.file_id, 2, 0, kFs);
    Attrs da = attrs_at(d.at(TARN_MDS_MKOBJ_REP_ATTRS));
    EXPECT_EQ(2, da.type);
    EXPECT_EQ(TARN_VDISK_ID_NONE, da.vdisk);
    EXPECT_EQ(0700u, da.mode);
    EXPECT_EQ(2u, da.nlinks);
    EXPECT_GE(da.ctime, t0);
    Wcc w = wcc_at(d.at(TARN_MDS_MKOBJ_REP_DIR_WCC));
    EXPECT_EQ(home_.file_id, w.post.id);
    EXPECT_EQ(3u, attrs_of(*conn_, home_).nlinks);
    // The same verifier repeats; another one is refused.
    EXPECT_EQ(TARN_MDS_OK, conn_->call(rq).status());
    ASSERT_EQ(0, mds_req_mkdir(&rq, &home_, "sub", kNoUpdate.data(), 6));
    Reply ex = conn_->call(rq);
    EXPECT_EQ(TARN_MDS_EXISTS, ex.status());
    EXPECT_EQ(TARN_MDS_ERR_WCC_MIN, ex.len());

    Bytes u2 = update(TARN_MDS_SET_MODE, 0600);
    ASSERT_EQ(0, mds_req_symlink(&rq, &home_, "ln", "sub/target", u2.data()));
    Reply s = conn_->call(rq);
    ASSERT_EQ(TARN_MDS_OK, s.status());
    ASSERT_EQ(TARN_MDS_MKOBJ_REP_MIN, s.len());
    tarn_mds_handle sh = handle_at(s, TARN_MDS_MKOBJ_REP_HANDLE);
    expect_handle(s.at(TARN_MDS_MKOBJ_REP_HANDLE), sh.file_id, 5, 0, kFs);
    Attrs sa = attrs_at(s.at(TARN_MDS_MKOBJ_REP_ATTRS));
    EXPECT_EQ(5, sa.type);
    EXPECT_EQ(0777u, sa.mode);  // whatever the update says
    EXPECT_EQ(1u, sa.nlinks);
    EXPECT_EQ(10u, sa.size);
    EXPECT_EQ(0u, sa.space);
    // A repeat with the same target is the same link; another target exists.
    Reply s2 = conn_->call(rq);
    EXPECT_EQ(TARN_MDS_OK, s2.status());
    EXPECT_EQ(0, memcmp(s.at(TARN_MDS_MKOBJ_REP_HANDLE), s2.at(TARN_MDS_MKOBJ_REP_HANDLE), TARN_MDS_HANDLE_BYTES));
    ASSERT_EQ(0, mds_req_symlink(&rq, &home_, "ln", "elsewhere", kNoUpdate.data()));
    EXPECT_EQ(TARN_MDS_EXISTS, conn_->call(rq).status());

    ASSERT_EQ(0, mds_req_readlink(&rq, &sh));
    Reply rl = conn_->call(rq);
    ASSERT_EQ(TARN_MDS_OK, rl.status());
    ASSERT_EQ(TARN_MDS_READLINK_REP_TARGET + 11, rl.len());
    EXPECT_STREQ("sub/target", reinterpret_cast<const char*>(rl.at(TARN_MDS_READLINK_REP_TARGET)));
    PostOp lp = post_at(rl.at(TARN_MDS_READLINK_REP_POST_OP));
    EXPECT_EQ(sh.file_id, lp.id);
    EXPECT_EQ(10u, lp.size);
    // The client copies the target when it fits, and refuses a small buffer.
    char buf[11];
    mds_reply_outs outs{};
    outs.buf = buf;
    outs.buf_size = sizeof buf;
    rpc_error err{};
    ASSERT_TRUE(mds_reply_decode(TARN_MDS_READLINK, true, rl.b.data(), rl.len(), &outs, &err));
    EXPECT_STREQ("sub/target", buf);
    outs.buf_size = 10;
    EXPECT_FALSE(mds_reply_decode(TARN_MDS_READLINK, true, rl.b.data(), rl.len(), &outs, &err));

    // readlink of a directory: invalid, with the object's post-op.
    ASSERT_EQ(0, mds_req_readlink(&rq, &dh));
    Reply bad = conn_->call(rq);
    EXPECT_EQ(TARN_MDS_INVAL, bad.status());
    ASSERT_EQ(TARN_MDS_ERR_POST_OP_MIN, bad.len());
    EXPECT_EQ(dh.file_id, post_at(bad.at(TARN_MDS_ERR_POST_OP)).id);
}

// ---------------------------------------------------------------- attributes

TEST_F(MdsMessagesTest, SetAttrsOnADirectory) {
    tarn_mds_handle d = mkdir(*conn_, home_, "d");
    Attrs before = attrs_of(*conn_, d);
    mds_request rq;
    Bytes u = update(TARN_MDS_SET_MODE | TARN_MDS_SET_UID | TARN_MDS_SET_MTIME, 0107711, 42, 0, 0, 0, 123456789);
    ASSERT_EQ(0, mds_req_set_attrs(&rq, &d, u.data(), nullptr));
    uint64_t t0 = now_ns();
    Reply r = conn_->call(rq);
    ASSERT_EQ(TARN_MDS_OK, r.status());
    ASSERT_EQ(TARN_MDS_SET_ATTRS_REP_MIN, r.len());
    Wcc w = wcc_at(r.at(TARN_MDS_SET_ATTRS_REP_WCC));
    EXPECT_TRUE(w.pre_present);
    EXPECT_EQ(before.mtime, w.pre_mtime);
    EXPECT_EQ(before.ctime, w.pre_ctime);
    EXPECT_EQ(d.file_id, w.post.id);
    EXPECT_EQ(123456789u, w.post.mtime);
    EXPECT_GE(w.post.ctime, t0);
    Attrs after = attrs_of(*conn_, d);
    EXPECT_EQ(07711u, after.mode);
    EXPECT_EQ(42u, after.uid);
    EXPECT_EQ(123456789u, after.mtime);
    EXPECT_EQ(before.atime, after.atime);

    // A guard equal to the ctime passes; another one conflicts and changes nothing.
    uint8_t guard[TARN_MDS_GUARD_BYTES] = {};
    tarn_wire_put_u64(guard, 0, after.ctime + 1);
    Bytes u3 = update(TARN_MDS_SET_MODE, 0700);
    ASSERT_EQ(0, mds_req_set_attrs(&rq, &d, u3.data(), guard));
    Reply c = conn_->call(rq);
    EXPECT_EQ(TARN_MDS_CONFLICT, c.status());
    ASSERT_EQ(TARN_MDS_ERR_WCC_MIN, c.len());
    EXPECT_EQ(after.ctime, wcc_at(c.at(TARN_MDS_ERR_WCC)).post.ctime);
    EXPECT_EQ(07711u, attrs_of(*conn_, d).mode);
    tarn_wire_put_u64(guard, 0, after.ctime);
    EXPECT_EQ(TARN_MDS_OK, conn_->call(rq).status());
    EXPECT_EQ(0700u, attrs_of(*conn_, d).mode);

    // A size on a directory is invalid, with the wcc.
    Bytes u4 = update(TARN_MDS_SET_SIZE, 0, 0, 0, 10);
    ASSERT_EQ(0, mds_req_set_attrs(&rq, &d, u4.data(), nullptr));
    Reply s = conn_->call(rq);
    EXPECT_EQ(TARN_MDS_INVAL, s.status());
    EXPECT_EQ(TARN_MDS_ERR_WCC_MIN, s.len());
    // An object that is gone: bare.
    tarn_mds_handle gone = d;
    gone.file_id = 1u << 30;
    ASSERT_EQ(0, mds_req_set_attrs(&rq, &gone, kNoUpdate.data(), nullptr));
    Reply g = conn_->call(rq);
    EXPECT_EQ(TARN_MDS_NOT_FOUND, g.status());
    EXPECT_EQ(TARN_REPLY_HDR_BYTES, g.len());
    ASSERT_EQ(0, mds_req_get_attrs(&rq, &gone));
    Reply ga = conn_->call(rq);
    EXPECT_EQ(TARN_MDS_NOT_FOUND, ga.status());
    EXPECT_EQ(TARN_REPLY_HDR_BYTES, ga.len());
}

TEST_F(MdsMessagesTest, SetAttrsOnARegularFileGoesThroughItsDataServer) {
    tarn_mds_handle f = create_ok(*conn_, home_, "f");
    Attrs before = attrs_of(*conn_, f);
    mds_request rq;
    Bytes u = update(TARN_MDS_SET_MODE | TARN_MDS_SET_SIZE | TARN_MDS_SET_MTIME, 0357, 0, 0, 5000, 0, 123456789);
    ASSERT_EQ(0, mds_req_set_attrs(&rq, &f, u.data(), nullptr));
    Reply r = conn_->call(rq);
    ASSERT_EQ(TARN_MDS_OK, r.status());
    ASSERT_EQ(TARN_MDS_SET_ATTRS_REP_MIN, r.len());
    Wcc w = wcc_at(r.at(TARN_MDS_SET_ATTRS_REP_WCC));
    EXPECT_TRUE(w.pre_present);
    EXPECT_EQ(0u, w.pre_size);
    EXPECT_EQ(before.mtime, w.pre_mtime);
    EXPECT_EQ(5000u, w.post.size);
    EXPECT_EQ(0u, w.post.space);  // a hole
    EXPECT_EQ(f.file_id, w.post.id);
    EXPECT_EQ(123456789u, w.post.mtime);
    Attrs a = attrs_of(*conn_, f);
    EXPECT_EQ(0357u, a.mode);
    EXPECT_EQ(5000u, a.size);
    EXPECT_EQ(123456789u, a.mtime);
    EXPECT_EQ(w.post.ctime, a.ctime);
    EXPECT_EQ(before.vdisk, a.vdisk);

    uint8_t guard[TARN_MDS_GUARD_BYTES] = {};
    tarn_wire_put_u64(guard, 0, a.ctime - 1);
    Bytes u5 = update(TARN_MDS_SET_MODE, 0600);
    ASSERT_EQ(0, mds_req_set_attrs(&rq, &f, u5.data(), guard));
    Reply c = conn_->call(rq);
    EXPECT_EQ(TARN_MDS_CONFLICT, c.status());
    EXPECT_EQ(TARN_MDS_ERR_WCC_MIN, c.len());
    EXPECT_EQ(0357u, attrs_of(*conn_, f).mode);
}

// ---------------------------------------------------------------- link, remove, rename

TEST_F(MdsMessagesTest, LinkAndRemoveReplies) {
    tarn_mds_handle f = create_ok(*conn_, home_, "f");
    tarn_mds_handle other = create_ok(*conn_, home_, "other");
    tarn_mds_handle d = mkdir(*conn_, home_, "d");
    Attrs d0 = attrs_of(*conn_, d);
    mds_request rq;
    ASSERT_EQ(0, mds_req_link(&rq, &f, &d, "hard"));
    Reply l = conn_->call(rq);
    ASSERT_EQ(TARN_MDS_OK, l.status());
    ASSERT_EQ(TARN_MDS_LINK_REP_MIN, l.len());
    Attrs a = attrs_at(l.at(TARN_MDS_LINK_REP_ATTRS));
    EXPECT_EQ(f.file_id, a.inode);
    EXPECT_EQ(1, a.type);
    EXPECT_EQ(2u, a.nlinks);
    Wcc w = wcc_at(l.at(TARN_MDS_LINK_REP_DIR_WCC));
    EXPECT_EQ(d0.mtime, w.pre_mtime);
    EXPECT_EQ(d.file_id, w.post.id);
    EXPECT_GE(w.post.mtime, w.pre_mtime);
    // The repeat changes nothing.
    Reply again = conn_->call(rq);
    ASSERT_EQ(TARN_MDS_OK, again.status());
    EXPECT_EQ(2u, attrs_at(again.at(TARN_MDS_LINK_REP_ATTRS)).nlinks);
    EXPECT_EQ(2u, attrs_of(*conn_, f).nlinks);

    struct Case {
        const char* what;
        tarn_mds_handle obj, dir;
        const char* name;
        uint32_t status;
        size_t len;
    };
    tarn_mds_handle gone = f;
    gone.file_id = 1u << 30;
    tarn_mds_handle gone_dir = d;
    gone_dir.file_id = 1u << 30;
    std::vector<Case> cases = {
        {"name of another object", other, d, "hard", TARN_MDS_EXISTS, TARN_MDS_ERR_WCC_MIN},
        {"a directory", d, home_, "dlink", TARN_MDS_PERM, TARN_MDS_ERR_WCC_MIN},
        {"unknown object", gone, d, "x", TARN_MDS_NOT_FOUND, TARN_MDS_ERR_WCC_MIN},
        {"unknown directory", f, gone_dir, "x", TARN_MDS_NOT_FOUND, TARN_REPLY_HDR_BYTES},
        {"into a file", other, f, "x", TARN_MDS_NOT_DIR, TARN_REPLY_HDR_BYTES},
        {"bad name", other, d, "..", TARN_MDS_INVAL, TARN_MDS_ERR_WCC_MIN},
    };
    for (const Case& c : cases) {
        ASSERT_EQ(0, mds_req_link(&rq, &c.obj, &c.dir, c.name));
        Reply r = conn_->call(rq);
        EXPECT_EQ(c.status, r.status()) << c.what;
        EXPECT_EQ(c.len, r.len()) << c.what;
    }

    ASSERT_EQ(0, mds_req_remove(&rq, &d, "hard"));
    Reply rm = conn_->call(rq);
    ASSERT_EQ(TARN_MDS_OK, rm.status());
    ASSERT_EQ(TARN_MDS_REMOVE_REP_MIN, rm.len());
    Wcc rw = wcc_at(rm.at(TARN_MDS_REMOVE_REP_DIR_WCC));
    EXPECT_EQ(d.file_id, rw.post.id);
    EXPECT_TRUE(rw.pre_present);
    EXPECT_EQ(1u, attrs_of(*conn_, f).nlinks);
    // Not idempotent: the second remove does not find the name.
    Reply rm2 = conn_->call(rq);
    EXPECT_EQ(TARN_MDS_NOT_FOUND, rm2.status());
    ASSERT_EQ(TARN_MDS_ERR_WCC_MIN, rm2.len());
    EXPECT_EQ(d.file_id, wcc_at(rm2.at(TARN_MDS_ERR_WCC)).post.id);

    create_ok(*conn_, d, "inside");
    ASSERT_EQ(0, mds_req_remove(&rq, &home_, "d"));
    Reply ne = conn_->call(rq);
    EXPECT_EQ(TARN_MDS_NOT_EMPTY, ne.status());
    EXPECT_EQ(TARN_MDS_ERR_WCC_MIN, ne.len());
    ASSERT_EQ(0, mds_req_remove(&rq, &gone_dir, "x"));
    Reply ng = conn_->call(rq);
    EXPECT_EQ(TARN_MDS_NOT_FOUND, ng.status());
    EXPECT_EQ(TARN_REPLY_HDR_BYTES, ng.len());

    // The last name frees the object: its handle answers 8 at once.
    ASSERT_EQ(0, mds_req_remove(&rq, &home_, "f"));
    ASSERT_EQ(TARN_MDS_OK, conn_->call(rq).status());
    EXPECT_EQ(TARN_MDS_NOT_FOUND, get_attrs(*conn_, f).status());
}

TEST_F(MdsMessagesTest, RenameRepliesCarryBothDirectories) {
    tarn_mds_handle a = mkdir(*conn_, home_, "a");
    tarn_mds_handle b = mkdir(*conn_, home_, "b");
    tarn_mds_handle f = create_ok(*conn_, a, "f");
    create_ok(*conn_, b, "taken");
    Attrs a0 = attrs_of(*conn_, a), b0 = attrs_of(*conn_, b);
    mds_request rq;
    ASSERT_EQ(0, mds_req_rename(&rq, &a, "f", &b, "g"));
    Reply r = conn_->call(rq);
    ASSERT_EQ(TARN_MDS_OK, r.status());
    ASSERT_EQ(TARN_MDS_RENAME_REP_MIN, r.len());
    Wcc sw = wcc_at(r.at(TARN_MDS_RENAME_REP_SRC_WCC));
    Wcc dw = wcc_at(r.at(TARN_MDS_RENAME_REP_DST_WCC));
    EXPECT_EQ(a.file_id, sw.post.id);
    EXPECT_EQ(b.file_id, dw.post.id);
    EXPECT_EQ(a0.mtime, sw.pre_mtime);
    EXPECT_EQ(b0.mtime, dw.pre_mtime);
    EXPECT_GT(sw.post.mtime, 0u);
    // The object keeps its handle.
    Reply l = lookup(*conn_, b, "g");
    ASSERT_EQ(TARN_MDS_OK, l.status());
    EXPECT_EQ(0, memcmp(l.at(TARN_MDS_LOOKUP_REP_HANDLE), &f, sizeof f));
    // Both blocks reach the client's outputs.
    uint8_t w1[TARN_WCC_BYTES], w2[TARN_WCC_BYTES];
    mds_reply_outs outs{};
    outs.wcc = w1;
    outs.wcc2 = w2;
    rpc_error err{};
    ASSERT_TRUE(mds_reply_decode(TARN_MDS_RENAME, true, r.b.data(), r.len(), &outs, &err));
    EXPECT_EQ(0, memcmp(w1, r.at(TARN_MDS_RENAME_REP_SRC_WCC), TARN_WCC_BYTES));
    EXPECT_EQ(0, memcmp(w2, r.at(TARN_MDS_RENAME_REP_DST_WCC), TARN_WCC_BYTES));

    tarn_mds_handle gone = a;
    gone.file_id = 1u << 30;
    struct Case {
        const char* what;
        tarn_mds_handle s, t;
        const char* from;
        const char* to;
        uint32_t status;
        bool src, dst;  // which blocks come back
    };
    std::vector<Case> cases = {
        {"onto an existing name", b, b, "g", "taken", TARN_MDS_EXISTS, true, true},
        {"missing source", a, b, "nope", "x", TARN_MDS_NOT_FOUND, true, true},
        {"gone source directory", gone, b, "g", "x", TARN_MDS_NOT_FOUND, false, true},
        {"gone target directory", b, gone, "g", "x", TARN_MDS_NOT_FOUND, true, false},
        {"both gone", gone, gone, "g", "x", TARN_MDS_NOT_FOUND, false, false},
        {"a directory into itself", home_, a, "a", "x", TARN_MDS_INVAL, true, true},
    };
    for (const Case& c : cases) {
        ASSERT_EQ(0, mds_req_rename(&rq, &c.s, c.from, &c.t, c.to));
        Reply e = conn_->call(rq);
        EXPECT_EQ(c.status, e.status()) << c.what;
        if (!c.src && !c.dst) {
            EXPECT_EQ(TARN_REPLY_HDR_BYTES, e.len()) << c.what;
            continue;
        }
        ASSERT_EQ(TARN_MDS_ERR_RENAME_MIN, e.len()) << c.what;
        EXPECT_EQ(c.src, wcc_at(e.at(TARN_MDS_RENAME_REP_SRC_WCC)).post.present) << c.what;
        EXPECT_EQ(c.dst, wcc_at(e.at(TARN_MDS_RENAME_REP_DST_WCC)).post.present) << c.what;
    }
}

// ---------------------------------------------------------------- readdir

struct Listed {
    std::vector<std::string> names;
    std::vector<uint64_t> cookies;
    std::vector<tarn_mds_handle> handles;
};

bool collect(const char* name, const tarn_mds_handle* h, const uint8_t*, uint64_t cookie, void* arg) {
    auto* l = static_cast<Listed*>(arg);
    l->names.push_back(name);
    l->cookies.push_back(cookie);
    l->handles.push_back(*h);
    return true;
}

TEST_F(MdsMessagesTest, ReaddirPagesEntriesAndNames) {
    tarn_mds_handle d = mkdir(*conn_, home_, "d");
    Reply empty = readdir(*conn_, d, 0);
    ASSERT_EQ(TARN_MDS_OK, empty.status());
    EXPECT_EQ(TARN_MDS_READDIR_REP_MIN, empty.len());
    EXPECT_EQ(0u, empty.u32(TARN_MDS_READDIR_REP_FLAGS));
    EXPECT_EQ(0u, empty.u32(TARN_MDS_READDIR_REP_COUNT));
    EXPECT_EQ(d.file_id, post_at(empty.at(TARN_MDS_READDIR_REP_DIR_POST_OP)).id);

    std::map<std::string, tarn_mds_handle> made;
    for (int i = 0; i < 10; i++) {
        std::string n = "e" + std::to_string(i);
        made[n] = i == 7 ? mkdir(*conn_, d, n) : create_ok(*conn_, d, n);
    }
    // Three entries of 3-byte names fit exactly.
    const uint64_t three = TARN_MDS_READDIR_REP_ENTRIES + 3 * (TARN_MDS_DIRENT_BYTES + 3);
    uint64_t cookie = 0, last = 0;
    Listed all;
    for (int batch = 0;; batch++) {
        ASSERT_LT(batch, 10);
        Reply r = readdir(*conn_, d, cookie, three);
        ASSERT_EQ(TARN_MDS_OK, r.status());
        uint32_t n = r.u32(TARN_MDS_READDIR_REP_COUNT);
        bool more = r.u32(TARN_MDS_READDIR_REP_FLAGS) & 1;
        EXPECT_EQ(0u, r.u32(TARN_MDS_READDIR_REP_FLAGS) & ~1u);
        EXPECT_EQ(more ? 3u : 1u, n);
        ASSERT_EQ(TARN_MDS_READDIR_REP_ENTRIES + n * (TARN_MDS_DIRENT_BYTES + 3), r.len());
        EXPECT_EQ(d.file_id, post_at(r.at(TARN_MDS_READDIR_REP_DIR_POST_OP)).id);
        for (uint32_t i = 0; i < n; i++) {
            const uint8_t* e = r.at(TARN_MDS_READDIR_REP_ENTRIES + i * TARN_MDS_DIRENT_BYTES);
            uint32_t off = tarn_wire_get_u32(e, TARN_MDS_DIRENT_NAME_OFFSET);
            // Names follow the entries, in order, each with its NUL.
            EXPECT_EQ(TARN_MDS_READDIR_REP_ENTRIES + n * TARN_MDS_DIRENT_BYTES + 3 * i, off);
            ASSERT_LT(off + 2, r.len());
            std::string name(reinterpret_cast<const char*>(r.at(off)));
            ASSERT_EQ(1u, made.count(name)) << name;
            EXPECT_EQ(0, memcmp(e + TARN_MDS_DIRENT_HANDLE, &made[name], TARN_MDS_HANDLE_BYTES));
            Attrs a = attrs_at(e + TARN_MDS_DIRENT_ATTRS);
            EXPECT_EQ(made[name].file_id, a.inode);
            EXPECT_EQ(name == "e7" ? 2 : 1, a.type);
            if (a.type == 1) {
                EXPECT_LT(a.vdisk, kVdisks);
            }
            uint64_t c = tarn_wire_get_u64(e, TARN_MDS_DIRENT_COOKIE);
            EXPECT_GT(c, last);
            last = c;
            EXPECT_EQ(0u, tarn_wire_get_u32(e, TARN_MDS_DIRENT_NAME_OFFSET + 4));
        }
        // The client walks the same entries.
        mds_reply_outs outs{};
        rpc_error err{};
        ASSERT_TRUE(mds_reply_decode(TARN_MDS_READDIR, true, r.b.data(), r.len(), &outs, &err));
        uint8_t eof = 9;
        mds_readdir_walk(outs.reply_copy, collect, &all, &eof);
        __kiv_free(outs.reply_copy);
        EXPECT_EQ(more ? 0 : 1, eof);
        cookie = last;
        if (!more) break;
    }
    ASSERT_EQ(10u, all.names.size());
    for (size_t i = 0; i < all.names.size(); i++) EXPECT_EQ("e" + std::to_string(i), all.names[i]);

    // Removing entries keeps the other cookies valid.
    mds_request rq;
    ASSERT_EQ(0, mds_req_remove(&rq, &d, "e4"));
    ASSERT_EQ(TARN_MDS_OK, conn_->call(rq).status());
    Reply rest = readdir(*conn_, d, all.cookies[3]);
    ASSERT_EQ(TARN_MDS_OK, rest.status());
    EXPECT_EQ(5u, rest.u32(TARN_MDS_READDIR_REP_COUNT));

    // Not even one entry fits: too big, with the directory's post-op.
    Reply small = readdir(*conn_, d, 0, TARN_MDS_READDIR_REP_ENTRIES + TARN_MDS_DIRENT_BYTES);
    EXPECT_EQ(TARN_MDS_TOO_BIG, small.status());
    ASSERT_EQ(TARN_MDS_ERR_POST_OP_MIN, small.len());
    EXPECT_EQ(d.file_id, post_at(small.at(TARN_MDS_ERR_POST_OP)).id);
    // A file is not a directory.
    Reply nd = readdir(*conn_, made["e0"], 0);
    EXPECT_EQ(TARN_MDS_NOT_DIR, nd.status());
    EXPECT_EQ(TARN_REPLY_HDR_BYTES, nd.len());
}

// ---------------------------------------------------------------- fs info and the vdisk map

TEST_F(MdsMessagesTest, FsInfoCountsFilesAndSpace) {
    Conn c(mds_port("tarn_tiny"), kFsTiny);
    mds_request rq;
    ASSERT_EQ(0, mds_req_get_fs_info(&rq));
    auto info = [&] {
        Reply r = c.call(rq);
        EXPECT_EQ(TARN_MDS_OK, r.status());
        EXPECT_EQ(TARN_MDS_GET_FS_INFO_REP_MIN, r.len());
        uint8_t out[TARN_MDS_FS_INFO_BYTES];
        mds_reply_outs outs{};
        outs.info = out;
        rpc_error err{};
        EXPECT_TRUE(mds_reply_decode(TARN_MDS_GET_FS_INFO, true, r.b.data(), r.len(), &outs, &err));
        EXPECT_EQ(0, memcmp(out, r.at(TARN_MDS_GET_FS_INFO_REP_INFO), sizeof out));
        return Bytes(r.at(TARN_MDS_GET_FS_INFO_REP_INFO), r.at(TARN_MDS_GET_FS_INFO_REP_INFO) + sizeof out);
    };
    Bytes i = info();
    const uint8_t* p = i.data();
    EXPECT_EQ(kFsTiny, tarn_wire_get_u64(p, TARN_MDS_FS_INFO_FS_ID));
    EXPECT_EQ(256u, tarn_wire_get_u64(p, TARN_MDS_FS_INFO_TOTAL_SPACE));
    EXPECT_EQ(256u, tarn_wire_get_u64(p, TARN_MDS_FS_INFO_FREE_SPACE));
    // One block in twenty is the server's own.
    EXPECT_EQ(244u, tarn_wire_get_u64(p, TARN_MDS_FS_INFO_AVAIL_SPACE));
    EXPECT_EQ(4u, tarn_wire_get_u64(p, TARN_MDS_FS_INFO_TOTAL_FILES));
    EXPECT_EQ(4u, tarn_wire_get_u64(p, TARN_MDS_FS_INFO_FREE_FILES));
    EXPECT_EQ(4u, tarn_wire_get_u64(p, TARN_MDS_FS_INFO_AVAIL_FILES));
    EXPECT_EQ(4096u, tarn_wire_get_u32(p, TARN_MDS_FS_INFO_BSIZE));
    EXPECT_EQ(4096u, tarn_wire_get_u32(p, TARN_MDS_FS_INFO_FRSIZE));
    EXPECT_EQ(4194304u, tarn_wire_get_u64(p, TARN_MDS_FS_INFO_MAXREAD));
    EXPECT_EQ(4194304u, tarn_wire_get_u64(p, TARN_MDS_FS_INFO_MAXWRITE));
    EXPECT_EQ(1u, tarn_wire_get_u64(p, TARN_MDS_FS_INFO_TIME_DELTA));
    EXPECT_EQ(0u, tarn_wire_get_u32(p, TARN_MDS_FS_INFO_FLAGS) & ~0xBu);  // health bits only
    EXPECT_EQ(kVdisks, tarn_wire_get_u16(p, TARN_MDS_FS_INFO_VDISK_COUNT));
    EXPECT_EQ(0u, tarn_wire_get_u16(p, TARN_MDS_FS_INFO_VDISK_COUNT + 2));
    // A share this small: each vdisk leaves a twelfth of the available
    // blocks to each of the 5 others.
    EXPECT_EQ(244u - 5 * 20, tarn_wire_get_u64(p, TARN_MDS_FS_INFO_MIN_VDISK_FREE));

    // Each object costs one file; names cost none; the last one is refused.
    tarn_mds_handle root = handle_at(lookup(c, zero_handle(), "/"), TARN_MDS_LOOKUP_REP_HANDLE);
    tarn_mds_handle d = mkdir(c, root, "d");
    tarn_mds_handle f = create_ok(c, d, "f");
    mds_request ln;
    ASSERT_EQ(0, mds_req_link(&ln, &f, &root, "f2"));
    ASSERT_EQ(TARN_MDS_OK, c.call(ln).status());
    ASSERT_EQ(0, mds_req_symlink(&ln, &root, "s", "d/f", kNoUpdate.data()));
    ASSERT_EQ(TARN_MDS_OK, c.call(ln).status());
    EXPECT_EQ(1u, tarn_wire_get_u64(info().data(), TARN_MDS_FS_INFO_FREE_FILES));
    create_ok(c, root, "last");
    Bytes full = info();
    EXPECT_EQ(0u, tarn_wire_get_u64(full.data(), TARN_MDS_FS_INFO_FREE_FILES));
    EXPECT_EQ(0u, tarn_wire_get_u64(full.data(), TARN_MDS_FS_INFO_AVAIL_FILES));
    Reply none = create(c, root, "one_too_many");
    EXPECT_EQ(TARN_MDS_NO_SPACE, none.status());
    EXPECT_EQ(TARN_MDS_ERR_WCC_MIN, none.len());
    // A removal gives its file back.
    ASSERT_EQ(0, mds_req_remove(&ln, &root, "s"));
    ASSERT_EQ(TARN_MDS_OK, c.call(ln).status());
    EXPECT_EQ(1u, tarn_wire_get_u64(info().data(), TARN_MDS_FS_INFO_FREE_FILES));

    // The case-insensitive file system says so.
    Conn ci(mds_port("tarn_ci"), kFsCi);
    Reply r = ci.call(rq);
    ASSERT_EQ(TARN_MDS_OK, r.status());
    EXPECT_EQ(0x4u, r.u32(TARN_MDS_GET_FS_INFO_REP_INFO + TARN_MDS_FS_INFO_FLAGS) & ~0xBu);
    EXPECT_EQ(kFsCi, r.u64(TARN_MDS_GET_FS_INFO_REP_INFO + TARN_MDS_FS_INFO_FS_ID));
}

TEST_F(MdsMessagesTest, VdiskMapListsEveryVdisk) {
    for (uint64_t fs : {kFs, kFsCi}) {
        Conn c(mds_port(fs == kFs ? "tarn" : "tarn_ci"), fs);
        mds_request rq;
        ASSERT_EQ(0, mds_req_get_vdisk_map(&rq));
        Reply r = c.call(rq);
        ASSERT_EQ(TARN_MDS_OK, r.status());
        ASSERT_EQ(TARN_MDS_VDISK_MAP_REP_ENTRIES + kVdisks * TARN_MDS_VDISK_ENTRY_BYTES, r.len());
        EXPECT_EQ(kVdisks, r.u32(TARN_MDS_VDISK_MAP_REP_COUNT));
        EXPECT_EQ(0u, r.u32(TARN_MDS_VDISK_MAP_REP_COUNT + 4));
        uint64_t fs_index = fs - kFs;
        for (uint32_t v = 0; v < kVdisks; v++) {
            const uint8_t* e = r.at(TARN_MDS_VDISK_MAP_REP_ENTRIES + v * TARN_MDS_VDISK_ENTRY_BYTES);
            uint64_t token = tarn_wire_get_u64(e, TARN_MDS_VDISK_ENTRY_TOKEN);
            EXPECT_EQ(fs_index + 1, token >> 48) << "vdisk " << v;
            EXPECT_EQ(v, (token >> 32) & 0xFFFF) << "vdisk " << v;
            EXPECT_GE(uint32_t(token), 1u) << "vdisk " << v;
            EXPECT_EQ(0xa1u + v % 3, tarn_wire_get_u64(e, TARN_MDS_VDISK_ENTRY_HOST_ID)) << "vdisk " << v;
            EXPECT_EQ(0x7F000001u, tarn_wire_get_u32(e, TARN_MDS_VDISK_ENTRY_IPV4));
            // The vdisks of one host share its data server's port.
            const uint8_t* same_host = r.at(TARN_MDS_VDISK_MAP_REP_ENTRIES + (v % 3) * TARN_MDS_VDISK_ENTRY_BYTES);
            EXPECT_EQ(tarn_wire_get_u16(same_host, TARN_MDS_VDISK_ENTRY_PORT),
                      tarn_wire_get_u16(e, TARN_MDS_VDISK_ENTRY_PORT));
            EXPECT_EQ(0u, tarn_wire_get_u16(e, TARN_MDS_VDISK_ENTRY_PORT + 2));
        }
        mds_reply_outs outs{};
        rpc_error err{};
        ASSERT_TRUE(mds_reply_decode(TARN_MDS_GET_VDISK_MAP, true, r.b.data(), r.len(), &outs, &err));
        ASSERT_NE(nullptr, outs.map);
        EXPECT_EQ(kVdisks, outs.map->count);
        EXPECT_EQ(0, memcmp(outs.map->entries, r.at(TARN_MDS_VDISK_MAP_REP_ENTRIES),
                            kVdisks * TARN_MDS_VDISK_ENTRY_BYTES));
        mds_client_free_vdisk_map(outs.map);
    }
}

TEST_F(MdsMessagesTest, ReportVdiskChecksItsRecordsAndMountsUnmountedVdisks) {
    mds_request rq;
    mds_vdisk_report rec{MDS_VDISK_REPORT_UNMOUNTED, 2, 0xa3};
    ASSERT_EQ(0, mds_req_report_vdisk(&rq, &rec, 1));
    Bytes f = conn_->frame(rq);
    tarn_wire_put_u32(f.data(), TARN_MDS_REPORT_COUNT, 2);  // one record more than the frame holds
    EXPECT_EQ(TARN_MDS_INVAL, conn_->call_raw(f).status());
    ASSERT_EQ(0, mds_req_report_vdisk(&rq, nullptr, 0));
    Reply none = conn_->call(rq);
    EXPECT_EQ(TARN_MDS_OK, none.status());
    EXPECT_EQ(TARN_REPLY_HDR_BYTES, none.len());

    auto token_of = [&](uint32_t v) {
        mds_request m;
        EXPECT_EQ(0, mds_req_get_vdisk_map(&m));
        Reply r = conn_->call(m);
        return r.u64(TARN_MDS_VDISK_MAP_REP_ENTRIES + v * TARN_MDS_VDISK_ENTRY_BYTES);
    };
    uint64_t t0 = token_of(2);
    // A report about a mounted vdisk changes nothing.
    ASSERT_EQ(0, mds_req_report_vdisk(&rq, &rec, 1));
    EXPECT_EQ(TARN_MDS_OK, conn_->call(rq).status());
    EXPECT_EQ(t0, token_of(2));
    // An unmounted one is mounted again with a new token, if its report
    // names its host; kinds other than 1 are ignored.
    std::string un = g_cluster->control("vdisk unmount tarn 2");
    if (un.find("\"ok\":true") == std::string::npos) GTEST_SKIP() << "no vdisk control: " << un;
    mds_vdisk_report wrong[2] = {{MDS_VDISK_REPORT_UNMOUNTED, 2, 0xa1}, {7, 2, 0xa3}};
    ASSERT_EQ(0, mds_req_report_vdisk(&rq, wrong, 2));
    EXPECT_EQ(TARN_MDS_OK, conn_->call(rq).status());
    EXPECT_EQ(t0, token_of(2));
    ASSERT_EQ(0, mds_req_report_vdisk(&rq, &rec, 1));
    EXPECT_EQ(TARN_MDS_OK, conn_->call(rq).status());
    uint64_t t1 = token_of(2);
    EXPECT_EQ(t0 + 1, t1);
}

// ---------------------------------------------------------------- xattrs

TEST_F(MdsMessagesTest, XattrsOfADirectory) {
    tarn_mds_handle d = mkdir(*conn_, home_, "d");
    struct Set {
        const char* what;
        std::string name, value;
        uint32_t mode, status;
    };
    std::vector<Set> sets = {
        {"create or replace", "user.b", "xyz", 0, TARN_MDS_OK},
        {"create only", "user.a", "", 1, TARN_MDS_OK},
        {"create only, exists", "user.a", "q", 1, TARN_MDS_EXISTS},
        {"replace only, absent", "user.c", "q", 2, TARN_MDS_NOT_FOUND},
        {"unknown mode", "user.c", "q", 3, TARN_MDS_INVAL},
        {"empty name", "", "q", 0, TARN_MDS_INVAL},
        {"value of 65536 bytes", "user.big", std::string(65536, 'v'), 0, TARN_MDS_TOO_BIG},
        {"value over the object's quota", "user.big", std::string(65535, 'v'), 0, TARN_MDS_NO_SPACE},
    };
    for (const Set& s : sets) {
        Reply r = set_xattr(*conn_, d, s.name, s.value, s.mode);
        EXPECT_EQ(s.status, r.status()) << s.what;
        EXPECT_EQ(TARN_REPLY_HDR_BYTES, r.len()) << s.what;
    }

    // A value that fits comes back whole; the client copies it.
    Reply g = get_xattr(*conn_, d, "user.b", 16);
    ASSERT_EQ(TARN_MDS_OK, g.status());
    ASSERT_EQ(TARN_MDS_GET_XATTR_REP_VALUE + 3, g.len());
    EXPECT_EQ(0, memcmp("xyz", g.at(TARN_MDS_GET_XATTR_REP_VALUE), 3));
    char buf[16];
    uint64_t size = 0;
    mds_reply_outs outs{};
    outs.buf = buf;
    outs.buf_size = sizeof buf;
    outs.value_size = &size;
    rpc_error err{};
    ASSERT_TRUE(mds_reply_decode(TARN_MDS_GET_XATTR, true, g.b.data(), g.len(), &outs, &err));
    EXPECT_EQ(3u, size);
    // An exact fit, and an empty value into no room at all.
    EXPECT_EQ(TARN_MDS_OK, get_xattr(*conn_, d, "user.b", 3).status());
    Reply e = get_xattr(*conn_, d, "user.a", 0);
    EXPECT_EQ(TARN_MDS_OK, e.status());
    EXPECT_EQ(TARN_REPLY_HDR_BYTES, e.len());

    // Too small a buffer: 14 in 40 bytes with the size needed, which the
    // client turns into ERANGE and a size hint.
    Reply small = get_xattr(*conn_, d, "user.b", 2);
    EXPECT_EQ(TARN_MDS_TOO_BIG, small.status());
    ASSERT_EQ(TARN_MDS_GET_XATTR_ERR_MIN, small.len());
    EXPECT_EQ(3u, small.u32(TARN_MDS_GET_XATTR_ERR_NEEDED));
    EXPECT_EQ(0u, small.u32(TARN_MDS_GET_XATTR_ERR_NEEDED + 4));
    size = 0;
    ASSERT_TRUE(mds_reply_decode(TARN_MDS_GET_XATTR, false, small.b.data(), small.len(), &outs, &err));
    EXPECT_EQ(3u, size);
    EXPECT_EQ(-ERANGE, mds_get_xattr_result(-EOVERFLOW, rpc_error{TARN_MDS_TOO_BIG, RPC_ERR_SERVER, 1}, 2));
    // Absent, and an empty name: still 40 bytes, size 0.
    for (const char* name : {"user.none", ""}) {
        Reply a = get_xattr(*conn_, d, name, 16);
        EXPECT_EQ(name[0] ? TARN_MDS_NOT_FOUND : TARN_MDS_INVAL, a.status()) << name;
        ASSERT_EQ(TARN_MDS_GET_XATTR_ERR_MIN, a.len()) << name;
        EXPECT_EQ(0u, a.u32(TARN_MDS_GET_XATTR_ERR_NEEDED)) << name;
    }

    // The listing: sorted, each name with its NUL; too big for a small reply.
    mds_request rq;
    ASSERT_EQ(0, mds_req_list_xattrs(&rq, &d));
    Reply l = conn_->call(rq);
    ASSERT_EQ(TARN_MDS_OK, l.status());
    ASSERT_EQ(TARN_MDS_LIST_XATTRS_REP_NAMES + 14, l.len());
    EXPECT_EQ(0, memcmp("user.a\0user.b\0", l.at(TARN_MDS_LIST_XATTRS_REP_NAMES), 14));
    Bytes f = conn_->frame(rq);
    tarn_wire_put_u64(f.data(), TARN_MDS_LIST_XATTRS_MAX_REPLY, TARN_MDS_LIST_XATTRS_REP_NAMES + 13);
    Reply ls = conn_->call_raw(f);
    EXPECT_EQ(TARN_MDS_TOO_BIG, ls.status());
    EXPECT_EQ(TARN_REPLY_HDR_BYTES, ls.len());

    ASSERT_EQ(0, mds_req_remove_xattr(&rq, &d, "user.b"));
    EXPECT_EQ(TARN_MDS_OK, conn_->call(rq).status());
    EXPECT_EQ(TARN_MDS_NOT_FOUND, conn_->call(rq).status());
    ASSERT_EQ(0, mds_req_remove_xattr(&rq, &d, "user.a"));
    EXPECT_EQ(TARN_MDS_OK, conn_->call(rq).status());
    ASSERT_EQ(0, mds_req_list_xattrs(&rq, &d));
    Reply empty = conn_->call(rq);
    EXPECT_EQ(TARN_MDS_OK, empty.status());
    EXPECT_EQ(TARN_REPLY_HDR_BYTES, empty.len());
}

TEST_F(MdsMessagesTest, XattrsOfRegularFilesFollowTheFileSystemsPlacement) {
    // Here they live on the data servers: every MDS xattr request is invalid.
    tarn_mds_handle f = create_ok(*conn_, home_, "f");
    EXPECT_EQ(TARN_MDS_INVAL, set_xattr(*conn_, f, "user.a", "v").status());
    Reply g = get_xattr(*conn_, f, "user.a", 8);
    EXPECT_EQ(TARN_MDS_INVAL, g.status());
    EXPECT_EQ(TARN_MDS_GET_XATTR_ERR_MIN, g.len());
    mds_request rq;
    ASSERT_EQ(0, mds_req_list_xattrs(&rq, &f));
    EXPECT_EQ(TARN_MDS_INVAL, conn_->call(rq).status());
    ASSERT_EQ(0, mds_req_remove_xattr(&rq, &f, "user.a"));
    EXPECT_EQ(TARN_MDS_INVAL, conn_->call(rq).status());

    // Here on the MDS: the handle says so, and they work.
    Conn mx(mds_port("tarn_mx"), kFsMx);
    tarn_mds_handle root = handle_at(lookup(mx, zero_handle(), "/"), TARN_MDS_LOOKUP_REP_HANDLE);
    Reply c = create(mx, root, "mxfile");
    ASSERT_EQ(TARN_MDS_OK, c.status());
    expect_handle(c.at(TARN_MDS_CREATE_REP_HANDLE), handle_at(c, TARN_MDS_CREATE_REP_HANDLE).file_id, 1, 0, kFsMx);
    tarn_mds_handle mf = handle_at(c, TARN_MDS_CREATE_REP_HANDLE);
    EXPECT_EQ(TARN_MDS_OK, set_xattr(mx, mf, "user.a", "value").status());
    Reply v = get_xattr(mx, mf, "user.a", 5);
    ASSERT_EQ(TARN_MDS_OK, v.status());
    EXPECT_EQ(0, memcmp("value", v.at(TARN_MDS_GET_XATTR_REP_VALUE), 5));
    // They die with their object: a new file has none.
    ASSERT_EQ(0, mds_req_remove(&rq, &root, "mxfile"));
    ASSERT_EQ(TARN_MDS_OK, mx.call(rq).status());
    tarn_mds_handle again = handle_at(create(mx, root, "mxfile"), TARN_MDS_CREATE_REP_HANDLE);
    EXPECT_NE(mf.file_id, again.file_id);
    EXPECT_EQ(TARN_MDS_NOT_FOUND, get_xattr(mx, again, "user.a", 5).status());
}

TEST_F(MdsMessagesTest, SetXattrValueMustLieAfterTheNameAndInsideTheFrame) {
    tarn_mds_handle d = mkdir(*conn_, home_, "d");
    mds_request rq;
    ASSERT_EQ(0, mds_req_set_xattr(&rq, &d, "user.abc", "val", 3, 0));
    Bytes good = conn_->frame(rq);
    // The client's layout: value offset 177 + strlen(name).
    ASSERT_EQ(177u + 8, tarn_wire_get_u16(good.data(), TARN_MDS_SET_XATTR_VALUE_OFFSET));
    ASSERT_EQ(177u + 8 + 3, good.size());
    struct Case {
        const char* what;
        uint16_t offset;
        uint32_t len;
        uint32_t status;
    };
    std::vector<Case> cases = {
        {"on the name's NUL", 176 + 8, 3, TARN_MDS_INVAL},
        {"inside the name", 180, 3, TARN_MDS_INVAL},
        {"one byte past the frame", 177 + 8, 4, TARN_MDS_INVAL},
        {"offset past the frame", 200, 0, TARN_MDS_INVAL},
        {"as the client writes it", 177 + 8, 3, TARN_MDS_OK},
        {"empty value at the frame's end", 177 + 8 + 3, 0, TARN_MDS_OK},
    };
    for (const Case& c : cases) {
        Bytes f = conn_->frame(rq);
        tarn_wire_put_u16(f.data(), TARN_MDS_SET_XATTR_VALUE_OFFSET, c.offset);
        tarn_wire_put_u32(f.data(), TARN_MDS_SET_XATTR_VALUE_LEN, c.len);
        EXPECT_EQ(c.status, conn_->call_raw(f).status()) << c.what;
    }
    Reply v = get_xattr(*conn_, d, "user.abc", 8);
    ASSERT_EQ(TARN_MDS_OK, v.status());
    EXPECT_EQ(TARN_MDS_GET_XATTR_REP_VALUE, v.len());  // the last set stored an empty value
}

// ---------------------------------------------------------------- case-insensitive names

TEST_F(MdsMessagesTest, CaseInsensitiveFileSystemFoldsNames) {
    Conn c(mds_port("tarn_ci"), kFsCi);
    tarn_mds_handle root = handle_at(lookup(c, zero_handle(), "/"), TARN_MDS_LOOKUP_REP_HANDLE);
    tarn_mds_handle d = mkdir(c, root, "CiDir");
    Reply cr = create(c, d, "Ğüş.Txt");
    ASSERT_EQ(TARN_MDS_OK, cr.status());
    tarn_mds_handle f = handle_at(cr, TARN_MDS_CREATE_REP_HANDLE);
    Reply l = lookup(c, root, "cidir/ğÜŞ.tXT");
    ASSERT_EQ(TARN_MDS_OK, l.status());
    EXPECT_EQ(0, memcmp(l.at(TARN_MDS_LOOKUP_REP_HANDLE), &f, sizeof f));
    EXPECT_EQ(TARN_MDS_EXISTS, create(c, d, "ĞÜŞ.TXT").status());
    // link and symlink are not offered here, before any other check.
    mds_request rq;
    ASSERT_EQ(0, mds_req_link(&rq, &f, &d, "other"));
    Reply ln = c.call(rq);
    EXPECT_EQ(TARN_MDS_NOT_IMPL, ln.status());
    EXPECT_EQ(TARN_MDS_ERR_WCC_MIN, ln.len());
    ASSERT_EQ(0, mds_req_symlink(&rq, &d, "s", "t", kNoUpdate.data()));
    EXPECT_EQ(TARN_MDS_NOT_IMPL, c.call(rq).status());
    // Renaming an entry onto its own fold respells it.
    ASSERT_EQ(0, mds_req_rename(&rq, &d, "ğüş.txt", &d, "ĞÜŞ.txt"));
    ASSERT_EQ(TARN_MDS_OK, c.call(rq).status());
    Reply rd = readdir(c, d, 0);
    ASSERT_EQ(TARN_MDS_OK, rd.status());
    ASSERT_EQ(1u, rd.u32(TARN_MDS_READDIR_REP_COUNT));
    uint32_t off = tarn_wire_get_u32(rd.at(TARN_MDS_READDIR_REP_ENTRIES), TARN_MDS_DIRENT_NAME_OFFSET);
    EXPECT_STREQ("ĞÜŞ.txt", reinterpret_cast<const char*>(rd.at(off)));
}

// ---------------------------------------------------------------- the rest

TEST_F(MdsMessagesTest, TestHookAndNoop) {
    mds_request rq;
    ASSERT_EQ(0, mds_req_test(&rq, 1));
    Reply r = conn_->call(rq);
    EXPECT_EQ(TARN_MDS_NOT_IMPL, r.status());
    EXPECT_EQ(TARN_REPLY_HDR_BYTES, r.len());
    Bytes f = conn_->frame(rq);
    f[TARN_MDS_TEST_CRC] ^= 1;
    EXPECT_EQ(TARN_MDS_INVAL, conn_->call_raw(f).status());
    // A crash request with a bad checksum is only invalid.
    ASSERT_EQ(0, mds_req_test(&rq, 2));
    f = conn_->frame(rq);
    f[TARN_MDS_TEST_CRC] ^= 1;
    EXPECT_EQ(TARN_MDS_INVAL, conn_->call_raw(f).status());
    mds_request noop{TARN_MDS_NOOP, "noop", TARN_MDS_NOOP_REQ_BYTES, 0, {}};
    Reply n = conn_->call(noop);
    EXPECT_EQ(TARN_MDS_OK, n.status());
    EXPECT_EQ(TARN_REPLY_HDR_BYTES, n.len());
}

TEST_F(MdsMessagesTest, StatusCountsObjectsAndDumpShowsTheTree) {
    tarn_mds_handle d = mkdir(*conn_, home_, "sub");
    create_ok(*conn_, d, "a \"quoted\" name");
    mds_request rq;
    ASSERT_EQ(0, mds_req_symlink(&rq, &home_, "link", "sub", kNoUpdate.data()));
    ASSERT_EQ(TARN_MDS_OK, conn_->call(rq).status());

    std::string st = g_cluster->control("status");
    size_t at = st.find("\"name\":\"tarn\"");
    ASSERT_NE(std::string::npos, at) << st;
    std::string fs = st.substr(at, st.find('}', st.find("\"objects\":", at)) - at);
    EXPECT_NE(std::string::npos, fs.find("\"files\":")) << fs;
    EXPECT_NE(std::string::npos, fs.find("\"symlinks\":")) << fs;
    EXPECT_NE(std::string::npos, fs.find("\"free_files\":")) << fs;

    std::string path = "/" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::string dump = g_cluster->control("dump tarn " + path);
    EXPECT_EQ(0u, dump.find("{\"ok\":true")) << dump;
    EXPECT_NE(std::string::npos, dump.find("\"name\":\"a \\\"quoted\\\" name\",\"id\":")) << dump;
    EXPECT_NE(std::string::npos, dump.find("\"target\":\"sub\"")) << dump;
    EXPECT_NE(std::string::npos, dump.find("\"type\":\"dir\"")) << dump;
    EXPECT_EQ(0u, g_cluster->control("dump tarn /no/such/path").find("{\"ok\":false"));
    EXPECT_EQ(0u, g_cluster->control("dump nofs").find("{\"ok\":false"));
}

}  // namespace
