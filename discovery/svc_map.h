// Reference-counted service maps, as the listing and watch operations build
// them before handing them out.
#pragma once

#include <stdint.h>

struct discov_svc_map;

// Empty map (no records, generation 0) with one reference.
discov_svc_map* dsc_svc_map_create(void);
void dsc_svc_map_ref(discov_svc_map* map);
// Drops a reference; the last one finalises every record and frees the map.
void dsc_svc_map_unref(discov_svc_map* map);
// Reallocates the record array to exactly `capacity` records (not below the
// count); the records beyond the count are empty.
void dsc_svc_map_reserve(discov_svc_map* map, uint32_t capacity);
// Finalises every record and frees the array; count and generation become 0
// and the reference count 1.
void dsc_svc_map_clear(discov_svc_map* map);
