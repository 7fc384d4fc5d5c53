// The log over real files: stamps, appending, modes, long lines, silence.
#include <cstdlib>
#include <ctime>
#include <regex>

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "frame/log.h"
#include "support.h"

namespace {

// "%Y-%m-%d %H:%M:%S" of the given instant in the current time zone.
std::string local_stamp(time_t when)
{
    struct tm local;
    localtime_r(&when, &local);
    char text[32];
    strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    return text;
}

// Splits text after each line feed; a last piece without one is kept.
std::vector<std::string> lines_of(std::string const& text)
{
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        end = end == std::string::npos ? text.size() : end + 1;
        lines.push_back(text.substr(start, end - start));
        start = end;
    }
    return lines;
}

// Checks that line is "<stamp> <message>\n" with a well-formed stamp taken
// between the instants before and after; returns the stamp.
std::string expect_line(std::string const& line, std::string const& message, time_t before,
                        time_t after)
{
    static std::regex const stamped(R"(^(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}) ([^]*)$)");
    std::smatch match;
    EXPECT_TRUE(std::regex_match(line, match, stamped)) << line;
    if (match.empty())
        return "";
    EXPECT_EQ(match.str(2), message + "\n");
    std::string const stamp = match.str(1);
    EXPECT_LE(local_stamp(before), stamp);
    EXPECT_GE(local_stamp(after), stamp);
    return stamp;
}

// Every test leaves the process-wide log closed.
class log_file : public ::testing::Test {
protected:
    void TearDown() override { close_log(); }
    temp_dir_t dir;
    std::string const path = dir.path + "/realtime.log";
};

TEST_F(log_file, appends_stamped_lines_after_existing_content)
{
    write_file(path, "earlier run\n");
    time_t const before = time(nullptr);
    open_log(path.c_str());
    log("---");
    log("Real-time scanning plugin started");
    time_t const after = time(nullptr);
    close_log();

    std::vector<std::string> const lines = lines_of(read_file(path));
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "earlier run\n");
    expect_line(lines[1], "---", before, after);
    expect_line(lines[2], "Real-time scanning plugin started", before, after);
}

// Each line lands at the current end, even after another process truncated it.
TEST_F(log_file, writes_at_end_after_truncation)
{
    open_log(path.c_str());
    log("first line that is long enough to leave a hole");
    ASSERT_EQ(truncate(path.c_str(), 0), 0);
    time_t const before = time(nullptr);
    log("second");
    time_t const after = time(nullptr);

    std::vector<std::string> const lines = lines_of(read_file(path));
    ASSERT_EQ(lines.size(), 1u);
    expect_line(lines[0], "second", before, after);
}

