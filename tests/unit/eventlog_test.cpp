// The event source over an audit log file: record numbers, reading forward, notification,
// skipped lines, rotation. (A log whose directory is gone ends the wait: the Monitor tests stop
// their monitor that way.)

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/eventlog.h"
#include "support/eventlog_records.h"
#include "support/test_support.h"

using nivo_test::append_file;
using nivo_test::audit_kerberos_line;
using nivo_test::read_record;
using nivo_test::records_of;
using nivo_test::temp_dir;

namespace {

std::vector<std::string> g_reports;
void
collect_report(const char *message)
{
    g_reports.emplace_back(message);
}

class EventLog : public ::testing::Test {
  protected:
    void SetUp() override
    {
        g_reports.clear();
        path_ = dir_.file("auth_json.log");
    }
    void TearDown() override
    {
        platform_eventlog_close(log_);
        platform_eventlog_notification_close(notification_);
    }
    void open()
    {
        notification_ = platform_eventlog_notification_create();
        ASSERT_NE(notification_, nullptr);
        std::u16string source = nivo_test::u16(path_);
        log_ = platform_eventlog_open(u"security", source.c_str(), collect_report);
        ASSERT_NE(log_, nullptr);
        ASSERT_EQ(platform_eventlog_notify(log_, notification_), 0);
    }
    int read(unsigned flags, std::uint32_t record, std::vector<read_record> *out,
             std::size_t size = 4096)
    {
        std::vector<unsigned char> buffer(size);
        std::size_t got = 0, needed = 0;
        int rc = platform_eventlog_read(log_, flags | EVENTLOG_FORWARDS_READ, record, buffer.data(),
                                        size, &got, &needed);
        needed_ = needed;
        if (rc == 0 && out != nullptr) {
            *out = records_of(buffer.data(), got);
        }
        return rc;
    }

    temp_dir dir_;
    std::string path_;
    platform_eventlog *log_ = nullptr;
    platform_eventlog_notification *notification_ = nullptr;
    std::size_t needed_ = 0;
};

} // namespace

TEST_F(EventLog, ReadsOnlyWhatIsWrittenAfterOpenWithStableNumbers)
{
    append_file(path_,
                audit_kerberos_line("old1", "10.0.0.1") + audit_kerberos_line("old2", "10.0.0.2"));
    open();
    std::uint32_t oldest = 0, count = 0;
    ASSERT_EQ(platform_eventlog_oldest(log_, &oldest), 0);
    ASSERT_EQ(platform_eventlog_count(log_, &count), 0);
    EXPECT_EQ(oldest, 1u);
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(platform_eventlog_wait(notification_, 0), 1);
    EXPECT_EQ(read(EVENTLOG_SEEK_READ, oldest + count, nullptr), EVENTLOG_ERROR_HANDLE_EOF);

    // A line still being written is not a record yet.
    std::string third = audit_kerberos_line("alice", "192.168.1.20");
    append_file(path_, third.substr(0, 40));
    EXPECT_EQ(platform_eventlog_wait(notification_, 2000), 0);
    EXPECT_EQ(read(EVENTLOG_SEEK_READ, 3, nullptr), EVENTLOG_ERROR_HANDLE_EOF);
    append_file(path_,
                third.substr(40) + "not json at all\n" + audit_kerberos_line("bob", "10.0.0.9"));
    EXPECT_EQ(platform_eventlog_wait(notification_, 2000), 0);

    std::vector<read_record> got;
    ASSERT_EQ(read(EVENTLOG_SEEK_READ, 3, &got), 0);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].number, 3u);
    EXPECT_EQ(got[0].strings[0], u"alice");
    EXPECT_EQ(got[1].number, 5u); // record 4 was refused, its number stays unused
    ASSERT_EQ(g_reports.size(), 1u);
    EXPECT_NE(g_reports[0].find("record 4"), std::string::npos) << g_reports[0];
    EXPECT_EQ(read(EVENTLOG_SEQUENTIAL_READ, 0, nullptr), EVENTLOG_ERROR_HANDLE_EOF);

    // Seeking back reads the same records under the same numbers.
    ASSERT_EQ(read(EVENTLOG_SEEK_READ, 1, &got), 0);
    ASSERT_EQ(got.size(), 4u);
    EXPECT_EQ(got[0].strings[0], u"old1");
    EXPECT_EQ(got[3].number, 5u);
    EXPECT_EQ(read(EVENTLOG_SEEK_READ, 9, nullptr), EVENTLOG_ERROR_INVALID_PARAMETER);
}

