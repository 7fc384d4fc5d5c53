// Framing the audit stream into records and holding each event until the
// parser can report it at once.
#include "intake/gate.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include <strings.h>

#include <libaudit.h>

// Bytes of a line that the parser looks at for the stamp (more after a
// "node=" word, which names a host).
static constexpr size_t STAMP_SCAN = 80;
static constexpr size_t STAMP_SCAN_WITH_NODE = 340;

// The next space-separated word in [at, end), as the parser splits a
// record; null when none is left. *word_end gets its end.
static char const* next_word(char const* at, char const* end, char const** word_end)
{
    while (at < end && *at == ' ')
        ++at;
    if (at == end)
        return nullptr;
    char const* stop = static_cast<char const*>(memchr(at, ' ', static_cast<size_t>(end - at)));
    *word_end = stop != nullptr ? stop : end;
    return at;
}

// strtoul(text, nullptr, 10) over [text, end) in the C locale: white space
// and a sign in front as strtoul takes them. False where strtoul reports an
// overflow.
static bool read_decimal(char const* text, char const* end, unsigned long* value)
{
    while (text < end && (*text == ' ' || (*text >= '\t' && *text <= '\r')))
        ++text;
    bool const negative = text < end && *text == '-';
    if (text < end && (*text == '-' || *text == '+'))
        ++text;
    unsigned long number = 0;
    for (; text < end && *text >= '0' && *text <= '9'; ++text) {
        unsigned long const digit = static_cast<unsigned long>(*text - '0');
        if (number > ULONG_MAX / 10 || (number == ULONG_MAX / 10 && digit > ULONG_MAX % 10))
            return false;
        number = number * 10 + digit;
    }
    *value = negative ? 0 - number : number;
    return true;
}

// Reads a record's stamp the way the parser does: the word after the
// record type (after the node and the type when the line starts with a
// "node=" word) holds "(SEC.MILLI:SERIAL)". False for a line the parser
// drops as malformed. A stamp word without a node that equals the last one
// read (the records of one event come together) is not read again.
static bool read_stamp(event_gate_t& gate, char const* line, size_t length, audit_stamp_t& stamp)
{
    size_t const scan = line[0] == 'n' ? STAMP_SCAN_WITH_NODE : STAMP_SCAN;
    char const* const end = line + strnlen(line, length < scan ? length : scan);
    char const* word_end = nullptr;
    char const* word = next_word(line, end, &word_end);
    if (word == nullptr)
        return false;
    stamp.has_node = word[0] == 'n' && word_end - word > 5;
    if (stamp.has_node) {
        stamp.node.assign(word + 5, word_end);
        if (next_word(word_end, end, &word_end) == nullptr)
            return false;
    } else {
        stamp.node.clear();
    }
    word = next_word(word_end, end, &word_end);
    if (word == nullptr || word_end - word <= 18)
        return false;
    size_t const word_size = static_cast<size_t>(word_end - word);
    if (!stamp.has_node && gate.last_stamp_word.size() == word_size &&
        memcmp(gate.last_stamp_word.data(), word, word_size) == 0) {
        stamp = gate.last_stamp;
        return true;
    }
    char const* open =
        word[9] == '(' ? word + 9 : static_cast<char const*>(memchr(word, '(', static_cast<size_t>(word_end - word)));
    if (open == nullptr)
        return false;
    char const* text = open + 1;
    char const* close = static_cast<char const*>(memchr(text, ')', static_cast<size_t>(word_end - text)));
    char const* const text_end = close != nullptr ? close : word_end;

    unsigned long sec = 0, milli = 0, serial = 0;
    if (!read_decimal(text, text_end, &sec))
        return false;
    char const* dot = static_cast<char const*>(memchr(text, '.', static_cast<size_t>(text_end - text)));
    if (dot != nullptr) {
        if (!read_decimal(dot + 1, text_end, &milli) || milli > 999)
            return false;
        text = dot + 1;
    }
    char const* colon = static_cast<char const*>(memchr(text, ':', static_cast<size_t>(text_end - text)));
    if (colon != nullptr && !read_decimal(colon + 1, text_end, &serial))
        return false;
    stamp.sec = static_cast<int64_t>(sec);
    stamp.milli = static_cast<uint32_t>(milli);
    stamp.serial = serial;
    if (!stamp.has_node) {
        gate.last_stamp_word.assign(word, word_size);
        gate.last_stamp = stamp;
    }
    return true;
}

