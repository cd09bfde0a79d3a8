#include "localcluster/host_id_file.h"

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace {

std::string hex16(uint64_t v) {
    char buf[24];
    snprintf(buf, sizeof buf, "%016llx", (unsigned long long)v);
    return buf;
}

enum class Read { ok, missing, unreadable, garbage, empty };

// The first token of the file as a hex id.
Read read_id(const std::string& path, uint64_t* id, std::string* why) {
    FILE* f = fopen(path.c_str(), "re");
    if (!f) {
        *why = strerror(errno);
        return errno == ENOENT ? Read::missing : Read::unreadable;
    }
    char buf[128] = {0};
    int n = fscanf(f, "%127s", buf);
    bool failed = ferror(f);
    fclose(f);
    if (failed) {
        *why = "read error";
        return Read::unreadable;
    }
    if (n != 1) return Read::empty;
    char* end = nullptr;
    errno = 0;
    unsigned long long v = strtoull(buf, &end, 16);
    if (errno || !end || *end || buf[0] == '-') {
        *why = std::string("'") + buf + "' is not a hex id";
        return Read::garbage;
    }
    *id = v;
    return Read::ok;
}

int write_atomic(const std::string& path, const std::string& text) {
    std::string tmp = path + ".tmp." + std::to_string(getpid());
    int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return -errno;
    ssize_t w = write(fd, text.data(), text.size());
    int e = w == ssize_t(text.size()) ? 0 : (w < 0 ? errno : EIO);
    if (close(fd) < 0 && !e) e = errno;
    if (!e && rename(tmp.c_str(), path.c_str()) < 0) e = errno;
    if (e) unlink(tmp.c_str());
    return -e;
}

}  // namespace

std::string lc_host_id_file_apply(lc_host_id_mode mode, const std::string& path, const std::string& marker,
                                  uint64_t client_id, const std::vector<uint64_t>& server_ids,
                                  std::vector<std::string>* warnings) {
    if (mode == LC_HOST_ID_OFF) return "";
    uint64_t id = 0;
    std::string why;
    Read r = read_id(path, &id, &why);
    if (mode == LC_HOST_ID_CHECK) {
        switch (r) {
            case Read::missing:
                warnings->push_back(path + " is missing: the assisted tests will fail with \"Cannot open\"");
                break;
            case Read::unreadable:
                warnings->push_back("cannot read " + path + " (" + why + "): the assisted tests will fail");
                break;
            case Read::garbage:
            case Read::empty:
                warnings->push_back(path + " holds no host id: the assisted tests will fail");
                break;
            case Read::ok:
                if (std::find(server_ids.begin(), server_ids.end(), id) != server_ids.end())
                    warnings->push_back(path + " names server host " + hex16(id) +
                                        (id == server_ids[0] ? " (the MDS host)" : "") +
                                        ": the assisted tests will refuse to run");
                break;
        }
        return "";
    }

    if (r == Read::ok && id == client_id) return "";
    if ((r == Read::ok || r == Read::garbage) && access(marker.c_str(), F_OK) != 0)
        return path + " holds " + (r == Read::ok ? "host id " + hex16(id) : std::string("something else")) +
               ", which this program did not write (no " + marker + "); not replacing it";
    if (r == Read::unreadable) return "cannot read " + path + ": " + why;
    std::string parent = path.substr(0, path.rfind('/'));
    if (!parent.empty() && mkdir(parent.c_str(), 0755) < 0 && errno != EEXIST)
        return "cannot create " + parent + ": " + strerror(errno);
    int rc = write_atomic(path, hex16(client_id) + "\n");
    if (rc < 0) return "cannot write " + path + ": " + strerror(-rc);
    rc = write_atomic(marker, path + "\n");
    if (rc < 0) return "cannot write " + marker + ": " + strerror(-rc);
    return "";
}
