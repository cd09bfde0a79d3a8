// JSON form of a service record: one object with "name", "host_id" (16
// lowercase hexadecimal digits), "tags" (array of strings), "addr" and
// "port", in this order. The instance id, version and flag come from the
// registry item, not from the JSON.
#pragma once

#include <stddef.h>

#include <string>

struct discov_svc;

// The record's JSON text, allocated with the runtime's allocators. `name`
// and `addr` must be set.
char* dsc_convert_svc_to_json_str(const discov_svc* svc);
// Parses `length` bytes of `text` into `svc`, which must be empty. Sets
// name, host_id, tags, tag_count, addr and port and returns 0; on a
// malformed text logs why, leaves `svc` empty and returns -EINVAL.
int dsc_convert_json_str_to_svc(const char* text, size_t length, discov_svc* svc);
// The same, and on failure `why` (when not NULL) says what is wrong.
int dsc_convert_json_str_to_svc_why(const char* text, size_t length, discov_svc* svc, std::string* why);
