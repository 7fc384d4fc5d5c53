// Differential libFuzzer target over the gate's key test: arbitrary bytes,
// cut into chunks that the input chooses, with a configured key that the
// input chooses, go through the gate and a feed-mode audit parser twice:
// with the key test and with every event given to the parser. It aborts
// when the parser matches the key of an event that the gate dropped, or
// when the events it gets differ in any other way than the dropped ones.
#include <cstdio>
#include <cstdlib>

#include "gate_input.h"

// One input, both ways.
extern "C" int LLVMFuzzerTestOneInput(uint8_t const* data, size_t size)
{
    size_t header = 0;
    gate_fuzz_key(data, size, &header);
    if (hits_known_parser_leak(reinterpret_cast<char const*>(data) + header, size - header))
        return -1;
    std::string const disagreement = gate_disagreement(data, size);
    if (!disagreement.empty()) {
        fprintf(stderr, "gate and parser disagree: %s\n", disagreement.c_str());
        abort();
    }
    return 0;
}
