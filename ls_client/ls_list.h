// A small intrusive list of lock servers: what ls_resolver_get_ls_list hands
// to its caller, who releases it with ls_list_fini.
#pragma once

#include <stdint.h>

#include "kiv/base.h"

// One lock server as the resolver knows it.
struct ls_server_entry {
    uint64_t host_id;
    uint64_t fs_id;
    kiv_netaddr addr;
};

struct ls_list_node {
    ls_list_node* next;
    ls_list_node* prev;
};

// Circular; an empty list's head points at itself.
struct ls_list {
    ls_list_node head;
};

struct ls_list_item {
    ls_list_node link; // first, so a node is its item
    uint64_t fs_id;    // the key under which the resolver held the entry
    ls_server_entry entry;
};

int ls_list_init(ls_list* list);
// Frees every item; the list is empty afterwards.
void ls_list_fini(ls_list* list);
// Puts a copy of `entry` at the front: 0 or -ENOMEM.
int ls_list_add_item(ls_list* list, uint64_t fs_id, const ls_server_entry* entry);
// Unlinks and frees one item.
void ls_list_remove_item(ls_list* list, ls_list_item* item);
bool ls_list_empty(const ls_list* list);
// The first item, or null when the list is empty.
ls_list_item* ls_list_first(ls_list* list);
// The item after `item`, or null at the end.
ls_list_item* ls_list_next(ls_list* list, ls_list_item* item);
