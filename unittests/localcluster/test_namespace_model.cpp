// The namespace engine against a small reference model: random operation
// sequences on case-sensitive and case-insensitive file systems (with MDS
// restarts in between) must give the model's statuses, handles and
// cookies, keep nlinks = names and the free-file count exact. Then
// concurrency: racing removers, linkers, renamers.
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <thread>

#include "test_namespace_env.h"

namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr int kScale = 4;  // sanitizers slow every hand-off down
#else
constexpr int kScale = 1;
#endif

struct MObj {
    uint8_t type;
    uint32_t nlinks;
    lc_ns_handle handle;
    uint64_t verifier;
    std::string target;
    uint64_t parent;  // directories
};

struct MEntry {
    std::string name;
    uint64_t obj;
    uint64_t cookie;
};

struct MDir {
    std::map<std::string, MEntry> entries;  // by match key
    uint64_t next_cookie = 1;
};

class NamespaceModelTest : public ::testing::TestWithParam<bool> {
   protected:
    static constexpr uint64_t kFiles = 400;
    // Creates stop where the server's own reserve of files begins.
    static constexpr uint64_t kCreatable = kFiles - kFiles / 20;
    NsTestFs fs{GetParam(), kFiles};
    std::mt19937_64 rng{GetParam() ? 7u : 11u};
    std::map<uint64_t, MObj> objs;
    std::map<uint64_t, MDir> dirs;
    std::vector<lc_ns_handle> gone;                    // handles of freed objects
    std::map<std::pair<int, uint32_t>, int> outcomes;  // (op, status) -> count

    bool ci() const { return GetParam(); }

    // Case folding for the names this test uses: ASCII, Ö, Я.
    std::string key(const std::string& n) const {
        if (!ci()) return n;
        std::string k;
        for (size_t i = 0; i < n.size(); i++) {
            unsigned char c = n[i];
            if (c == 0xC3 && (unsigned char)n[i + 1] == 0x96) {
                k += "\xC3\xB6";
                i++;
            } else if (c == 0xD0 && (unsigned char)n[i + 1] == 0xAF) {
                k += "\xD1\x8F";
                i++;
            } else {
                k += char(tolower(c));
            }
        }
        return k;
    }

    size_t pick(size_t n) { return size_t(rng() % n); }

    std::string pick_name() {
        static const char* names[] = {"a",        "A",        "b",        "B",  "ab", "Ab", "aB", "\xC3\xB6",
                                      "\xC3\x96", "\xD1\x8F", "\xD0\xAF", "x1", "X1", ".",  "a/b"};
        return names[pick(sizeof names / sizeof names[0])];
    }

    uint64_t pick_dir() {
        auto it = dirs.begin();
        std::advance(it, pick(dirs.size()));
        return it->first;
    }
    lc_ns_handle dir_handle(uint64_t id) { return objs[id].handle; }

    // A live directory, or now and then a removed one.
    lc_ns_handle pick_dir_handle(uint64_t* id) {
        if (!gone.empty() && pick(10) == 0) {
            *id = 0;
            return gone[pick(gone.size())];
        }
        *id = pick_dir();
        return dir_handle(*id);
    }

    static bool valid(const std::string& n) { return n != "." && n.find('/') == std::string::npos; }

    void add(uint64_t dir, const std::string& name, uint64_t obj) {
        MDir& d = dirs[dir];
        d.entries[key(name)] = MEntry{name, obj, d.next_cookie++};
    }

    void drop_obj(uint64_t id) {
        gone.push_back(objs[id].handle);
        objs.erase(id);
        dirs.erase(id);
    }

    MEntry* find(uint64_t dir, const std::string& name) {
        auto& e = dirs[dir].entries;
        auto it = e.find(key(name));
        return it == e.end() ? nullptr : &it->second;
    }

    bool below(uint64_t dir, uint64_t obj) {
        for (uint64_t up = dir;; up = objs[up].parent) {
            if (up == obj) return true;
            if (up == LC_NS_ROOT_ID) return false;
        }
    }

