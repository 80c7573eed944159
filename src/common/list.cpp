// The locked list. A handle carries a pointer to itself while it is valid. list_fini clears it
// and keeps the handle's memory for the next list_init instead of returning it to the heap, so a
// handle used after its end is refused by its self reference rather than read after release.

#include "common/list.h"

#include <cstdlib>
#include <mutex>
#include <new>

#include "common/log.h"

struct list_node {
    void *data;
    list_node *next;
};

struct list_handle {
    list_node *head = nullptr;
    list_node *tail = nullptr;
    std::mutex lock;
    list_handle *self = nullptr;
    list_release_fn release = nullptr;
};

namespace {

// Retired handles, kept for reuse (the program creates a handful of lists in its life).
std::mutex g_retired_lock;
list_handle *g_retired = nullptr; // chained through their head fields

bool
list_is_valid(const list_handle *list)
{
    return list != nullptr && list->self == list;
}

} // namespace

list_handle *
list_init(list_release_fn release)
{
    list_handle *list = nullptr;
    {
        std::lock_guard guard(g_retired_lock);
        if (g_retired != nullptr) {
            list = g_retired;
            g_retired = reinterpret_cast<list_handle *>(list->head);
            list->head = nullptr;
        }
    }
    if (list == nullptr) {
        list = new (std::nothrow) list_handle;
    }
    if (list == nullptr) {
        log_write(LOG_ERROR, u"list_init: list handle couldn't allocated\n");
        return nullptr;
    }
    list->self = list;
    list->release = release;
    log_write(LOG_DEBUG, u"list_init: list handle allocated\n");
    return list;
}

int
list_add_head(list_handle *list, void *data)
{
    if (!list_is_valid(list)) {
        log_write(LOG_ERROR, u"list_add_head: invalid list handle\n");
        return -1;
    }
    std::lock_guard guard(list->lock);
    auto *node = new (std::nothrow) list_node{data, list->head};
    if (node == nullptr) {
        log_write(LOG_ERROR, u"list_add_head: listnode allocation failed\n");
        return -1;
    }
    if (list->head == nullptr) {
        list->tail = node;
        log_write(LOG_DEBUG, u"list_add_head: first element added\n");
    }
    list->head = node;
    return 0;
}

int
list_add_tail(list_handle *list, void *data)
{
    if (!list_is_valid(list)) {
        log_write(LOG_ERROR, u"list_add_tail: invalid list handle\n");
        return -1;
    }
    std::lock_guard guard(list->lock);
    auto *node = new (std::nothrow) list_node{data, nullptr};
    if (node == nullptr) {
        log_write(LOG_ERROR, u"list_add_tail: listnode allocation failed\n");
        return -1;
    }
    if (list->tail == nullptr) {
        list->head = node;
        log_write(LOG_DEBUG, u"list_add_tail: first element added\n");
    } else {
        list->tail->next = node;
    }
    list->tail = node;
    return 0;
}

void *
list_remove_head(list_handle *list)
{
    if (!list_is_valid(list)) {
        log_write(LOG_ERROR, u"list_remove_head: invalid list handle\n");
        return nullptr;
    }
    std::lock_guard guard(list->lock);
    list_node *node = list->head;
    if (node == nullptr) {
        log_write(LOG_DEBUG, u"list_remove_head: list is Empty\n");
        return nullptr;
    }
    list->head = node->next;
    if (list->head == nullptr) {
        list->tail = nullptr;
        log_write(LOG_DEBUG, u"list_remove_head: last element removed\n");
    }
    void *data = node->data;
    delete node; // the node is the list's own
    return data;
}

void
list_fini(list_handle *list)
{
    if (!list_is_valid(list)) {
        return;
    }
    list_release_fn release = list->release != nullptr ? list->release : std::free;
    list_node *node = list->head;
    while (node != nullptr) {
        list_node *next = node->next;
        release(node->data);
        delete node;
        log_write(LOG_DEBUG, u"list_fini: list node freed\n");
        node = next;
    }
    list->self = nullptr;
    list->tail = nullptr;
    {
        std::lock_guard guard(g_retired_lock);
        list->head = reinterpret_cast<list_node *>(g_retired);
        g_retired = list;
    }
    log_write(LOG_DEBUG, u"list_fini: list handle freed\n");
}
