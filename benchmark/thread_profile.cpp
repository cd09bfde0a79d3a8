#include "benchmark/thread_profile.h"

#include <dirent.h>
#include <stdlib.h>

#include <algorithm>
#include <fstream>
#include <sstream>

namespace kvbench {

namespace {

std::string read_file(const std::string& path) {
    std::ifstream in(path);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

bool field_after(const std::string& text, const std::string& key, uint64_t* out) {
    const size_t at = text.find(key);
    if (at == std::string::npos) return false;
    const char* p = text.c_str() + at + key.size();
    char* end = nullptr;
    const unsigned long long v = strtoull(p, &end, 10);
    if (end == p) return false;
    *out = v;
    return true;
}

bool is_number_part(const std::string& s) {
    return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return isxdigit(static_cast<unsigned char>(c)); });
}

}  // namespace

bool parse_schedstat(const std::string& text, ThreadSample* out) {
    std::istringstream in(text);
    ThreadSample s;
    if (!(in >> s.cpu_ns >> s.wait_ns >> s.slices)) return false;
    out->cpu_ns = s.cpu_ns;
    out->wait_ns = s.wait_ns;
    out->slices = s.slices;
    return true;
}

bool parse_switches(const std::string& status, ThreadSample* out) {
    uint64_t v = 0, nv = 0;
    // "nonvoluntary" contains "voluntary": anchor both at the line start.
    if (!field_after(status, "\nvoluntary_ctxt_switches:", &v) ||
        !field_after(status, "\nnonvoluntary_ctxt_switches:", &nv))
        return false;
    out->vcsw = v;
    out->nvcsw = nv;
    return true;
}

std::string thread_group(const std::string& name) {
    std::string g = name;
    for (;;) {
        const size_t dash = g.rfind('-');
        if (dash == std::string::npos || dash == 0 || !is_number_part(g.substr(dash + 1))) break;
        g.erase(dash);
    }
    return g;
}

std::map<int, ThreadSample> sample_threads() {
    std::map<int, ThreadSample> out;
    DIR* d = opendir("/proc/self/task");
    if (!d) return out;
    while (dirent* e = readdir(d)) {
        const int tid = atoi(e->d_name);
        if (tid <= 0) continue;
        const std::string base = std::string("/proc/self/task/") + e->d_name;
        ThreadSample s;
        s.name = read_file(base + "/comm");
        while (!s.name.empty() && s.name.back() == '\n') s.name.pop_back();
        // A thread that ends while it is read is simply not in the sample.
        if (!parse_schedstat(read_file(base + "/schedstat"), &s) || !parse_switches(read_file(base + "/status"), &s))
            continue;
        out[tid] = s;
    }
    closedir(d);
    return out;
}

std::vector<GroupCost> group_costs(const std::map<int, ThreadSample>& before,
                                   const std::map<int, ThreadSample>& after) {
    std::map<std::string, GroupCost> groups;
    for (const auto& [tid, a] : after) {
        ThreadSample b;
        if (auto it = before.find(tid); it != before.end()) b = it->second;
        GroupCost& g = groups[thread_group(a.name)];
        g.group = thread_group(a.name);
        g.threads++;
        g.total.cpu_ns += a.cpu_ns - std::min(a.cpu_ns, b.cpu_ns);
        g.total.wait_ns += a.wait_ns - std::min(a.wait_ns, b.wait_ns);
        g.total.slices += a.slices - std::min(a.slices, b.slices);
        g.total.vcsw += a.vcsw - std::min(a.vcsw, b.vcsw);
        g.total.nvcsw += a.nvcsw - std::min(a.nvcsw, b.nvcsw);
    }
    std::vector<GroupCost> out;
    for (auto& [name, g] : groups) out.push_back(g);
    std::stable_sort(out.begin(), out.end(),
                     [](const GroupCost& x, const GroupCost& y) { return x.total.cpu_ns > y.total.cpu_ns; });
    return out;
}

double median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

}  // namespace kvbench
