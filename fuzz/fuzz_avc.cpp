// The H.264 framing for MP4 and Matroska, on any frame a recording may hold: the units come
// back whole from the length-prefixed form, none holds a start code or ends in a zero, and
// describing whatever parameter sets turn up never reads past them; framing in place gives the
// same bytes or leaves the frame as it was.
#include <algorithm>
#include <cstring>
#include <span>
#include <vector>

#include "mux/avc.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::span<const uint8_t> frame(data, size);
    const auto units = tv::mux::avc::units(frame);
    std::vector<uint8_t> out;
    tv::mux::avc::to_length_prefixed(frame, out);
    size_t at = 0;
    std::vector<std::span<const uint8_t>> sps, pps;
    for (const auto& unit : units) {
        const auto& b = unit.bytes;
        if (b.empty() || b.back() == 0) __builtin_trap();
        for (size_t i = 0; i + 2 < b.size(); ++i)
            if (b[i] == 0 && b[i + 1] == 0 && b[i + 2] == 1) __builtin_trap();
        if (at + 4 + b.size() > out.size()) __builtin_trap();
        const size_t length = size_t{out[at]} << 24 | size_t{out[at + 1]} << 16 |
                              size_t{out[at + 2]} << 8 | out[at + 3];
        if (length != b.size() || std::memcmp(out.data() + at + 4, b.data(), b.size()) != 0)
            __builtin_trap();
        at += 4 + length;
        if (unit.type == 7) sps.push_back(b);
        if (unit.type == 8) pps.push_back(b);
    }
    if (at != out.size()) __builtin_trap();
    // In place, where it can be done, the same bytes; where it refuses, the frame untouched.
    std::vector<uint8_t> in_place(frame.begin(), frame.end());
    if (tv::mux::avc::to_length_prefixed_in_place(in_place)) {
        if (in_place != out) __builtin_trap();
    } else if (!std::equal(in_place.begin(), in_place.end(), frame.begin())) {
        __builtin_trap();
    }
    const auto record = tv::mux::avc::decoder_configuration(sps, pps);
    if (!record.empty() && (record[0] != 1 || record.size() < 11)) __builtin_trap();
    return 0;
}
