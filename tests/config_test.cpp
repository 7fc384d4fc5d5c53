// load_config over real velkoran.ini files in a temporary directory.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include "frame/config.h"
#include "support.h"

namespace {

// One configuration file and the three settings it must yield.
struct config_case_t {
    char const* name;        // what the case shows
    char const* ini;         // content of velkoran.ini, or null for no file
    char const* data_dir;    // expected data_directory
    char const* log_dir;     // expected log_directory
    char const* key;         // expected realtime.key
};

constexpr char const* DATA = "/var/lib/velkoran";
constexpr char const* LOGS = "/var/log/velkoran";
constexpr char const* KEY = "velkoran";

// settings, then one comment line that makes the file exactly size bytes.
std::string sized_ini(std::string const& settings, size_t size)
{
    return settings + ";" + std::string(size - settings.size() - 2, 'x') + "\n";
}

// A valid file of exactly the size limit is read like any other.
std::string const AT_SIZE_LIMIT = sized_ini("log_directory = /srv/log\n", CONFIG_SIZE_MAX);

config_case_t const CASES[] = {
    {"no file", nullptr, DATA, LOGS, KEY},
    {"only log_directory", "log_directory = /srv/log\n", DATA, "/srv/log", KEY},
    {"all three, blanks trimmed",
     "  data_directory =  /srv/data  \nlog_directory=/srv/log\n[realtime]\n  key = fim \n",
     "/srv/data", "/srv/log", "fim"},
    {"bad line after a good one", "data_directory = /srv/data\nno equals sign\n", DATA, LOGS, KEY},
    {"unclosed section header", "data_directory = /srv/data\n[realtime\nkey = fim\n", DATA, LOGS, KEY},
    {"duplicate top-level key", "log_directory = /a\nlog_directory = /b\n", DATA, LOGS, KEY},
    {"duplicate key in section", "[realtime]\nkey = a\nkey = b\n", DATA, LOGS, KEY},
    {"duplicate section", "[realtime]\nkey = a\n[realtime]\nother = b\n", DATA, LOGS, KEY},
    {"empty value is kept", "log_directory =\n", DATA, "", KEY},
    {"empty key is kept", "[realtime]\nkey =\n", DATA, LOGS, ""},
    {"directory inside a section is not seen",
     "log_directory = /srv/log\n[other]\ndata_directory = /x\n[realtime]\ndata_directory = /y\n",
     DATA, "/srv/log", KEY},
    {"key outside its section is not seen", "key = top\n[other]\nkey = other\n", DATA, LOGS, KEY},
    {"top-level realtime.key is not the key", "realtime.key = dotted\n", DATA, LOGS, KEY},
    {"names are case-sensitive", "Data_Directory = /x\n[Realtime]\nkey = y\n", DATA, LOGS, KEY},
    {"relative and trailing-slash values unchanged", "data_directory = run/\nlog_directory = ~/log/\n",
     "run/", "~/log/", KEY},
    {"a file of exactly the size limit", AT_SIZE_LIMIT.c_str(), DATA, "/srv/log", KEY},
};

class config_file : public ::testing::TestWithParam<config_case_t> {};

TEST_P(config_file, yields_settings_silently)
{
    config_case_t const& c = GetParam();
    temp_dir_t dir;
    if (c.ini != nullptr)
        write_file(dir.path + "/velkoran.ini", c.ini);

    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    ptree const tree = load_config(dir.path);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");

    EXPECT_EQ(tree.get_child("data_directory").get_value<std::string>(), c.data_dir);
    EXPECT_EQ(tree.get_child("log_directory").get_value<std::string>(), c.log_dir);
    EXPECT_EQ(tree.get_child("realtime.key").get_value<std::string>(), c.key);
}

INSTANTIATE_TEST_SUITE_P(cases, config_file, ::testing::ValuesIn(CASES),
                         [](auto const& info) {
                             std::string name;
                             for (char const* p = info.param.name; *p; ++p)
                                 name += isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
                             return name;
                         });

// The tree holds the three settings and nothing of the file's other content.
TEST(config_tree, has_exactly_three_nodes_in_order)
{
    temp_dir_t dir;
    write_file(dir.path + "/velkoran.ini",
               "extra = 1\nlog_directory = /srv/log\n[realtime]\nkey = fim\nmore = 2\n"
               "[other]\nx = y\n");
    ptree const tree = load_config(dir.path);

    EXPECT_EQ(tree.data(), "");
    std::vector<std::pair<std::string, std::string>> nodes;
    for (auto const& node : tree)
        nodes.emplace_back(node.first, node.second.data());
    std::vector<std::pair<std::string, std::string>> const expected = {
        {"data_directory", DATA}, {"log_directory", "/srv/log"}, {"realtime", ""}};
    EXPECT_EQ(nodes, expected);

    ptree const& realtime = tree.get_child("realtime");
    ASSERT_EQ(realtime.size(), 1u);
    EXPECT_EQ(realtime.begin()->first, "key");
    EXPECT_EQ(realtime.begin()->second.data(), "fim");
    EXPECT_TRUE(realtime.begin()->second.empty());
    EXPECT_TRUE(tree.get_child("data_directory").empty());
    EXPECT_TRUE(tree.get_child("log_directory").empty());
}

// A directory given with a trailing "/" still finds its file.
TEST(config_directory, trailing_slash_reads_the_file)
{
    temp_dir_t dir;
    write_file(dir.path + "/velkoran.ini", "data_directory = /srv/data\n");
    ptree const tree = load_config(dir.path + "/");
    EXPECT_EQ(tree.get<std::string>("data_directory"), "/srv/data");
}

// A velkoran.ini that cannot be read as a file gives the defaults, silently.
// (Tests run as root, so a directory in its place stands for "unreadable".)
TEST(config_directory, unreadable_file_gives_defaults)
{
    temp_dir_t dir;
    ASSERT_EQ(mkdir((dir.path + "/velkoran.ini").c_str(), 0755), 0);
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    ptree tree;
    EXPECT_NO_THROW(tree = load_config(dir.path));
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(tree.get<std::string>("data_directory"), DATA);
    EXPECT_EQ(tree.get<std::string>("log_directory"), LOGS);
    EXPECT_EQ(tree.get<std::string>("realtime.key"), KEY);
}

} // namespace

namespace {

// The shipped file spells out the defaults; it must parse, or an admin's
// edit of it would be ignored in silence.
TEST(config_shipped, commented_file_parses_and_an_edit_takes_effect)
{
    std::string const shipped = read_file(std::string(TEST_DATA_DIR) + "/../../packaging/velkoran.ini");
    ASSERT_NE(shipped.find("key = velkoran"), std::string::npos);
    temp_dir_t dir;
    std::string edited = shipped;
    edited.replace(edited.find("key = velkoran"), 14, "key = edited");
    write_file(dir.path + "/velkoran.ini", edited);
    ptree const config = load_config(dir.path);
    EXPECT_EQ(config.get<std::string>("realtime.key"), "edited");
    EXPECT_EQ(config.get<std::string>("data_directory"), DATA);
    EXPECT_EQ(config.get<std::string>("log_directory"), LOGS);
}

} // namespace
