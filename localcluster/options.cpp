#include "localcluster/options.h"

#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <map>

#include "localcluster/breaks.h"
#include "localcluster/log.h"

namespace {

bool parse_u64(const std::string& s, int base, uint64_t* out) {
    if (s.empty() || s[0] == '-' || s[0] == '+' || s[0] == ' ') return false;
    errno = 0;
    char* end = nullptr;
    unsigned long long v = strtoull(s.c_str(), &end, base);
    if (errno || *end) return false;
    *out = v;
    return true;
}

// Hex with or without 0x.
bool parse_hex(const std::string& s, uint64_t* out) {
    std::string t = s;
    if (t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X')) t = t.substr(2);
    for (char c : t)
        if (!isxdigit(static_cast<unsigned char>(c))) return false;
    return parse_u64(t, 16, out);
}

bool parse_uint(const std::string& s, uint64_t lo, uint64_t hi, uint64_t* out) {
    uint64_t v;
    if (!parse_u64(s, 10, &v) || v < lo || v > hi) return false;
    *out = v;
    return true;
}

bool parse_size(const std::string& s, uint64_t* out) {
    if (s.empty()) return false;
    uint64_t mult = 1;
    std::string num = s;
    switch (s.back()) {
        case 'K': case 'k': mult = 1ull << 10; break;
        case 'M': case 'm': mult = 1ull << 20; break;
        case 'G': case 'g': mult = 1ull << 30; break;
        case 'T': case 't': mult = 1ull << 40; break;
        default: break;
    }
    if (mult != 1) num.pop_back();
    uint64_t v;
    if (!parse_u64(num, 10, &v) || v == 0 || v > UINT64_MAX / mult) return false;
    *out = v * mult;
    return true;
}

// Every --break rule, from the table the parser reads, comma-separated in
// lines of at most 80 columns under the option's description.
std::string break_rules_usage() {
    const std::string indent(28, ' ');
    std::string out, line = indent;
    const std::vector<std::string> names = lc_break_names(~uint64_t(0));
    for (size_t i = 0; i < names.size(); i++) {
        const std::string word = names[i] + (i + 1 < names.size() ? "," : "");
        if (line.size() > indent.size() && line.size() + 1 + word.size() > 80) {
            out += line + "\n";
            line = indent;
        }
        line += (line.size() > indent.size() ? " " : "") + word;
    }
    return out + line + "\n";
}

std::vector<std::string> split(const std::string& s, char sep) {
    std::vector<std::string> parts;
    size_t pos = 0;
    for (;;) {
        size_t next = s.find(sep, pos);
        parts.push_back(s.substr(pos, next == std::string::npos ? std::string::npos : next - pos));
        if (next == std::string::npos) return parts;
        pos = next + 1;
    }
}

}  // namespace

std::string lc_parse_fs_def(const std::string& def, localcluster::FsConfig* out) {
    localcluster::FsConfig fs;
    fs.id = 0;
    std::vector<std::string> parts = split(def, ':');
    fs.name = parts[0];
    std::map<std::string, bool> seen;
    for (size_t i = 1; i < parts.size(); i++) {
        const std::string& p = parts[i];
        std::string key = p.substr(0, p.find('='));
        bool has_value = p.find('=') != std::string::npos;
        std::string value = has_value ? p.substr(p.find('=') + 1) : "";
        if (!has_value && p != "ci") key = "id";
        if (seen[key]) return "--fs " + def + ": '" + key + "' given twice";
        seen[key] = true;
        if (p == "ci") {
            fs.ci = true;
        } else if (key == "id") {
            if (i != 1) return "--fs " + def + ": the id must follow the name";
            if (!parse_hex(p, &fs.id) || fs.id == 0) return "--fs " + def + ": bad id '" + p + "' (non-zero hex)";
        } else if (key == "cap") {
            if (!parse_size(value, &fs.capacity))
                return "--fs " + def + ": bad capacity '" + value + "' (a number with K, M, G or T)";
        } else if (key == "reserve") {
            // 0 is a size here: a share with no reserve.
            if (value != "0" && !parse_size(value, &fs.reserve))
                return "--fs " + def + ": bad reserve '" + value + "' (0, or a number with K, M, G or T)";
            if (value == "0") fs.reserve = 0;
        } else if (key == "files") {
            if (!parse_uint(value, 1, UINT32_MAX, &fs.files)) return "--fs " + def + ": bad file count '" + value + "'";
        } else if (key == "xattrs") {
            if (value != "ds" && value != "mds") return "--fs " + def + ": xattrs must be ds or mds";
            fs.xattrs_on_ds = value == "ds";
        } else {
            return "--fs " + def + ": unknown field '" + p + "'";
        }
    }
    *out = fs;
    return "";
}

std::string lc_default_dir() {
    const char* env = getenv("KIV_CLUSTER_DIR");
    if (env && *env) return env;
    return "/tmp/kelvane-localcluster-" + std::to_string(getuid());
}

std::string lc_usage() {
    return "usage:\n"
           "  kelvane-localcluster [serve] [OPTIONS]              run until SIGTERM/SIGINT\n"
           "  kelvane-localcluster run [OPTIONS] -- PROG ARGS...  cluster + one supervised program\n"
           "  kelvane-localcluster ctl [--dir D] [--cluster C] COMMAND...\n"
           "options:\n"
           "  --cluster NAME            cluster name (local)\n"
           "  --dir DIR                 bootstrap/control directory ($KIV_CLUSTER_DIR or\n"
           "                            /tmp/kelvane-localcluster-$UID)\n"
           "  --fs NAME[:ID][:ci][:cap=SIZE][:reserve=SIZE][:files=N][:xattrs=ds|mds]\n"
           "                            (repeatable) reserve: space kept from writers, 0 for\n"
           "                            none (one block in twenty)\n"
           "  --hosts N                 server hosts, >= 3 (3)\n"
           "  --vdisks-per-host K       (2)\n"
           "  --host-ids ID,...         server host ids in hex (a1,a2,...)\n"
           "  --client-host-id ID       (c1)\n"
           "  --no-ls                   no lock servers\n"
           "  --base-port P             ports P, P+1, ... (0: the kernel picks)\n"
           "  --epoch strict|lenient    --crash-replies flush|drop   --lose-unstable\n"
           "  --mds-down-ms MS  --ds-down-ms MS  --reboot-down-ms MS  --mount-delay-ms MS\n"
           "  --registry-page N         item cap of a registry listing page (1000)\n"
           "  --workers N               request worker threads\n"
           "  --log-level error|warn|info|debug   --log-file F\n"
           "  --seed S\n"
           "  --break RULE              break one rule of the servers on purpose, for\n"
           "                            negative controls (repeatable); RULE is one of:\n" +
           break_rules_usage() +
           "run only:\n"
           "  --host-id-file write|check|off      (check) write: /etc/kelvane/host_id names the\n"
           "                            client host until the last cluster that wrote it ends\n"
           "  --grace-ms MS             SIGKILL this long after forwarding SIGTERM (10000)\n"
           "control commands (ctl COMMAND...; one line of JSON back):\n"
           "  status | help | wait-ready [MS] | shutdown\n"
           "  epoch strict|lenient\n"
           "  fault add SERVICE[:FS] [type=N|any] [op=N] [client=HEX] [host=HEX] [vdisk=N] ACTION\n"
           "            [count=N] [prob=P] [after=N]\n"
           "            ACTION: status=S drop apply-drop apply-crash noreply delay=MS short=N rterr=C refuse=MS\n"
           "            overdata reboot (a DS rule: its host hard-reboots in place of the request)\n"
           "  fault del ID | fault clear | fault list\n"
           "  mds move FS               the MDS listens on a new port; its registry record follows\n";
}

std::string lc_parse_options(const std::vector<std::string>& args, lc_options* out) {
    lc_options o;
    o.config.log_level = LC_LOG_INFO;
    size_t i = 0;
    if (i < args.size()) {
        if (args[i] == "serve") {
            i++;
        } else if (args[i] == "run") {
            o.mode = LC_MODE_RUN;
            i++;
        } else if (args[i] == "ctl") {
            o.mode = LC_MODE_CTL;
            i++;
        }
    }
    bool hosts_set = false;
    bool fs_given = false;
    bool dashdash = false;
    for (; i < args.size(); i++) {
        std::string a = args[i];
        if (a == "--") {
            dashdash = true;
            i++;
            break;
        }
        if (a == "-h" || a == "--help") {
            o.help = true;
            continue;
        }
        if (a.size() < 3 || a.compare(0, 2, "--") != 0) {
            if (o.mode == LC_MODE_CTL) break;  // the command starts here
            return "unexpected argument '" + a + "'";
        }
        std::string name = a, value;
        bool inline_value = false;
        if (size_t eq = a.find('='); eq != std::string::npos) {
            name = a.substr(0, eq);
            value = a.substr(eq + 1);
            inline_value = true;
        }
        static const char* const flags[] = {"--no-ls", "--lose-unstable"};
        bool is_flag = false;
        for (const char* f : flags) is_flag |= name == f;
        if (is_flag) {
            if (inline_value) return name + " takes no value";
        } else if (!inline_value) {
            if (i + 1 >= args.size()) return name + " needs a value";
            value = args[++i];
        }
        uint64_t v = 0;
        auto& c = o.config;
        if (o.mode == LC_MODE_CTL && name != "--dir" && name != "--cluster") return "ctl takes only --dir and --cluster";
        if (name == "--cluster") {
            c.cluster = value;
        } else if (name == "--dir") {
            if (value.empty()) return "--dir needs a directory";
            c.dir = value;
        } else if (name == "--fs") {
            localcluster::FsConfig fs;
            std::string err = lc_parse_fs_def(value, &fs);
            if (!err.empty()) return err;
            if (!fs_given) c.fs.clear();
            fs_given = true;
            c.fs.push_back(fs);
        } else if (name == "--hosts") {
            if (!parse_uint(value, 3, 256, &v)) return "--hosts must be a number from 3 to 256";
            c.hosts = int(v);
            hosts_set = true;
        } else if (name == "--vdisks-per-host") {
            if (!parse_uint(value, 1, 64, &v)) return "--vdisks-per-host must be a number from 1 to 64";
            c.vdisks_per_host = int(v);
        } else if (name == "--host-ids") {
            c.host_ids.clear();
            for (const std::string& id : split(value, ',')) {
                if (!parse_hex(id, &v) || v == 0) return "--host-ids: bad host id '" + id + "' (non-zero hex)";
                c.host_ids.push_back(v);
            }
        } else if (name == "--client-host-id") {
            if (!parse_hex(value, &v) || v == 0) return "--client-host-id: bad host id '" + value + "'";
            c.client_host_id = v;
        } else if (name == "--no-ls") {
            c.lock_servers = false;
        } else if (name == "--base-port") {
            if (!parse_uint(value, 0, 65535, &v)) return "--base-port must be a port number";
            c.base_port = uint16_t(v);
        } else if (name == "--epoch") {
            if (value != "strict" && value != "lenient") return "--epoch must be strict or lenient";
            c.epoch_strict = value == "strict";
        } else if (name == "--crash-replies") {
            if (value != "flush" && value != "drop") return "--crash-replies must be flush or drop";
            c.crash_replies_drop = value == "drop";
        } else if (name == "--lose-unstable") {
            c.lose_unstable = true;
        } else if (name == "--mds-down-ms" || name == "--ds-down-ms" || name == "--reboot-down-ms" ||
                   name == "--mount-delay-ms") {
            if (!parse_uint(value, 0, 3600 * 1000, &v)) return name + " must be a number of milliseconds";
            uint32_t* field = name == "--mds-down-ms"      ? &c.mds_down_ms
                              : name == "--ds-down-ms"     ? &c.ds_down_ms
                              : name == "--reboot-down-ms" ? &c.reboot_down_ms
                                                           : &c.mount_delay_ms;
            *field = uint32_t(v);
        } else if (name == "--registry-page") {
            if (!parse_uint(value, 1, 1000000, &v)) return "--registry-page must be a number from 1 to 1000000";
            c.registry_page = uint32_t(v);
        } else if (name == "--workers") {
            if (!parse_uint(value, 1, 1024, &v)) return "--workers must be a number from 1 to 1024";
            c.workers = int(v);
        } else if (name == "--log-level") {
            int level = lc_log_level_parse(value);
            if (level < 0) return "--log-level must be error, warn, info or debug";
            c.log_level = level;
        } else if (name == "--log-file") {
            if (value.empty()) return "--log-file needs a file name";
            c.log_file = value;
            o.log_file_set = true;
        } else if (name == "--seed") {
            if (!parse_u64(value, 0, &v)) return "--seed must be a number";
            c.seed = v;
            c.seed_set = true;
        } else if (name == "--break") {
            uint64_t rule = lc_break_parse(value);
            if (!rule) return "--break: unknown rule '" + value + "' (rules: " + lc_break_all_names() + ")";
            c.breaks |= rule;
        } else if (name == "--host-id-file") {
            if (o.mode != LC_MODE_RUN) return "--host-id-file is a run option";
            if (value == "write") o.host_id_file = LC_HOST_ID_WRITE;
            else if (value == "check") o.host_id_file = LC_HOST_ID_CHECK;
            else if (value == "off") o.host_id_file = LC_HOST_ID_OFF;
            else return "--host-id-file must be write, check or off";
        } else if (name == "--grace-ms") {
            if (o.mode != LC_MODE_RUN) return "--grace-ms is a run option";
            if (!parse_uint(value, 0, 24ull * 3600 * 1000, &v)) return "--grace-ms must be a number of milliseconds";
            o.grace_ms = uint32_t(v);
        } else {
            return "unknown option " + name;
        }
    }
    if (o.help) {
        *out = o;
        return "";
    }
    if (!o.config.host_ids.empty()) {
        if (!hosts_set) o.config.hosts = int(o.config.host_ids.size());
        if (int(o.config.host_ids.size()) != o.config.hosts)
            return "--host-ids names " + std::to_string(o.config.host_ids.size()) + " hosts, --hosts says " +
                   std::to_string(o.config.hosts);
        if (o.config.hosts < 3) return "a cluster needs at least 3 hosts";
    }
    switch (o.mode) {
        case LC_MODE_RUN:
            if (!dashdash) return "run needs -- PROG ARGS...";
            for (; i < args.size(); i++) o.program.push_back(args[i]);
            if (o.program.empty()) return "run needs a program after --";
            break;
        case LC_MODE_CTL:
            for (; i < args.size(); i++) o.command.push_back(args[i]);
            if (o.command.empty()) return "ctl needs a command";
            break;
        case LC_MODE_SERVE:
            if (dashdash || i < args.size()) return "serve takes no program (use run)";
            break;
    }
    if (o.mode != LC_MODE_CTL) {
        std::string err = localcluster::normalize_config(&o.config);
        if (!err.empty()) return err;
    }
    *out = o;
    return "";
}
