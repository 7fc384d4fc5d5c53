// One fuzz input replayed twice through the gate and a feed-mode audit
// parser: once with the gate's key test and once with every event given to
// the parser. The events whose key the parser matches must be the same, in
// the same order, with the same records: the gate drops only events that
// cannot match. Shared by the libFuzzer target and the test that replays
// kept inputs.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <string>
#include <vector>

#include <auparse.h>
#include <libaudit.h>

#include "intake/gate.h"
#include "intake_input.h"

// Bytes in front of the audit text: the two of the intake's inputs (chunk
// class and age bit, chunk seed), then the key byte. A key byte below 0x80
// picks one of GATE_FUZZ_KEYS; from 0x80 on, its low four bits are the
// length of a key that follows it.
constexpr size_t GATE_FUZZ_HEADER_SIZE = 3;

// Configured keys the key byte picks from: the default, the kernel's
// spelling of no key, the empty key, near misses, keys the kernel writes in
// hex, and the separator of several keys.
constexpr char const* GATE_FUZZ_KEYS[] = {"velkoran", "(null)", "", "Velkoran", "velkoran2", "(none)",
                                          "a b", "a\"b", "x,y", "\x01", " "};

// One event the parser reported, as the key test sees it.
struct reported_event_t {
    std::string records; // its records' text, each followed by "\n"
    bool key_matched;    // the parser's key test held
};

// What the parser reported from one replay.
struct gate_replay_t {
    std::string const* key = nullptr;     // the configured key
    std::vector<reported_event_t> events; // every event reported, in order
};

// The parser's key test of the current event, as the capture makes it: the
// "key" fields of the first SYSCALL record, each interpreted and compared
// with key as a whole string.
inline bool parser_key_test(auparse_state_t* au, std::string const& key)
{
    if (auparse_first_record(au) <= 0)
        return false;
    unsigned int const records = auparse_get_num_records(au);
    for (unsigned int i = 0; i < records; ++i) {
        if (auparse_get_type(au) == AUDIT_SYSCALL) {
            bool matched = false;
            do {
                char const* name = auparse_get_field_name(au);
                if (name != nullptr && std::string(name) == "key") {
                    char const* value = auparse_interpret_field(au);
                    if (key.compare(value != nullptr ? value : "") == 0)
                        matched = true;
                }
            } while (auparse_next_field(au) > 0);
            return matched;
        }
        if (auparse_next_record(au) < 0)
            return false;
    }
    return false;
}

// Parser callback: notes each ready event's records and key test.
inline void note_reported_event(auparse_state_t* au, auparse_cb_event_t cb_event_type, void* user_data)
{
    if (cb_event_type != AUPARSE_CB_EVENT_READY)
        return;
    gate_replay_t& replay = *static_cast<gate_replay_t*>(user_data);
    reported_event_t event;
    if (auparse_first_record(au) > 0) {
        do {
            char const* text = auparse_get_record_text(au);
            event.records.append(text != nullptr ? text : "(none)").append("\n");
        } while (auparse_next_record(au) > 0);
    }
    event.key_matched = parser_key_test(au, *replay.key);
    replay.events.push_back(std::move(event));
}

// The configured key that the header of an input picks; *header_size gets
// the bytes in front of the audit text.
inline std::string gate_fuzz_key(uint8_t const* data, size_t size, size_t* header_size)
{
    *header_size = std::min(size, GATE_FUZZ_HEADER_SIZE);
    if (size < GATE_FUZZ_HEADER_SIZE)
        return GATE_FUZZ_KEYS[0];
    uint8_t const pick = data[2];
    if (pick < 0x80)
        return GATE_FUZZ_KEYS[pick % std::size(GATE_FUZZ_KEYS)];
    size_t const length = std::min(static_cast<size_t>(pick & 0x0f), size - GATE_FUZZ_HEADER_SIZE);
    *header_size += length;
    return std::string(reinterpret_cast<char const*>(data) + GATE_FUZZ_HEADER_SIZE, length);
}

// Feeds text through a gate that tests key (or, with test_key false, gives
// every event to the parser) in chunks drawn as the intake's fuzz inputs
// draw them from control and seed; returns what the parser reported.
inline gate_replay_t replay_through_gate(uint8_t control, uint8_t seed, char const* text, size_t left,
                                         std::string const& key, bool test_key)
{
    gate_replay_t replay;
    replay.key = &key;
    auparse_state_t* au = auparse_init(AUSOURCE_FEED, nullptr);
    if (au == nullptr)
        abort();
    auparse_set_escape_mode(au, AUPARSE_ESC_RAW);
    auparse_add_callback(au, note_reported_event, &replay, nullptr);
    feed_in_chunks(au, test_key ? &key : nullptr, control, seed, text, left);
    return replay;
}

// The events of replay whose key the parser matched.
inline std::vector<std::string> matched_events(gate_replay_t const& replay)
{
    std::vector<std::string> matched;
    for (reported_event_t const& event : replay.events)
        if (event.key_matched)
            matched.push_back(event.records);
    return matched;
}

// Replays one input both ways; returns an empty string when the gate
// agrees with the parser's key test, else what differs. The parser gets
// only events of the replay without the key test, in its order.
inline std::string gate_disagreement(uint8_t const* data, size_t size)
{
    size_t header = 0;
    std::string const key = gate_fuzz_key(data, size, &header);
    uint8_t const control = size > 0 ? data[0] : 0;
    uint8_t const seed = size > 1 ? data[1] : 0;
    char const* text = reinterpret_cast<char const*>(data) + header;
    gate_replay_t const tested = replay_through_gate(control, seed, text, size - header, key, true);
    gate_replay_t const all = replay_through_gate(control, seed, text, size - header, key, false);

    std::vector<std::string> const want = matched_events(all), got = matched_events(tested);
    if (want != got) {
        size_t i = 0;
        while (i < want.size() && i < got.size() && want[i] == got[i])
            ++i;
        return "key-matched events differ at " + std::to_string(i) + " (" + std::to_string(got.size()) +
               " with the key test, " + std::to_string(want.size()) + " without): with the key test:\n" +
               (i < got.size() ? got[i] : "(none)\n") + "without:\n" + (i < want.size() ? want[i] : "(none)\n");
    }
    // What the parser got with the key test is a part of what it got
    // without, in the same order.
    size_t j = 0;
    for (reported_event_t const& event : tested.events) {
        while (j < all.events.size() && all.events[j].records != event.records)
            ++j;
        if (j == all.events.size())
            return "an event reached the parser only with the key test, or in another order:\n" + event.records;
        ++j;
    }
    return "";
}
