// The registry store on the system registry: enumeration order, case, failure codes, deletion,
// and values an installer writes.

#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/registry.h"

namespace {

constexpr const char16_t *TEST_KEY = u"SOFTWARE\\NivoTest\\RegistryWin32";

// Removes the test key and everything below it, and its parent when nothing else is left in it.
void
remove_test_tree()
{
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, reinterpret_cast<const wchar_t *>(TEST_KEY));
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\NivoTest");
}

std::u16string
below(const char16_t *name)
{
    return std::u16string(TEST_KEY) + u"\\" + name;
}

class RegistryWin32 : public ::testing::Test {
  protected:
    void SetUp() override
    {
        remove_test_tree();
    }
    void TearDown() override
    {
        remove_test_tree();
    }
};

TEST_F(RegistryWin32, TextValuesComeBackAsTheBytesSetAndTheSubkeysInCaseBlindOrder)
{
    const char16_t *names[] = {u"zed+127.0.0.9", u"Bob+127.0.0.2", u"alice+127.0.0.1",
                               u"\u00c9mile+127.0.0.3"};
    for (const char16_t *name : names) {
        registry_key *key = nullptr;
        ASSERT_EQ(registry_create_key(REGISTRY_LOCAL_MACHINE, below(name).c_str(), &key), 0);
        const char text[] = "30712345,1234567";
        ASSERT_EQ(registry_set_value_a(key, u"Time", text, std::strlen(text)), 0);
        registry_close_key(key);
    }

    registry_key *parent = nullptr;
    ASSERT_EQ(registry_open_key(REGISTRY_LOCAL_MACHINE, TEST_KEY, &parent), 0);
    std::vector<std::u16string> listed;
    char16_t name[64];
    int rc;
    for (std::uint32_t index = 0; (rc = registry_enum_key(parent, index, name, 64)) == 0; ++index) {
        listed.emplace_back(name);
    }
    EXPECT_EQ(rc, 1);
    EXPECT_EQ(listed, (std::vector<std::u16string>{u"alice+127.0.0.1", u"Bob+127.0.0.2",
                                                   u"zed+127.0.0.9", u"\u00c9mile+127.0.0.3"}));
    // A name that does not fit fails; the next index still answers.
    EXPECT_EQ(registry_enum_key(parent, 0, name, 5), -1);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA));
    EXPECT_EQ(registry_enum_key(parent, 1, name, 64), 0);

    // Read back with any case of the names, without a terminator, as the text was set.
    char value[64];
    std::size_t size = sizeof value;
    ASSERT_EQ(registry_get_value(REGISTRY_LOCAL_MACHINE, below(u"ALICE+127.0.0.1").c_str(), u"time",
                                 value, &size),
              0);
    EXPECT_EQ(std::string(value, size), "30712345,1234567");

    // A value that does not fit: -1, nothing stored, the size untouched.
    std::memset(value, 'x', sizeof value);
    size = 10;
    EXPECT_EQ(registry_get_value(REGISTRY_LOCAL_MACHINE, below(u"Bob+127.0.0.2").c_str(), u"Time",
                                 value, &size),
              -1);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA));
    EXPECT_EQ(size, 10u);
    EXPECT_EQ(value[0], 'x');

    // A missing key: "not found".
    size = sizeof value;
    EXPECT_EQ(
        registry_get_value(REGISTRY_LOCAL_MACHINE, below(u"nobody").c_str(), u"Time", value, &size),
        -1);
    EXPECT_EQ(GetLastError(), 2u);
    registry_key *missing = nullptr;
    EXPECT_EQ(registry_open_key(REGISTRY_LOCAL_MACHINE, below(u"nobody").c_str(), &missing), -1);
    EXPECT_EQ(GetLastError(), 2u);
    EXPECT_EQ(missing, nullptr);

    // Deleting: a key with subkeys stays, a leaf goes with its values, then "not found".
    registry_key *root = nullptr;
    ASSERT_EQ(registry_open_key(REGISTRY_LOCAL_MACHINE, u"SOFTWARE\\NivoTest", &root), 0);
    EXPECT_EQ(registry_delete_key(root, u"RegistryWin32"), -1);
    EXPECT_EQ(registry_delete_key(root, u""), -1);
    registry_close_key(root);
    EXPECT_EQ(registry_delete_key(parent, u"BOB+127.0.0.2"), 0);
    EXPECT_EQ(registry_delete_key(parent, u"Bob+127.0.0.2"), -1);
    EXPECT_EQ(GetLastError(), 2u);
    registry_close_key(parent);
}

