// The floor of the benchmark: the least any plugin built on libauparse can
// do. Reads standard input in the plugin's chunk size, feeds a feed-mode
// parser, and in the callback only walks each event's records and field
// names. Prints the events and fields seen to standard error.
#include <cstdio>

#include <unistd.h>

#include <auparse.h>

// Largest audit message the audit library defines; the plugin reads as much.
static constexpr size_t CHUNK_SIZE = 8970;

// What the walk saw; the counts keep the walk from being optimised away.
struct floor_counts_t {
    unsigned long events = 0; // ready events
    unsigned long fields = 0; // fields with a name
};

// Visits every record and field name of a ready event.
static void walk_event(auparse_state_t* au, auparse_cb_event_t cb_event_type, void* user_data)
{
    if (cb_event_type != AUPARSE_CB_EVENT_READY)
        return;
    floor_counts_t& counts = *static_cast<floor_counts_t*>(user_data);
    ++counts.events;
    if (auparse_first_record(au) <= 0)
        return;
    do {
        do {
            if (auparse_get_field_name(au) != nullptr)
                ++counts.fields;
        } while (auparse_next_field(au) > 0);
    } while (auparse_next_record(au) > 0);
}

// Feeds standard input to the parser in the plugin's chunk size.
int main()
{
    floor_counts_t counts;
    auparse_state_t* au = auparse_init(AUSOURCE_FEED, nullptr);
    if (au == nullptr)
        return 12;
    auparse_add_callback(au, walk_event, &counts, nullptr);

    static char buffer[CHUNK_SIZE];
    ssize_t n;
    while ((n = read(0, buffer, sizeof buffer)) > 0)
        auparse_feed(au, buffer, static_cast<size_t>(n));
    auparse_flush_feed(au);
    auparse_destroy(au);
    fprintf(stderr, "floor: %lu events, %lu fields\n", counts.events, counts.fields);
    return n < 0 ? 1 : 0;
}
