// Thread naming.
#include "client/tarn_pthread_utils.h"

#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>

#include "kiv/base.h"

namespace {

// The kernel's limit: 15 characters and the terminating zero.
constexpr size_t kThreadNameBytes = 16;

}  // namespace

__attribute__((weak)) void tarn_set_current_thread_name_hook(const char*) {}

void tarn_set_current_thread_name(const char* format, ...) {
    char name[kThreadNameBytes];
    va_list ap;
    va_start(ap, format);
    int len = vsnprintf(name, sizeof(name), format, ap);
    va_end(ap);
    KIV_BUG_ON(len < 0 || size_t(len) >= kThreadNameBytes);
    KIV_BUG_ON(pthread_setname_np(pthread_self(), name) != 0);
    tarn_set_current_thread_name_hook(name);
}
