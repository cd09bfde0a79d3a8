// The control socket: a Unix stream socket that takes one command line per
// connection and answers one line of JSON.
#pragma once

#include <functional>
#include <string>
#include <string_view>

struct lc_ctl_server;

using lc_ctl_handler = std::function<std::string(std::string_view command)>;

// Binds `path` (mode 0600) and serves it on a thread of its own. NULL with
// *err set on failure.
lc_ctl_server* lc_ctl_server_start(const std::string& path, lc_ctl_handler handler, std::string* err);
// Stops the thread and removes the socket file.
void lc_ctl_server_stop(lc_ctl_server* s);

// Sends one command and reads the reply line (without its newline).
// 0, -ECONNREFUSED / -ENOENT when nobody serves `path`, -ETIMEDOUT, or
// another -errno.
int lc_ctl_request(const std::string& path, const std::string& command, std::string* reply, int timeout_ms);

// Longest path a Unix socket can have here.
size_t lc_ctl_max_path();
