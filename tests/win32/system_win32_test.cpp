// The Windows system, file and profile calls where they differ from POSIX: error texts, the
// base directory, open files renamed, and profile files beyond ASCII or with a byte-order mark.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/file.h"
#include "platform/profile.h"
#include "platform/system.h"
#include "support/test_support.h"

namespace {

class Win32Files : public ::testing::Test {
  protected:
    void SetUp() override
    {
        // A directory name beyond ASCII, as a user's profile directory may have.
        dir = std::filesystem::temp_directory_path() /
              std::filesystem::path(u"nivo-pr\u00f8ve-\u0436-") / std::to_string(std::rand());
        std::filesystem::create_directories(dir);
    }
    void TearDown() override
    {
        std::error_code ignored;
        std::filesystem::remove_all(dir, ignored);
    }
    std::u16string wpath(const char *name) const
    {
        return (dir / name).u16string();
    }
    std::string upath(const char *name) const
    {
        std::u8string text = (dir / name).u8string();
        return std::string(text.begin(), text.end());
    }

    std::filesystem::path dir;
};

std::string
read_through(platform_file *file)
{
    std::string text;
    char chunk[64];
    long long n;
    while ((n = platform_file_read(file, chunk, sizeof chunk)) > 0) {
        text.append(chunk, static_cast<std::size_t>(n));
    }
    return text;
}

TEST(Win32System, ErrorTextsAndBaseDirectory)
{
    char16_t text[256];
    std::size_t n = platform_error_text(2, text, 256); // ERROR_FILE_NOT_FOUND
    ASSERT_GT(n, 0u);
    EXPECT_NE(text[n - 1], u'\n');
    EXPECT_NE(text[n - 1], u'\r');
    EXPECT_EQ(text[n], 0);
    EXPECT_EQ(platform_error_text(0x3fffffff, text, 256), 0u);
    EXPECT_EQ(text[0], 0);
    EXPECT_EQ(platform_error_text(2, text, 4), 0u); // does not fit: empty
    EXPECT_EQ(text[0], 0);

    char16_t base[520];
    ASSERT_EQ(_putenv_s("NIVO_HOME", "C:\\nivo\\home\\"), 0);
    ASSERT_EQ(platform_base_directory(base, 520), 0);
    EXPECT_EQ(std::u16string(base), u"C:\\nivo\\home");
    ASSERT_EQ(_putenv_s("NIVO_HOME", ""), 0); // empty: the executable's directory
    ASSERT_EQ(platform_base_directory(base, 520), 0);
    std::u16string exe_dir = base;
    ASSERT_FALSE(exe_dir.empty());
    EXPECT_NE(exe_dir.back(), u'\\');
    EXPECT_EQ(platform_file_exists(base), 1);
    EXPECT_EQ(platform_base_directory(base, 3), -1);
    EXPECT_EQ(base[0], 0);
}

TEST_F(Win32Files, AnOpenLogCanBeReadAndRenamedAndMoveNewNeverReplaces)
{
    std::u16string log = wpath("nivo.log");
    std::u16string old_log = wpath("nivo.log1");
    platform_file *writer = platform_file_open(
        log.c_str(), PLATFORM_FILE_WRITE | PLATFORM_FILE_CREATE | PLATFORM_FILE_TRUNCATE);
    ASSERT_NE(writer, nullptr);
    ASSERT_EQ(platform_file_write(writer, "first line\n", 11), 0);
    platform_file *reader = platform_file_open(log.c_str(), PLATFORM_FILE_READ);
    ASSERT_NE(reader, nullptr);
    EXPECT_EQ(read_through(reader), "first line\n");
    platform_file_close(reader);

    // Rotation while the writer still holds the file.
    ASSERT_EQ(platform_file_rename(log.c_str(), old_log.c_str()), 0);
    EXPECT_EQ(platform_file_exists(log.c_str()), 0);
    EXPECT_EQ(platform_file_write(writer, "second\n", 7), 0);
    EXPECT_EQ(platform_file_size(writer), 18);
    platform_file_close(writer);

    platform_file *fresh =
        platform_file_open(log.c_str(), PLATFORM_FILE_WRITE | PLATFORM_FILE_CREATE);
    ASSERT_NE(fresh, nullptr);
    platform_file_close(fresh);
    EXPECT_EQ(platform_file_move_new(log.c_str(), old_log.c_str()), -1);
    EXPECT_EQ(platform_file_exists(log.c_str()), 1);
    platform_file *check = platform_file_open(old_log.c_str(), PLATFORM_FILE_READ);
    ASSERT_NE(check, nullptr);
    EXPECT_EQ(read_through(check), "first line\nsecond\n");
    platform_file_close(check);
    EXPECT_EQ(platform_file_open(dir.u16string().c_str(), PLATFORM_FILE_READ), nullptr);
}

TEST_F(Win32Files, ProfileTextsReachTheCallersAsUtf8)
{
    std::string ini = upath("nivo.ini");
    {
        std::ofstream out(dir / "nivo.ini", std::ios::binary);
        out << "[GLOBAL]\r\nNAME = caf\xc3\xa9\r\n[OTHER]\r\nK=\"v\"\r\n";
    }
    char names[64];
    ASSERT_EQ(platform_profile_section_names(names, sizeof names, ini.c_str()), 13u);
    EXPECT_EQ(std::string(names, 14), std::string("GLOBAL\0OTHER\0\0", 14));
    char value[64];
    // A file without a byte-order mark keeps its bytes: UTF-8 stays UTF-8.
    EXPECT_EQ(platform_profile_string("GLOBAL", "name", "", value, sizeof value, ini.c_str()), 5u);
    EXPECT_STREQ(value, "caf\xc3\xa9");
    EXPECT_EQ(platform_profile_string("OTHER", "K", "", value, sizeof value, ini.c_str()), 1u);
    EXPECT_STREQ(value, "v");
    char entries[64];
    unsigned long n = platform_profile_section("OTHER", entries, sizeof entries, ini.c_str());
    EXPECT_EQ(std::string(entries, n + 1), std::string("K=\"v\"\0\0", 7));

    // A file with a byte-order mark (at an ASCII path) still reaches callers as UTF-8.
    nivo_test::temp_dir ascii;
    std::string marked = ascii.file("marked.ini");
    ASSERT_TRUE(nivo_test::write_file(
        marked, "\xef\xbb\xbf[S\xc3\xa9]\nK=caf\xc3\xa9 \xe2\x82\xac \xd0\x96\n"));
    ASSERT_EQ(platform_profile_section_names(names, sizeof names, marked.c_str()), 4u);
    EXPECT_EQ(std::string(names), "S\xc3\xa9");
    n = platform_profile_section(names, entries, sizeof entries, marked.c_str());
    EXPECT_EQ(std::string(entries, n), std::string("K=caf\xc3\xa9 \xe2\x82\xac \xd0\x96\0", 15));
    EXPECT_EQ(platform_profile_string(names, "k", "", value, 8, marked.c_str()), 6u);
    EXPECT_STREQ(value, "caf\xc3\xa9 "); // cut before the euro sign, which no longer fits
}

} // namespace
