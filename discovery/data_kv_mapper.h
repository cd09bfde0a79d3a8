// Mapping between service records and registry items: keys under
// "/discov/services/" and record values.
#pragma once

#include <string>

struct discov_svc;
struct kvstore_item;

// "/discov/services/<namespace>/<name>", or "/discov/services/<name>"
// without a namespace. Allocated with the runtime's allocators.
char* dsc_make_svc_key(const char* namespace_key, const char* name);
// The record's JSON text (dsc_convert_svc_to_json_str).
char* dsc_make_svc_value(const discov_svc* svc);
// Converts a registry item of `namespace_key` into `svc` (which must be
// empty): the record from the value, the id from the key, version and flag
// from the item. -EPROTO for an empty key or value or a key outside the
// namespace, -EINVAL for a malformed value; `svc` is then left empty.
int dsc_convert_msg_item_to_svc(const kvstore_item* item, const char* namespace_key, discov_svc* svc,
                                std::string* why = nullptr);
