// The path datagram as a real bound agent socket receives it.
#include <gtest/gtest.h>

#include "agent/agent.h"
#include "support.h"

struct datagram_case_t {
    char const* path;
    file_type_e type;
    uint32_t uid;
    char const* expected; // nullptr: nothing may arrive
};

void PrintTo(datagram_case_t const& c, std::ostream* os)
{
    *os << '"' << c.path << "\" kind " << c.type << " uid " << c.uid;
}

class DatagramTest : public ::testing::TestWithParam<datagram_case_t> {};

TEST_P(DatagramTest, AgentReceivesExactBytes)
{
    datagram_case_t const& c = GetParam();
    temp_dir_t dir;
    agent_sink_t agent(dir.path + "/events.sock");
    ASSERT_EQ(open_agent_socket(agent.path), 0);

    send_path_to_agent(c.path, c.type, c.uid);
    // A marker after the case proves that nothing else was queued before it.
    send_path_to_agent("/marker", FILE_TYPE_REGULAR, 0);

    std::vector<std::string> received = agent.drain(1000);
    std::vector<std::string> expected;
    if (c.expected != nullptr)
        expected.push_back(c.expected);
    expected.push_back("2:F:0:/marker");
    EXPECT_EQ(received, expected);
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, DatagramTest,
    ::testing::Values(
        datagram_case_t{"/srv/data/report.txt", FILE_TYPE_REGULAR, 1000, "2:F:1000:/srv/data/report.txt"},
        datagram_case_t{"/srv/data/new", FILE_TYPE_DIRECTORY, 0, "2:D:0:/srv/data/new/"},
        datagram_case_t{"/", FILE_TYPE_DIRECTORY, 0, "2:D:0:/"},
        datagram_case_t{"/srv/data/new/", FILE_TYPE_DIRECTORY, 7, "2:D:7:/srv/data/new/"},
        datagram_case_t{"/srv/new/.", FILE_TYPE_DIRECTORY, 0, "2:D:0:/srv/new/./"},
        datagram_case_t{"/srv/odd/", FILE_TYPE_REGULAR, 5, "2:F:5:/srv/odd/"},
        datagram_case_t{"/tmp/a:b", FILE_TYPE_REGULAR, 4294967295u, "2:F:4294967295:/tmp/a:b"},
        datagram_case_t{"relative/f", FILE_TYPE_REGULAR, 10, "2:F:10:relative/f"},
        datagram_case_t{"/tmp/line\nbreak", FILE_TYPE_REGULAR, 1, "2:F:1:/tmp/line\nbreak"},
        datagram_case_t{"/dev/null", FILE_TYPE_OTHER, 0, nullptr},
        datagram_case_t{"/dev/null", static_cast<file_type_e>(3), 0, nullptr},
        datagram_case_t{"", FILE_TYPE_REGULAR, 0, nullptr},
        datagram_case_t{"", FILE_TYPE_DIRECTORY, 0, nullptr}));

TEST(AgentSocket, DatagramLengthsHaveNoTerminator)
{
    temp_dir_t dir;
    agent_sink_t agent(dir.path + "/events.sock");
    ASSERT_EQ(open_agent_socket(agent.path), 0);
    send_path_to_agent("/srv/data/new", FILE_TYPE_DIRECTORY, 0);
    std::vector<std::string> received = agent.drain(1000);
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0].size(), 20u);
}

TEST(AgentSocket, AddressIsCutAt107BytesAndZeroFilled)
{
    std::string const long_path(150, 'x');
    ASSERT_EQ(open_agent_socket("/" + long_path), 0);
    EXPECT_EQ(agent_address.sun_family, AF_UNIX);
    EXPECT_EQ(std::string(agent_address.sun_path), ("/" + long_path).substr(0, 107));
    EXPECT_EQ(agent_address.sun_path[107], '\0');
    EXPECT_EQ(AGENT_ADDRESS_LENGTH, 110u);
}

TEST(AgentSocket, LateAgentReceivesWhatIsSentAfterItBinds)
{
    temp_dir_t dir;
    std::string const socket_path = dir.path + "/events.sock";
    ASSERT_EQ(open_agent_socket(socket_path), 0);
    send_path_to_agent("/lost/before", FILE_TYPE_REGULAR, 0); // nobody bound: dropped silently

    agent_sink_t agent(socket_path);
    send_path_to_agent("/kept/after", FILE_TYPE_REGULAR, 0);
    EXPECT_EQ(agent.drain(1000), std::vector<std::string>{"2:F:0:/kept/after"});
}

TEST(AgentSocket, RestartedAgentReceivesAgain)
{
    temp_dir_t dir;
    std::string const socket_path = dir.path + "/events.sock";
    ASSERT_EQ(open_agent_socket(socket_path), 0);
    {
        agent_sink_t first(socket_path);
        send_path_to_agent("/one", FILE_TYPE_REGULAR, 0);
        EXPECT_EQ(first.drain(1000), std::vector<std::string>{"2:F:0:/one"});
    }
    agent_sink_t second(socket_path);
    send_path_to_agent("/two", FILE_TYPE_REGULAR, 0);
    EXPECT_EQ(second.drain(1000), std::vector<std::string>{"2:F:0:/two"});
}
