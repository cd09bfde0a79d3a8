// Command line of kelvane-localcluster.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include "localcluster/cluster.h"

enum lc_mode { LC_MODE_SERVE, LC_MODE_RUN, LC_MODE_CTL };
enum lc_host_id_mode { LC_HOST_ID_CHECK, LC_HOST_ID_WRITE, LC_HOST_ID_OFF };

struct lc_options {
    lc_mode mode = LC_MODE_SERVE;
    bool help = false;
    localcluster::ClusterConfig config;
    bool log_file_set = false;          // --log-file given
    lc_host_id_mode host_id_file = LC_HOST_ID_CHECK;
    uint32_t grace_ms = 10000;
    std::vector<std::string> program;   // run: PROG ARGS...
    std::vector<std::string> command;   // ctl: the command words
};

// Parses argv (without argv[0]) into *out; the directory is left empty when
// not given (see lc_default_dir). Empty on success, else the message to print.
std::string lc_parse_options(const std::vector<std::string>& args, lc_options* out);

// One --fs definition: NAME[:ID][:ci][:cap=SIZE][:reserve=SIZE][:files=N][:xattrs=ds|mds].
// An omitted ID stays 0. Empty on success, else the message.
std::string lc_parse_fs_def(const std::string& def, localcluster::FsConfig* out);

// $KIV_CLUSTER_DIR, else /tmp/kelvane-localcluster-$UID.
std::string lc_default_dir();

// The --help text; it lists every --break rule the parser accepts.
std::string lc_usage();