// True when the size bytes at text are those of upper, an upper-case name,
// whatever the case of their letters (as strncasecmp in the C locale).
static bool same_letters(char const* text, char const* upper, size_t size)
{
    for (size_t i = 0; i < size; ++i) {
        char const c = text[i];
        if (c != upper[i] && !(c >= 'a' && c <= 'z' && c - ('a' - 'A') == upper[i]))
            return false;
    }
    return true;
}

// The type of a record that the plugin keeps, from the text of its type:
// the records it reads (SYSCALL, CWD, PATH, OPENAT2) and those that end an
// event for the parser (PROCTITLE, EOE); 0 for every other. Names match as the audit
// library matches them, whatever their case; a number or "UNKNOWN[n]" goes
// to the library.
static int kept_type(char const* value, size_t size)
{
    static struct {
        char const* name; // the type's name
        size_t size;      // its length
        int type;         // its number
    } const kept[] = {{"SYSCALL", 7, AUDIT_SYSCALL}, {"PATH", 4, AUDIT_PATH}, {"CWD", 3, AUDIT_CWD},
                      {"OPENAT2", 7, AUDIT_OPENAT2}, {"EOE", 3, AUDIT_EOE}, {"PROCTITLE", 9, AUDIT_PROCTITLE}};
    for (auto const& k : kept)
        if (size == k.size && same_letters(value, k.name, size))
            return k.type;
    if (size > 0 && (isdigit(static_cast<unsigned char>(value[0])) || (size > 8 && memcmp(value, "UNKNOWN[", 8) == 0))) {
        int const type = audit_name_to_msg_type(std::string(value, size).c_str());
        for (auto const& k : kept)
            if (type == k.type)
                return type;
    }
    return 0;
}

// The kept type of a line (see kept_type), taken as the parser takes a
// record's type: from its first name=value word, or the second when the
// first is "node", if that word is "type"; 0 otherwise. Looks only in
// front of the interpretations and of a zero byte, where the parser's
// record ends; reads no further than the words it needs.
static int read_type(char const* line, size_t length)
{
    char const* end = line + length;
    bool node_seen = false;
    char const* word_end = line;
    for (char const* word; (word = next_word(word_end, end, &word_end)) != nullptr;) {
        // The record ends inside this word: it is the last one.
        for (char stop : {'\0', static_cast<char>(AUDIT_INTERP_SEPARATOR)}) {
            char const* at = static_cast<char const*>(memchr(word, stop, static_cast<size_t>(word_end - word)));
            if (at != nullptr)
                end = word_end = at;
        }
        if (word == word_end)
            return 0;
        char const* name = word;
        if (word_end - name > 4 && memcmp(name, "msg=", 4) == 0) {
            if (name[4] == 'a')
                continue;
            if (name[4] == '\'')
                name += 5;
        }
        char const* equals = static_cast<char const*>(memchr(name, '=', static_cast<size_t>(word_end - name)));
        if (equals == nullptr || equals + 1 == word_end)
            continue;
        if (*name == '(')
            ++name;
        if (!node_seen && equals - name == 4 && memcmp(name, "node", 4) == 0) {
            node_seen = true;
            continue;
        }
        if (equals - name != 4 || memcmp(name, "type", 4) != 0)
            return 0;
        // The value, less the trailing punctuation that the parser trims.
        char const* value = equals + 1;
        char const* value_end = word_end;
        for (char trimmed : {':', ',', '\''})
            if (value_end > value && value_end[-1] == trimmed)
                --value_end;
        if (value_end > value && value_end[-1] == ')' &&
            !(value_end - value == 6 && (memcmp(value, "(none)", 6) == 0 || memcmp(value, "(null)", 6) == 0)))
            --value_end;
        return kept_type(value, static_cast<size_t>(value_end - value));
    }
    return 0;
}

