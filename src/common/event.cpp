// Events on the standard library's mutex and condition variable. Named events live in a
// process-wide table and are shared by reference count.

#include "common/event.h"

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <unordered_map>

namespace {

struct event_object {
    std::mutex lock;
    std::condition_variable changed;
    bool manual_reset = false;
    bool signaled = false;
    std::u16string name;
};

std::mutex g_names_lock;
std::unordered_map<std::u16string, std::weak_ptr<event_object>> *g_names = nullptr;

} // namespace

struct event_handle {
    std::shared_ptr<event_object> object;
};

event_handle *
event_create(bool manual_reset, bool initially_signaled, const char16_t *name)
{
    try {
        auto handle = std::make_unique<event_handle>();
        if (name != nullptr) {
            std::lock_guard guard(g_names_lock);
            if (g_names == nullptr) {
                g_names = new std::unordered_map<std::u16string, std::weak_ptr<event_object>>();
            }
            auto found = g_names->find(name);
            if (found != g_names->end()) {
                handle->object = found->second.lock();
            }
            if (handle->object == nullptr) {
                handle->object = std::make_shared<event_object>();
                handle->object->manual_reset = manual_reset;
                handle->object->signaled = initially_signaled;
                handle->object->name = name;
                (*g_names)[name] = handle->object;
            }
        } else {
            handle->object = std::make_shared<event_object>();
            handle->object->manual_reset = manual_reset;
            handle->object->signaled = initially_signaled;
        }
        return handle.release();
    } catch (const std::exception &) {
        return nullptr;
    }
}

int
event_set(event_handle *event)
{
    if (event == nullptr) {
        return -1;
    }
    event_object &e = *event->object;
    // Notified under the lock: a waiter cannot return, and its owner close the event, while
    // this call still touches it.
    std::lock_guard guard(e.lock);
    e.signaled = true;
    if (e.manual_reset) {
        e.changed.notify_all();
    } else {
        e.changed.notify_one();
    }
    return 0;
}

int
event_reset(event_handle *event)
{
    if (event == nullptr) {
        return -1;
    }
    std::lock_guard guard(event->object->lock);
    event->object->signaled = false;
    return 0;
}

int
event_wait(event_handle *event, unsigned int timeout_ms)
{
    if (event == nullptr) {
        return EVENT_FAILED;
    }
    event_object &e = *event->object;
    std::unique_lock guard(e.lock);
    auto ready = [&e] { return e.signaled; };
    if (timeout_ms == EVENT_INFINITE) {
        e.changed.wait(guard, ready);
    } else if (!e.changed.wait_for(guard, std::chrono::milliseconds(timeout_ms), ready)) {
        return EVENT_TIMEOUT;
    }
    if (!e.manual_reset) {
        e.signaled = false;
    }
    return EVENT_SIGNALED;
}

int
event_close(event_handle *event)
{
    if (event == nullptr) {
        return -1;
    }
    std::unique_ptr<event_handle> owned(event);
    if (!owned->object->name.empty()) {
        std::lock_guard guard(g_names_lock);
        if (owned->object.use_count() == 1 && g_names != nullptr) {
            g_names->erase(owned->object->name);
        }
    }
    return 0;
}