    void step(int op) {
        uint64_t d = 0;
        lc_ns_handle dh = pick_dir_handle(&d);
        std::string name = pick_name();
        uint64_t v = pick(4);
        uint32_t got = 0, want = 0;
        switch (op) {
            case 0:
            case 1: {  // create or mkdir
                bool is_dir = op == 1;
                uint32_t mode = 2 + uint32_t(pick(2));
                lc_ns_create_out co;
                lc_ns_mkobj_out mo;
                got = is_dir ? lc_ns_mkdir(fs.ns, fs.cred, dh.b, NsUpdate().b, v, name, &mo)
                             : lc_ns_create_file(fs.ns, fs.cred, mode, NsUpdate(0644).b, v, dh.b, name, &co);
                lc_ns_obj& o = is_dir ? mo.obj : co.obj;
                MEntry* e = d ? find(d, name) : nullptr;
                uint8_t type = is_dir ? LC_NS_TYPE_DIR : LC_NS_TYPE_FILE;
                if (!is_dir && mode == 3 && v == 0)
                    want = TARN_MDS_INVAL;
                else if (!d)
                    want = TARN_MDS_NOT_FOUND;
                else if (!valid(name))
                    want = TARN_MDS_INVAL;
                else if (e)
                    want =
                        (objs[e->obj].type == type && v && objs[e->obj].verifier == v) ? 0u : uint32_t(TARN_MDS_EXISTS);
                else if (objs.size() - 1 >= kCreatable)
                    want = TARN_MDS_NO_SPACE;
                if (got == 0 && want == 0 && e) {
                    EXPECT_TRUE(o.handle == objs[e->obj].handle);
                } else if (got == 0 && want == 0) {
                    uint64_t id = tarn_wire_get_u64(o.handle.b, 0);
                    objs[id] = MObj{type, is_dir ? 2u : 1u, o.handle, v, "", d};
                    if (is_dir) {
                        dirs[id];
                        objs[d].nlinks++;
                    }
                    add(d, name, id);
                }
                break;
            }
            case 2: {  // symlink
                std::string target = pick(2) ? "t1" : "t2";
                lc_ns_mkobj_out mo;
                got = lc_ns_symlink(fs.ns, fs.cred, dh.b, NsUpdate().b, name, target, &mo);
                MEntry* e = d ? find(d, name) : nullptr;
                if (ci())
                    want = TARN_MDS_NOT_IMPL;
                else if (!d)
                    want = TARN_MDS_NOT_FOUND;
                else if (!valid(name))
                    want = TARN_MDS_INVAL;
                else if (e)
                    want = (objs[e->obj].type == LC_NS_TYPE_SYMLINK && objs[e->obj].target == target) ? 0 : 3;
                else if (objs.size() - 1 >= kCreatable)
                    want = TARN_MDS_NO_SPACE;
                if (got == 0 && want == 0 && !e) {
                    uint64_t id = tarn_wire_get_u64(mo.obj.handle.b, 0);
                    objs[id] = MObj{LC_NS_TYPE_SYMLINK, 1, mo.obj.handle, 0, target, d};
                    add(d, name, id);
                }
                break;
            }
            case 3: {  // link
                auto it = objs.begin();
                std::advance(it, pick(objs.size()));
                bool stale = !gone.empty() && pick(8) == 0;
                lc_ns_handle oh = stale ? gone[pick(gone.size())] : it->second.handle;
                got = fs.link(oh, dh, name);
                MEntry* e = d ? find(d, name) : nullptr;
                if (ci())
                    want = TARN_MDS_NOT_IMPL;
                else if (stale || !d)
                    want = TARN_MDS_NOT_FOUND;
                else if (it->second.type == LC_NS_TYPE_DIR)
                    want = TARN_MDS_PERM;
                else if (!valid(name))
                    want = TARN_MDS_INVAL;
                else if (e)
                    want = e->obj == it->first ? 0u : uint32_t(TARN_MDS_EXISTS);
                if (got == 0 && want == 0 && !e) {
                    it->second.nlinks++;
                    add(d, name, it->first);
                }
                break;
            }
            case 4: {  // remove
                got = fs.remove(dh, name);
                MEntry* e = d ? find(d, name) : nullptr;
                if (!d)
                    want = TARN_MDS_NOT_FOUND;
                else if (!valid(name))
                    want = TARN_MDS_INVAL;
                else if (!e)
                    want = TARN_MDS_NOT_FOUND;
                else if (objs[e->obj].type == LC_NS_TYPE_DIR && !dirs[e->obj].entries.empty())
                    want = 13;
                if (got == 0 && want == 0) {
                    uint64_t id = e->obj;
                    dirs[d].entries.erase(key(name));
                    MObj& o = objs[id];
                    if (o.type == LC_NS_TYPE_DIR) objs[d].nlinks--;
                    if (o.type == LC_NS_TYPE_DIR || --o.nlinks == 0) drop_obj(id);
                }
                break;
            }
            case 5: {  // rename
                uint64_t t = 0;
                lc_ns_handle th = pick_dir_handle(&t);
                std::string to = pick_name();
                got = fs.rename(dh, name, th, to);
                MEntry* e = d && t ? find(d, name) : nullptr;
                if (!d || !t)
                    want = TARN_MDS_NOT_FOUND;
                else if (!valid(name) || !valid(to))
                    want = TARN_MDS_INVAL;
                else if (!e)
                    want = TARN_MDS_NOT_FOUND;
                else if (d == t && key(name) == key(to))
                    want = 0;
                else if (find(t, to))
                    want = TARN_MDS_EXISTS;
                else if (objs[e->obj].type == LC_NS_TYPE_DIR && below(t, e->obj))
                    want = TARN_MDS_INVAL;
                if (got == 0 && want == 0) {
                    MEntry moved = *e;
                    if (d == t && key(name) == key(to)) {
                        e->name = to;
                    } else if (d == t) {
                        dirs[d].entries.erase(key(name));
                        moved.name = to;
                        dirs[d].entries[key(to)] = moved;
                    } else {
                        dirs[d].entries.erase(key(name));
                        add(t, to, moved.obj);
                        MObj& o = objs[moved.obj];
                        if (o.type == LC_NS_TYPE_DIR) {
                            o.parent = t;
                            objs[d].nlinks--;
                            objs[t].nlinks++;
                        }
                    }
                }
                break;
            }
            default: {  // lookup
                lc_ns_handle h;
                got = fs.lookup(dh, name, &h);
                MEntry* e = d ? find(d, name) : nullptr;
                if (name == ".")
                    want = d ? 0u : uint32_t(TARN_MDS_NOT_FOUND);
                else if (name == "a/b")
                    want = !d ? uint32_t(TARN_MDS_NOT_FOUND) : 0u;
                else if (!d || !e)
                    want = TARN_MDS_NOT_FOUND;
                if (name == "a/b" && d) {  // a two-step walk
                    MEntry* a = find(d, "a");
                    if (!a)
                        want = TARN_MDS_NOT_FOUND;
                    else if (objs[a->obj].type != LC_NS_TYPE_DIR)
                        want = TARN_MDS_NOT_DIR;
                    else if (!(e = find(a->obj, "b")))
                        want = TARN_MDS_NOT_FOUND;
                }
                if (got == 0 && want == 0) {
                    EXPECT_TRUE(h == (name == "." ? dh : objs[e->obj].handle));
                }
                break;
            }
        }
        ASSERT_EQ(want, got) << "op " << op << " name '" << name << "' dir " << d;
        outcomes[{op, got}]++;
    }