TEST_F(EventLog, FillsTheBufferWithWholeRecordsOnly)
{
    open();
    std::string lines;
    for (int i = 0; i < 40; ++i) {
        lines += audit_kerberos_line("user" + std::to_string(i), "10.0.0.1");
    }
    append_file(path_, lines);
    std::vector<read_record> got;
    ASSERT_EQ(read(EVENTLOG_SEEK_READ, 1, &got, 1024), 0);
    std::size_t first = got.size();
    EXPECT_GT(first, 0u);
    EXPECT_LT(first, 40u);
    std::size_t total = first;
    while (read(EVENTLOG_SEQUENTIAL_READ, 0, &got, 1024) == 0) {
        EXPECT_EQ(got[0].number, total + 1);
        total += got.size();
    }
    EXPECT_EQ(total, 40u);

    append_file(path_, audit_kerberos_line("carol", "10.0.0.3"));
    EXPECT_EQ(read(EVENTLOG_SEQUENTIAL_READ, 0, &got, 32), EVENTLOG_ERROR_INSUFFICIENT_BUFFER);
    EXPECT_GT(needed_, 32u);
}

TEST_F(EventLog, FollowsRotationAndALogCreatedLater)
{
    open(); // the file does not exist yet: an empty log
    std::uint32_t count = 9;
    ASSERT_EQ(platform_eventlog_count(log_, &count), 0);
    EXPECT_EQ(count, 0u);
    append_file(path_, audit_kerberos_line("first", "10.0.0.1"));
    EXPECT_EQ(platform_eventlog_wait(notification_, 2000), 0);
    std::vector<read_record> got;
    ASSERT_EQ(read(EVENTLOG_SEEK_READ, 1, &got), 0);
    ASSERT_EQ(got.size(), 1u);

    // The log is renamed away and a new one takes its name: numbering goes on.
    append_file(path_, audit_kerberos_line("second", "10.0.0.2"));
    std::filesystem::rename(path_, path_ + ".1");
    append_file(path_, audit_kerberos_line("third", "10.0.0.3"));
    EXPECT_EQ(platform_eventlog_wait(notification_, 2000), 0);
    ASSERT_EQ(read(EVENTLOG_SEQUENTIAL_READ, 0, &got), 0);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].strings[0], u"second");
    EXPECT_EQ(got[1].strings[0], u"third");
    EXPECT_EQ(got[1].number, 3u);
    std::uint32_t oldest = 0;
    ASSERT_EQ(platform_eventlog_oldest(log_, &oldest), 0);
    EXPECT_EQ(oldest, 3u);

    // A very long line is skipped whole.
    append_file(path_, std::string(100000, 'x') + "\n" + audit_kerberos_line("fourth", "10.0.0.4"));
    ASSERT_EQ(read(EVENTLOG_SEQUENTIAL_READ, 0, &got), 0);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].number, 5u);
    EXPECT_EQ(got[0].strings[0], u"fourth");
}

TEST_F(EventLog, FollowsADirectoryThatIsReplaced)
{
    std::string logs = dir_.file("samba");
    std::filesystem::create_directory(logs);
    path_ = logs + "/auth_json.log";
    append_file(path_, audit_kerberos_line("before", "10.0.0.1"));
    open();

    // The directory is moved away and a new one with a new log takes its name.
    std::filesystem::rename(logs, logs + ".old");
    std::filesystem::create_directory(logs);
    append_file(path_, audit_kerberos_line("after", "10.0.0.2"));
    EXPECT_EQ(platform_eventlog_wait(notification_, 3000), 0);
    std::vector<read_record> got;
    ASSERT_EQ(read(EVENTLOG_SEEK_READ, 2, &got), 0);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].strings[0], u"after");
    EXPECT_EQ(got[0].number, 2u);

    // The new directory is watched.
    append_file(path_, audit_kerberos_line("later", "10.0.0.3"));
    EXPECT_EQ(platform_eventlog_wait(notification_, 3000), 0);
    ASSERT_EQ(read(EVENTLOG_SEQUENTIAL_READ, 0, &got), 0);
    EXPECT_EQ(got[0].strings[0], u"later");
}

TEST(EventLogOpen, FailsWithoutItsDirectory)
{
    EXPECT_EQ(platform_eventlog_open(u"security", u"/nonexistent-nivo/auth_json.log", nullptr),
              nullptr);
}
