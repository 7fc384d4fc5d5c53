// One fuzz input replayed through the intake: a feed-mode audit parser set up
// as event_loop sets it up, fed in chunks that the input chooses, calling the
// real capture, selection and datagram chain. Shared by the libFuzzer target
// and the test that replays kept inputs.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <iterator>
#include <string>
#include <vector>

#include <auparse.h>
#include <libaudit.h>

#include "intake/capture.h"
#include "intake/gate.h"

// Largest chunk of each chunk class; the low bits of the first input byte
// pick the class.
constexpr size_t FUZZ_CHUNK_LIMITS[] = {1, 2, 3, 7, 16, 61, 256, 1024, 4096, 8970};
// Bit of the first input byte that asks for an ageing call after every chunk.
constexpr uint8_t FUZZ_AGE_EVERY_CHUNK = 0x80;
// Bytes in front of the audit text: the chunk control byte and the seed of
// the chunk lengths.
constexpr size_t FUZZ_HEADER_SIZE = 2;

// True when d has the path datagram's form: "2:", "F" or "D", ":", a uid in
// decimal (no sign, no leading zero, at most 4294967295), ":", a non-empty
// path without zero bytes, which ends in "/" for "D".
inline bool datagram_well_formed(std::string const& d)
{
    if (d.size() < 7 || d[0] != '2' || d[1] != ':' || (d[2] != 'F' && d[2] != 'D') || d[3] != ':')
        return false;
    size_t const end = d.find(':', 4);
    if (end == std::string::npos || end == 4 || end - 4 > 10 || (d[4] == '0' && end > 5))
        return false;
    uint64_t uid = 0;
    for (size_t i = 4; i < end; ++i) {
        if (d[i] < '0' || d[i] > '9')
            return false;
        uid = uid * 10 + static_cast<uint64_t>(d[i] - '0');
    }
    if (uid > UINT32_MAX)
        return false;
    std::string const path = d.substr(end + 1);
    if (path.empty() || path.find('\0') != std::string::npos)
        return false;
    return d[2] == 'F' || path.back() == '/';
}

// The blank-separated words of s (runs of blanks count as one).
inline std::vector<std::string> split_words(std::string const& s)
{
    std::vector<std::string> words;
    size_t at = 0;
    while (at < s.size()) {
        size_t end = s.find(' ', at);
        if (end == std::string::npos)
            end = s.size();
        if (end > at)
            words.push_back(s.substr(at, end - at));
        at = end + 1;
    }
    return words;
}

// True when some line of text makes libauparse 3.0.9 leak memory inside
// the library, which no use of its interface can prevent. Two such lines are
// known, and the audit daemon writes neither:
// - a record without any field: clearing an empty field list returns before
//   freeing the list's array (about 1.1 KiB per line);
// - a CWD record with a second "cwd" field: the copy of the first is
//   overwritten unfreed.
// The fuzzer skips these inputs so that the leak checker keeps watching
// everything else. Mirrors the library: a line (up to a zero byte) is a
// record when its second word, or third after a "node=" word, is longer than
// 18 bytes and holds "(" within the first 80 bytes; its fields end at the
// 0x1d separator and are the words "name=value" with a non-empty value, the
// "msg=audit(" stamp excepted; the first field, or the second after "node",
// names the record type.
inline bool hits_known_parser_leak(char const* text, size_t len)
{
    size_t at = 0;
    while (at < len) {
        size_t end = at;
        while (end < len && text[end] != '\n')
            ++end;
        std::string line(text + at, end - at);
        at = end + 1;
        line = line.substr(0, line.find('\0'));

        std::vector<std::string> head = split_words(line.substr(0, line[0] == 'n' ? 340 : 80));
        size_t stamp = head.size() > 0 && head[0][0] == 'n' && head[0].size() > 5 ? 2 : 1;
        if (head.size() <= stamp || head[stamp].size() <= 18 ||
            head[stamp].find('(') == std::string::npos)
            continue;

        std::vector<std::string> names, values;
        for (std::string w : split_words(line.substr(0, line.find('\x1d')))) {
            if (w.compare(0, 5, "msg=a") == 0)
                continue;
            if (w.compare(0, 5, "msg='") == 0)
                w.erase(0, 5);
            size_t eq = w.find('=');
            if (eq == std::string::npos || eq + 1 == w.size())
                continue;
            names.push_back(w.substr(w[0] == '(' ? 1 : 0, w[0] == '(' ? eq - 1 : eq));
            values.push_back(w.substr(eq + 1));
        }
        if (names.empty())
            return true;
        size_t type = names[0] == "node" ? 1 : 0;
        bool cwd_record = type < names.size() && names[type] == "type" &&
                          audit_name_to_msg_type(values[type].c_str()) == AUDIT_CWD;
        if (cwd_record && std::count(names.begin(), names.end(), "cwd") > 1)
            return true;
    }
    return false;
}

// Feeds text (left bytes) to au through a gate testing key (null: none),
// as the event loop does, in chunks from 1 to the class limit that control
// picks, their lengths drawn from a generator seeded by seed; ages the
// events after every chunk when control asks for it. Stops at the first
// feed that fails, as the event loop does, then flushes and destroys au.
inline void feed_in_chunks(auparse_state_t* au, std::string const* key, uint8_t control, uint8_t seed,
                           char const* text, size_t left)
{
    uint32_t state = 0x9e3779b9u ^ seed;
    size_t const limit = FUZZ_CHUNK_LIMITS[(control & 0x7f) % std::size(FUZZ_CHUNK_LIMITS)];
    event_gate_t gate;
    gate.au = au;
    gate.key = key;
    while (left > 0) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        size_t const len = std::min(left, 1 + state % limit);
        gate_take(gate, text, len);
        if (gate.feed_result != 0)
            break;
        if (control & FUZZ_AGE_EVERY_CHUNK) {
            gate_end_all(gate);
            auparse_feed_age_events(au);
        }
        text += len;
        left -= len;
    }
    gate_finish(gate);
    auparse_flush_feed(au);
    auparse_destroy(au);
}

// Feeds the text after the header to a fresh parser whose callback is the
// plugin's, with key as the audit key; the first byte is the control, the
// second the seed of the chunk lengths.
inline void feed_fuzz_input(uint8_t const* data, size_t size, std::string const& key)
{
    size_t const header = std::min(size, FUZZ_HEADER_SIZE);
    auparse_state_t* au = auparse_init(AUSOURCE_FEED, nullptr);
    if (au == nullptr)
        abort();
    auparse_set_escape_mode(au, AUPARSE_ESC_RAW);
    auparse_add_callback(au, auparse_callback, const_cast<std::string*>(&key), nullptr);
    feed_in_chunks(au, &key, size > 0 ? data[0] : 0, size > 1 ? data[1] : 0,
                   reinterpret_cast<char const*>(data) + header, size - header);
}
