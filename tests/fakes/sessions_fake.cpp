// The scripted session lister (see sessions_fake.h).

#include "fakes/sessions_fake.h"

#include <deque>
#include <map>
#include <memory>
#include <mutex>

namespace {

// What a handed-out portion points into.
struct portion_storage {
    platform_session_portion portion{};
    std::deque<std::u16string> texts; // deques: the entries point into them
    std::deque<platform_session> sessions;
    std::vector<platform_session *> entries;
};

std::mutex g_lock;
std::map<std::u16string, std::deque<sessions_fake::answer>> g_scripts;
std::vector<std::uint32_t> g_calls;
std::map<platform_session_portion *, std::unique_ptr<portion_storage>> g_outstanding;

char16_t *
keep(portion_storage &storage, const std::optional<std::u16string> &text)
{
    if (!text) {
        return nullptr;
    }
    storage.texts.push_back(*text);
    return storage.texts.back().data();
}

platform_session_portion *
make_portion(const std::vector<std::optional<sessions_fake::session>> &entries)
{
    auto storage = std::make_unique<portion_storage>();
    for (const auto &entry : entries) {
        if (!entry) {
            storage->entries.push_back(nullptr);
            continue;
        }
        storage->sessions.push_back({keep(*storage, entry->client), keep(*storage, entry->user)});
        storage->entries.push_back(&storage->sessions.back());
    }
    storage->portion.entries = storage->entries.data();
    storage->portion.count = storage->entries.size();
    platform_session_portion *out = &storage->portion;
    g_outstanding[out] = std::move(storage);
    return out;
}

} // namespace

namespace sessions_fake {

void
script(const std::u16string &server, const std::vector<answer> &answers)
{
    std::lock_guard guard(g_lock);
    g_scripts[server].assign(answers.begin(), answers.end());
}

std::vector<std::uint32_t>
calls()
{
    std::lock_guard guard(g_lock);
    return g_calls;
}

std::size_t
outstanding()
{
    std::lock_guard guard(g_lock);
    return g_outstanding.size();
}

void
reset()
{
    std::lock_guard guard(g_lock);
    g_scripts.clear();
    g_calls.clear();
    g_outstanding.clear();
}

} // namespace sessions_fake

void
platform_sessions_set_credentials(const char16_t *, const char16_t *)
{
}

unsigned long
platform_sessions_enum(const char16_t *server, platform_session_portion **out,
                       std::uint32_t *resume_token)
{
    std::lock_guard guard(g_lock);
    g_calls.push_back(*resume_token);
    *out = nullptr;
    std::deque<sessions_fake::answer> &answers = g_scripts[server != nullptr ? server : u""];
    if (answers.empty()) {
        return 0;
    }
    sessions_fake::answer next = answers.front();
    answers.pop_front();
    if (next.entries) {
        *out = make_portion(*next.entries);
    }
    *resume_token = next.token_after;
    return next.result;
}

void
platform_sessions_free(platform_session_portion *portion)
{
    std::lock_guard guard(g_lock);
    g_outstanding.erase(portion);
}
