// Inputs kept from fuzzing, replayed the way the fuzzer runs them: through a
// feed-mode parser into the real capture, selection and datagram chain.
#include <gtest/gtest.h>

#include "../fuzz/intake_input.h"
#include "agent/agent.h"
#include "support.h"

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool LEAK_CHECKER = true;
#else
constexpr bool LEAK_CHECKER = false;
#endif

// Replays input and returns the datagrams the agent received.
std::vector<std::string> replay(std::string const& input)
{
    temp_dir_t dir;
    agent_reader_t reader(dir.path + "/events.sock");
    EXPECT_EQ(open_agent_socket(reader.path), 0);
    feed_fuzz_input(reinterpret_cast<uint8_t const*>(input.data()), input.size(), "velkoran");
    reader.stop();
    return reader.received;
}

// Inputs that once broke the intake: every datagram they cause is well formed.
TEST(FuzzInputs, RegressionsRunCleanly)
{
    std::vector<std::string> const inputs = files_in(std::string(TEST_DATA_DIR) + "/fuzz-regressions");
    if (inputs.empty())
        GTEST_SKIP() << "no kept inputs";
    for (std::string const& file : inputs)
        for (std::string const& d : replay(read_file(file)))
            EXPECT_TRUE(datagram_well_formed(d)) << file << ": " << d;
}

// Inputs on which the audit library itself leaks: the fuzzer must recognise
// them to skip them, and without the leak checker they run cleanly.
TEST(FuzzInputs, KnownParserLeaksAreRecognised)
{
    std::vector<std::string> const inputs = files_in(std::string(TEST_DATA_DIR) + "/../../fuzz/known-parser-leaks");
    ASSERT_FALSE(inputs.empty());
    for (std::string const& file : inputs) {
        std::string const input = read_file(file);
        EXPECT_TRUE(hits_known_parser_leak(input.data() + FUZZ_HEADER_SIZE, input.size() - FUZZ_HEADER_SIZE))
            << file;
        if (LEAK_CHECKER)
            continue;
        for (std::string const& d : replay(input))
            EXPECT_TRUE(datagram_well_formed(d)) << file << ": " << d;
    }
}

// The fuzzer's oracle: the datagram form, and what falls outside it.
TEST(FuzzInputs, DatagramFormCheck)
{
    for (char const* good : {"2:F:0:/", "2:F:1000:/a:b", "2:D:0:/", "2:D:4294967295:/x/", "2:F:7:rel"})
        EXPECT_TRUE(datagram_well_formed(good)) << good;
    std::string const zero_in_path("2:F:1:/a\0b", 10);
    for (char const* bad : {"", "2:F:0:", "1:F:0:/x", "2:X:0:/x", "2:F::/x", "2:F:01:/x", "2:F:-1:/x",
                            "2:F:+1:/x", "2:F:4294967296:/x", "2:F:12345678901:/x", "2:D:0:/x", "2:F:0/x",
                            "2:F: 1:/x"})
        EXPECT_FALSE(datagram_well_formed(bad)) << bad;
    EXPECT_FALSE(datagram_well_formed(zero_in_path));
}

} // namespace
