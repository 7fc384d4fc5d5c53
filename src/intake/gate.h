// The gate between the audit stream and the audit parser: it frames the
// stream into records, keeps away the records that the plugin never reads,
// holds each event until it has ended, and hands the parser whole events in
// the order the parser itself would report them. Events whose key is
// certain not to match never reach the parser. An event that can never end
// (its last records dropped by a full queue) holds nothing back for long,
// and nothing that any stream holds grows without bound.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <auparse.h>

// Longest record line taken; a longer one is dropped whole. The audit
// daemon writes at most 8970 bytes of message behind the record type and a
// node name, interpretations included; the margin keeps every line it can
// write.
constexpr size_t RECORD_LENGTH_MAX = 128 * 1024;

// An open event is ended as it stands (cut) once this many other events
// have ended since its first record arrived: by then the rest of it has
// been lost. In floods of file creations from 8 to 32 writers on a 2-CPU
// host, up to 1,464 events ended while one stayed open with the kernel's
// backlog at 64 records, and up to 21,489 at 8192 (Debian's), where a
// writer can sleep for seconds between two records of its event.
constexpr uint64_t CUT_AFTER_ENDED = 65536;

// An open event is also cut once a record arrives stamped more than this
// many seconds after the newest stamp that had arrived with its latest
// record: on a slow stream, where CUT_AFTER_ENDED other events take hours
// to end, the rest of it has been lost as surely. The kernel waits at most
// backlog_wait_time (60 s by default, and in Debian's rules) for room in
// its backlog to queue a record, then drops it, so the record after one
// of an event is queued, or lost, within 60 s of it; 5 s more allow for
// the newest stamp to lag the kernel's clock (tails came up to 4.1 s of
// stamp time late in the floods above). A host that raises
// backlog_wait_time can have a tail arrive later: it then arrives as an
// event of its own, as after a cut by the count. The newest stamp only
// grows: after the clock is set back, this rule rests until the stamps
// pass it again, and the count and the quiet spell still apply.
constexpr int64_t CUT_AFTER_SECONDS = 65;

// Most open events at once; past it the one that began first is cut. At
// most one event per writing thread is open, between two of its records:
// the floods above had up to 32 open at once, one per writer.
constexpr size_t OPEN_EVENTS_MAX = 1024;

// Ended events wait while an older event is open, so that the parser gets
// them in the order in which it reports the events that it holds itself.
// An open event stops holding others back once a record stamped this many
// seconds later arrives (the audit daemon's default end of an event), or
// when more than WAITING_EVENTS_MAX events, or HELD_BYTES_MAX bytes of
// record text (open events included), are held: then the events behind it
// go on, and it follows whenever it ends. So no event waits long, or is
// lost, behind one that never ends, and memory stays small. 768 KiB hold
// about 600 events of the daemon's in order: in the floods above, 10 to 86
// of 44,000 to 87,000 datagrams came in another order than the parser
// alone gives them, and none was lost. An event whose key cannot match
// counts here as if its text were held (it is not): which events wait, and
// for how long, is the same whether or not the parser gets them.
constexpr int64_t WAIT_SECONDS_MAX = 2;
constexpr size_t WAITING_EVENTS_MAX = 2048;
constexpr size_t HELD_BYTES_MAX = 768 * 1024;

// The stamp that ties the records of one event together, as the parser
// reads it from "msg=audit(SEC.MILLI:SERIAL)" and an optional "node=".
struct audit_stamp_t {
    int64_t sec = 0;       // seconds
    uint32_t milli = 0;    // milliseconds, 0..999
    uint64_t serial = 0;   // the event's serial number
    bool has_node = false; // the record began with a "node=" word
    std::string node;      // its value, when has_node
};

// What the gate knows of the parser's key test for an event. The parser
// tests the "key" fields of an event's first SYSCALL record only: without a
// match there the event is dropped, and an event without a SYSCALL record
// never reaches path selection.
enum event_key_e : uint8_t {
    EVENT_KEY_UNSEEN,    // no SYSCALL record yet; dropped if it ends so
    EVENT_KEY_MAY_MATCH, // the parser decides: the event is held and fed
    EVENT_KEY_NO_MATCH,  // certain not to match: counted, never held or fed
};

// One event held by the gate.
struct gate_event_t {
    audit_stamp_t stamp;                 // of all its records
    std::string lines;                   // its kept records, each with its "\n", in arrival order; none once dropped
    size_t bytes = 0;                    // record text counted for it in held_bytes, held or not
    uint64_t ended_before = 0;           // events that had ended when its first record arrived
    uint64_t arrival = 0;                // events begun before it: its place among equal stamps
    uint64_t seen_ms = 0;                // the newest stamp (in ms) when its latest record arrived
    bool holding = true;                 // while open: later ended events wait for it
    event_key_e key = EVENT_KEY_UNSEEN;  // the key test, as far as the gate can tell
};

// The gate's whole state; one per parser.
struct event_gate_t {
    auparse_state_t* au = nullptr;      // the parser that ended events are fed to
    std::string const* key = nullptr;   // the configured audit key; null: every event goes to the parser
    std::string partial;                // start of a record whose "\n" has not arrived
    bool skipping = false;              // the current line is too long: dropped up to its "\n"
    std::vector<gate_event_t> open;     // events whose end has not arrived, in arrival order
    std::vector<gate_event_t> waiting;  // ended events behind an older open one: a heap, first to report on top
    size_t held_bytes = 0;              // record text of the events in open and waiting, dropped ones included
    uint64_t ended_count = 0;           // events ended by their own last record so far
    uint64_t arrivals = 0;              // events begun so far
    uint64_t newest_ms = 0;             // the newest stamp of any record so far, in ms
    int feed_result = 0;                // first failing result of auparse_feed, 0 while none
    std::string last_stamp_word;        // the stamp word of the last record read without a node word
    audit_stamp_t last_stamp;           // what that word reads as
};

// Takes a chunk of audit text; feeds the parser every event that is then
// due, each as one whole, and lets it report them; an event whose key is
// certain not to match the configured key (gate.key) is dropped instead, at
// the same moment. Chunks need not end at a line. A failing feed sets
// gate.feed_result (a record that the parser rejects as malformed is no
// failure).
void gate_take(event_gate_t& gate, char const* data, size_t size);

// Ends every open event as it stands and feeds the parser all that is held;
// a partial record stays for the next chunk (a quiet spell).
void gate_end_all(event_gate_t& gate);

// As gate_end_all, and drops a partial record (the end of input).
void gate_finish(event_gate_t& gate);
