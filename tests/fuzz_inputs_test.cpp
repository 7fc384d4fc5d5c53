// Inputs kept from fuzzing, replayed the way the fuzzer runs them: through a
// feed-mode parser into the real capture, selection and datagram chain.
#include <gtest/gtest.h>

#include "../fuzz/gate_input.h"
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

// The hand-made edge records of fuzz/edge_events.txt as one stream: the
// lines after its first "%%" line, less the "%%" lines, "\xNN" read as
// the byte it names.
std::string edge_events()
{
    std::string const file = read_file(std::string(TEST_DATA_DIR) + "/../../fuzz/edge_events.txt");
    std::string text;
    bool in_seeds = false;
    for (size_t at = 0, end; at < file.size(); at = end + 1) {
        end = std::min(file.find('\n', at), file.size());
        std::string const line = file.substr(at, end - at);
        if (line.compare(0, 2, "%%") == 0) {
            in_seeds = true;
            continue;
        }
        if (!in_seeds)
            continue;
        for (size_t i = 0; i < line.size(); ++i) {
            if (line.compare(i, 2, "\\x") == 0 && i + 3 < line.size()) {
                text += static_cast<char>(std::stoi(line.substr(i + 2, 2), nullptr, 16));
                i += 3;
            } else {
                text += line[i];
            }
        }
        text += '\n';
    }
    return text;
}

// The gate drops only events whose key the parser cannot match, and hands
// the parser every other event as it would without the key test: on every
// input kept from fuzzing the gate, and on the recorded streams and the
// edge records with each configured key the fuzzer picks from, in whole
// chunks and in 7-byte chunks with the events aged after each.
TEST(FuzzInputs, GateDropsOnlyEventsWhoseKeyCannotMatch)
{
    std::vector<std::string> inputs;
    for (std::string const& file : files_in(std::string(TEST_DATA_DIR) + "/gate-regressions"))
        inputs.push_back(read_file(file));
    std::vector<std::string> texts = {edge_events()};
    for (std::string const& file : files_in(TEST_DATA_DIR))
        if (file.size() > 4 && file.compare(file.size() - 4, 4, ".log") == 0)
            texts.push_back(read_file(file));
    ASSERT_GT(texts.size(), 20u);
    for (std::string const& text : texts)
        for (uint8_t key = 0; key < std::size(GATE_FUZZ_KEYS); ++key)
            for (char const* chunks : {"\x09\x00", "\x83\x2a"})
                inputs.push_back(std::string(chunks, 2) + static_cast<char>(key) + text);
    for (std::string const& input : inputs) {
        auto const data = reinterpret_cast<uint8_t const*>(input.data());
        size_t header = 0;
        gate_fuzz_key(data, input.size(), &header);
        if (LEAK_CHECKER && hits_known_parser_leak(input.data() + header, input.size() - header))
            continue;
        EXPECT_EQ(gate_disagreement(data, input.size()), "") << ::testing::PrintToString(input.substr(0, 80));
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