// The name of the field that the parser makes of the space-separated word
// [word, word_end): the text in front of its first "=", less a leading
// "(", or after "msg='" less that; null when the word is no field (no "=",
// or the "msg=audit(" stamp). *value gets the text after that "=".
static char const* field_name(char const* word, char const* word_end, char const** value)
{
    size_t const size = static_cast<size_t>(word_end - word);
    if (size > 4 && memcmp(word, "msg=", 4) == 0) {
        if (word[4] == 'a')
            return nullptr;
        if (word[4] == '\'')
            word += 5;
    }
    char const* equals = static_cast<char const*>(memchr(word, '=', static_cast<size_t>(word_end - word)));
    if (equals == nullptr)
        return nullptr;
    *value = equals + 1;
    return *word == '(' ? word + 1 : word;
}

// True when some interpretation after the 0x1d separator, in [begin, end),
// may be named "key" (the parser lowercases their names): such an
// interpretation replaces the parser's own of a "key" field.
static bool may_interpret_key(char const* begin, char const* end)
{
    for (char k : {'k', 'K'})
        for (char const* at = begin;
             (at = static_cast<char const*>(memchr(at, k, static_cast<size_t>(end - at)))) != nullptr; ++at)
            if (end - at > 3 && (at[1] | 0x20) == 'e' && (at[2] | 0x20) == 'y' && at[3] == '=')
                return true;
    return false;
}

// The parser's key test of a SYSCALL record [line, line + length) without a
// zero byte, as far as it is certain from the text: EVENT_KEY_NO_MATCH when
// every "key" field interprets to something other than key (or there is
// none), EVENT_KEY_MAY_MATCH otherwise. Certain are a quoted value (the
// text between its quotes) and an unquoted (null); keys in hex (odd bytes,
// several keys joined by 0x01) and every other spelling go to the parser.
static event_key_e key_test(std::string const& key, char const* line, size_t length)
{
    char const* const end = line + length;
    char const* separator = static_cast<char const*>(memchr(line, AUDIT_INTERP_SEPARATOR, length));
    char const* const fields_end = separator != nullptr ? separator : end;
    for (char const* at = line;
         (at = static_cast<char const*>(memchr(at, 'k', static_cast<size_t>(fields_end - at)))) != nullptr; ++at) {
        if (fields_end - at < 4 || memcmp(at, "key=", 4) != 0)
            continue;
        // The word that holds it, and the name the parser gives that word.
        char const* word = at;
        while (word > line && word[-1] != ' ')
            --word;
        char const* word_end =
            static_cast<char const*>(memchr(at, ' ', static_cast<size_t>(fields_end - at)));
        if (word_end == nullptr)
            word_end = fields_end;
        char const* value = nullptr;
        if (field_name(word, word_end, &value) != at || value != at + 4)
            continue;
        if (value == word_end)
            continue; // no value: no field
        if (separator != nullptr && may_interpret_key(separator + 1, end))
            return EVENT_KEY_MAY_MATCH;
        // Less the trailing punctuation that the parser trims.
        char const* value_end = word_end;
        for (char trimmed : {':', ',', '\''})
            if (value_end > value && value_end[-1] == trimmed)
                --value_end;
        size_t const size = static_cast<size_t>(value_end - value);
        bool const null = size == 6 && memcmp(value, "(null)", 6) == 0;
        if (value_end > value && value_end[-1] == ')' && !null && !(size == 6 && memcmp(value, "(none)", 6) == 0))
            --value_end;
        if (null) {
            if (key == "(null)")
                return EVENT_KEY_MAY_MATCH;
            continue;
        }
        if (value_end - value < 2 || *value != '"')
            return EVENT_KEY_MAY_MATCH;
        char const* close =
            static_cast<char const*>(memchr(value + 1, '"', static_cast<size_t>(value_end - value - 1)));
        if (close == nullptr)
            return EVENT_KEY_MAY_MATCH;
        if (key.size() == static_cast<size_t>(close - value - 1) && memcmp(key.data(), value + 1, key.size()) == 0)
            return EVENT_KEY_MAY_MATCH;
    }
    return EVENT_KEY_NO_MATCH;
}

// True when a and b are the stamp of one event: equal numbers and nodes.
static bool same_event(audit_stamp_t const& a, audit_stamp_t const& b)
{
    return a.serial == b.serial && a.milli == b.milli && a.sec == b.sec && a.has_node == b.has_node &&
           (!a.has_node || a.node == b.node);
}

