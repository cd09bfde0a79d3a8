// Pool of RPC connections keyed by server host identifier.
//
// Each host has `slots` connection slots; a request's key chooses the slot
// (XXH3 of the key modulo the slot count). A slot's connection is reused
// while the host keeps its address; when the address changes the slot gets a
// new connection and the old one closes once its last user gives it back.
// The pool holds one reference to every connection in its slots, and every
// connection it hands out carries one more for the caller.
#pragma once

#include <pthread.h>
#include <stddef.h>
#include <stdint.h>

#include "client/tarn_conn.h"
#include "kiv/map.h"

// Signature of tarn_conn_create; tests supply their own.
typedef int (*tarn_conn_maker)(tarn_conn_factory* factory, const tarn_host_addr* addr,
                               const tarn_endpoint_spec* spec, tarn_conn** out);

struct tarn_conn_pool {
    tarn_conn_factory* factory; // borrowed
    tarn_conn_maker maker;
    uint32_t slots;       // per host, at least 1
    kiv_hash_map map;     // host id -> array of `slots` connection pointers (copied)
    uint32_t array_bytes; // slots * 8
    pthread_mutex_t mutex;
};

// 0 (the pool in *out). `slots` must be at least 1.
int tarn_conn_pool_create(uint32_t slots, tarn_conn_factory* factory, tarn_conn_maker maker, tarn_conn_pool** out);
// Nothing for null. Drops the pool's references; connections still held by
// users stay open until they are put back.
void tarn_conn_pool_destroy(tarn_conn_pool* pool);

// A referenced connection to `addr` for the request `key`: 0, or the
// maker's negative error (the slot then stays empty).
int tarn_conn_pool_get_conn(tarn_conn_pool* pool, const tarn_host_addr* addr, const void* key, size_t key_len,
                            const tarn_endpoint_spec* spec, tarn_conn** out);
void tarn_conn_pool_put_conn(tarn_conn* conn);

// The slot a key chooses in a pool of `slots` slots.
uint32_t tarn_conn_pool_slot_of(const void* key, size_t key_len, uint32_t slots);
