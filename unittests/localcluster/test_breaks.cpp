// The deliberate faults of --break: each rule, switched on, gives its broken
// answer and, switched off, the correct one; no rule disturbs the others;
// and the switch reaches the engine, the pool and `status` from the command
// line.
#include <gtest/gtest.h>
#include <stdio.h>

#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "localcluster/breaks.h"
#include "localcluster/cluster.h"
#include "localcluster/cluster_disk.h"
#include "localcluster/options.h"
#include "test_namespace_env.h"

namespace {

// Runs on a fresh file system with the given switches; returns what it saw.
using Scenario = std::string (*)(NsTestFs& fs, uint64_t breaks);

std::string st(const char* what, uint64_t v) { return std::string(what) + "=" + std::to_string(v); }

// A repeated create with its own verifier.
std::string repeat_create(NsTestFs& fs, uint64_t) {
    lc_ns_handle first, again;
    std::string r = st("first", fs.create(fs.root(), "f", &first, 77, 3));
    r += " " + st("repeat", fs.create(fs.root(), "f", &again, 77, 3));
    r += " " + st("other", fs.create(fs.root(), "f", nullptr, 78, 2));
    return r;
}

// A file renamed onto another file's name.
std::string rename_onto(NsTestFs& fs, uint64_t) {
    lc_ns_handle a, b, found;
    fs.create(fs.root(), "a", &a);
    fs.create(fs.root(), "b", &b);
    std::string r = st("rename", fs.rename(fs.root(), "a", fs.root(), "b"));
    r += " " + st("a", fs.lookup(fs.root(), "a"));
    r += " " + st("b_is_a", fs.lookup(fs.root(), "b", &found) == 0 && found == a);
    lc_ns_stats s;
    lc_ns_get_stats(fs.ns, &s);
    return r + " " + st("files", s.files);
}

// The same name removed twice, and a name that never was.
std::string remove_twice(NsTestFs& fs, uint64_t) {
    fs.create(fs.root(), "f");
    std::string r = st("first", fs.remove(fs.root(), "f"));
    r += " " + st("second", fs.remove(fs.root(), "f"));
    r += " " + st("never", fs.remove(fs.root(), "never-there"));
    // Made again, the name is removed once and then missing once more.
    fs.create(fs.root(), "f");
    r += " " + st("again", fs.remove(fs.root(), "f"));
    return r;
}

// Free files before three creates and after their removes.
std::string free_files_round_trip(NsTestFs& fs, uint64_t) {
    uint64_t before = fs.free_files();
    for (const char* n : {"x", "y", "z"}) fs.create(fs.root(), n);
    for (const char* n : {"x", "y", "z"}) fs.remove(fs.root(), n);
    return st("lost", before - fs.free_files());
}

// A link repeated as a client re-sends it.
std::string relink(NsTestFs& fs, uint64_t) {
    lc_ns_handle f;
    fs.create(fs.root(), "f", &f);
    uint32_t n1 = 0, n2 = 0;
    fs.link(f, fs.root(), "g", &n1);
    fs.link(f, fs.root(), "g", &n2);
    return st("first", n1) + " " + st("repeat", n2) + " " + st("attr", fs.attrs(f).nlinks);
}

// A link and a symbolic link each repeated, and one to something else.
std::string relink_resymlink(NsTestFs& fs, uint64_t) {
    lc_ns_handle f, g;
    fs.create(fs.root(), "f", &f);
    fs.create(fs.root(), "g", &g);
    std::string r = st("link", fs.link(f, fs.root(), "l"));
    r += " " + st("repeat", fs.link(f, fs.root(), "l"));
    r += " " + st("other", fs.link(g, fs.root(), "l"));
    r += " " + st("symlink", fs.symlink(fs.root(), "s", "/f"));
    r += " " + st("repeat", fs.symlink(fs.root(), "s", "/f"));
    r += " " + st("other", fs.symlink(fs.root(), "s", "/g"));
    return r + " " + st("nlinks", fs.attrs(f).nlinks);
}

// One readdir of four entries with room for all, then the whole listing.
std::string readdir_batch(NsTestFs& fs, uint64_t) {
    for (const char* n : {"a", "b", "c", "d"}) fs.create(fs.root(), n);
    std::vector<NsTestFs::Dirent> batch;
    bool more = false;
    fs.readdir(fs.root(), 0, TARN_MDS_MAX_MSG, &batch, &more);
    return st("batch", batch.size()) + " " + st("more", more) + " " + st("all", fs.list(fs.root()).size());
}

// Names that differ in case, beyond ASCII and within it (a case-insensitive
// file system).
std::string fold(NsTestFs& fs, uint64_t) {
    fs.create(fs.root(), "тестовый_объект1");
    fs.create(fs.root(), "Abc");
    std::string r = st("cyrillic", fs.lookup(fs.root(), "ТЕСТОВЫЙ_ОБЪЕКТ1"));
    r += " " + st("turkish", fs.create(fs.root(), "ğş") == 0 ? fs.lookup(fs.root(), "ĞŞ") : 99);
    r += " " + st("ascii", fs.lookup(fs.root(), "aBC"));
    return r;
}

// Two acknowledged creates, then an MDS restart.
std::string restart_after_create(NsTestFs& fs, uint64_t) {
    fs.create(fs.root(), "older");
    fs.create(fs.root(), "newest");
    fs.restart();
    std::string r = st("older", fs.lookup(fs.root(), "older"));
    r += " " + st("newest", fs.lookup(fs.root(), "newest"));
    lc_ns_stats s;
    lc_ns_get_stats(fs.ns, &s);
    return r + " " + st("files", s.files);
}

// 64 KiB written to a new file, then the file removed: the blocks the
// write took and the remove gave back. The pool's switch is set as the
// cluster sets it.
std::string space_round_trip(NsTestFs& fs, uint64_t breaks) {
    fs.pool.no_accounting = (breaks & LC_BREAK_NO_SPACE_ACCOUNTING) != 0;
    lc_ns_handle f;
    fs.create(fs.root(), "f", &f);
    NsAttrs a = fs.attrs(f);
    uint64_t before = fs.fs_info(TARN_MDS_FS_INFO_FREE_SPACE);
    std::vector<uint8_t> data(64 << 10, 0x5a);
    lc_ds_result w = lc_ds_disk_write(fs.ds[a.vdisk % NsTestFs::kHosts], a.inode, a.vdisk, 0, data.data(),
                                      uint32_t(data.size()), true, nullptr, nullptr);
    uint64_t written = fs.fs_info(TARN_MDS_FS_INFO_FREE_SPACE);
    fs.remove(fs.root(), "f");
    uint64_t after = fs.fs_info(TARN_MDS_FS_INFO_FREE_SPACE);
    return st("write", w) + " " + st("took", before - written) + " " + st("gave", after - written);
}

// 64 KiB written to a new file; the share's free space after it.
uint64_t write_64k(NsTestFs& fs) {
    lc_ns_handle f;
    fs.create(fs.root(), "f", &f);
    NsAttrs a = fs.attrs(f);
    std::vector<uint8_t> data(64 << 10, 0x5a);
    lc_ds_disk_write(fs.ds[a.vdisk % NsTestFs::kHosts], a.inode, a.vdisk, 0, data.data(), uint32_t(data.size()), true,
                     nullptr, nullptr);
    return fs.fs_info(TARN_MDS_FS_INFO_FREE_SPACE);
}

// What the file-system info keeps back from users in space and files.
std::string fs_info_reserves(NsTestFs& fs, uint64_t) {
    const uint64_t free_space = write_64k(fs);
    std::string r = st("space_kept", free_space - fs.fs_info(TARN_MDS_FS_INFO_AVAIL_SPACE));
    return r + " " +
           st("files_kept", fs.fs_info(TARN_MDS_FS_INFO_FREE_FILES) - fs.fs_info(TARN_MDS_FS_INFO_AVAIL_FILES));
}

// How far the fullest vdisk's free space is below the share's.
std::string fs_info_min_vdisk(NsTestFs& fs, uint64_t) {
    const uint64_t free_space = write_64k(fs);
    return st("min_vdisk_below_free", free_space - fs.fs_info(TARN_MDS_FS_INFO_MIN_VDISK_FREE));
}

// A mkdir repeated with its verifier, before and after an MDS restart.
std::string repeat_mkdir_across_restart(NsTestFs& fs, uint64_t) {
    std::string r = st("first", fs.mkdir(fs.root(), "d", nullptr, 91));
    r += " " + st("repeat", fs.mkdir(fs.root(), "d", nullptr, 91));
    fs.restart();
    r += " " + st("after_restart", fs.mkdir(fs.root(), "d", nullptr, 91));
    return r + " " + st("other", fs.mkdir(fs.root(), "d", nullptr, 92));
}

// Files created asking for modes other than the default, read back.
std::string create_mode(NsTestFs& fs, uint64_t) {
    std::string r;
    for (int mode : {0600, 0755}) {
        lc_ns_create_out out;
        std::string name = "f" + std::to_string(mode);
        lc_ns_handle h;
        fs.create(fs.root(), name, &h, 0, 2, NsUpdate(mode), &out);
        char buf[64];
        snprintf(buf, sizeof buf, "%sasked=%o read=%o", r.empty() ? "" : " ", ns_parse_attrs(out.obj.attrs).mode,
                 fs.attrs(h).mode);
        r += buf;
    }
    return r;
}

// A directory moved below its child and below its grandchild.
std::string move_below_itself(NsTestFs& fs, uint64_t) {
    lc_ns_handle a, b, c;
    fs.mkdir(fs.root(), "a", &a);
    fs.mkdir(a, "b", &b);
    fs.mkdir(b, "c", &c);
    std::string r = st("child", fs.rename(fs.root(), "a", b, "a"));
    r += " " + st("grandchild", fs.rename(fs.root(), "a", c, "a"));
    return r + " " + st("a_in_root", fs.lookup(fs.root(), "a"));
}

// Directories holding only a subdirectory (with a file further down, which
// also has a name outside) and holding a file, removed.
std::string remove_holding(NsTestFs& fs, uint64_t) {
    lc_ns_handle d, sub, e, f;
    fs.mkdir(fs.root(), "d", &d);
    fs.mkdir(d, "sub", &sub);
    fs.create(sub, "f", &f);
    fs.link(f, fs.root(), "f2");
    fs.mkdir(fs.root(), "e", &e);
    fs.create(e, "g");
    std::string r = st("only_subdir", fs.remove(fs.root(), "d"));
    r += " " + st("with_file", fs.remove(fs.root(), "e"));
    lc_ns_stats s;
    lc_ns_get_stats(fs.ns, &s);
    return r + " " + st("dirs", s.dirs) + " " + st("files", s.files) + " " + st("f_links", fs.attrs(f).nlinks);
}

// The handles of a removed file and a removed directory once new objects
// of their kinds exist.
std::string stale_after_new(NsTestFs& fs, uint64_t) {
    lc_ns_handle f, g, d, e;
    fs.create(fs.root(), "f", &f);
    uint16_t f_vdisk = fs.attrs(f).vdisk;
    fs.remove(fs.root(), "f");
    fs.create(fs.root(), "g", &g);
    NsAttrs a{};
    std::string r = st("file", fs.attrs(f, &a));
    r += " " + st("same_vdisk", fs.attrs(g).vdisk == f_vdisk);
    fs.mkdir(fs.root(), "d", &d);
    fs.remove(fs.root(), "d");
    fs.mkdir(fs.root(), "e", &e);
    return r + " " + st("dir", fs.attrs(d, &a));
}

struct BreakCase {
    const char* rule;
    bool ci;
    Scenario scenario;
    const char* correct;  // what the scenario sees with the rule kept
    const char* broken;   // ... and with it broken
};

const BreakCase kCases[] = {
    {"create-forgets-verifier", false, repeat_create, "first=0 repeat=0 other=3", "first=0 repeat=3 other=3"},
    {"rename-replaces", false, rename_onto, "rename=3 a=0 b_is_a=0 files=2", "rename=0 a=8 b_is_a=1 files=1"},
    {"remove-twice", false, remove_twice, "first=0 second=8 never=8 again=0", "first=0 second=0 never=8 again=0"},
    {"counter-drift", false, free_files_round_trip, "lost=0", "lost=3"},
    {"relink-increments", false, relink, "first=2 repeat=2 attr=2", "first=2 repeat=3 attr=3"},
    {"readdir-one-per-batch", false, readdir_batch, "batch=4 more=0 all=4", "batch=1 more=1 all=4"},
    {"ci-ascii-fold", true, fold, "cyrillic=0 turkish=0 ascii=0", "cyrillic=8 turkish=8 ascii=0"},
    {"drop-acked-create", false, restart_after_create, "older=0 newest=0 files=2", "older=0 newest=8 files=1"},
    {"no-space-accounting", false, space_round_trip, "write=0 took=16 gave=16", "write=0 took=0 gave=0"},
    {"mkdir-forgets-verifier", false, repeat_mkdir_across_restart, "first=0 repeat=0 after_restart=0 other=3",
     "first=0 repeat=0 after_restart=3 other=3"},
    // 16384 blocks and 2^20 files, one in twenty of each kept back.
    {"avail-reports-free", false, fs_info_reserves, "space_kept=819 files_kept=52428", "space_kept=0 files_kept=52428"},
    // 15565 blocks available; each vdisk keeps 1297 for each of the 5 others.
    {"min-vdisk-reports-share-free", false, fs_info_min_vdisk, "min_vdisk_below_free=7304", "min_vdisk_below_free=0"},
    {"create-ignores-mode", false, create_mode, "asked=600 read=600 asked=755 read=755",
     "asked=644 read=644 asked=644 read=644"},
    {"rename-ancestor-one-level", false, move_below_itself, "child=5 grandchild=5 a_in_root=0",
     "child=5 grandchild=0 a_in_root=8"},
    {"rmdir-counts-files-only", false, remove_holding, "only_subdir=13 with_file=13 dirs=3 files=2 f_links=2",
     "only_subdir=0 with_file=13 dirs=1 files=2 f_links=1"},
    {"freed-handle-reused", false, stale_after_new, "file=8 same_vdisk=0 dir=8", "file=0 same_vdisk=1 dir=0"},
    {"link-repeat-exists", false, relink_resymlink, "link=0 repeat=0 other=3 symlink=0 repeat=0 other=3 nlinks=2",
     "link=0 repeat=3 other=3 symlink=0 repeat=3 other=3 nlinks=2"},
};

void PrintTo(const BreakCase& c, std::ostream* os) { *os << c.rule; }

// Whether a rule leaves the engine's own invariants (nlinks = names,
// counts, index) intact: a repeated link that counts again does not.
bool keeps_invariants(uint64_t rule) { return rule != LC_BREAK_RELINK_INCREMENTS; }

// Rules that break the same answer, so neither can leave the other's alone:
// a link repeat refused as "exists" has nothing to count again.
bool same_answer(uint64_t a, uint64_t b) {
    const uint64_t link_repeat = LC_BREAK_RELINK_INCREMENTS | LC_BREAK_LINK_REPEAT_EXISTS;
    return (a | b) == link_repeat;
}

}  // namespace

