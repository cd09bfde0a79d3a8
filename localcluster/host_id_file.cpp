#include "localcluster/host_id_file.h"

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
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

// Readers (the suites) see the old file or the new one, never a part.
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

struct Paths {
    std::string file, dir, parent, users, state, orig;
    explicit Paths(const std::string& path)
        : file(path), users(path + ".users"), state(path + ".state"), orig(path + ".orig") {
        dir = up(path);
        parent = dir == "/" || dir == "." ? dir : up(dir);
    }

   private:
    static std::string up(const std::string& path) {
        size_t slash = path.rfind('/');
        if (slash == std::string::npos) return ".";
        return slash == 0 ? "/" : path.substr(0, slash);
    }
};

struct State {
    bool made_dir = false;
    bool had_file = false;
};

bool read_state(const Paths& p, State* s) {
    FILE* f = fopen(p.state.c_str(), "re");
    if (!f) return false;
    int made = 0, had = 0;
    // A state that cannot be parsed still says the file was taken over;
    // without a saved original the best undoing is to remove it.
    if (fscanf(f, "made_dir=%d had_file=%d", &made, &had) != 2) made = had = 0;
    fclose(f);
    s->made_dir = made != 0;
    s->had_file = had != 0;
    return true;
}

int flock_retry(int fd, int op) {
    int rc;
    while ((rc = flock(fd, op)) < 0 && errno == EINTR) {
    }
    return rc < 0 ? -errno : 0;
}

// Takes the guard: an exclusive flock of the directory that holds the
// file's directory. A guard inside the file's own directory could not cover
// making that directory: a start that made it could then lose the guard to
// a start that found it already there, and the state would say the
// directory was the machine's own, so the last cluster would leave it.
int lock_guard(const Paths& p) {
    int fd = open(p.parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return -errno;
    int rc = flock_retry(fd, LOCK_EX);
    if (rc < 0) close(fd);
    return rc < 0 ? rc : fd;
}

// Under the guard, with no writer running: puts the original back (or
// removes the file) and removes everything that was made beside it.
// Empty, or what could not be put back.
std::string settle_idle(const Paths& p) {
    std::string err;
    State s;
    if (read_state(p, &s)) {
        if (s.had_file && rename(p.orig.c_str(), p.file.c_str()) < 0) {
            err = "cannot put back " + p.file + " from " + p.orig + ": " + strerror(errno);
            // Never leave the client id standing in for a lost original.
            unlink(p.file.c_str());
        } else if (!s.had_file && unlink(p.file.c_str()) < 0 && errno != ENOENT) {
            err = "cannot remove " + p.file + ": " + strerror(errno);
        }
        // When the file was never replaced (it named the client already), both
        // names are links to one file, and a rename between them does nothing.
        unlink(p.orig.c_str());
        unlink(p.state.c_str());
    }
    unlink(p.users.c_str());
    if (s.made_dir) rmdir(p.dir.c_str());  // fails harmlessly when no longer empty
    return err;
}

}  // namespace

struct lc_host_id_claim {
    std::string path;
    int users = -1;  // holds a shared flock while the claim lives
};

std::string lc_host_id_path() {
    const char* env = getenv(LC_HOST_ID_PATH_ENV);
    return env && *env ? env : LC_HOST_ID_PATH;
}