TEST_F(log_file, new_file_mode_is_0640_minus_umask)
{
    struct mode_case_t {
        mode_t umask_bits; // umask while the log is opened
        mode_t expected;   // resulting permission bits
    };
    for (mode_case_t const c : {mode_case_t{022, 0640}, {027, 0640}, {077, 0600}, {0, 0640}}) {
        SCOPED_TRACE(c.umask_bits);
        unlink(path.c_str());
        mode_t const saved = umask(c.umask_bits);
        open_log(path.c_str());
        umask(saved);
        close_log();
        struct stat info;
        ASSERT_EQ(stat(path.c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 07777, c.expected);
    }
}

// 234 characters fit the fixed line buffer, 235 do not; the lines agree.
TEST_F(log_file, formats_on_both_sides_of_the_fixed_buffer_give_whole_lines)
{
    std::string const fits(234, 'a');
    std::string const spills(235, 'b');
    time_t const before = time(nullptr);
    open_log(path.c_str());
    log(fits.c_str());
    log(spills.c_str());
    time_t const after = time(nullptr);
    close_log();

    std::vector<std::string> const lines = lines_of(read_file(path));
    ASSERT_EQ(lines.size(), 2u);
    expect_line(lines[0], fits, before, after);
    expect_line(lines[1], spills, before, after);
}

// Conversions are expanded from the arguments on both paths, whatever the
// length of the result.
TEST_F(log_file, conversions_expand_past_256_characters)
{
    std::string const long_argument(5000, 'z');
    std::string const long_format = std::string(300, 'f') + " %d|%s";
    time_t const before = time(nullptr);
    open_log(path.c_str());
    log("%d:%s:%d", 42, long_argument.c_str(), -7);
    log(long_format.c_str(), 1234567, "end");
    time_t const after = time(nullptr);
    close_log();

    std::vector<std::string> const lines = lines_of(read_file(path));
    ASSERT_EQ(lines.size(), 2u);
    expect_line(lines[0], "42:" + long_argument + ":-7", before, after);
    expect_line(lines[1], std::string(300, 'f') + " 1234567|end", before, after);
}

// Without an open log nothing is written anywhere, and closing twice is harmless.
TEST_F(log_file, silent_without_an_open_log)
{
    write_file(path, "untouched\n");
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    close_log();
    log("before open %d", 1);
    open_log(path.c_str());
    close_log();
    log("after close %d", 2);
    close_log();
    log("after second close");
    open_log((dir.path + "/missing/realtime.log").c_str());
    log("log in a missing directory");
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(read_file(path), "untouched\n");
    EXPECT_NE(access((dir.path + "/missing").c_str(), F_OK), 0);
}

// A second open closes the first log; a failed one leaves no log at all.
TEST_F(log_file, reopen_switches_files_and_failed_open_leaves_none)
{
    std::string const other = dir.path + "/other.log";
    time_t const before = time(nullptr);
    open_log(path.c_str());
    log("one");
    open_log(other.c_str());
    log("two");
    time_t const after = time(nullptr);
    open_log((dir.path + "/missing/realtime.log").c_str());
    log("three");
    close_log();

    std::vector<std::string> const first = lines_of(read_file(path));
    std::vector<std::string> const second = lines_of(read_file(other));
    ASSERT_EQ(first.size(), 1u);
    ASSERT_EQ(second.size(), 1u);
    expect_line(first[0], "one", before, after);
    expect_line(second[0], "two", before, after);
}

// The stamp is local time: one clock, two zones, two different stamps.
TEST_F(log_file, stamp_follows_the_local_time_zone)
{
    char const* saved = getenv("TZ");
    std::string const saved_tz = saved ? saved : "";
    struct zone_case_t {
        char const* tz;      // TZ setting while logging
        long offset;         // its offset from UTC in seconds
        std::string stamp;   // the stamp written under it
    };
    std::vector<zone_case_t> zones = {{"UTC", 0, ""}, {"Asia/Kolkata", 5 * 3600 + 30 * 60, ""}};

    open_log(path.c_str());
    for (zone_case_t& zone : zones) {
        SCOPED_TRACE(zone.tz);
        setenv("TZ", zone.tz, 1);
        tzset();
        time_t const before = time(nullptr);
        log("%s", zone.tz);
        time_t const after = time(nullptr);
        std::vector<std::string> const lines = lines_of(read_file(path));
        ASSERT_FALSE(lines.empty());
        // The expected bounds are computed as UTC shifted by the zone's
        // offset, independently of the time zone machinery under test.
        setenv("TZ", "UTC", 1);
        tzset();
        zone.stamp = expect_line(lines.back(), zone.tz, before + zone.offset, after + zone.offset);
    }
    if (saved)
        setenv("TZ", saved_tz.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();
    EXPECT_NE(zones[0].stamp, zones[1].stamp);
}

} // namespace

namespace {

TEST_F(log_file, long_line_is_dropped_whole_when_its_format_cannot_be_allocated)
{
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the address sanitizer cannot run in a capped address space";
#endif
    write_file(path, "before\n");
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        open_log(path.c_str());
        // A 64 MiB format whose cut at 255 characters would end inside a
        // conversion; the address space is then capped so that no copy of
        // it can be allocated.
        std::string format(64 << 20, 'x');
        format.replace(230, 4, "%s%d");
        struct rlimit cap;
        getrlimit(RLIMIT_AS, &cap);
        cap.rlim_cur = static_cast<rlim_t>(format.size()) * 2;
        if (setrlimit(RLIMIT_AS, &cap) != 0 || malloc(format.size()) != nullptr)
            _exit(2); // the cap does not hold: nothing to test
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-security"
        log(format.c_str(), "arg", 1);
#pragma GCC diagnostic pop
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_NE(WEXITSTATUS(status), 2) << "could not cap the address space";
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(read_file(path), "before\n");
}

} // namespace