class BreakTableTest : public testing::TestWithParam<BreakCase> {
   protected:
    // What the case's scenario sees under `breaks`; *check gets the
    // engine's invariant check afterwards.
    static std::string run(const BreakCase& c, uint64_t breaks, std::string* check) {
        NsTestFs fs(c.ci, 1 << 20, true, breaks);
        std::string seen = c.scenario(fs, breaks);
        *check = lc_ns_check(fs.ns);
        return seen;
    }
};

TEST_P(BreakTableTest, RuleKeptGivesTheCorrectAnswer) {
    std::string check;
    EXPECT_EQ(GetParam().correct, run(GetParam(), 0, &check));
    EXPECT_EQ("", check);
}

TEST_P(BreakTableTest, RuleBrokenGivesTheBrokenAnswer) {
    uint64_t rule = lc_break_parse(GetParam().rule);
    ASSERT_NE(0u, rule);
    std::string check;
    EXPECT_EQ(GetParam().broken, run(GetParam(), rule, &check));
    if (keeps_invariants(rule)) {
        EXPECT_EQ("", check);
    }
}

// A switch changes one rule: every other scenario still sees the correct
// answer with it on, so a suite that fails under one switch failed for
// that rule.
TEST_P(BreakTableTest, OtherRulesBrokenLeaveThisOneAlone) {
    uint64_t own = lc_break_parse(GetParam().rule);
    for (const BreakCase& other : kCases) {
        uint64_t rule = lc_break_parse(other.rule);
        if (rule == own || same_answer(own, rule)) continue;
        std::string check;
        EXPECT_EQ(GetParam().correct, run(GetParam(), rule, &check)) << "with " << other.rule << " broken";
        if (keeps_invariants(rule)) {
            EXPECT_EQ("", check) << "with " << other.rule << " broken";
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Rules, BreakTableTest, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<BreakCase>& info) {
                             std::string n;
                             for (const char* p = info.param.rule; *p; p++) n += *p == '-' ? '_' : *p;
                             return n;
                         });

// ---------------------------------------------------------------- details of single rules

TEST(BreakRulesTest, RemoveTwiceRemembersOnlyRecentNamesOfTheirOwnDirectory) {
    NsTestFs fs(false, 1 << 20, true, LC_BREAK_REMOVE_TWICE);
    lc_ns_handle d;
    ASSERT_EQ(0u, fs.mkdir(fs.root(), "d", &d));
    ASSERT_EQ(0u, fs.create(d, "gone"));
    ASSERT_EQ(0u, fs.remove(d, "gone"));
    EXPECT_EQ(0u, fs.remove(d, "gone"));
    // The record is per directory.
    EXPECT_EQ(8u, fs.remove(fs.root(), "gone"));
    // It is small: enough newer removes push the oldest name out.
    for (int i = 0; i < 100; i++) {
        std::string n = "n" + std::to_string(i);
        ASSERT_EQ(0u, fs.create(d, n));
        ASSERT_EQ(0u, fs.remove(d, n));
    }
    EXPECT_EQ(8u, fs.remove(d, "gone"));
    EXPECT_EQ(0u, fs.remove(d, "n99"));
    EXPECT_EQ("", lc_ns_check(fs.ns));
}

TEST(BreakRulesTest, RenameReplacesDropsTheReplacedObjectAsRemoveWould) {
    NsTestFs fs(false, 1 << 20, true, LC_BREAK_RENAME_REPLACES);
    lc_ns_handle d, e, f;
    ASSERT_EQ(0u, fs.mkdir(fs.root(), "d", &d));
    ASSERT_EQ(0u, fs.mkdir(fs.root(), "e", &e));
    ASSERT_EQ(0u, fs.create(e, "inside"));
    ASSERT_EQ(0u, fs.create(fs.root(), "f", &f));
    uint64_t free_before = fs.free_files();
    // A non-empty directory in the way stays.
    EXPECT_EQ(13u, fs.rename(fs.root(), "f", fs.root(), "e"));
    // An empty one goes, with its parent's link.
    EXPECT_EQ(0u, fs.rename(fs.root(), "f", fs.root(), "d"));
    EXPECT_EQ(2u + 1u, fs.attrs(fs.root()).nlinks);
    EXPECT_EQ(free_before + 1, fs.free_files());
    // A file with a second name loses one link only.
    ASSERT_EQ(0u, fs.link(f, e, "second"));
    lc_ns_handle g;
    ASSERT_EQ(0u, fs.create(e, "g", &g));
    EXPECT_EQ(0u, fs.rename(e, "g", e, "second"));
    EXPECT_EQ(1u, fs.attrs(f).nlinks);
    EXPECT_EQ(8u, fs.lookup(e, "g"));
    EXPECT_EQ("", lc_ns_check(fs.ns));
}

TEST(BreakRulesTest, DropAckedCreateLosesOnlyTheNewestCreateOncePerRestart) {
    NsTestFs fs(false, 1 << 20, true, LC_BREAK_DROP_ACKED_CREATE);
    ASSERT_EQ(0u, fs.create(fs.root(), "a"));
    ASSERT_EQ(0u, fs.create(fs.root(), "b"));
    fs.restart();
    EXPECT_EQ(8u, fs.lookup(fs.root(), "b"));
    fs.restart();
    EXPECT_EQ(0u, fs.lookup(fs.root(), "a"));
    // A newest file that gained a second name is kept.
    lc_ns_handle c;
    ASSERT_EQ(0u, fs.create(fs.root(), "c", &c));
    ASSERT_EQ(0u, fs.link(c, fs.root(), "c2"));
    fs.restart();
    EXPECT_EQ(0u, fs.lookup(fs.root(), "c"));
    EXPECT_EQ("", lc_ns_check(fs.ns));
}

// ---------------------------------------------------------------- names and the command line

TEST(BreakOptionsTest, EveryRuleNameParsesToItsOwnBit) {
    uint64_t seen = 0;
    for (const BreakCase& c : kCases) {
        uint64_t bit = lc_break_parse(c.rule);
        ASSERT_NE(0u, bit) << c.rule;
        EXPECT_EQ(0u, bit & (bit - 1)) << c.rule;
        EXPECT_EQ(0u, seen & bit) << c.rule;
        seen |= bit;
        EXPECT_EQ(std::vector<std::string>{c.rule}, lc_break_names(bit));
    }
    EXPECT_EQ(0u, lc_break_parse("Rename-Replaces"));
    EXPECT_EQ(0u, lc_break_parse(""));
    EXPECT_EQ("[]", lc_breaks_json(0));
    EXPECT_EQ("[\"rename-replaces\",\"counter-drift\"]",
              lc_breaks_json(LC_BREAK_COUNTER_DRIFT | LC_BREAK_RENAME_REPLACES));
}

TEST(BreakOptionsTest, BreakIsRepeatableAndOffByDefault) {
    lc_options o;
    ASSERT_EQ("", lc_parse_options({}, &o));
    EXPECT_EQ(0u, o.config.breaks);
    ASSERT_EQ("", lc_parse_options({"run", "--break", "remove-twice", "--break=counter-drift", "--break",
                                    "remove-twice", "--", "prog"},
                                   &o));
    EXPECT_EQ(LC_BREAK_REMOVE_TWICE | LC_BREAK_COUNTER_DRIFT, o.config.breaks);
    EXPECT_EQ(std::vector<std::string>{"prog"}, o.program);
}

// --help lists exactly the rules --break accepts, each whole on its line.
TEST(BreakOptionsTest, HelpListsEveryRuleTheParserAccepts) {
    const std::string help = lc_usage();
    const std::string head = "RULE is one of:\n";
    const size_t from = help.find(head);
    ASSERT_NE(std::string::npos, from) << help;
    const size_t to = help.find("\nrun only:", from);
    ASSERT_NE(std::string::npos, to) << help;
    std::set<std::string> listed;
    std::istringstream words(help.substr(from + head.size(), to - from - head.size()));
    for (std::string w; words >> w;) {
        if (w.back() == ',') w.pop_back();
        EXPECT_NE(0u, lc_break_parse(w)) << "--help lists '" << w << "', which --break refuses";
        EXPECT_TRUE(listed.insert(w).second) << w << " is listed twice";
    }
    size_t accepted = 0;
    for (int b = 0; b < 64; b++) {
        for (const std::string& name : lc_break_names(uint64_t(1) << b)) {
            accepted++;
            EXPECT_EQ(uint64_t(1) << b, lc_break_parse(name));
            EXPECT_EQ(1u, listed.count(name)) << name << " is missing from --help";
        }
    }
    EXPECT_EQ(accepted, listed.size());
}

TEST(BreakOptionsTest, UnknownOrMissingRuleIsRefused) {
    lc_options o;
    std::string err = lc_parse_options({"--break", "rename-replace"}, &o);
    EXPECT_NE(std::string::npos, err.find("unknown rule 'rename-replace'")) << err;
    EXPECT_NE(std::string::npos, err.find("rename-replaces")) << err;
    EXPECT_NE(std::string::npos, err.find("no-space-accounting")) << err;
    EXPECT_EQ("--break needs a value", lc_parse_options({"--break"}, &o));
    EXPECT_NE("", lc_parse_options({"ctl", "--break", "remove-twice", "status"}, &o));
}

TEST(BreakClusterTest, StatusNamesTheBrokenRulesAndThePoolFollows) {
    {
        auto c = localcluster::Cluster::start(localcluster::ClusterConfig{});
        EXPECT_NE(std::string::npos, c->control("status").find("\"breaks\":[]"));
        EXPECT_FALSE(lc_cdisk_pool(c->cluster_disk(), 0)->no_accounting);
    }
    localcluster::ClusterConfig cfg;
    cfg.breaks = LC_BREAK_REMOVE_TWICE | LC_BREAK_NO_SPACE_ACCOUNTING;
    auto c = localcluster::Cluster::start(cfg);
    EXPECT_NE(std::string::npos, c->control("status").find("\"breaks\":[\"remove-twice\",\"no-space-accounting\"]"));
    for (int f = 0; f < lc_cdisk_fs_count(c->cluster_disk()); f++)
        EXPECT_TRUE(lc_cdisk_pool(c->cluster_disk(), f)->no_accounting);
}