    // Everything the model knows, compared with the engine.
    void verify() {
        ASSERT_EQ("", lc_ns_check(fs.ns));
        ASSERT_EQ(kFiles - (objs.size() - 1), fs.free_files());
        ASSERT_EQ(kCreatable - (objs.size() - 1), fs.fs_info(TARN_MDS_FS_INFO_AVAIL_FILES));
        for (auto& [id, o] : objs) {
            NsAttrs a;
            ASSERT_EQ(0u, fs.attrs(o.handle, &a)) << id;
            ASSERT_EQ(o.nlinks, a.nlinks) << id;
        }
        for (auto& h : gone) {
            NsAttrs a;
            ASSERT_EQ(TARN_MDS_NOT_FOUND, fs.attrs(h, &a));
        }
        for (auto& [id, d] : dirs) {
            auto listed = fs.list(objs[id].handle, 112 + pick(3) * 170 + 170);
            ASSERT_EQ(d.entries.size(), listed.size()) << id;
            uint64_t last = 0;
            for (auto& e : listed) {
                ASSERT_GT(e.cookie, last);
                last = e.cookie;
                const MEntry* m = find(id, e.name);
                ASSERT_TRUE(m) << e.name;
                ASSERT_EQ(m->name, e.name);
                ASSERT_EQ(m->cookie, e.cookie);
                ASSERT_TRUE(e.handle == objs[m->obj].handle);
            }
        }
    }