TEST_F(RegistryWin32, InstallerValuesReadAsUtf8Text)
{
    registry_key *key = nullptr;
    ASSERT_EQ(registry_create_key(REGISTRY_LOCAL_MACHINE, TEST_KEY, &key), 0);
    registry_close_key(key);
    HKEY raw = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, reinterpret_cast<const wchar_t *>(TEST_KEY), 0,
                            KEY_SET_VALUE, &raw),
              ERROR_SUCCESS);
    // As an installer writes a path: UTF-16 with its terminator, letters beyond ASCII.
    const wchar_t home[] = L"C:\\Programme\\\u00dcberwachung";
    ASSERT_EQ(RegSetValueExW(raw, L"NIVOHome", 0, REG_SZ, reinterpret_cast<const BYTE *>(home),
                             sizeof home),
              ERROR_SUCCESS);
    SetEnvironmentVariableW(L"NIVO_TEST_DIR", L"D:\\nivo");
    const wchar_t expand[] = L"%NIVO_TEST_DIR%\\data";
    ASSERT_EQ(RegSetValueExW(raw, L"Expand", 0, REG_EXPAND_SZ,
                             reinterpret_cast<const BYTE *>(expand), sizeof expand),
              ERROR_SUCCESS);
    const DWORD number = 0x01020304;
    ASSERT_EQ(RegSetValueExW(raw, L"Number", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&number),
                             sizeof number),
              ERROR_SUCCESS);
    RegCloseKey(raw);

    char value[64];
    std::size_t size = sizeof value;
    ASSERT_EQ(registry_get_value(REGISTRY_LOCAL_MACHINE, TEST_KEY, u"NIVOHome", value, &size), 0);
    EXPECT_EQ(std::string(value, size), "C:\\Programme\\\xc3\x9c"
                                        "berwachung");
    size = sizeof value;
    ASSERT_EQ(registry_get_value(REGISTRY_LOCAL_MACHINE, TEST_KEY, u"Expand", value, &size), 0);
    EXPECT_EQ(std::string(value, size), "D:\\nivo\\data");
    size = sizeof value;
    ASSERT_EQ(registry_get_value(REGISTRY_LOCAL_MACHINE, TEST_KEY, u"Number", value, &size), 0);
    ASSERT_EQ(size, sizeof number);
    EXPECT_EQ(std::memcmp(value, &number, sizeof number), 0);

    // UTF-8 set through the 8-bit call is the same text for a reader of the wide value.
    ASSERT_EQ(registry_create_key(REGISTRY_LOCAL_MACHINE, TEST_KEY, &key), 0);
    const char utf8[] = "\xc3\x9c"
                        "ber";
    ASSERT_EQ(registry_set_value_a(key, u"Text", utf8, std::strlen(utf8)), 0);
    EXPECT_EQ(registry_set_value_a(key, u"Bad", "\xff", 1), -1);
    registry_close_key(key);
    wchar_t wide[16] = {};
    DWORD bytes = sizeof wide;
    ASSERT_EQ(RegGetValueW(HKEY_LOCAL_MACHINE, reinterpret_cast<const wchar_t *>(TEST_KEY), L"Text",
                           RRF_RT_REG_SZ, nullptr, wide, &bytes),
              ERROR_SUCCESS);
    EXPECT_EQ(std::wstring(wide), L"\u00dcber");
}

} // namespace
