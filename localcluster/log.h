// The cluster's own log: one line per event, written with a single write(2)
// so that lines of several threads never interleave.
#pragma once

#include <stdint.h>

#include <string>

enum lc_log_level : int { LC_LOG_ERROR = 0, LC_LOG_WARN = 1, LC_LOG_INFO = 2, LC_LOG_DEBUG = 3 };

struct lc_logger;

// `path` empty = stderr; otherwise the file is opened for appending. NULL
// with *err set when the file cannot be opened.
lc_logger* lc_logger_create(int level, const std::string& path, std::string* err);
void lc_logger_destroy(lc_logger* log);
bool lc_logger_enabled(const lc_logger* log, int level);
// A NULL logger drops everything.
void lc_log(lc_logger* log, int level, const char* fmt, ...) __attribute__((format(printf, 3, 4)));

// "error", "warn", "info", "debug" -> level; -1 if unknown.
int lc_log_level_parse(const std::string& text);
