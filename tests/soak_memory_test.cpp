// Ten million events through the real event loop in one process: the peak
// resident set after the first million and after all ten must not differ by
// more than 1 MiB. Labelled soak; it runs in the plain build only.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

#include "support.h"

namespace {

TEST(Soak, TenMillionEventsInBoundedMemory)
{
    constexpr uint64_t EVENTS = 10000000;
    constexpr uint64_t FIRST = 1000000;
    // Three shapes of the recorded text: a file created (one datagram), a
    // directory renamed into place (one datagram), an event of another key
    // (none).
    std::string const file_event = audit_event(0, "@");
    std::string const dir_event = [&] {
        std::string e = audit_event(0, "@");
        e.replace(e.find("mode=0100644"), 12, "mode=040755");
        e.replace(e.find("syscall=257"), 11, "syscall=316");
        e.replace(e.find("SYSCALL=openat"), 14, "SYSCALL=renameat2");
        e.replace(e.find("a2=241"), 6, "a2=ffffff9c");
        return e;
    }();
    std::string const other_key_event = audit_event(0, "@", "otherkey");
    // Each shape cut before its serials (the "0" of ":0)") and its name
    // ("@"); an event is put together by appending the pieces with the
    // event's number (as "f<number>" for the name) between them.
    auto cut = [](std::string const& shape) {
        std::vector<std::string> pieces;
        size_t from = 0;
        for (size_t at = 0; at < shape.size(); ++at) {
            if (shape[at] == '@' || shape.compare(at, 3, ":0)") == 0) {
                size_t const hole = shape[at] == '@' ? at : at + 1;
                pieces.push_back(shape.substr(from, hole - from) + (shape[at] == '@' ? "f" : ""));
                from = hole + 1;
            }
        }
        pieces.push_back(shape.substr(from));
        return pieces;
    };
    std::vector<std::string> const shapes[] = {cut(file_event), cut(dir_event), cut(other_key_event)};

    temp_dir_t dir;
    agent_reader_t reader(dir.path + "/events.sock", false);
    loop_thread_t loop(make_config(dir.path));

    std::thread writer([&] {
        std::string batch;
        for (uint64_t i = 1; i <= EVENTS; ++i) {
            // Every tenth event carries another key and sends nothing.
            bool const counted = i % 10 != 0;
            std::vector<std::string> const& pieces = shapes[!counted ? 2 : i % 3 == 0 ? 1 : 0];
            std::string const number = std::to_string(i);
            for (size_t p = 0; p + 1 < pieces.size(); ++p)
                batch.append(pieces[p]).append(number);
            batch += pieces.back();
            if (batch.size() > 60000) {
                loop.write(batch);
                batch.clear();
            }
        }
        loop.write(batch);
    });

    uint64_t const sent_first = FIRST - FIRST / 10;
    while (reader.count < sent_first)
        usleep(1000);
    long const peak_first = peak_rss_kib();
    writer.join();
    EXPECT_EQ(loop.finish(), 0);
    reader.stop();
    long const peak_all = peak_rss_kib();

    printf("peak resident set: %ld KiB after 1M events, %ld KiB after 10M events\n", peak_first, peak_all);
    RecordProperty("peak_rss_kib_1M", std::to_string(peak_first));
    RecordProperty("peak_rss_kib_10M", std::to_string(peak_all));
    EXPECT_EQ(reader.count, EVENTS - EVENTS / 10);
    EXPECT_LE(peak_all - peak_first, 1024);
}

} // namespace
