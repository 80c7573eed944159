// The logger: line layout and bytes, level filter, logging events, overflow handling.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "common/log.h"
#include "platform/system.h"
#include "support/test_support.h"

using nivo_test::log_lines;
using nivo_test::read_file;
using nivo_test::temp_dir;

namespace {

void
reset_settings()
{
    log_set_loglevel(LOG_DEBUG);
    log_set_overflow_action(LOG_OVERFLOW_ROTATE);
    log_set_logfile_maxsize(1073741824u);
    log_set_loggingfile_maxsize(1073741824u);
}

class LogTest : public nivo_test::log_fixture {
  protected:
    void SetUp() override
    {
        log_fixture::SetUp();
        reset_settings();
    }
    void TearDown() override
    {
        log_fixture::TearDown();
        reset_settings();
    }
    bool logged(const std::string &text, const char *file = "nivo.log") const
    {
        return nivo_test::logged(dir.file(file), text);
    }
    // A file's text as it stands, without a flush.
    std::string raw(const char *file) const
    {
        return nivo_test::utf16le_to_utf8(read_file(dir.file(file)));
    }
};

// Splits "LEVEL\t[0xTID] DATE hh:mm:ss : message" into its pieces; false when the layout differs.
bool
parse_line(const std::string &line, std::string *level, unsigned long *tid, std::string *message)
{
    char upper[16], date[16], prefix[64];
    unsigned h = 0, m = 0, s = 0;
    int at = 0;
    if (std::sscanf(line.c_str(), "%15[A-Z]\t[0x%lx] %15s %u:%u:%u :%n", upper, tid, date, &h, &m,
                    &s, &at) != 6 ||
        at == 0) {
        return false;
    }
    // The same prefix written back exactly: no missing or extra space, two digits each.
    std::snprintf(prefix, sizeof prefix, "%s\t[0x%lx] %s %02u:%02u:%02u : ", upper, *tid, date, h,
                  m, s);
    *level = upper;
    *message = line.substr(static_cast<std::size_t>(at) + 1);
    return line.compare(0, static_cast<std::size_t>(at) + 1, prefix) == 0;
}

TEST_F(LogTest, LinesAreUtf16WithoutMarkCarryThePrefixLayoutAndCannotBeForged)
{
    log_write(LOG_ERROR, u"unit: value %d of '%s'\n", 42, u"caf\u00e9");
    log_flush();
    std::string bytes = read_file(dir.file("nivo.log"));
    // No byte-order mark: the file starts with the first line's "\r\n".
    ASSERT_GE(bytes.size(), 4u);
    EXPECT_EQ(bytes.substr(0, 4), std::string("\r\0\n\0", 4));

    auto lines = log_lines(dir.file("nivo.log"));
    // Three banner lines of the log, three banner events, then ours.
    ASSERT_EQ(lines.size(), 7u);
    std::string level, message;
    unsigned long tid = 0;
    ASSERT_TRUE(parse_line(lines[6], &level, &tid, &message)) << lines[6];
    EXPECT_EQ(level, "ERROR");
    EXPECT_EQ(tid, platform_thread_id());
    EXPECT_EQ(message, "unit: value 42 of 'caf\xc3\xa9'\n");

    // Text from outside cannot forge a line or break the file.
    const char16_t forged[] = u"bob\r\nCRIT\t[0x0001] 12/06/26 00:00:00 : forged";
    const char16_t lone[] = {u'e', 0xD800, u'v', 0xDC01, u'e', 0};
    log_write(LOG_MSG, u"user %s logged on\n", forged);
    log_write(LOG_MSG, u"user %s\n", lone);
    log_write_event(LOG_MSG, u"event of %s\n", forged);
    log_write_a(LOG_MSG, "narrow %s and %S\n", "a\nb\x7f", u"c\u2028d");
    std::string text = nivo_test::log_text(dir.file("nivo.log"));
    for (const char *expected :
         {" : user bob\\r\\nCRIT\\t[0x0001] 12/06/26 00:00:00 : forged logged on\n\r\n",
          " : user e\xef\xbf\xbd"
          "v\xef\xbf\xbd"
          "e\n\r\n",
          " : event of bob\\r\\nCRIT\\t[0x0001] 12/06/26 00:00:00 : forged\n\n\r",
          "]: narrow a\\nb\\x7f and c\\u2028d\n"}) {
        EXPECT_NE(text.find(expected), std::string::npos) << expected << "\n" << text;
    }
    // No line begins with the forged level.
    EXPECT_EQ(text.find("\nCRIT"), std::string::npos);
}

TEST_F(LogTest, LevelFilterHidesLinesButNeverEventsAndOverlongMessagesLeaveNoTrace)
{
    log_set_loglevel(LOG_NOTICE);
    log_write(LOG_INFO, u"hidden info\n");
    log_write(LOG_DEBUG, u"hidden debug\n");
    log_write_a(LOG_MAX, "hidden narrow\n");
    log_write(LOG_NOTICE, u"shown notice\n");
    log_write_event(LOG_MAX, u"event line\n");
    EXPECT_FALSE(logged("hidden"));
    EXPECT_TRUE(logged("NOTICE\t"));
    // The event is in both files, unfiltered, with its level's name.
    EXPECT_TRUE(logged("event line"));
    EXPECT_TRUE(logged("event line", "ev.log"));
    EXPECT_TRUE(logged("MAX\t", "ev.log"));
    EXPECT_FALSE(logged("shown notice", "ev.log"));
    EXPECT_EQ(log_set_loglevel(7), -1);
    EXPECT_EQ(log_get_loglevel(), static_cast<unsigned int>(LOG_NOTICE));

    // A message too long for the buffer leaves no trace; one that just fits is written whole.
    log_set_loglevel(LOG_DEBUG);
    long long before = nivo_test::file_size(dir.file("nivo.log"));
    std::u16string huge(10300, u'x');
    log_write(LOG_MSG, u"%s\n", huge);
    log_write_event(LOG_MSG, u"%s\n", huge);
    std::string narrow_huge(5200, 'y');
    log_write_a(LOG_MSG, "%s\n", narrow_huge);
    EXPECT_EQ(nivo_test::file_size(dir.file("nivo.log")), before);
    std::u16string fits(10000, u'z');
    log_write(LOG_MSG, u"%s\n", fits);
    EXPECT_TRUE(logged(std::string(10000, 'z') + "\n"));
}

TEST_F(LogTest, RotationKeepsOneOlderGenerationAndAFailedRenameTruncatesInstead)
{
    // Room for one rotation: the new file's own banner and the last lines stay below it.
    log_set_logfile_maxsize(2000);
    nivo_test::write_file(dir.file("nivo.log1"), "older generation");
    for (int i = 0; i < 20; ++i) {
        log_write(LOG_MSG, u"first generation %d\n", i);
    }
    auto old_lines = log_lines(dir.file("nivo.log1"));
    ASSERT_GE(old_lines.size(), 3u);
    EXPECT_TRUE(logged("first generation 0\n", "nivo.log1"));
    EXPECT_FALSE(logged("older generation", "nivo.log1"));
    EXPECT_NE(old_lines[old_lines.size() - 2].find("ROTATING LOG FILE"), std::string::npos);
    auto lines = log_lines(dir.file("nivo.log"));
    ASSERT_GE(lines.size(), 4u);
    EXPECT_NE(lines[1].find("------------------------ LOG FILE ROTATED ------------------------\n"),
              std::string::npos);
    EXPECT_TRUE(logged("first generation 19\n"));

    // The older generation cannot be replaced: the file is cut instead, and the log says so.
    std::filesystem::remove(dir.file("nivo.log1"));
    std::filesystem::create_directory(dir.file("nivo.log1"));
    log_set_logfile_maxsize(1000);
    for (int i = 0; i < 20; ++i) {
        log_write(LOG_MSG, u"kept too long %d\n", i);
    }
    EXPECT_FALSE(logged("kept too long 0\n"));
    EXPECT_TRUE(logged("log_rotate_logfile: Logfile '" + dir.file("nivo.log") +
                       "' couldn't Renamed to '" + dir.file("nivo.log1") + "'"));
}

TEST_F(LogTest, AFloodRotatesAtTheLimitWithoutWaitingForTheSizeCheck)
{
    // No once-a-second check runs here: the writer itself keeps the files near the limit while
    // two threads write about 6 MB of outcomes and traces.
    constexpr std::uint32_t limit = 200 * 1024;
    log_set_logfile_maxsize(limit);
    std::vector<std::thread> writers;
    for (unsigned int level : {LOG_MSG, LOG_DEBUG}) {
        writers.emplace_back([level] {
            for (int i = 0; i < 10000; ++i) {
                log_write(level, u"flood line %d of a text long enough to fill the file %s\n", i,
                          u"quickly, quickly, quickly, quickly, quickly, quickly, quickly");
            }
        });
    }
    for (auto &writer : writers) {
        writer.join();
    }
    log_flush();
    std::this_thread::sleep_for(std::chrono::milliseconds(300)); // the writer's last check
    constexpr long long slack = 1024 * 1024; // without the writer's own check: 6 MB
    EXPECT_LT(nivo_test::file_size(dir.file("nivo.log")), limit + slack);
    ASSERT_TRUE(nivo_test::file_exists(dir.file("nivo.log1")));
    EXPECT_LT(nivo_test::file_size(dir.file("nivo.log1")), limit + slack);
    EXPECT_TRUE(logged("LOG FILE ROTATED"));
}

TEST_F(LogTest, TheEventsFileRotatesOnItsOwnLimitAndTruncationCutsTheLogAsItPassesItsOwn)
{
    log_set_loggingfile_maxsize(1500);
    for (int i = 0; i < 15; ++i) {
        log_write_event(LOG_MSG, u"event %d\n", i);
    }
    EXPECT_TRUE(logged("event 0\n", "ev.log1"));
    EXPECT_FALSE(logged("event 0\n", "ev.log"));
    EXPECT_TRUE(logged("LOGGING EVENTS FILE ROTATED", "ev.log"));
    EXPECT_TRUE(logged("ROTATING LOGGING EVENTS FILE"));
    // nivo.log itself was under its limit and was left alone.
    EXPECT_FALSE(nivo_test::file_exists(dir.file("nivo.log1")));

    // Truncation instead of rotation.
    log_set_overflow_action(LOG_OVERFLOW_TRUNCATE);
    log_set_logfile_maxsize(1000);
    for (int i = 0; i < 20; ++i) {
        log_write(LOG_MSG, u"filler line %d\n", i);
    }
    // The write that passed 1000 bytes cut the file; later lines follow the banner.
    auto lines = log_lines(dir.file("nivo.log"));
    ASSERT_GE(lines.size(), 4u);
    EXPECT_NE(lines[1].find("---------------------- LOG FILE TRUNCATED ------------------------\n"),
              std::string::npos);
    EXPECT_FALSE(logged("filler line 0\n"));
    EXPECT_TRUE(logged("filler line 19\n"));
    EXPECT_LT(nivo_test::file_size(dir.file("nivo.log")), 1000);
}

TEST_F(LogTest, OutcomesAreInTheFileWhenTheCallReturnsAndTracesFollowUnasked)
{
    // Read the bytes without flushing: a kill right after these calls must find them there,
    // behind the trace that came before them.
    log_write(LOG_DEBUG, u"trace first\n");
    log_write(LOG_ERROR, u"a failure\n");
    std::string text = raw("nivo.log");
    ASSERT_NE(text.find("a failure"), std::string::npos);
    EXPECT_LT(text.find("trace first"), text.find("a failure"));
    log_write_a(LOG_CRIT, "narrow %s\n", "critical");
    EXPECT_NE(raw("nivo.log").find("narrow critical"), std::string::npos);
    log_write_event(LOG_MSG, u"an outcome\n");
    EXPECT_NE(raw("nivo.log").find("an outcome"), std::string::npos);
    EXPECT_NE(raw("ev.log").find("an outcome"), std::string::npos);

    // Traces wait for the writer thread, which must get there by itself: no flush here.
    log_write(LOG_DEBUG, u"written behind\n");
    log_write_event(LOG_DEBUG, u"event behind\n");
    EXPECT_TRUE(nivo_test::eventually([&] {
        return raw("nivo.log").find("event behind") != std::string::npos &&
               raw("nivo.log").find("written behind") != std::string::npos &&
               raw("ev.log").find("event behind") != std::string::npos;
    }));
}

TEST(LogOpen, WritesBeforeOpeningAreNoOpsASecondOpenFailsEventsNeedTheirFile)
{
    log_write(LOG_MSG, u"nowhere\n");
    log_write_event(LOG_MSG, u"nowhere\n");
    log_check_overflow();
    temp_dir dir;
    std::u16string log_path = dir.wpath("nivo.log");
    std::u16string events_path = dir.wpath("missing/logging_events.log");
    ASSERT_EQ(log_int(log_path.c_str(), nullptr, events_path.c_str(), nullptr), -1);
    EXPECT_EQ(log_int(log_path.c_str(), nullptr, nullptr, nullptr), -1); // already open
    log_write_event(LOG_MSG, u"an event\n");
    log_write(LOG_MSG, u"a line\n");
    log_fini();
    EXPECT_EQ(log_int(nullptr, nullptr, nullptr, nullptr), -1);
    std::string text = nivo_test::utf16le_to_utf8(read_file(dir.file("nivo.log")));
    EXPECT_NE(text.find("a line"), std::string::npos);
    EXPECT_EQ(text.find("an event"), std::string::npos);
}

TEST_F(LogTest, LinesOfManyThreadsStayWholeAndInTheirOrder)
{
    // Far more than the pending buffer holds, so writers also write it themselves.
    constexpr int THREADS = 4;
    constexpr int LINES = 3000;
    std::vector<std::thread> writers;
    for (int t = 0; t < THREADS; ++t) {
        writers.emplace_back([t] {
            for (int i = 0; i < LINES; ++i) {
                log_write(LOG_MSG, u"writer %d line %d of a line long enough to fill %s\n", t, i,
                          u"the buffer quickly, quickly, quickly");
            }
        });
    }
    for (auto &writer : writers) {
        writer.join();
    }
    int next[THREADS] = {};
    int ours = 0;
    for (const auto &line : log_lines(dir.file("nivo.log"))) {
        std::string level, message;
        unsigned long tid;
        ASSERT_TRUE(parse_line(line, &level, &tid, &message)) << line;
        int t = -1, i = -1;
        if (std::sscanf(message.c_str(), "writer %d line %d of", &t, &i) != 2) {
            continue;
        }
        ASSERT_TRUE(t >= 0 && t < THREADS) << line;
        ASSERT_EQ(i, next[t]) << line;
        ASSERT_EQ(message, "writer " + std::to_string(t) + " line " + std::to_string(i) +
                               " of a line long enough to fill the buffer quickly, quickly, "
                               "quickly\n");
        ++next[t];
        ++ours;
    }
    EXPECT_EQ(ours, THREADS * LINES);
}

} // namespace