// True when a comes before b in the order in which the parser reports the
// events it holds: by seconds, milliseconds and serial, whatever the nodes,
// and the earlier arrival first among equals.
static bool reported_before(gate_event_t const& a, gate_event_t const& b)
{
    if (a.stamp.sec != b.stamp.sec)
        return a.stamp.sec < b.stamp.sec;
    if (a.stamp.milli != b.stamp.milli)
        return a.stamp.milli < b.stamp.milli;
    if (a.stamp.serial != b.stamp.serial)
        return a.stamp.serial < b.stamp.serial;
    return a.arrival < b.arrival;
}

// Heap order of the waiting events: the first to report on top. A lambda,
// so that the heap's code compares inline.
static constexpr auto reported_later = [](gate_event_t const& a, gate_event_t const& b) {
    return reported_before(b, a);
};

// True when fed, the result of an auparse_feed call made just before (errno
// still as it left it), is a failure: any non-zero result but -1 with errno
// EBADMSG. From libauparse 4.2 on, a fed line without a readable time stamp
// gives that result once the good events of the same data are delivered;
// the line is dropped, as earlier versions drop it without a word.
static bool feed_failed(int fed)
{
    return fed != 0 && !(fed == -1 && errno == EBADMSG);
}

// Feeds one ended event to the parser and lets it report it at once; keeps
// the first failing result.
static void feed_event(event_gate_t& gate, std::string const& lines)
{
    if (gate.feed_result != 0)
        return;
    int result = auparse_feed(gate.au, lines.data(), lines.size());
    if (!feed_failed(result))
        result = auparse_feed(gate.au, "", 0);
    if (feed_failed(result))
        gate.feed_result = result;
}

// Feeds the parser the first waiting event to report, or drops it when
// its key cannot match.
static void release_first_waiting(event_gate_t& gate)
{
    std::pop_heap(gate.waiting.begin(), gate.waiting.end(), reported_later);
    gate_event_t event = std::move(gate.waiting.back());
    gate.waiting.pop_back();
    gate.held_bytes -= event.bytes;
    if (event.key == EVENT_KEY_MAY_MATCH)
        feed_event(gate, event.lines);
}

// True when an open event that still holds back later ones comes before
// event.
static bool held_back(event_gate_t const& gate, gate_event_t const& event)
{
    for (gate_event_t const& open : gate.open)
        if (open.holding && reported_before(open, event))
            return true;
    return false;
}

// Feeds the parser the waiting events that no open event holds back: the
// events that the parser, holding them itself, would report now.
static void release_due(event_gate_t& gate)
{
    while (!gate.waiting.empty() && !held_back(gate, gate.waiting.front()))
        release_first_waiting(gate);
}

// Settles the key test of an event that has ended: without a SYSCALL
// record it cannot match; its text is then let go.
static void settle_key(gate_event_t& event)
{
    if (event.key == EVENT_KEY_UNSEEN)
        event.key = EVENT_KEY_NO_MATCH;
    if (event.key == EVENT_KEY_NO_MATCH)
        std::string().swap(event.lines);
}

// Moves an ended event (its bytes counted in held_bytes) to the waiting
// ones; with no memory left to hold it, the parser gets it at once.
static void wait(event_gate_t& gate, gate_event_t&& event)
{
    settle_key(event);
    try {
        gate.waiting.push_back(std::move(event));
    } catch (std::bad_alloc const&) {
        gate.held_bytes -= event.bytes;
        if (event.key == EVENT_KEY_MAY_MATCH)
            feed_event(gate, event.lines);
        return;
    }
    std::push_heap(gate.waiting.begin(), gate.waiting.end(), reported_later);
}

