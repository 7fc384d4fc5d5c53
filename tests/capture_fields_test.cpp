// Which field wins when a record repeats or reorders the fields that capture
// reads: the recorded creation event with one record edited, run through the
// real event loop to a real agent socket.
#include <gtest/gtest.h>

#include "support.h"

struct field_case_t {
    char const* label;                 // names the case in the test list
    char const* line_marker;           // the record to edit holds this text
    char const* from;                  // replaced once in that record
    char const* to;
    std::vector<std::string> expected; // datagrams the agent receives
};

void PrintTo(field_case_t const& c, std::ostream* os)
{
    *os << c.label;
}

// The recorded event with the first from in the line holding marker replaced.
static std::string edited(std::string text, field_case_t const& c)
{
    size_t line = text.find(c.line_marker);
    EXPECT_NE(line, std::string::npos) << c.line_marker;
    line = text.rfind('\n', line) + 1; // npos + 1 is 0: the first line
    size_t at = text.find(c.from, line);
    EXPECT_LT(at, text.find('\n', line)) << c.from;
    return text.replace(at, strlen(c.from), c.to);
}

class FieldOrderTest : public ::testing::TestWithParam<field_case_t> {};

TEST_P(FieldOrderTest, AgentReceives)
{
    field_case_t const& c = GetParam();
    EXPECT_EQ(datagrams_for(edited(test_data("create_redirect.log"), c)), c.expected);
}

static std::string const NEW_TXT = "2:F:0:/tmp/velkoran-rec/new.txt";

INSTANTIATE_TEST_SUITE_P(
    RepeatedAndMovedFields, FieldOrderTest,
    ::testing::Values(
        field_case_t{"as_recorded", "type=SYSCALL", " uid=0 ", " uid=0 ", {NEW_TXT}},
        field_case_t{"last_uid_wins", "type=SYSCALL", " uid=0 ", " uid=7 uid=1000 ",
                     {"2:F:1000:/tmp/velkoran-rec/new.txt"}},
        field_case_t{"last_a0_wins_dirfd", "type=SYSCALL", " a0=ffffff9c ", " a0=ffffff9c a0=3 ", {}},
        field_case_t{"last_a0_wins_at_fdcwd", "type=SYSCALL", " a0=ffffff9c ", " a0=3 a0=ffffff9c ",
                     {NEW_TXT}},
        field_case_t{"last_a2_wins_read_only", "type=SYSCALL", " a2=241 ", " a2=241 a2=0 ", {}},
        field_case_t{"key_before_syscall", "type=SYSCALL", " syscall=257 ",
                     " key=\"velkoran\" syscall=257 ", {NEW_TXT}},
        field_case_t{"matching_key_then_other_key", "type=SYSCALL", "key=\"velkoran\"",
                     "key=\"velkoran\" key=\"other\"", {NEW_TXT}},
        field_case_t{"unquoted_null_name_then_name", "nametype=CREATE", " name=\"new.txt\"",
                     " name=(null) name=\"new.txt\"", {NEW_TXT}},
        field_case_t{"empty_name_then_name", "nametype=CREATE", " name=\"new.txt\"",
                     " name=\"\" name=\"new.txt\"", {NEW_TXT}},
        field_case_t{"first_name_wins", "nametype=CREATE", " name=\"new.txt\"",
                     " name=\"new.txt\" name=\"other.txt\"", {NEW_TXT}},
        field_case_t{"quoted_null_is_a_name", "nametype=CREATE", " name=\"new.txt\"",
                     " name=\"(null)\"", {"2:F:0:/tmp/velkoran-rec/(null)"}},
        field_case_t{"first_non_empty_mode_wins_other", "nametype=CREATE", " mode=0100644 ",
                     " mode=zz mode=0100644 ", {}},
        field_case_t{"first_mode_wins_file", "nametype=CREATE", " mode=0100644 ",
                     " mode=0100644 mode=040755 ", {NEW_TXT}},
        field_case_t{"mode_before_name", "nametype=CREATE", " item=1 ", " item=1 mode=040755 ",
                     {"2:D:0:/tmp/velkoran-rec/new.txt/"}},
        field_case_t{"no_mode_field", "nametype=CREATE", " mode=0100644 ", " ", {}},
        field_case_t{"objtype_first_wins", "nametype=CREATE", " nametype=CREATE",
                     " objtype=PARENT nametype=CREATE", {}},
        field_case_t{"nametype_first_wins", "nametype=CREATE", " nametype=CREATE",
                     " nametype=CREATE objtype=PARENT", {NEW_TXT}},
        field_case_t{"parent_made_normal", "nametype=PARENT", " nametype=PARENT", " nametype=NORMAL",
                     {"2:D:0:/tmp/velkoran-rec/", NEW_TXT}}),
    [](::testing::TestParamInfo<field_case_t> const& info) { return std::string(info.param.label); });
