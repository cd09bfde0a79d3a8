// Naming of the client library's threads.
#pragma once

// Names the calling thread with printf-style `format`. The kernel keeps at
// most 15 characters; a longer name is an invariant violation rather than a
// silently cut one, as is a failure to set it. Then calls
// tarn_set_current_thread_name_hook with the name.
void tarn_set_current_thread_name(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Called on the named thread after every tarn_set_current_thread_name. The
// library's version does nothing; a program may define its own (the
// library's is a weak definition).
void tarn_set_current_thread_name_hook(const char* name);