    void run(int steps) {
        objs[LC_NS_ROOT_ID] = MObj{LC_NS_TYPE_DIR, 2, fs.root(), 0, "", LC_NS_ROOT_ID};
        dirs[LC_NS_ROOT_ID];
        for (int i = 1; i <= steps; i++) {
            int op = int(pick(100));
            op = op < 18 ? 0 : op < 26 ? 1 : op < 32 ? 2 : op < 42 ? 3 : op < 70 ? 4 : op < 85 ? 5 : 6;
            ASSERT_NO_FATAL_FAILURE(step(op)) << "step " << i;
            if (i % 250 == 0) {
                ASSERT_NO_FATAL_FAILURE(verify()) << "step " << i;
            }
            if (i % 2500 == 0) fs.restart();
        }
        // The sequence must have exercised every rule, not only misses.
        for (auto [op, st] : std::vector<std::pair<int, uint32_t>>{{0, 0},
                                                                   {0, 3},
                                                                   {0, 5},
                                                                   {0, 8},
                                                                   {1, 0},
                                                                   {1, 3},
                                                                   {4, 0},
                                                                   {4, 8},
                                                                   {4, 13},
                                                                   {5, 0},
                                                                   {5, 3},
                                                                   {5, 5},
                                                                   {5, 8},
                                                                   {6, 0},
                                                                   {6, 8},
                                                                   {6, 9}})
            EXPECT_GT(outcomes[std::make_pair(op, st)], 3) << "op " << op << " status " << st;
        EXPECT_GT(outcomes[std::make_pair(2, ci() ? 16u : 0u)], 3);
        EXPECT_GT(outcomes[std::make_pair(3, ci() ? 16u : 0u)], 3);
    }
};

TEST_P(NamespaceModelTest, RandomOperationsMatchTheModel) { run(20000); }

