#include "ls_client/ls_list.h"

#include <errno.h>

namespace {

const char* const k_tag = "ls_list";

// Unlinked items get recognisable link values, so a stale pointer into a
// released list shows up at once in a crash report.
ls_list_node* const k_poison_next = reinterpret_cast<ls_list_node*>(0x112233);
ls_list_node* const k_poison_prev = reinterpret_cast<ls_list_node*>(0x445566);

void unlink_and_free(ls_list_item* item) {
    item->link.prev->next = item->link.next;
    item->link.next->prev = item->link.prev;
    item->link.next = k_poison_next;
    item->link.prev = k_poison_prev;
    __kiv_free(item);
}

}  // namespace

int ls_list_init(ls_list* list) {
    list->head.next = &list->head;
    list->head.prev = &list->head;
    return 0;
}

void ls_list_fini(ls_list* list) {
    while (!ls_list_empty(list)) unlink_and_free(ls_list_first(list));
}

int ls_list_add_item(ls_list* list, uint64_t fs_id, const ls_server_entry* entry) {
    auto* item = static_cast<ls_list_item*>(__kiv_zmalloc(k_tag, KIV_POS, 0, sizeof(ls_list_item)));
    if (item == nullptr) return -ENOMEM;
    item->fs_id = fs_id;
    item->entry = *entry;
    item->link.next = list->head.next;
    item->link.prev = &list->head;
    list->head.next->prev = &item->link;
    list->head.next = &item->link;
    return 0;
}

void ls_list_remove_item(ls_list*, ls_list_item* item) { unlink_and_free(item); }

bool ls_list_empty(const ls_list* list) { return list->head.next == &list->head; }

ls_list_item* ls_list_first(ls_list* list) {
    return ls_list_empty(list) ? nullptr : reinterpret_cast<ls_list_item*>(list->head.next);
}

ls_list_item* ls_list_next(ls_list* list, ls_list_item* item) {
    ls_list_node* n = item->link.next;
    return n == &list->head ? nullptr : reinterpret_cast<ls_list_item*>(n);
}