// Ends the open event at index as it stands: an end-of-event record with
// its stamp (and node) tells the parser that nothing more will come. Should
// memory run out for that record, the event goes to the parser without it,
// where the parser's own ageing ends it.
static void cut(event_gate_t& gate, size_t index)
{
    gate_event_t& event = gate.open[index];
    char end[96];
    int const end_size =
        snprintf(end, sizeof end, "type=EOE msg=audit(%lld.%03u:%llu): \n", static_cast<long long>(event.stamp.sec),
                 event.stamp.milli, static_cast<unsigned long long>(event.stamp.serial));
    settle_key(event);
    size_t added = 0;
    if (event.key != EVENT_KEY_MAY_MATCH) {
        // Counted as the record would be, had it been added.
        added = (event.stamp.has_node ? event.stamp.node.size() + 6 : 0) + static_cast<size_t>(end_size);
    } else {
        size_t const before = event.lines.size();
        try {
            if (event.stamp.has_node)
                event.lines.append("node=").append(event.stamp.node).append(" ");
            event.lines.append(end);
        } catch (std::bad_alloc const&) {
            event.lines.resize(before);
        }
        added = event.lines.size() - before;
    }
    event.bytes += added;
    gate.held_bytes += added;
    gate_event_t ended = std::move(event);
    gate.open.erase(gate.open.begin() + static_cast<std::ptrdiff_t>(index));
    wait(gate, std::move(ended));
}

// Lets the open events stamped at least WAIT_SECONDS_MAX before sec hold
// nothing back any more; true if one stopped.
static bool stop_stale_holds(event_gate_t& gate, int64_t sec)
{
    bool stopped = false;
    for (gate_event_t& open : gate.open)
        if (open.holding && open.stamp.sec < sec &&
            static_cast<uint64_t>(sec) - static_cast<uint64_t>(open.stamp.sec) >=
                static_cast<uint64_t>(WAIT_SECONDS_MAX)) {
            open.holding = false;
            stopped = true;
        }
    return stopped;
}

// A stamp's time in milliseconds, its seconds taken as the parser reads
// them (unsigned); the largest value where that does not fit.
static uint64_t stamp_ms(audit_stamp_t const& stamp)
{
    uint64_t const sec = static_cast<uint64_t>(stamp.sec);
    return sec > (UINT64_MAX - 999) / 1000 ? UINT64_MAX : sec * 1000 + stamp.milli;
}

// Takes the stamp of a record (of any type) as the stream's time: once it
// is the newest, cuts the open events whose latest record arrived more than
// CUT_AFTER_SECONDS before in the stream's time. True if one was cut.
static bool cut_overdue(event_gate_t& gate, audit_stamp_t const& stamp)
{
    uint64_t const ms = stamp_ms(stamp);
    if (ms <= gate.newest_ms)
        return false;
    gate.newest_ms = ms;
    bool any = false;
    for (size_t i = 0; i < gate.open.size();) {
        if (ms - gate.open[i].seen_ms > static_cast<uint64_t>(CUT_AFTER_SECONDS) * 1000) {
            cut(gate, i);
            any = true;
        } else {
            ++i;
        }
    }
    return any;
}

// Cuts the open events that have waited for CUT_AFTER_ENDED other events to
// end, and the oldest ones past OPEN_EVENTS_MAX. Past the bounds of what is
// held, the open events that hold back the first waiting one stop holding
// anything back (or, with nothing waiting, the oldest open event is cut).
// Releases at once what that makes due; true if it changed anything.
static bool enforce_bounds(event_gate_t& gate)
{
    bool changed = false;
    // Open events are in arrival order: the first has waited longest.
    while (!gate.open.empty() && (gate.ended_count - gate.open.front().ended_before >= CUT_AFTER_ENDED ||
                                  gate.open.size() > OPEN_EVENTS_MAX)) {
        cut(gate, 0);
        changed = true;
    }
    if (changed)
        release_due(gate);
    while (gate.waiting.size() > WAITING_EVENTS_MAX || gate.held_bytes > HELD_BYTES_MAX) {
        if (!gate.waiting.empty()) {
            for (gate_event_t& open : gate.open)
                if (reported_before(open, gate.waiting.front()))
                    open.holding = false;
        } else if (!gate.open.empty()) {
            cut(gate, 0);
        } else {
            break;
        }
        changed = true;
        release_due(gate);
    }
    return changed;
}

// Adds a record line (with its "\n"; text bytes without it) of a kept type
// to its event. The key test is settled at the event's first SYSCALL
// record; the text is held while the parser may have to report the event.
static void add_record(event_gate_t& gate, gate_event_t& event, int type, char const* line, size_t length,
                       size_t text)
{
    if (event.key == EVENT_KEY_UNSEEN) {
        // A zero byte cuts the record short for the parser: it decides.
        if (strnlen(line, text) != text)
            event.key = EVENT_KEY_MAY_MATCH;
        else if (type == AUDIT_SYSCALL)
            event.key = key_test(*gate.key, line, text);
    }
    if (event.key != EVENT_KEY_NO_MATCH)
        event.lines.append(line, length);
    else if (!event.lines.empty())
        std::string().swap(event.lines);
    event.bytes += length;
    gate.held_bytes += length;
}