INSTANTIATE_TEST_SUITE_P(CaseSensitivity, NamespaceModelTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Insensitive" : "Sensitive"; });

// Threads started together.
template <class F>
void run_threads(int n, F body) {
    std::atomic<bool> go{false};
    std::vector<std::thread> ts;
    for (int i = 0; i < n; i++)
        ts.emplace_back([&, i] {
            while (!go.load()) std::this_thread::yield();
            body(i);
        });
    go = true;
    for (auto& t : ts) t.join();
}

TEST(NamespaceStressTest, FiveRemoversOfOneNameExactlyOneWins) {
    NsTestFs fs(false);
    lc_ns_handle root = fs.root();
    uint64_t files0 = fs.free_files();
    constexpr int kRounds = 2000 / kScale;
    std::atomic<int> ok{0}, not_found{0}, other{0}, arrived{0};
    std::atomic<int> round{-1};
    // Five threads that stay up; each round releases them at once on a fresh file.
    run_threads(6, [&](int t) {
        for (int r = 0; r < kRounds; r++) {
            if (t == 5) {
                while (arrived.load() != 5 * r) std::this_thread::yield();
                EXPECT_EQ(0u, fs.create(root, "victim"));
                round = r;
                continue;
            }
            // Yielding: on a busy machine a spinner would hold its core
            // from the thread that must run for the round to start.
            while (round.load() != r) std::this_thread::yield();
            uint32_t st = fs.remove(root, "victim");
            if (st == 0)
                ok++;
            else if (st == TARN_MDS_NOT_FOUND)
                not_found++;
            else
                other++;
            arrived++;
        }
    });
    EXPECT_EQ(kRounds, ok.load());
    EXPECT_EQ(4 * kRounds, not_found.load());
    EXPECT_EQ(0, other.load());
    EXPECT_EQ(files0, fs.free_files());
    EXPECT_EQ("", lc_ns_check(fs.ns));
}

TEST(NamespaceStressTest, HundredLinkersCountExactly) {
    NsTestFs fs(false);
    lc_ns_handle root = fs.root();
    constexpr int kTargets = 10, kThreads = 100, kLinks = 20;
    lc_ns_handle targets[kTargets];
    for (int i = 0; i < kTargets; i++) ASSERT_EQ(0u, fs.create(root, "t" + std::to_string(i), &targets[i]));
    uint64_t files0 = fs.free_files();
    std::atomic<int> failures{0};
    run_threads(kThreads, [&](int t) {
        for (int k = 0; k < kLinks; k++) {
            std::string name = "l" + std::to_string(t) + "_" + std::to_string(k);
            // Every link is sent twice, as a client re-sends after a lost reply.
            for (int rep = 0; rep < 2; rep++)
                if (fs.link(targets[t % kTargets], root, name) != 0) failures++;
        }
    });
    EXPECT_EQ(0, failures.load());
    for (auto& h : targets) {
        EXPECT_EQ(1u + (kThreads / kTargets) * kLinks, fs.attrs(h).nlinks);
        lc_ds_attrs ds;
        ASSERT_EQ(LC_DS_OK, fs.ds_attrs(h, &ds));
        EXPECT_EQ(1u + (kThreads / kTargets) * kLinks, ds.nlinks);
    }
    EXPECT_EQ(files0, fs.free_files());
    // And all the names away again, concurrently.
    run_threads(kThreads, [&](int t) {
        for (int k = 0; k < kLinks; k++)
            if (fs.remove(root, "l" + std::to_string(t) + "_" + std::to_string(k)) != 0) failures++;
    });
    EXPECT_EQ(0, failures.load());
    for (auto& h : targets) EXPECT_EQ(1u, fs.attrs(h).nlinks);
    EXPECT_EQ("", lc_ns_check(fs.ns));
}

TEST(NamespaceStressTest, ConcurrentRenameAndRemove) {
    NsTestFs fs(true);
    lc_ns_handle root = fs.root(), a, b;
    ASSERT_EQ(0u, fs.mkdir(root, "A", &a));
    ASSERT_EQ(0u, fs.mkdir(root, "B", &b));
    uint64_t files0 = fs.free_files();
    std::atomic<bool> stop{false};
    std::atomic<int> created{0}, removed{0}, bad{0};
    std::atomic<int> creators_done{0};
    run_threads(6, [&](int t) {
        if (t < 2) {  // movers: the file and a directory between A and B, respelled on the way
            const char* n = t == 0 ? "x" : "m";
            const char* spell[] = {t == 0 ? "X" : "M", n};
            int i = 0;
            while (!stop) {
                uint32_t s1 = fs.rename(a, n, b, spell[i % 2]);
                uint32_t s2 = fs.rename(b, n, a, spell[(i + 1) % 2]);
                // 3: a new "x" was made in the other directory meanwhile.
                for (uint32_t s : {s1, s2})
                    if (s != 0 && s != TARN_MDS_NOT_FOUND && s != TARN_MDS_EXISTS) bad++;
                i++;
            }
        } else if (t < 4) {  // removers of whatever "x" there is
            while (!stop) {
                for (lc_ns_handle* d : {&a, &b}) {
                    uint32_t s = fs.remove(*d, t == 2 ? "x" : "X");
                    if (s == 0)
                        removed++;
                    else if (s != TARN_MDS_NOT_FOUND)
                        bad++;
                }
            }
        } else if (t == 4) {  // a creator of "x"
            for (int i = 0; i < 3000; i++) {
                uint32_t s = fs.create(a, "x");
                if (s == 0)
                    created++;
                else if (s != TARN_MDS_EXISTS)
                    bad++;
            }
            if (++creators_done == 2) stop = true;
        } else {  // files come and go inside the moving directory
            lc_ns_handle m;
            EXPECT_EQ(0u, fs.mkdir(a, "m", &m));
            for (int i = 0; i < 3000; i++) {
                std::string n = "f" + std::to_string(i % 7);
                if (fs.create(m, n) != 0 && fs.remove(m, n) != 0) bad++;
            }
            if (++creators_done == 2) stop = true;
        }
    });
    EXPECT_EQ(0, bad.load());
    lc_ns_handle h;
    int left = (fs.lookup(a, "x", &h) == 0) + (fs.lookup(b, "x", &h) == 0);
    EXPECT_EQ(created.load() - removed.load(), left);
    lc_ns_stats st;
    lc_ns_get_stats(fs.ns, &st);
    EXPECT_EQ(files0 - st.live_objects + 2, fs.free_files());
    EXPECT_EQ(1u, fs.attrs(a).nlinks + fs.attrs(b).nlinks - 4);  // "m" is in exactly one of them
    EXPECT_EQ("", lc_ns_check(fs.ns));
}

}  // namespace
