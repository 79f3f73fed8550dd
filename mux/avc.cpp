#include "mux/avc.h"

#include <bit>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace tv::mux::avc {

namespace {

// Position of the next "00 00 01" at or after `from`, or the buffer's size. Emulation
// prevention leaves "00 00" in coded slices only before 03: with SSE2, 16 positions at a time
// are tested for two zero bytes and only those are looked at; the rest of the scan jumps from
// one 0x01 byte to the next with memchr.
size_t next_start_code(std::span<const uint8_t> p, size_t from) {
    size_t i = from;
#if defined(__SSE2__)
    const uint8_t* d = p.data();
    const __m128i zero = _mm_setzero_si128();
    for (; i + 18 <= p.size(); i += 16) {  // reads bytes i to i + 17
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(d + i));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(d + i + 1));
        auto pairs =
            static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_or_si128(a, b), zero)));
        for (; pairs != 0; pairs &= pairs - 1) {
            const size_t at = i + static_cast<size_t>(std::countr_zero(pairs));
            if (d[at + 2] == 1) return at;
        }
    }
#endif
    for (i += 2; i < p.size();) {
        const void* one = std::memchr(p.data() + i, 1, p.size() - i);
        if (!one) break;
        i = static_cast<size_t>(static_cast<const uint8_t*>(one) - p.data());
        if (p[i - 1] == 0 && p[i - 2] == 0) return i - 2;
        ++i;
    }
    return p.size();
}

// Reads Exp-Golomb codes from the start of a NAL unit's payload, emulation prevention bytes
// (00 00 03) removed as it goes.
class BitReader {
  public:
    explicit BitReader(std::span<const uint8_t> bytes) : bytes_(bytes) {}

    bool ok() const { return ok_; }

    uint32_t bit() {
        if (bit_ == 0) {
            if (!next_byte()) return 0;
            bit_ = 8;
        }
        --bit_;
        return (current_ >> bit_) & 1;
    }

    uint32_t ue() {
        int zeros = 0;
        while (ok_ && bit() == 0)
            if (++zeros > 31) ok_ = false;
        if (!ok_) return 0;
        uint32_t value = 0;
        for (int i = 0; i < zeros; ++i) value = value << 1 | bit();
        return (uint32_t{1} << zeros) - 1 + value;
    }

  private:
    bool next_byte() {
        if (at_ >= bytes_.size()) return ok_ = false;
        if (zeros_ >= 2 && bytes_[at_] == 3) {  // emulation_prevention_three_byte
            zeros_ = 0;
            if (++at_ >= bytes_.size()) return ok_ = false;
        }
        current_ = bytes_[at_++];
        zeros_ = current_ == 0 ? zeros_ + 1 : 0;
        return true;
    }

    std::span<const uint8_t> bytes_;
    size_t at_ = 0;
    int zeros_ = 0;
    uint8_t current_ = 0;
    int bit_ = 0;
    bool ok_ = true;
};

// Profiles whose SPS carries chroma_format_idc and bit depths, which the record repeats.
bool has_chroma_format(uint8_t profile_idc) {
    for (uint8_t p : {100, 110, 122, 244, 44, 83, 86, 118, 128, 138, 139, 134, 135})
        if (profile_idc == p) return true;
    return false;
}

void put_be16(std::vector<uint8_t>& out, size_t v) {
    out.push_back(static_cast<uint8_t>(v >> 8));
    out.push_back(static_cast<uint8_t>(v));
}

}  // namespace

std::vector<Nal> units(std::span<const uint8_t> p) {
    std::vector<Nal> nals;
    size_t start = next_start_code(p, 0);
    size_t lead = start;
    while (lead > 0 && p[lead - 1] == 0) --lead;
    if (lead > 0) nals.push_back({p.first(lead), p[0] & 0x1f});
    while (start < p.size()) {
        const size_t begin = start + 3;
        const size_t next = next_start_code(p, begin);
        size_t end = next;
        // A zero before the next start code is its four-byte form or trailing_zero_8bits.
        while (end > begin && p[end - 1] == 0) --end;
        if (end > begin) nals.push_back({p.subspan(begin, end - begin), p[begin] & 0x1f});
        start = next;
    }
    return nals;
}

