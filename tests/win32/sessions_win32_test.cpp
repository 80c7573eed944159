// Session listing with NetSessionEnum: names that would list another machine are refused, and a
// real listing hands back a portion the caller can free.

#include <gtest/gtest.h>

#include <cstdint>

#include "platform/sessions.h"

TEST(SessionsWin32, EmptyServerNamesAreRefused)
{
    for (const char16_t *name : {u"", u"\\\\"}) {
        auto *portion = reinterpret_cast<platform_session_portion *>(1);
        std::uint32_t resume = 7;
        EXPECT_EQ(platform_sessions_enum(name, &portion, &resume), 123U);
        EXPECT_EQ(portion, nullptr);
        EXPECT_EQ(resume, 7U);
    }
}

TEST(SessionsWin32, ListingOfThisMachine)
{
    platform_sessions_set_credentials(nullptr, nullptr);
    std::uint32_t resume = 0;
    unsigned long rc = PLATFORM_SESSIONS_MORE_DATA;
    for (int portions = 0; portions < 100 && rc == PLATFORM_SESSIONS_MORE_DATA; ++portions) {
        platform_session_portion *portion = nullptr;
        rc = platform_sessions_enum(u"\\\\127.0.0.1", &portion, &resume);
        if (rc != 0 && rc != PLATFORM_SESSIONS_MORE_DATA) {
            EXPECT_EQ(portion, nullptr);
            break;
        }
        for (std::size_t i = 0; portion != nullptr && i < portion->count; ++i) {
            EXPECT_NE(portion->entries[i], nullptr);
        }
        platform_sessions_free(portion);
    }
    EXPECT_NE(rc, PLATFORM_SESSIONS_MORE_DATA);
}
