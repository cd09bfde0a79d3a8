// The MDS namespace engine against its rules: create modes and verifiers,
// mkdir / symlink / link idempotence, remove and link counts (down to the
// DS object), the rename matrix, the lookup path table, case-insensitive
// matching, readdir paging while entries go, handles across a restart.
#include <gtest/gtest.h>

#include <set>

#include "localcluster/mds/ns_fold.h"
#include "test_namespace_env.h"

namespace {

class NamespaceTest : public ::testing::Test {
   protected:
    NsTestFs cs{false};
    NsTestFs ci{true};

    static std::string fold(std::string_view s) {
        std::string out;
        lc_ns_fold_name(s, &out);
        return out;
    }
};

TEST_F(NamespaceTest, CreateModesAndVerifiers) {
    lc_ns_handle root = cs.root(), d1, d2;
    ASSERT_EQ(0u, cs.mkdir(root, "d1", &d1));
    ASSERT_EQ(0u, cs.mkdir(root, "d2", &d2));
    ASSERT_EQ(0u, cs.mkdir(d1, "sub", nullptr, 77));
    uint64_t before = cs.free_files();
    struct Row {
        uint32_t mode;
        uint64_t verifier;
        const char* name;
        uint32_t status;
        bool created;
    } rows[] = {
        {1, 5, "u", TARN_MDS_NOT_IMPL, false},  // unchecked
        {0, 5, "u", TARN_MDS_INVAL, false},
        {4, 5, "u", TARN_MDS_INVAL, false},
        {3, 0, "x", TARN_MDS_INVAL, false},  // exclusive needs a verifier
        {2, 0, "g0", 0, true},
        {2, 0, "g0", TARN_MDS_EXISTS, false},  // no verifier: never a repeat
        {2, 7, "g7", 0, true},
        {2, 7, "g7", 0, true},  // the creating call again
        {2, 8, "g7", TARN_MDS_EXISTS, false},
        {3, 9, "x9", 0, true},
        {3, 9, "x9", 0, true},
        {3, 10, "x9", TARN_MDS_EXISTS, false},
        {2, 77, "sub", TARN_MDS_EXISTS, false},  // a directory with that verifier
        {2, 7, "other", 0, true},                // verifiers are per name
    };
    lc_ns_create_out first_g7;
    int made = 0;
    for (const Row& r : rows) {
        SCOPED_TRACE(std::string(r.name) + " mode " + std::to_string(r.mode) + " v " + std::to_string(r.verifier));
        lc_ns_create_out o;
        uint32_t st = lc_ns_create_file(cs.ns, cs.cred, r.mode, NsUpdate(0644).b, r.verifier, d1.b, r.name, &o);
        ASSERT_EQ(r.status, st);
        EXPECT_EQ(r.created, o.created);
        if (st == 0) {
            NsAttrs a = ns_parse_attrs(o.obj.attrs);
            EXPECT_EQ(LC_NS_TYPE_FILE, a.type);
            EXPECT_EQ(0644u, a.mode);
            EXPECT_EQ(1u, a.nlinks);
            EXPECT_NE(0u, a.atime);
            EXPECT_NE(0u, a.mtime);
            EXPECT_NE(0u, a.ctime);
            EXPECT_EQ(1000u, a.uid);
            EXPECT_TRUE(o.dir_wcc.present);
            if (std::string(r.name) == "g7" && made++ == 0) first_g7 = o;
            if (std::string(r.name) == "g7" && made > 1) {
                EXPECT_TRUE(o.obj.handle == first_g7.obj.handle);
                EXPECT_EQ(0, memcmp(o.obj.attrs, first_g7.obj.attrs, TARN_MDS_ATTR_BYTES));
            }
        }
    }
    EXPECT_EQ(before - 4, cs.free_files());  // g0, g7, x9, other
    // The same verifier under another parent is another file.
    lc_ns_handle a, b;
    ASSERT_EQ(0u, cs.create(d1, "same", &a, 42));
    ASSERT_EQ(0u, cs.create(d2, "same", &b, 42));
    EXPECT_NE(cs.attrs(a).inode, cs.attrs(b).inode);
    // The reply, lookup and the DS object agree at once.
    lc_ns_create_out o;
    ASSERT_EQ(0u, cs.create(d2, "sized", nullptr, 0, 2,
                            NsUpdate(0600)
                                .set(TARN_MDS_SET_SIZE, TARN_MDS_ATTR_SIZE, 5000, true)
                                .set(TARN_MDS_SET_MTIME, TARN_MDS_ATTR_MTIME, 123456789, true),
                            &o));
    NsAttrs created = ns_parse_attrs(o.obj.attrs), looked;
    ASSERT_EQ(0u, cs.lookup(d2, "sized", nullptr, &looked));
    EXPECT_EQ(5000u, created.size);
    EXPECT_EQ(123456789u, created.mtime);
    EXPECT_EQ(0600u, looked.mode);
    lc_ds_attrs ds;
    ASSERT_EQ(LC_DS_OK, cs.ds_attrs(o.obj.handle, &ds));
    EXPECT_EQ(ds.size, looked.size);
    EXPECT_EQ(ds.mtime, looked.mtime);
    EXPECT_EQ(ds.ctime, looked.ctime);
    EXPECT_EQ(ds.mode, looked.mode);
    EXPECT_EQ(ds.nlinks, looked.nlinks);
    EXPECT_EQ("", lc_ns_check(cs.ns));
}

TEST_F(NamespaceTest, NewFilesGoRoundRobinOverMountedVdisks) {
    lc_ns_handle root = cs.root(), h;
    cs.mounted[1] = cs.mounted[4] = false;
    std::vector<uint16_t> seen;
    for (int i = 0; i < 8; i++) {
        ASSERT_EQ(0u, cs.create(root, "f" + std::to_string(i), &h));
        seen.push_back(cs.attrs(h).vdisk);
    }
    EXPECT_EQ((std::vector<uint16_t>{0, 2, 3, 5, 0, 2, 3, 5}), seen);
    for (auto& m : cs.mounted) m = false;  // none mounted: all take turns
    std::set<uint16_t> all;
    for (int i = 0; i < 6; i++) {
        ASSERT_EQ(0u, cs.create(root, "n" + std::to_string(i), &h));
        all.insert(cs.attrs(h).vdisk);
    }
    EXPECT_EQ(6u, all.size());
}

TEST_F(NamespaceTest, MkdirSymlinkAndLinkAreIdempotent) {
    lc_ns_handle root = cs.root(), d, again, f;
    uint64_t files0 = cs.free_files();
    ASSERT_EQ(0u, cs.mkdir(root, "d", &d, 5));
    EXPECT_EQ(0u, cs.mkdir(root, "d", &again, 5));
    EXPECT_TRUE(d == again);
    EXPECT_EQ(TARN_MDS_EXISTS, cs.mkdir(root, "d", nullptr, 6));
    NsAttrs da = cs.attrs(d);
    EXPECT_EQ(0755u, da.mode);
    EXPECT_EQ(2u, da.nlinks);
    EXPECT_EQ(3u, cs.attrs(root).nlinks);

    lc_ns_mkobj_out s1, s2;
    ASSERT_EQ(0u, cs.symlink(d, "dir", "content", &s1, NsUpdate(0600)));
    ASSERT_EQ(0u, cs.symlink(d, "dir", "content", &s2));
    EXPECT_TRUE(s1.obj.handle == s2.obj.handle);
    NsAttrs sa = ns_parse_attrs(s1.obj.attrs);
    EXPECT_EQ(0777u, sa.mode);
    EXPECT_EQ(7u, sa.size);
    EXPECT_EQ(0, memcmp(s1.obj.attrs, s2.obj.attrs, TARN_MDS_ATTR_BYTES));
    EXPECT_EQ(TARN_MDS_EXISTS, cs.symlink(d, "dir", "different content"));
    std::string target;
    lc_ns_post_op post;
    EXPECT_EQ(0u, lc_ns_readlink(cs.ns, s1.obj.handle.b, &target, &post));
    EXPECT_EQ("content", target);
    EXPECT_EQ(TARN_MDS_INVAL, lc_ns_readlink(cs.ns, d.b, &target, &post));

    ASSERT_EQ(0u, cs.create(d, "file", &f));
    uint32_t nl = 0;
    ASSERT_EQ(0u, cs.link(f, d, "l1", &nl));
    EXPECT_EQ(2u, nl);
    ASSERT_EQ(0u, cs.link(f, d, "l1", &nl));  // a repeat counts nothing
    EXPECT_EQ(2u, nl);
    EXPECT_EQ(TARN_MDS_EXISTS, cs.link(f, d, "dir"));
    EXPECT_EQ(TARN_MDS_PERM, cs.link(d, root, "dirlink"));
    EXPECT_EQ(TARN_MDS_NOT_DIR, cs.link(f, f, "x"));
    EXPECT_EQ(TARN_MDS_INVAL, cs.link(f, d, ".."));
    ASSERT_EQ(0u, cs.link(s1.obj.handle, root, "sl2", &nl));
    EXPECT_EQ(2u, nl);
    lc_ds_attrs ds;
    ASSERT_EQ(LC_DS_OK, cs.ds_attrs(f, &ds));
    EXPECT_EQ(2u, ds.nlinks);
    EXPECT_EQ(cs.attrs(f).ctime, ds.ctime);
    EXPECT_EQ(files0 - 3, cs.free_files());  // links cost no files

    // On a case-insensitive file system neither kind of link exists.
    lc_ns_handle cf;
    ASSERT_EQ(0u, ci.create(ci.root(), "file", &cf));
    EXPECT_EQ(TARN_MDS_NOT_IMPL, ci.link(cf, ci.root(), "link_under_test"));
    EXPECT_EQ(TARN_MDS_NOT_IMPL, ci.symlink(ci.root(), "link_under_test", "content"));
    EXPECT_EQ("", lc_ns_check(cs.ns));
}

TEST_F(NamespaceTest, RemoveLowersLinksAndFreesTheLastName) {
    lc_ns_handle root = cs.root(), d, f, sub;
    ASSERT_EQ(0u, cs.mkdir(root, "d", &d));
    uint64_t files0 = cs.free_files(), space0 = lc_pool_free_blocks(&cs.pool);
    ASSERT_EQ(0u, cs.create(d, "f", &f));
    ASSERT_EQ(0u, cs.link(f, d, "l1"));
    ASSERT_EQ(0u, cs.link(f, root, "l2"));
    NsAttrs fa = cs.attrs(f);
    std::vector<uint8_t> data(3 * 4096 + 1, 0x5A);
    lc_ds_attrs pre, post;
    ASSERT_EQ(LC_DS_OK, lc_ds_disk_write(cs.ds[fa.vdisk % 3], fa.inode, fa.vdisk, 0, data.data(), uint32_t(data.size()),
                                         true, &pre, &post));
    EXPECT_EQ(space0 - 4, lc_pool_free_blocks(&cs.pool));

    ASSERT_EQ(0u, cs.remove(d, "l1"));
    EXPECT_EQ(TARN_MDS_NOT_FOUND, cs.remove(d, "l1"));  // not idempotent
    lc_ds_attrs ds;
    ASSERT_EQ(LC_DS_OK, cs.ds_attrs(f, &ds));
    EXPECT_EQ(2u, ds.nlinks);
    EXPECT_EQ(2u, cs.attrs(f).nlinks);
    ASSERT_EQ(0u, cs.remove(root, "l2"));
    ASSERT_EQ(0u, cs.remove(d, "f"));
    NsAttrs gone;
    EXPECT_EQ(TARN_MDS_NOT_FOUND, cs.attrs(f, &gone));
    EXPECT_EQ(LC_DS_NOT_FOUND, lc_ds_disk_get_attrs(cs.ds[fa.vdisk % 3], fa.inode, fa.vdisk, &ds));
    EXPECT_EQ(space0, lc_pool_free_blocks(&cs.pool));
    EXPECT_EQ(files0, cs.free_files());
    EXPECT_EQ(TARN_MDS_NOT_FOUND, cs.link(f, d, "again"));
    // The name is free at once, for a new object with a new id.
    lc_ns_handle f2;
    ASSERT_EQ(0u, cs.create(d, "f", &f2));
    EXPECT_GT(cs.attrs(f2).inode, fa.inode);

    ASSERT_EQ(0u, cs.mkdir(d, "sub", &sub));
    ASSERT_EQ(0u, cs.create(sub, "inner"));
    EXPECT_EQ(3u, cs.attrs(d).nlinks);  // 2 + one subdirectory
    EXPECT_EQ(TARN_MDS_NOT_EMPTY, cs.remove(d, "sub"));
    ASSERT_EQ(0u, cs.remove(sub, "inner"));
    ASSERT_EQ(0u, cs.remove(d, "sub"));
    EXPECT_EQ(2u, cs.attrs(d).nlinks);
    EXPECT_EQ(TARN_MDS_NOT_FOUND, cs.create(sub, "x"));  // a just-removed directory
    EXPECT_EQ(TARN_MDS_NOT_FOUND, cs.mkdir(sub, "x"));
    EXPECT_EQ(TARN_MDS_NOT_FOUND, cs.rename(d, "f", sub, "x"));
    EXPECT_EQ(TARN_MDS_INVAL, cs.remove(d, "."));
    EXPECT_EQ(TARN_MDS_NOT_DIR, cs.remove(f2, "x"));

    // Error replies carry the blocks of every directory that still exists.
    lc_ns_create_out co;
    EXPECT_EQ(TARN_MDS_NOT_IMPL, lc_ns_create_file(cs.ns, cs.cred, 1, NsUpdate().b, 1, d.b, "x", &co));
    EXPECT_TRUE(co.dir_wcc.present);
    lc_ns_create_out co2;
    EXPECT_EQ(TARN_MDS_NOT_DIR, lc_ns_create_file(cs.ns, cs.cred, 2, NsUpdate().b, 1, f2.b, "x", &co2));
    EXPECT_FALSE(co2.dir_wcc.present);
    lc_ns_link_out lo;
    EXPECT_EQ(TARN_MDS_NOT_FOUND, lc_ns_link(cs.ns, f.b, d.b, "x", &lo));
    EXPECT_TRUE(lo.dir_wcc.present);
    lc_ns_wcc sw, tw;
    EXPECT_EQ(TARN_MDS_NOT_FOUND, lc_ns_rename(cs.ns, sub.b, "x", d.b, "y", &sw, &tw));
    EXPECT_FALSE(sw.present);
    EXPECT_TRUE(tw.present);
    EXPECT_EQ(uint64_t(cs.attrs(d).inode), tarn_wire_get_u64(tw.b, TARN_WCC_POST + TARN_POST_OP_VALUE3));
    EXPECT_EQ("", lc_ns_check(cs.ns));
}

TEST_F(NamespaceTest, RenameMatrix) {
    lc_ns_handle root = cs.root(), a, b, fa, sub, deep;
    ASSERT_EQ(0u, cs.mkdir(root, "a", &a));
    ASSERT_EQ(0u, cs.mkdir(root, "b", &b));
    ASSERT_EQ(0u, cs.create(a, "f", &fa));
    ASSERT_EQ(0u, cs.create(a, "g"));
    ASSERT_EQ(0u, cs.mkdir(a, "sub", &sub));
    ASSERT_EQ(0u, cs.mkdir(sub, "deep", &deep));
    ASSERT_EQ(0u, cs.create(b, "busy"));
    struct Row {
        lc_ns_handle* sd;
        const char* sn;
        lc_ns_handle* td;
        const char* tn;
        uint32_t status;
    } rows[] = {
        {&a, "nothing", &a, "nothing2", TARN_MDS_NOT_FOUND},
        {&a, "nothing", &a, "nothing", TARN_MDS_NOT_FOUND},
        {&a, "f", &a, "f", 0},                    // same entry
        {&a, "f", &a, "g", TARN_MDS_EXISTS},      // never replaces
        {&a, "f", &a, "sub", TARN_MDS_EXISTS},    // file onto directory
        {&a, "sub", &a, "g", TARN_MDS_EXISTS},    // directory onto file
        {&a, "sub", &sub, "x", TARN_MDS_INVAL},   // into itself
        {&a, "sub", &deep, "x", TARN_MDS_INVAL},  // below itself
        {&a, "f", &fa, "x", TARN_MDS_NOT_DIR},
        {&a, "f", &a, "a/b", TARN_MDS_INVAL},
        {&a, "..", &b, "x", TARN_MDS_INVAL},
        {&a, "f", &b, "busy", TARN_MDS_EXISTS},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(std::string(r.sn) + " -> " + r.tn);
        EXPECT_EQ(r.status, cs.rename(*r.sd, r.sn, *r.td, r.tn));
    }
    EXPECT_EQ(0u, cs.lookup(a, "f"));
    EXPECT_EQ(0u, cs.lookup(a, "g"));

    // In place: the entry keeps its cookie and the object its handle.
    uint64_t cookie_f = 0;
    for (auto& e : cs.list(a))
        if (e.name == "f") cookie_f = e.cookie;
    ASSERT_EQ(0u, cs.rename(a, "f", a, "f2"));
    lc_ns_handle h;
    ASSERT_EQ(0u, cs.lookup(a, "f2", &h));
    EXPECT_TRUE(h == fa);
    for (auto& e : cs.list(a))
        if (e.name == "f2") {
            EXPECT_EQ(cookie_f, e.cookie);
        }
    EXPECT_EQ(TARN_MDS_NOT_FOUND, cs.lookup(a, "f"));
    // Across directories: a new cookie past every earlier one in b.
    ASSERT_EQ(0u, cs.rename(a, "f2", b, "moved"));
    auto in_b = cs.list(b);
    ASSERT_EQ(2u, in_b.size());
    EXPECT_EQ("moved", in_b.back().name);
    EXPECT_GT(in_b.back().cookie, in_b.front().cookie);
    // A directory: its parent link and both parents' link counts move.
    ASSERT_EQ(0u, cs.rename(a, "sub", b, "sub2"));
    EXPECT_EQ(2u, cs.attrs(a).nlinks);
    EXPECT_EQ(3u, cs.attrs(b).nlinks);
    EXPECT_EQ(0u, cs.lookup(b, "sub2/deep"));
    EXPECT_EQ(TARN_MDS_INVAL, cs.rename(b, "sub2", deep, "loop"));
    // Case change: two names on a case-sensitive fs, one entry on a case-insensitive one.
    ASSERT_EQ(0u, cs.create(b, "File"));
    ASSERT_EQ(0u, cs.rename(b, "File", b, "file"));
    EXPECT_EQ(TARN_MDS_NOT_FOUND, cs.lookup(b, "File"));
    lc_ns_handle cd;
    ASSERT_EQ(0u, ci.mkdir(ci.root(), "d", &cd));
    ASSERT_EQ(0u, ci.create(cd, "File"));
    ASSERT_EQ(0u, ci.create(cd, "other"));
    ASSERT_EQ(0u, ci.rename(cd, "File", cd, "file"));
    EXPECT_EQ(0u, ci.lookup(cd, "File"));
    EXPECT_EQ(TARN_MDS_EXISTS, ci.rename(cd, "FILE", cd, "OTHER"));
    auto names = ci.list(cd);
    ASSERT_EQ(2u, names.size());
    EXPECT_EQ("file", names[0].name);
    // Removed directories on either side.
    lc_ns_handle tmp;
    ASSERT_EQ(0u, cs.mkdir(root, "tmp", &tmp));
    ASSERT_EQ(0u, cs.remove(root, "tmp"));
    EXPECT_EQ(TARN_MDS_NOT_FOUND, cs.rename(a, "g", tmp, "x"));
    EXPECT_EQ(TARN_MDS_NOT_FOUND, cs.rename(tmp, "x", a, "y"));
    EXPECT_EQ(0u, cs.lookup(a, "g"));
    EXPECT_EQ("", lc_ns_check(cs.ns));
    EXPECT_EQ("", lc_ns_check(ci.ns));
}

TEST_F(NamespaceTest, LookupPathTable) {
    lc_ns_handle root = cs.root(), t, d, stale;
    ASSERT_EQ(0u, cs.mkdir(root, "T", &t));
    ASSERT_EQ(0u, cs.create(t, "f"));
    ASSERT_EQ(0u, cs.mkdir(t, "d", &d));
    ASSERT_EQ(0u, cs.create(d, "f2"));
    ASSERT_EQ(0u, cs.symlink(t, "sym", "d"));
    ASSERT_EQ(0u, cs.mkdir(root, "gone", &stale));
    ASSERT_EQ(0u, cs.remove(root, "gone"));
    lc_ns_handle zero{};
    const std::string long_name(300, 'n');
    struct Row {
        lc_ns_handle* dir;
        const char* name;
        uint32_t status;
        uint64_t expect_type;
    } rows[] = {
        {&zero, "/", 0, LC_NS_TYPE_DIR},
        {&zero, "/.", 0, LC_NS_TYPE_DIR},
        {&zero, "/..", 5, 0},
        {&zero, "", 5, 0},
        {&zero, "T", 5, 0},
        {&t, "..", 5, 0},
        {&t, ".", 0, LC_NS_TYPE_DIR},
        {&t, "./file", 5, 0},
        {&t, "../file", 5, 0},
        {&zero, "/T/./file", 5, 0},
        {&zero, "/T/../file", 5, 0},
        {&zero, "/T/.", 5, 0},
        {&zero, "/T/..", 5, 0},
        {&t, "a/b", 8, 0},
        {&t, "d//f2", 5, 0},
        {&zero, "/T/", 5, 0},
        {&zero, "//T", 5, 0},
        {&zero, "/T/f", 0, LC_NS_TYPE_FILE},
        {&zero, "/T/d/f2", 0, LC_NS_TYPE_FILE},
        {&t, "d/f2", 0, LC_NS_TYPE_FILE},
        {&t, "f/x", 9, 0},
        {&t, "sym", 0, LC_NS_TYPE_SYMLINK},
        {&t, "sym/f2", 9, 0},
        {&stale, "x", 8, 0},
        {&stale, "..", 5, 0},
        {&t, "", 5, 0},
        {&t, long_name.c_str(), 8, 0},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(std::string("'") + r.name + "'");
        NsAttrs a{};
        ASSERT_EQ(r.status, cs.lookup(*r.dir, r.name, nullptr, &a));
        if (r.status == 0) {
            EXPECT_EQ(r.expect_type, a.type);
        }
    }
    lc_ns_handle viaroot, h;
    ASSERT_EQ(0u, cs.lookup(zero, "/", &viaroot));
    EXPECT_TRUE(viaroot == root);
    ASSERT_EQ(0u, cs.lookup(t, ".", &h));
    EXPECT_TRUE(h == t);
    // A missing component never beats a dot.
    lc_ns_obj o;
    lc_ns_post_op p;
    EXPECT_EQ(TARN_MDS_INVAL, lc_ns_lookup(cs.ns, t.b, "nothing/..", &o, &p));
    EXPECT_TRUE(p.present);
}

TEST_F(NamespaceTest, CaseFoldingSamples) {
    struct Pair {
        const char* a;
        const char* b;
        bool match;
    } pairs[] = {
        {"file_under_test", "FILE_UNDER_test", true},
        {"тестовый_объект1", "ТЕСТОВЫЙ_ОБЪЕКТ1", true},
        {"göz_lüğ_üş1", "GÖZ_LÜĞ_ÜŞ1", true},
        {"тестовый_объект1", "ТЕСТОВЫЙ_ОБЪЕКТ2", false},
        // Latin-1: À..Þ except the multiplication sign; ÿ has no capital here.
        {"\u00e0\u00e9\u00fe\u00f7", "\u00c0\u00c9\u00de\u00f7", true},
        {"\u00d7", "\u00f7", false},
        // Latin Extended-A: Ā ā, Ł ł, Ŵ ŵ, Ž ž; the Turkish dotted and dotless i do not fold.
        {"\u0101\u0142\u0175\u017e", "\u0100\u0141\u0174\u017d", true},
        {"\u0130", "i", false},
        {"\u0131", "I", false},
        // Cyrillic: Ѐ..Џ, А..Я, Ѡ ѡ, Ҋ ҋ, Ӏ ӏ, Ӂ ӂ, Ԁ ԁ, Ԯ ԯ.
        {"\u0450\u045f\u0430\u044f\u0461\u048b\u04cf\u04c2\u0501\u052f",
         "\u0400\u040f\u0410\u042f\u0460\u048a\u04c0\u04c1\u0500\u052e", true},
        {"ы_й_ъ", "Ы_Й_Ъ", true},
        // Greek in the BMP, and the Kelvin sign to a plain k.
        {"\u03c3\u03c9", "\u03a3\u03a9", true},
        {"\u212a", "k", true},
        // Invalid UTF-8 compares byte by byte: an overlong 'A' is not 'a'.
        {"\xc1\x81", "a", false},
        {"\xc3X\xff", "\xc3x\xff", true},
        {"\xed\xa0\x80", "\xed\xa0\x80", true},
        {"\xe2\x82", "\xe2\x82", true},
    };
    for (const Pair& p : pairs) {
        SCOPED_TRACE(std::string(p.a) + " / " + p.b);
        EXPECT_EQ(p.match, fold(p.a) == fold(p.b));
    }
    EXPECT_EQ(std::string("\u0456"), fold("\u0406"));
    EXPECT_EQ(uint32_t('a'), lc_ns_fold_cp('A'));
    EXPECT_EQ(0x1F600u, lc_ns_fold_cp(0x1F600));
    // Folding is stable: a folded name folds to itself.
    for (const Pair& p : pairs) EXPECT_EQ(fold(p.b), fold(fold(p.b)));
}

TEST_F(NamespaceTest, CaseInsensitiveNamesMatchEveryVariant) {
    lc_ns_handle root = ci.root(), t, f, h;
    ASSERT_EQ(0u, ci.mkdir(root, "tarn_test_x", &t));
    const char* variants[] = {"file_under_test", "FILE_under_test", "FILE_UNDER_test", "FILE_UNDER_TEST"};
    ASSERT_EQ(0u, ci.create(t, variants[3], &f));
    for (const char* v : variants) {
        SCOPED_TRACE(v);
        ASSERT_EQ(0u, ci.lookup(t, v, &h));
        EXPECT_TRUE(h == f);
        EXPECT_EQ(TARN_MDS_EXISTS, ci.create(t, v));
        EXPECT_EQ(TARN_MDS_EXISTS, ci.mkdir(t, v));
    }
    auto l = ci.list(t);
    ASSERT_EQ(1u, l.size());
    EXPECT_EQ("FILE_UNDER_TEST", l[0].name);
    ASSERT_EQ(0u, ci.rename(t, variants[1], t, variants[2]));
    EXPECT_EQ("FILE_UNDER_test", ci.list(t)[0].name);
    ASSERT_EQ(0u, ci.rename(t, variants[0], t, "ANOTHER_FILE_NAME"));
    ASSERT_EQ(0u, ci.lookup(t, "another_file_name"));
    ASSERT_EQ(0u, ci.remove(t, "another_file_name"));
    // The UTF-8 chains, files then directories.
    const char* chains[][4] = {{"ТЕСТОВЫЙ_ОБЪЕКТ1", "тестовый_объект1", "ТЕСТОВЫЙ_ОБЪЕКТ2", "тестовый_объект2"},
                               {"GÖZ_LÜĞ_ÜŞ1", "göz_lüğ_üş1", "GÖZ_LÜĞ_ÜŞ2", "göz_lüğ_üş2"}};
    for (int dir = 0; dir < 2; dir++) {
        for (auto& c : chains) {
            SCOPED_TRACE(c[0]);
            ASSERT_EQ(0u, dir ? ci.mkdir(t, c[0]) : ci.create(t, c[0]));
            ASSERT_EQ(0u, ci.lookup(t, c[1]));
            ASSERT_EQ(0u, ci.rename(t, c[1], t, c[2]));
            ASSERT_EQ(0u, ci.lookup(t, c[3]));
            auto e = ci.list(t);
            ASSERT_EQ(1u, e.size());
            EXPECT_EQ(c[2], e[0].name);
            ASSERT_EQ(0u, ci.remove(t, c[3]));
        }
    }
    EXPECT_TRUE(ci.list(t).empty());
    // A case-sensitive fs keeps the four variants apart.
    for (const char* v : variants) ASSERT_EQ(0u, cs.create(cs.root(), v));
    EXPECT_EQ(4u, cs.list(cs.root()).size());
    EXPECT_EQ("", lc_ns_check(ci.ns));
}

TEST_F(NamespaceTest, ReaddirPagesWhileEntriesAreRemoved) {
    lc_ns_handle root = cs.root(), d, f;
    ASSERT_EQ(0u, cs.mkdir(root, "d", &d));
    ASSERT_EQ(0u, cs.create(d, "file", &f));
    ASSERT_EQ(0u, cs.mkdir(d, "dir"));
    ASSERT_EQ(0u, cs.symlink(d, "symlink", "content"));
    ASSERT_EQ(0u, cs.create(d, "four"));
    // A small directory comes back whole, with handles and attributes.
    std::vector<NsTestFs::Dirent> one;
    bool more = true;
    ASSERT_EQ(0u, cs.readdir(d, 0, 65536, &one, &more));
    EXPECT_FALSE(more);
    ASSERT_EQ(4u, one.size());
    EXPECT_TRUE(one[0].handle == f);
    EXPECT_EQ(cs.attrs(f).vdisk, one[0].attrs.vdisk);
    EXPECT_EQ(LC_NS_TYPE_SYMLINK, one[2].attrs.type);
    for (auto& e : one) EXPECT_TRUE(e.name != "." && e.name != "..");
    for (auto& e : one) ASSERT_EQ(0u, cs.remove(d, e.name));

    std::set<std::string> live;
    for (int i = 0; i < 60; i++) {
        std::string n = "entry" + std::to_string(i);
        ASSERT_EQ(0u, cs.create(d, n));
        live.insert(n);
    }
    // Room for three short entries per batch; between batches remove one
    // name already seen and one not yet seen.
    uint64_t limit = TARN_MDS_READDIR_REP_ENTRIES + 3 * (TARN_MDS_DIRENT_BYTES + 8);
    std::set<std::string> seen, removed_unseen;
    uint64_t cookie = 0;
    int batches = 0;
    more = true;
    while (more) {
        std::vector<NsTestFs::Dirent> batch;
        ASSERT_EQ(0u, cs.readdir(d, cookie, limit, &batch, &more));
        if (batch.empty()) {  // the last ones left were removed unseen
            EXPECT_FALSE(more);
            break;
        }
        EXPECT_LE(batch.size(), 3u);
        batches++;
        for (auto& e : batch) {
            EXPECT_GT(e.cookie, cookie);
            cookie = e.cookie;
            EXPECT_TRUE(seen.insert(e.name).second) << e.name;
            EXPECT_EQ(0u, removed_unseen.count(e.name)) << e.name;
        }
        ASSERT_EQ(0u, cs.remove(d, batch.front().name));
        live.erase(batch.front().name);
        for (auto it = live.begin(); it != live.end(); ++it) {
            if (!seen.count(*it)) {
                removed_unseen.insert(*it);
                ASSERT_EQ(0u, cs.remove(d, *it));
                live.erase(it);
                break;
            }
        }
    }
    EXPECT_GT(batches, 10);
    for (auto& n : live) EXPECT_TRUE(seen.count(n)) << n;
    std::vector<NsTestFs::Dirent> none;
    EXPECT_EQ(TARN_MDS_TOO_BIG, cs.readdir(d, 0, TARN_MDS_READDIR_REP_ENTRIES + 100, &none));
    EXPECT_EQ(TARN_MDS_NOT_FOUND, cs.readdir(f, 0, 65536, &none));  // removed above
    ASSERT_EQ(0u, cs.create(root, "plain", &f));
    EXPECT_EQ(TARN_MDS_NOT_DIR, cs.readdir(f, 0, 65536, &none));
    EXPECT_EQ("", lc_ns_check(cs.ns));
}

TEST_F(NamespaceTest, HandlesAreStableAndParsedStrictly) {
    lc_ns_handle root = ci.root(), d, f;
    ASSERT_EQ(0u, ci.mkdir(root, "Dir", &d));
    ASSERT_EQ(0u, ci.create(d, "File", &f));
    EXPECT_EQ(LC_NS_HANDLE_LEN, f.b[TARN_MDS_HANDLE_LENGTH]);
    EXPECT_EQ(NsTestFs::kFsId, tarn_wire_get_u64(f.b, 12));
    EXPECT_EQ(LC_NS_TYPE_FILE, f.b[TARN_MDS_HANDLE_TYPE]);
    EXPECT_EQ(TARN_MDS_HANDLE_XATTRS_ON_DS, f.b[TARN_MDS_HANDLE_FLAGS]);
    EXPECT_EQ(0, d.b[TARN_MDS_HANDLE_FLAGS]);
    NsAttrs a;
    for (uint8_t len : {0, 9, 29, 255}) {
        lc_ns_handle bad = f;
        bad.b[TARN_MDS_HANDLE_LENGTH] = len;
        EXPECT_EQ(TARN_MDS_INVAL, ci.attrs(bad, &a)) << int(len);
    }
    lc_ns_handle other_fs = f, wrong_type = f, unknown = f;
    other_fs.b[12] ^= 1;
    wrong_type.b[TARN_MDS_HANDLE_TYPE] = LC_NS_TYPE_DIR;
    tarn_wire_put_u64(unknown.b, 0, 999999);
    EXPECT_EQ(TARN_MDS_INVAL, ci.attrs(other_fs, &a));
    EXPECT_EQ(TARN_MDS_INVAL, ci.attrs(wrong_type, &a));
    EXPECT_EQ(TARN_MDS_NOT_FOUND, ci.attrs(unknown, &a));
    lc_ns_handle zero{};
    EXPECT_EQ(TARN_MDS_INVAL, ci.create(zero, "x"));

    // An MDS restart rebuilds the folded index; handles and cookies go on.
    auto before = ci.list(d);
    uint64_t f_inode = ci.attrs(f).inode;
    ci.restart();
    lc_ns_handle h;
    ASSERT_EQ(0u, ci.lookup(zero, "/dir/FILE", &h));
    EXPECT_TRUE(h == f);
    ASSERT_EQ(0u, ci.remove(d, "file"));
    ASSERT_EQ(0u, ci.create(d, "new", &h));
    EXPECT_GT(ci.attrs(h).inode, f_inode);
    EXPECT_EQ(TARN_MDS_NOT_FOUND, ci.attrs(f, &a));
    auto after = ci.list(d);
    ASSERT_EQ(1u, after.size());
    EXPECT_GT(after[0].cookie, before[0].cookie);
    EXPECT_EQ("", lc_ns_check(ci.ns));
}

TEST_F(NamespaceTest, SetAttrsGuardsAndTheDsPath) {
    lc_ns_handle root = cs.root(), d, f;
    ASSERT_EQ(0u, cs.mkdir(root, "d", &d));
    ASSERT_EQ(0u, cs.create(root, "f", &f));
    uint8_t guard[16] = {};
    lc_ns_wcc w;
    NsAttrs a0 = cs.attrs(d);
    tarn_wire_put_u64(guard, 0, a0.ctime + 1);
    EXPECT_EQ(TARN_MDS_CONFLICT, lc_ns_set_attrs(cs.ns, d.b, NsUpdate(0700).b, guard, &w));
    EXPECT_EQ(0755u, cs.attrs(d).mode);
    EXPECT_TRUE(w.present);
    tarn_wire_put_u64(guard, 0, a0.ctime);
    ASSERT_EQ(0u, lc_ns_set_attrs(cs.ns, d.b,
                                  NsUpdate(017777).set(TARN_MDS_SET_MTIME, TARN_MDS_ATTR_MTIME, 123456789, true).b,
                                  guard, &w));
    NsAttrs a1 = cs.attrs(d);
    EXPECT_EQ(07777u, a1.mode);
    EXPECT_EQ(123456789u, a1.mtime);
    EXPECT_GE(a1.ctime, a0.ctime);
    EXPECT_EQ(a0.atime, a1.atime);
    uint8_t none[16] = {};
    EXPECT_EQ(TARN_MDS_INVAL,
              lc_ns_set_attrs(cs.ns, d.b, NsUpdate().set(TARN_MDS_SET_SIZE, TARN_MDS_ATTR_SIZE, 1, true).b, none, &w));
    // A regular file changes on its DS object and the replica follows.
    ASSERT_EQ(0u, lc_ns_set_attrs(cs.ns, f.b, NsUpdate(0357).set(TARN_MDS_SET_SIZE, TARN_MDS_ATTR_SIZE, 10000, true).b,
                                  none, &w));
    lc_ds_attrs ds;
    ASSERT_EQ(LC_DS_OK, cs.ds_attrs(f, &ds));
    NsAttrs fa = cs.attrs(f);
    EXPECT_EQ(0357u, ds.mode);
    EXPECT_EQ(0357u, fa.mode);
    EXPECT_EQ(10000u, fa.size);
    EXPECT_EQ(ds.ctime, fa.ctime);
    tarn_wire_put_u64(guard, 0, fa.ctime - 1);
    EXPECT_EQ(TARN_MDS_CONFLICT, lc_ns_set_attrs(cs.ns, f.b, NsUpdate(0600).b, guard, &w));
    EXPECT_EQ(0357u, cs.attrs(f).mode);

    // Pushes: newer versions land, older ones and gone ids do not.
    lc_ds_attrs snap = ds;
    snap.size = 77;
    snap.attr_version = ds.attr_version + 1;
    EXPECT_TRUE(lc_ns_ds_push(cs.ns, &snap));
    EXPECT_EQ(77u, cs.attrs(f).size);
    snap.size = 1;
    EXPECT_FALSE(lc_ns_ds_push(cs.ns, &snap));
    snap.file_id = 999999;
    snap.attr_version += 5;
    EXPECT_FALSE(lc_ns_ds_push(cs.ns, &snap));
    // With replication off the DS owes a push for the new link count.
    cs.repl_off = true;
    ASSERT_EQ(0u, cs.link(f, root, "l"));
    uint16_t v = cs.attrs(f).vdisk;
    EXPECT_EQ(1u, lc_ds_disk_dirty_count(cs.ds[v % 3]));
    EXPECT_EQ(2u, cs.attrs(f).nlinks);
}

TEST_F(NamespaceTest, XattrsAndFsInfo) {
    NsTestFs mds_x(false, 10, false);
    lc_ns_handle root = mds_x.root(), f, d;
    ASSERT_EQ(0u, mds_x.create(root, "f", &f));
    ASSERT_EQ(0u, mds_x.mkdir(root, "d", &d));
    EXPECT_EQ(0, f.b[TARN_MDS_HANDLE_FLAGS]);
    EXPECT_EQ(0u, lc_ns_set_xattr(mds_x.ns, d.b, 0, "user.a", "value"));
    EXPECT_EQ(TARN_MDS_EXISTS, lc_ns_set_xattr(mds_x.ns, d.b, 1, "user.a", "x"));
    EXPECT_EQ(TARN_MDS_NOT_FOUND, lc_ns_set_xattr(mds_x.ns, d.b, 2, "user.b", "x"));
    EXPECT_EQ(TARN_MDS_INVAL, lc_ns_set_xattr(mds_x.ns, d.b, 3, "user.b", "x"));
    EXPECT_EQ(TARN_MDS_INVAL, lc_ns_set_xattr(mds_x.ns, d.b, 0, "", "x"));
    EXPECT_EQ(TARN_MDS_TOO_BIG, lc_ns_set_xattr(mds_x.ns, d.b, 0, std::string(256, 'n'), "x"));
    EXPECT_EQ(TARN_MDS_TOO_BIG, lc_ns_set_xattr(mds_x.ns, d.b, 0, "user.big", std::string(65536, 'v')));
    EXPECT_EQ(TARN_MDS_NO_SPACE, lc_ns_set_xattr(mds_x.ns, d.b, 0, "user.big", std::string(65535, 'v')));
    EXPECT_EQ(0u, lc_ns_set_xattr(mds_x.ns, f.b, 0, "system.posix_acl_access", ""));
    std::string v;
    uint32_t need = 99;
    EXPECT_EQ(0u, lc_ns_get_xattr(mds_x.ns, f.b, 32, "system.posix_acl_access", &v, &need));
    EXPECT_EQ(TARN_MDS_TOO_BIG, lc_ns_get_xattr(mds_x.ns, d.b, 36, "user.a", &v, &need));
    EXPECT_EQ(5u, need);
    EXPECT_EQ(0u, lc_ns_get_xattr(mds_x.ns, d.b, 37, "user.a", &v, &need));
    EXPECT_EQ("value", v);
    EXPECT_EQ(TARN_MDS_NOT_FOUND, lc_ns_get_xattr(mds_x.ns, d.b, 100, "user.zz", &v, &need));
    EXPECT_EQ(0u, need);
    ASSERT_EQ(0u, lc_ns_set_xattr(mds_x.ns, d.b, 0, "trusted.b", "1"));
    std::string names;
    EXPECT_EQ(0u, lc_ns_list_xattrs(mds_x.ns, d.b, 1000, &names));
    EXPECT_EQ(std::string("trusted.b\0user.a\0", 17), names);
    EXPECT_EQ(TARN_MDS_TOO_BIG, lc_ns_list_xattrs(mds_x.ns, d.b, 32 + 16, &names));
    EXPECT_EQ(0u, lc_ns_remove_xattr(mds_x.ns, d.b, "user.a"));
    EXPECT_EQ(TARN_MDS_NOT_FOUND, lc_ns_remove_xattr(mds_x.ns, d.b, "user.a"));
    // Xattrs die with their object.
    ASSERT_EQ(0u, mds_x.remove(root, "d"));
    ASSERT_EQ(0u, mds_x.mkdir(root, "d", &d));
    EXPECT_EQ(0u, lc_ns_list_xattrs(mds_x.ns, d.b, 1000, &names));
    EXPECT_TRUE(names.empty());
    // Files of an fs with xattrs on the DS refuse MDS xattrs.
    lc_ns_handle cf;
    ASSERT_EQ(0u, cs.create(cs.root(), "f", &cf));
    EXPECT_EQ(TARN_MDS_INVAL, lc_ns_set_xattr(cs.ns, cf.b, 0, "user.a", "x"));

    // Counters: exact file counts, pooled space, CI flag and health bits.
    EXPECT_EQ(10u - 2, mds_x.free_files());
    for (int i = 0; i < 8; i++) ASSERT_EQ(0u, mds_x.create(root, "n" + std::to_string(i)));
    EXPECT_EQ(TARN_MDS_NO_SPACE, mds_x.create(root, "full"));
    EXPECT_EQ(TARN_MDS_NO_SPACE, mds_x.mkdir(root, "full"));
    EXPECT_EQ(0u, mds_x.free_files());
    ASSERT_EQ(0u, mds_x.remove(root, "n0"));
    EXPECT_EQ(1u, mds_x.free_files());
    EXPECT_EQ((64ull << 20) / 4096, ci.fs_info(TARN_MDS_FS_INFO_TOTAL_SPACE));
    EXPECT_EQ(lc_pool_free_blocks(&ci.pool), ci.fs_info(TARN_MDS_FS_INFO_FREE_SPACE));
    EXPECT_EQ(0x4u, ci.fs_info(TARN_MDS_FS_INFO_FLAGS));
    cs.health = 0xF;
    EXPECT_EQ(0xBu, cs.fs_info(TARN_MDS_FS_INFO_FLAGS));
}

}  // namespace