void to_length_prefixed(std::span<const uint8_t> annexb, std::vector<uint8_t>& out) {
    out.clear();
    for (const Nal& nal : units(annexb)) {
        const size_t n = nal.bytes.size();
        const uint8_t length[4] = {static_cast<uint8_t>(n >> 24), static_cast<uint8_t>(n >> 16),
                                   static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n)};
        out.insert(out.end(), length, length + 4);
        out.insert(out.end(), nal.bytes.begin(), nal.bytes.end());
    }
}

bool to_length_prefixed_in_place(std::span<uint8_t> p) {
    auto four_byte_code = [&](size_t at) {
        return at + 4 <= p.size() && p[at] == 0 && p[at + 1] == 0 && p[at + 2] == 0 &&
               p[at + 3] == 1;
    };
    if (!four_byte_code(0)) return false;
    size_t at = 0;  // the start code of the unit being looked at
    for (;;) {
        const size_t begin = at + 4;
        const size_t next = next_start_code(p, begin);  // "00 00 01": the code's last three bytes
        const size_t end = next == p.size() ? next : next - 1;
        const bool whole =
            end > begin && p[end - 1] != 0 && (end == p.size() || four_byte_code(end));
        if (!whole) {
            // The start codes already replaced by lengths come back.
            for (size_t back = 0; back < at;) {
                const size_t n = size_t{p[back]} << 24 | size_t{p[back + 1]} << 16 |
                                 size_t{p[back + 2]} << 8 | p[back + 3];
                p[back] = p[back + 1] = p[back + 2] = 0, p[back + 3] = 1;
                back += 4 + n;
            }
            return false;
        }
        const size_t n = end - begin;
        p[at] = static_cast<uint8_t>(n >> 24), p[at + 1] = static_cast<uint8_t>(n >> 16);
        p[at + 2] = static_cast<uint8_t>(n >> 8), p[at + 3] = static_cast<uint8_t>(n);
        if (end == p.size()) return true;
        at = end;
    }
}

std::vector<uint8_t> decoder_configuration(const std::vector<std::span<const uint8_t>>& sps,
                                           const std::vector<std::span<const uint8_t>>& pps) {
    if (sps.empty() || sps.size() > 31 || pps.empty() || pps.size() > 255) return {};
    const std::span<const uint8_t> first = sps[0];
    if (first.size() < 4) return {};
    for (const auto& set : sps)
        if (set.size() > 0xFFFF) return {};
    for (const auto& set : pps)
        if (set.size() > 0xFFFF) return {};
    std::vector<uint8_t> out;
    out.push_back(1);         // configurationVersion
    out.push_back(first[1]);  // AVCProfileIndication
    out.push_back(first[2]);  // profile_compatibility
    out.push_back(first[3]);  // AVCLevelIndication
    out.push_back(0xFC | 3);  // reserved '111111', lengthSizeMinusOne: 4-byte lengths
    out.push_back(
        static_cast<uint8_t>(0xE0 | sps.size()));  // reserved '111', numOfSequenceParameterSets
    for (const auto& set : sps) {
        put_be16(out, set.size());  // sequenceParameterSetLength
        out.insert(out.end(), set.begin(), set.end());
    }
    out.push_back(static_cast<uint8_t>(pps.size()));  // numOfPictureParameterSets
    for (const auto& set : pps) {
        put_be16(out, set.size());  // pictureParameterSetLength
        out.insert(out.end(), set.begin(), set.end());
    }
    if (has_chroma_format(first[1])) {
        BitReader r(first.subspan(4));
        r.ue();  // seq_parameter_set_id
        const uint32_t chroma_format_idc = r.ue();
        if (chroma_format_idc == 3) r.bit();  // separate_colour_plane_flag
        const uint32_t luma = r.ue();         // bit_depth_luma_minus8
        const uint32_t chroma = r.ue();       // bit_depth_chroma_minus8
        if (!r.ok() || chroma_format_idc > 3 || luma > 6 || chroma > 6) return {};
        out.push_back(static_cast<uint8_t>(0xFC | chroma_format_idc));  // reserved, chroma_format
        out.push_back(static_cast<uint8_t>(0xF8 | luma));    // reserved, bit_depth_luma_minus8
        out.push_back(static_cast<uint8_t>(0xF8 | chroma));  // reserved, bit_depth_chroma_minus8
        out.push_back(0);                                    // numOfSequenceParameterSetExt
    }
    return out;
}

}  // namespace tv::mux::avc
