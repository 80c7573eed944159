// Running the nivo-wrkst helper (see helper_run.h).

#include "platform/posix/helper_run.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include <string_view>

#include "platform/posix/utf8_path.h"
#include "platform/process.h"
#include "platform/wrkstquery.h"

namespace posix {

namespace {

constexpr unsigned int DEFAULT_TIMEOUT_MS = 20000;
constexpr std::size_t FIELD_LIMIT = 1024;
constexpr std::size_t ERROR_OUTPUT_LIMIT = 1024; // the tail of the helper's error output

std::atomic<platform_wrkst_failure_sink> g_failure_sink{nullptr};

// The helper: NIVO_WRKST_HELPER when set, otherwise nivo-wrkst beside the running program.
std::string
helper_path()
{
    const char *configured = std::getenv("NIVO_WRKST_HELPER");
    if (configured != nullptr && configured[0] != 0) {
        return configured;
    }
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) {
        return {};
    }
    std::string path(self, static_cast<std::size_t>(n));
    std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1) + "nivo-wrkst";
}

unsigned int
helper_timeout_ms()
{
    const char *configured = std::getenv("NIVO_WRKST_TIMEOUT_MS");
    if (configured != nullptr) {
        char *end = nullptr;
        unsigned long value = std::strtoul(configured, &end, 10);
        if (end != configured && *end == 0 && value > 0 && value <= 600000) {
            return static_cast<unsigned int>(value);
        }
    }
    return DEFAULT_TIMEOUT_MS;
}

// Hands a failed run to the sink: the helper's arguments, what went wrong and the tail of its
// error output, on one line with control characters escaped.
void
report_failure(const std::vector<std::string> &args, const std::string &what, const char *err,
               std::size_t err_size)
{
    platform_wrkst_failure_sink sink = g_failure_sink.load(std::memory_order_acquire);
    if (sink == nullptr) {
        return;
    }
    std::string text = "nivo-wrkst";
    for (const std::string &a : args) {
        text += " " + a;
    }
    text += ": " + what;
    if (err_size > 0) {
        text += ": ";
        for (std::size_t i = 0; i < err_size; ++i) {
            auto c = static_cast<unsigned char>(err[i]);
            if (c == '\n') {
                text += i + 1 < err_size ? "\\n" : "";
            } else if (c < 0x20 || c == 0x7F) {
                char escaped[8];
                std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
                text += escaped;
            } else {
                text += static_cast<char>(c);
            }
        }
    }
    sink(text.c_str());
}

// The answer's lines without the closing "end"; false when it is not in the expected form.
bool
parse_answer(std::string_view text, std::vector<std::vector<std::string>> *lines)
{
    bool ended = false;
    while (!text.empty()) {
        std::size_t eol = text.find('\n');
        if (eol == std::string_view::npos || ended) {
            return false; // an unterminated line, or anything after "end"
        }
        std::string_view line = text.substr(0, eol);
        text.remove_prefix(eol + 1);
        std::vector<std::string> fields;
        std::size_t start = 0;
        for (std::size_t i = 0; i <= line.size(); ++i) {
            if (i == line.size() || line[i] == '\t') {
                if (i - start > FIELD_LIMIT) {
                    return false;
                }
                fields.emplace_back(line.substr(start, i - start));
                start = i + 1;
            } else if (static_cast<unsigned char>(line[i]) < 0x20 || line[i] == 0x7F) {
                return false;
            }
        }
        if (fields.size() == 1 && fields[0] == "end") {
            ended = true;
            continue;
        }
        lines->push_back(std::move(fields));
    }
    return ended;
}

} // namespace

bool
helper_run(const std::vector<std::string> &args, const char16_t *account, const char16_t *password,
           std::vector<std::vector<std::string>> *lines)
{
    std::string program = helper_path();
    if (program.empty()) {
        report_failure(args, "no path to the helper", nullptr, 0);
        return false;
    }
    std::vector<const char *> argv{program.c_str()};
    for (const std::string &a : args) {
        argv.push_back(a.c_str());
    }
    argv.push_back(nullptr);
    // Account on the first line, the password is the rest, byte for byte.
    std::string input = to_utf8(account) + "\n" + to_utf8(password);
    std::vector<char> out(HELPER_OUTPUT_LIMIT);
    std::size_t size = 0;
    int status = 0;
    char err[ERROR_OUTPUT_LIMIT];
    std::size_t err_size = 0;
    unsigned int timeout_ms = helper_timeout_ms();
    int rc = platform_process_run_captured(argv.data(), input.data(), input.size(), out.data(),
                                           out.size(), &size, timeout_ms, &status, err, sizeof err,
                                           &err_size);
    std::memset(input.data(), 0, input.size());
    if (rc < 0) {
        report_failure(args, "could not be run (" + program + ": " + std::strerror(errno) + ")",
                       nullptr, 0);
        return false;
    }
    if (rc > 0) {
        report_failure(args,
                       "ended after " + std::to_string(timeout_ms) +
                           " ms or more output than an answer needs",
                       err, err_size);
        return false;
    }
    if (status != 0) {
        report_failure(args, "exit status " + std::to_string(status), err, err_size);
        return false;
    }
    if (!parse_answer(std::string_view(out.data(), size), lines)) {
        report_failure(args, "answer not understood", err, err_size);
        return false;
    }
    return true;
}

void
helper_report_failure(const std::vector<std::string> &args, const std::string &what)
{
    report_failure(args, what, nullptr, 0);
}

bool
helper_parse_number(const std::string &text, int base, unsigned long limit, unsigned long *value)
{
    if (text.empty() || text.size() > 16) {
        return false;
    }
    for (char c : text) {
        bool digit = (c >= '0' && c <= '9') ||
                     (base == 16 && ((c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F')));
        if (!digit) {
            return false;
        }
    }
    unsigned long long v = std::strtoull(text.c_str(), nullptr, base);
    if (v > limit) {
        return false;
    }
    *value = static_cast<unsigned long>(v);
    return true;
}

bool
helper_to_utf16(const std::string &text, std::u16string *out)
{
    std::vector<char16_t> buffer(text.size() + 1);
    if (from_utf8(text.data(), text.size(), buffer.data(), buffer.size()) == SIZE_MAX) {
        return false;
    }
    *out = buffer.data();
    return out->find(u'\uFFFD') == std::u16string::npos; // malformed UTF-8 is no answer
}

std::string
helper_host_text(const std::string &text)
{
    if (text.empty() || text[0] == '-') {
        return {};
    }
    for (char c : text) {
        bool ok = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                  c == '.' || c == '-' || c == ':';
        if (!ok) {
            return {};
        }
    }
    return text;
}

} // namespace posix

void
platform_wrkst_set_failure_sink(platform_wrkst_failure_sink sink)
{
    posix::g_failure_sink.store(sink, std::memory_order_release);
}