// Routes one record line (with its "\n"): dropped when the parser would
// drop it or the plugin never reads it, else added to its open event. Its
// stamp moves the stream's time on either way.
static void take_record(event_gate_t& gate, char const* line, size_t length)
{
    // The parser reads a record without its "\n", up to a zero byte.
    size_t const text = line[length - 1] == '\n' ? length - 1 : length;
    int const type = read_type(line, text);
    audit_stamp_t stamp;
    if (!read_stamp(gate, line, text, stamp))
        return;
    if (cut_overdue(gate, stamp))
        release_due(gate);
    if (type == 0)
        return;
    bool const ends = type == AUDIT_EOE || type == AUDIT_PROCTITLE;
    if (stop_stale_holds(gate, stamp.sec))
        release_due(gate);

    // Most records belong to the latest event: search from the back.
    for (size_t i = gate.open.size(); i-- > 0;) {
        gate_event_t& event = gate.open[i];
        if (!same_event(event.stamp, stamp))
            continue;
        add_record(gate, event, type, line, length, text);
        event.seen_ms = gate.newest_ms;
        if (ends) {
            ++gate.ended_count;
            gate_event_t ended = std::move(event);
            gate.open.erase(gate.open.begin() + static_cast<std::ptrdiff_t>(i));
            wait(gate, std::move(ended));
        }
        enforce_bounds(gate);
        return;
    }
    // An end record of no open event ends nothing (the parser drops it too).
    if (type == AUDIT_EOE)
        return;
    gate_event_t event;
    event.stamp = std::move(stamp);
    event.key = gate.key != nullptr ? EVENT_KEY_UNSEEN : EVENT_KEY_MAY_MATCH;
    add_record(gate, event, type, line, length, text);
    event.seen_ms = gate.newest_ms;
    event.ended_before = gate.ended_count;
    event.arrival = gate.arrivals++;
    if (ends) {
        ++gate.ended_count;
        wait(gate, std::move(event));
    } else {
        gate.open.push_back(std::move(event));
    }
    // Whenever an event begins, the parser reports what is due.
    if (!enforce_bounds(gate))
        release_due(gate);
}

// Routes one piece of a chunk: a whole line, or the start or the rest of
// one that spans chunks. A line longer than RECORD_LENGTH_MAX is dropped
// whole.
static void take_piece(event_gate_t& gate, char const* piece, size_t size, bool line_ends)
{
    if (gate.skipping) {
        gate.skipping = !line_ends;
    } else if (gate.partial.size() + size > RECORD_LENGTH_MAX) {
        gate.partial.clear();
        gate.skipping = !line_ends;
    } else if (!line_ends) {
        gate.partial.append(piece, size);
    } else if (gate.partial.empty()) {
        take_record(gate, piece, size);
    } else {
        gate.partial.append(piece, size);
        take_record(gate, gate.partial.data(), gate.partial.size());
        gate.partial.clear();
    }
}

// Splits the chunk into lines; a line for which memory runs out is dropped.
void gate_take(event_gate_t& gate, char const* data, size_t size)
{
    while (size > 0) {
        char const* newline = static_cast<char const*>(memchr(data, '\n', size));
        size_t const piece = newline != nullptr ? static_cast<size_t>(newline - data) + 1 : size;
        try {
            take_piece(gate, data, piece, newline != nullptr);
        } catch (std::bad_alloc const&) {
            gate.partial.clear();
            gate.skipping = newline == nullptr;
        }
        data += piece;
        size -= piece;
    }
    // As after every chunk fed to the parser itself.
    release_due(gate);
}

// Cuts every open event; all held events are then due.
void gate_end_all(event_gate_t& gate)
{
    while (!gate.open.empty())
        cut(gate, 0);
    release_due(gate);
}

// The end of input: what never ended a line is no record.
void gate_finish(event_gate_t& gate)
{
    gate.partial.clear();
    gate.skipping = false;
    gate_end_all(gate);
}