void lc_host_id_check(const std::string& path, const std::vector<uint64_t>& server_ids,
                      std::vector<std::string>* warnings) {
    Paths p(path);
    if (access(p.state.c_str(), F_OK) == 0) {
        int guard = lock_guard(p);
        if (guard >= 0) {
            int users = open(p.users.c_str(), O_RDWR | O_CLOEXEC);
            bool idle = users < 0 || flock_retry(users, LOCK_EX | LOCK_NB) == 0;
            if (idle && access(p.state.c_str(), F_OK) == 0) {
                std::string err = settle_idle(p);
                warnings->push_back(err.empty() ? "put back " + path + " as it was before a cluster that ended without "
                                                  "doing so wrote it"
                                                : err);
            }
            if (users >= 0) close(users);
            close(guard);
        }
    }

    uint64_t id = 0;
    std::string why;
    switch (read_id(path, &id, &why)) {
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
}

lc_host_id_claim* lc_host_id_claim_create(const std::string& path, uint64_t client_id, std::string* err,
                                          std::vector<std::string>* notes) {
    Paths p(path);
    int guard = lock_guard(p);
    if (guard < 0) {
        *err = "cannot lock " + p.parent + ": " + strerror(-guard);
        return nullptr;
    }
    bool made_dir = false;
    if (mkdir(p.dir.c_str(), 0755) == 0) {
        made_dir = true;
    } else if (errno != EEXIST) {
        *err = "cannot make " + p.dir + ": " + strerror(errno);
        close(guard);
        return nullptr;
    }
    int users = open(p.users.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (users < 0) {
        *err = "cannot open " + p.users + ": " + strerror(errno);
        if (made_dir) rmdir(p.dir.c_str());
        close(guard);
        return nullptr;
    }
    // Only writers hold this lock, each for its life, and they take or
    // change it only under the guard: winning it exclusively means that no
    // writer runs, whatever the file and the state say.
    const bool alone = flock_retry(users, LOCK_EX | LOCK_NB) == 0;
    State s;
    const bool taken_over = read_state(p, &s);
    uint64_t id = 0;
    std::string why;
    Read r = read_id(path, &id, &why);
    std::string e;
    if (alone && taken_over) {
        notes->push_back("taking over " + path + " from a cluster that ended without putting it back");
    } else if (alone) {
        if (r == Read::unreadable) {
            e = "cannot read " + path + ": " + why;
        } else if ((r == Read::ok && id != client_id) || r == Read::garbage) {
            e = path + " holds " + (r == Read::ok ? "host id " + hex16(id) : std::string("something else")) +
                ", which no cluster wrote; not replacing it";
        } else {
            s.made_dir = made_dir;
            s.had_file = r != Read::missing;
            unlink(p.orig.c_str());
            if (s.had_file && link(path.c_str(), p.orig.c_str()) < 0) {
                e = "cannot keep " + path + " as " + p.orig + ": " + strerror(errno);
            } else {
                int rc = write_atomic(p.state, "made_dir=" + std::to_string(s.made_dir) +
                                                   " had_file=" + std::to_string(s.had_file) + "\n");
                if (rc < 0) {
                    e = "cannot write " + p.state + ": " + strerror(-rc);
                    unlink(p.orig.c_str());
                }
            }
        }
    } else if (!taken_over) {
        e = "running clusters hold " + p.users + " but " + p.state + " is missing; not touching " + path;
    } else if (r == Read::ok && id != client_id) {
        e = path + " holds host id " + hex16(id) + " for a running cluster; this one's is " + hex16(client_id);
    }
    if (e.empty() && !(r == Read::ok && id == client_id)) {
        int rc = write_atomic(path, hex16(client_id) + "\n");
        if (rc < 0) e = "cannot write " + path + ": " + strerror(-rc);
    }
    if (e.empty()) {
        // A conversion, not atomic; harmless under the guard.
        int rc = flock_retry(users, LOCK_SH);
        if (rc < 0) e = "cannot lock " + p.users + ": " + strerror(-rc);
    }
    if (!e.empty()) {
        if (alone) {
            std::string also = settle_idle(p);
            if (!also.empty()) e += "; " + also;
        } else if (made_dir) {
            rmdir(p.dir.c_str());
        }
        close(users);
        close(guard);
        *err = e;
        return nullptr;
    }
    close(guard);
    return new lc_host_id_claim{path, users};
}

std::string lc_host_id_claim_destroy(lc_host_id_claim* claim) {
    if (!claim) return "";
    Paths p(claim->path);
    std::string err;
    int guard = lock_guard(p);
    // Without the guard nothing can be settled safely; the next start will.
    if (guard < 0)
        err = "cannot lock " + p.parent + " (" + strerror(-guard) + "): " + claim->path + " stays until the next start";
    else if (flock_retry(claim->users, LOCK_EX | LOCK_NB) == 0)
        err = settle_idle(p);
    close(claim->users);
    if (guard >= 0) close(guard);
    delete claim;
    return err;
}
