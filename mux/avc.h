// H.264 framing for MP4 and Matroska: the recorder's Annex-B access units (start codes) become
// the length-prefixed form these containers carry, and the parameter sets their
// AVCDecoderConfigurationRecord (ISO/IEC 14496-15). The units themselves are copied unchanged.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace tv::mux::avc {

struct Nal {
    std::span<const uint8_t> bytes;  // without its start code
    int type;                        // nal_unit_type
};

// The NAL units of an Annex-B buffer in order. Bytes before the first start code (other than
// zeros) count as a unit of their own, so that nothing recorded is left out.
std::vector<Nal> units(std::span<const uint8_t> annexb);

// Replaces `out` with the units of `annexb`, each after its length in 4 big-endian bytes.
void to_length_prefixed(std::span<const uint8_t> annexb, std::vector<uint8_t>& out);

// The same in place, for the common case where it needs no copy: every unit after a four-byte
// start code (each becomes the unit's length), nothing before the first, no zero byte at a
// unit's end. False, with the bytes as they were, for any other buffer.
bool to_length_prefixed_in_place(std::span<uint8_t> annexb);

// The AVCDecoderConfigurationRecord of the given sequence and picture parameter sets (NAL
// units without start codes, at most 31 and 255, each under 64 KiB; the first SPS gives the
// profile and level). Empty when they cannot be described.
std::vector<uint8_t> decoder_configuration(const std::vector<std::span<const uint8_t>>& sps,
                                           const std::vector<std::span<const uint8_t>>& pps);

}  // namespace tv::mux::avc
