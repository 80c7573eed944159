// list: a locked singly linked list of opaque pointers, used as a queue (add at the tail,
// remove at the head) or as a stack (add at the head).
//
// list_init() creates a handle before the threads that share it start; list_fini() destroys it
// after they are done. Every other operation may run on any thread: each holds the handle's lock
// for its change. A data pointer belongs to the list from list_add_* until list_remove_head()
// hands it back; list_fini() releases those still in the list with the handle's release function.
#pragma once

struct list_handle;

using list_release_fn = void (*)(void *data);

// A new, empty list whose leftover data list_fini() passes to release (std::free when null).
// Null on allocation failure (logged).
list_handle *list_init(list_release_fn release = nullptr);

int list_add_head(list_handle *list, void *data); // 0, or -1 (invalid handle, no memory)
int list_add_tail(list_handle *list, void *data); // 0, or -1

// The head's data, or null for an empty list or an invalid handle.
void *list_remove_head(list_handle *list);

// Releases the remaining data, the nodes and the handle. An invalid handle is ignored.
void list_fini(list_handle *list);
