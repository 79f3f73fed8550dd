// H.264 Annex-B elementary streams: access units and the picture size of the first SPS.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace mkifv {

struct AccessUnit {
    std::span<const uint8_t> bytes;  // start codes included, exactly as in the stream
    bool idr = false;                // holds an IDR picture
};

// Splits a stream into access units (one per picture). A unit starts at an access unit
// delimiter, or at an SPS, PPS or SEI, or at a slice with first_mb_in_slice = 0, that follows
// the previous unit's picture.
std::vector<AccessUnit> split_access_units(std::span<const uint8_t> stream);

struct PictureSize {
    uint32_t width = 0;
    uint32_t height = 0;
};
// Size from the first sequence parameter set of the stream, if one can be read.
std::optional<PictureSize> picture_size(std::span<const uint8_t> stream);

}  // namespace mkifv
