// Error messages of the public API and the error-number table behind them.
#include "client/tarn_client.h"

#include <errno.h>
#include <stddef.h>

#include <array>

#include "client/tarn_client_conv.h"

namespace {

constexpr const char* kErrMessages[] = {
    "No error",                    // TARN_ERR_OK
    "The file already exists",     // TARN_ERR_EXIST
    "I/O error",                   // TARN_ERR_IO
    "Invalid argument",            // TARN_ERR_INVAL
    "Operation not permitted",     // TARN_ERR_PERM
    "File system not found",       // TARN_ERR_NO_FS
    "File not found",              // TARN_ERR_NOT_FOUND
    "Not a directory",             // TARN_ERR_NOT_DIR
    "Delay, try again later",      // TARN_ERR_DELAY
    "Conflicting change detected", // TARN_ERR_CONFLICT
    "Server fault",                // TARN_ERR_SERVER_FAULT
    "Directory not empty",         // TARN_ERR_NOT_EMPTY
    "Buffer too small",            // TARN_ERR_BUFFER_TOO_SMALL
    "Value too large",             // TARN_ERR_TOO_BIG
    "Not enough space",            // TARN_ERR_NO_SPACE
    "Not implemented",             // TARN_ERR_NOT_IMPL
    "File too large",              // TARN_ERR_FILE_TOO_LARGE
    "File system is read-only",    // TARN_ERR_READ_ONLY
};
static_assert(sizeof(kErrMessages) / sizeof(kErrMessages[0]) == TARN_ERR_READ_ONLY + 1);

// One byte per error number 0..110 (Linux numbering). EACCES is not listed:
// unlike EPERM it reaches callers as a server fault.
constexpr size_t kErrnoTableSize = 111;

constexpr std::array<uint8_t, kErrnoTableSize> make_errno_table() {
    std::array<uint8_t, kErrnoTableSize> t{};
    for (auto& v : t) v = TARN_ERR_SERVER_FAULT;
    t[0] = TARN_ERR_OK;
    t[EPERM] = TARN_ERR_PERM;
    t[ENOENT] = TARN_ERR_NOT_FOUND;
    t[EIO] = TARN_ERR_IO;
    t[E2BIG] = TARN_ERR_TOO_BIG;
    t[EAGAIN] = TARN_ERR_DELAY;
    t[EEXIST] = TARN_ERR_EXIST;
    t[ENODEV] = TARN_ERR_NO_FS;
    t[ENOTDIR] = TARN_ERR_NOT_DIR;
    t[EINVAL] = TARN_ERR_INVAL;
    t[EFBIG] = TARN_ERR_FILE_TOO_LARGE;
    t[ENOSPC] = TARN_ERR_NO_SPACE;
    t[EROFS] = TARN_ERR_READ_ONLY;
    t[ERANGE] = TARN_ERR_BUFFER_TOO_SMALL;
    t[ENOSYS] = TARN_ERR_NOT_IMPL;
    t[ENOTEMPTY] = TARN_ERR_NOT_EMPTY;
    t[EOVERFLOW] = TARN_ERR_TOO_BIG;
    t[EREMCHG] = TARN_ERR_CONFLICT;
    t[ETIMEDOUT] = TARN_ERR_DELAY;
    return t;
}

constexpr std::array<uint8_t, kErrnoTableSize> kErrnoTable = make_errno_table();

// The table is written for Linux error numbers.
static_assert(EAGAIN == 11 && EREMCHG == 78 && EOVERFLOW == 75 && ETIMEDOUT == 110 && ENOTEMPTY == 39 &&
              ENOSYS == 38);

}  // namespace

const char* tarn_get_err_msg(tarn_err code) {
    if (code > TARN_ERR_READ_ONLY) return "Unknown error code";
    return kErrMessages[code];
}

tarn_err posix2tarn_error(int error_number) {
    if (error_number < 0 || size_t(error_number) >= kErrnoTableSize) return TARN_ERR_SERVER_FAULT;
    return kErrnoTable[size_t(error_number)];
}
