// The configuration receiver: the files a push writes, the sections kept, the limits, the safe
// writes and who may push.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "common/log.h"
#include "common/text.h"
#include "config/config_parse.h"
#include "config/config_receiver.h"
#include "platform/registry.h"
#include "support/test_support.h"

using nivo_test::read_file;
using nivo_test::u16;
using nivo_test::utf8_to_utf16le;
using nivo_test::write_file;

namespace {

// The messages of a push: the type, then per file "STARTFILE", its content in 512-byte pieces,
// "ENDFILE".
std::vector<std::string>
push_messages(const std::string &type, const std::vector<std::string> &files)
{
    std::vector<std::string> messages{type + std::string(1, '\0')};
    for (const std::string &content : files) {
        messages.push_back(std::string("STARTFILE") + '\0');
        for (std::size_t at = 0; at < content.size(); at += 512) {
            messages.push_back(content.substr(at, 512));
        }
        messages.push_back(std::string("ENDFILE") + '\0');
    }
    return messages;
}

// Sends each message in a send of its own, 20 ms apart so that each is a receive of its own, then
// ends the connection: 0 when the receiver ended its side as well.
int
push_over_tcp(const std::vector<std::string> &messages)
{
    platform_socket_t peer = PLATFORM_INVALID_SOCKET;
    nivo_test::eventually([&peer] { // the listener's thread may still be starting
        platform_socket_close(peer);
        peer = platform_socket_open(true);
        return platform_socket_connect(peer, 0x7F000001, CONFIG_SERVER_PORT) == 0;
    });
    for (const std::string &m : messages) {
        platform_socket_send(peer, m.data(), m.size());
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    platform_socket_shutdown_send(peer);
    char byte;
    long long n =
        platform_socket_wait_readable(peer, 15, 0) == 1 ? platform_socket_recv(peer, &byte, 1) : -1;
    platform_socket_close(peer);
    return static_cast<int>(n);
}

class Receiver : public nivo_test::log_fixture {
  protected:
    void SetUp() override
    {
        log_fixture::SetUp();
        *config_get() = config_record{};
        config_get()->base_directory = tsso_string_dup_w(u16(dir.path()).c_str());
        config_get()->dca_enabled = 1;
        config_get()->collector_enabled = 0;
        // The base directory comes from the registry value, as an installer writes it.
        registry_set_location(u16(dir.file("registry")).c_str());
        registry_key *key = nullptr;
        ASSERT_EQ(registry_create_key(REGISTRY_LOCAL_MACHINE,
                                      u"SOFTWARE\\Vantelor\\Vantelor Tessaline", &key),
                  0);
        ASSERT_EQ(registry_set_value_a(key, u"NIVOHome", base.path().data(), base.path().size()),
                  0);
        registry_close_key(key);
    }
    void TearDown() override
    {
        registry_set_location(nullptr);
        config_release(config_get());
        log_fixture::TearDown();
    }
    // Feeds the messages to one push and writes its files, as a connection does.
    void feed(const std::vector<std::string> &messages)
    {
        config_push push;
        for (const std::string &m : messages) {
            int file = config_push_message(&push, reinterpret_cast<const std::uint8_t *>(m.data()),
                                           m.size());
            if (file != 0) {
                config_receiver_write(u16(base.path()), file, push.type, std::move(push.content));
            }
        }
    }
    void old_files()
    {
        for (int file = 1; file <= CONFIG_RECEIVE_FILES; ++file) {
            std::string name = nivo_test::u8(config_push_file_name(file));
            ASSERT_TRUE(write_file(base.file(name), "old " + name + "\n"));
        }
    }
    std::vector<std::string> new_files()
    {
        std::vector<std::string> files;
        for (int file = 1; file <= CONFIG_RECEIVE_FILES; ++file) {
            std::string name = nivo_test::u8(config_push_file_name(file));
            files.push_back(name == "user-exclusion-list.ini" ? utf8_to_utf16le("new\r\n")
                                                              : "new " + name + "\n");
        }
        return files;
    }
    static long files_in(const std::string &directory)
    {
        auto entries = std::filesystem::directory_iterator(directory);
        return std::distance(entries, std::filesystem::directory_iterator());
    }

    nivo_test::temp_dir base;
};

TEST_F(Receiver, AgentPushWritesTheAgentsFilesAndDropsTheOthers)
{
    old_files();
    feed(push_messages("AGENT", new_files()));
    for (const char *name : {"nivo.ini", "coll-list.ini", "authnet-list.ini", "dc-list.ini"}) {
        EXPECT_EQ(read_file(base.file(name)), std::string("new ") + name + "\n") << name;
    }
    for (const char *name : {"gw-list.ini", "ip-exclusion-list.ini", "login-ip-exclusion-list.ini",
                             "logoff-exclusion-list.ini", "user-exclusion-list.ini"}) {
        EXPECT_EQ(read_file(base.file(name)), std::string("old ") + name + "\n") << name;
    }
    EXPECT_TRUE(logged("Receive Config Type: 1"));
    EXPECT_TRUE(logged("Receive Config file: dc-list.ini"));
    EXPECT_FALSE(logged("Receive Config file: gw-list.ini"));

    // A "STARTFILE" past the ninth stays on the last file; any other type writes everything.
    std::vector<std::string> files = new_files();
    files.push_back(utf8_to_utf16le("tenth\r\n"));
    feed(push_messages("OTHER", files));
    EXPECT_EQ(read_file(base.file("gw-list.ini")), "new gw-list.ini\n");
    EXPECT_EQ(read_file(base.file("user-exclusion-list.ini")),
              "\xFF\xFE" + utf8_to_utf16le("tenth\r\n"));
}

TEST_F(Receiver, NivoIniKeepsLocalHaRemoteConfigAndOtherRoleSections)
{
    // Without a local copy the received ones go as well, whatever their case and spacing.
    feed(push_messages("SUITE", {"[SETTINGS]\r\nX=1\r\n[ remote-config ]\r\nENABLED=TRUE\r\n"
                                 "[HA-SETTING]\r\nHA-MODE=BACKUP\r\n[Remote-Config]\r\nY=0"}));
    EXPECT_EQ(read_file(base.file("nivo.ini")), "[SETTINGS]\r\nX=1\r\n");

    config_get()->collector_enabled = 1;
    ASSERT_TRUE(write_file(base.file("nivo.ini"), "[NIV-COLLECTOR]\nENABLED=TRUE\n"
                                                  "[HA-SETTING]\nHA-ENABLED=TRUE\n"
                                                  "[NIV-AGENT]\nENABLED=TRUE\n"
                                                  "[LOGOFF-DETECTION]\nENABLED=TRUE\n"));
    feed(push_messages("AGENT", {"[SETTINGS]\nX=1\n[niv-collector]\nENABLED=FALSE\n[HA-SETTING]\n"
                                 "HA-ENABLED=FALSE\n[NIV-AGENT]\nDCA-MODE=EVENTLOG"}));
    EXPECT_EQ(read_file(base.file("nivo.ini")),
              "[SETTINGS]\nX=1\n[NIV-AGENT]\nDCA-MODE=EVENTLOG\r\n"
              "[NIV-COLLECTOR]\nENABLED=TRUE\n"
              "[LOGOFF-DETECTION]\nENABLED=TRUE\n"
              "[HA-SETTING]\nHA-ENABLED=TRUE\n");

    feed(push_messages("COLLECTOR", {"[NIV-AGENT]\nENABLED=FALSE\n[NIV-COLLECTOR]\nX=2\n"}));
    EXPECT_EQ(
        read_file(base.file("nivo.ini")),
        "[NIV-COLLECTOR]\nX=2\n[NIV-AGENT]\nDCA-MODE=EVENTLOG\r\n[HA-SETTING]\nHA-ENABLED=TRUE\n");
}

TEST_F(Receiver, MessageEdgesTheFirstZeroUnitAndAnOversizedFile)
{
    old_files();
    // A full 512-byte message without terminator is data, and so is a control text without its
    // 0x00; a narrow file ends at its first 0x00; an "ENDFILE" without its "STARTFILE" ends
    // nothing; the file over the limit is not written, the next one is.
    std::string full(512, 'a');
    std::vector<std::string> messages =
        push_messages("AGENT", {full, std::string(CONFIG_RECEIVE_FILE_LIMIT + 1, 'c'), "ok\n"});
    messages.insert(messages.begin() + 3,
                    {"ENDFILE", std::string("tail\0hidden", 11), std::string("ENDFILE\0", 8)});
    feed(messages);
    EXPECT_EQ(read_file(base.file("nivo.ini")), full + "ENDFILEtail");
    EXPECT_EQ(read_file(base.file("coll-list.ini")), "old coll-list.ini\n");
    EXPECT_TRUE(logged("receive_config_thread: coll-list.ini is larger than 1048576 bytes"));
    EXPECT_EQ(read_file(base.file("authnet-list.ini")), "ok\n");

    // The user exclusion list is UTF-16: the first data message ends at its 0x0000 unit, the
    // next is whole but its odd last byte.
    std::vector<std::string> files(8);
    files.push_back(utf8_to_utf16le("alice\r\nbob\r\n") + std::string(2, '\0') + "junk");
    messages = push_messages("COLLECTOR", files);
    messages.insert(messages.end() - 1, utf8_to_utf16le("carol\r\n") + "x");
    feed(messages);
    EXPECT_EQ(read_file(base.file("user-exclusion-list.ini")),
              "\xFF\xFE" + utf8_to_utf16le("alice\r\nbob\r\ncarol\r\n"));
    EXPECT_EQ(files_in(base.path()), 9); // no temporary file left
}

// A full disk: the write fails and the old file stays whole (a tmpfs of 64 KiB in a mount
// namespace of the test's own).
TEST_F(Receiver, FullDiskKeepsTheOldFile)
{
    if (nivo_test::ran_in_own_network_namespace(true)) {
        return;
    }
    std::string disk = base.file("disk");
    std::filesystem::create_directory(disk);
    ASSERT_EQ(
        nivo_test::run_tool({"/usr/bin/mount", "-t", "tmpfs", "-o", "size=64k", "tmpfs", disk},
                            dir.file("mount.out")),
        0);
    ASSERT_TRUE(write_file(disk + "/dc-list.ini", "dc1\n"));
    (void)write_file(disk + "/filler", std::string(60 * 1024, 'f'));
    EXPECT_EQ(config_receiver_write(u16(disk), 5, 1, std::string(16 * 1024, 'd')), -1);
    EXPECT_EQ(read_file(disk + "/dc-list.ini"), "dc1\n");
    EXPECT_EQ(files_in(disk), 2);
    EXPECT_TRUE(logged("config_receiver_write: "));
}

// The listener on its real port, in a network namespace of its own.
TEST_F(Receiver, ListenerTakesAdmittedPushesOnlyAndABrokenPushLeavesFilesWhole)
{
    if (nivo_test::ran_in_own_network_namespace()) {
        return;
    }
    old_files();
    // Only 10.0.0.0/8 may push: loopback is closed at once, and nothing is written.
    config_get()->remote_config_enabled = 1;
    ASSERT_EQ(parse_keyvalue(config_get(), u"REMOTE-CONFIG", u"ALLOWED-NETWORKS=10.0.0.0/8"), 0);
    ASSERT_EQ(config_server_start(), 0);
    EXPECT_FALSE(logged("configuration pushes are accepted from any address"));
    EXPECT_EQ(push_over_tcp(push_messages("AGENT", new_files())), 0);
    EXPECT_EQ(read_file(base.file("nivo.ini")), "old nivo.ini\n");
    EXPECT_TRUE(logged("config_server_thread: push from 127.0.0.1:"));

    // Admitted, a peer that ends mid-file: nivo.ini is written, coll-list.ini stays whole.
    ASSERT_EQ(parse_keyvalue(config_get(), u"REMOTE-CONFIG", u"ALLOWED-NETWORKS=127.0.0.0/8"), 0);
    std::vector<std::string> messages = push_messages("AGENT", {"newest\n", "partial"});
    messages.resize(6); // without the "ENDFILE" of coll-list.ini
    EXPECT_EQ(push_over_tcp(messages), 0);
    EXPECT_TRUE(nivo_test::eventually([&] {
        return read_file(base.file("nivo.ini")) == "newest\n";
    })) << read_file(base.file("nivo.ini"));
    EXPECT_EQ(read_file(base.file("coll-list.ini")), "old coll-list.ini\n");
    EXPECT_EQ(files_in(base.path()), 9);
}

} // namespace
