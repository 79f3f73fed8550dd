#include "tools/mkifv/annexb.h"

#include <cstddef>

namespace mkifv {
namespace {

struct Nal {
    size_t start;    // first byte of the start code
    size_t payload;  // first byte after the start code (the NAL header)
    size_t end;      // one past the last byte
};

std::vector<Nal> find_nals(std::span<const uint8_t> s) {
    std::vector<Nal> nals;
    size_t i = 0;
    auto next_start = [&](size_t from, size_t& code_len) -> size_t {
        for (size_t k = from; k + 2 < s.size(); ++k) {
            if (s[k] == 0 && s[k + 1] == 0) {
                if (s[k + 2] == 1) {
                    code_len = 3;
                    return k;
                }
                if (k + 3 < s.size() && s[k + 2] == 0 && s[k + 3] == 1) {
                    code_len = 4;
                    return k;
                }
            }
        }
        code_len = 0;
        return s.size();
    };
    size_t len = 0;
    i = next_start(0, len);
    while (i < s.size()) {
        const size_t payload = i + len;
        size_t next_len = 0;
        const size_t next = next_start(payload, next_len);
        if (payload < next) nals.push_back({i, payload, next});
        i = next;
        len = next_len;
    }
    return nals;
}

// Reads Exp-Golomb coded fields from a NAL payload with emulation prevention bytes removed.
class BitReader {
  public:
    explicit BitReader(std::span<const uint8_t> nal) {
        int zeros = 0;
        for (uint8_t b : nal) {
            if (zeros >= 2 && b == 3) {
                zeros = 0;
                continue;
            }
            zeros = b == 0 ? zeros + 1 : 0;
            rbsp_.push_back(b);
        }
    }
    bool ok() const { return ok_; }
    uint32_t bits(int n) {
        uint32_t v = 0;
        for (int i = 0; i < n; ++i) v = (v << 1) | bit();
        return v;
    }
    uint32_t bit() {
        if (pos_ >= rbsp_.size() * 8) {
            ok_ = false;
            return 0;
        }
        const uint32_t b = (rbsp_[pos_ / 8] >> (7 - pos_ % 8)) & 1u;
        ++pos_;
        return b;
    }
    uint32_t ue() {
        int leading = 0;
        while (ok_ && bit() == 0) {
            if (++leading > 31) {
                ok_ = false;
                return 0;
            }
        }
        return ((1u << leading) - 1u) + bits(leading);
    }
    int32_t se() {
        const uint32_t k = ue();
        return (k & 1u) ? static_cast<int32_t>((k + 1) / 2) : -static_cast<int32_t>(k / 2);
    }

  private:
    std::vector<uint8_t> rbsp_;
    size_t pos_ = 0;
    bool ok_ = true;
};

void skip_scaling_list(BitReader& r, int size) {
    int last = 8, next = 8;
    for (int j = 0; j < size && r.ok(); ++j) {
        if (next != 0) next = (last + r.se() + 256) % 256;
        last = next == 0 ? last : next;
    }
}

std::optional<PictureSize> parse_sps(std::span<const uint8_t> nal) {
    BitReader r(nal.subspan(1));  // past the NAL header
    const uint32_t profile = r.bits(8);
    r.bits(16);  // constraint flags, level
    r.ue();      // seq_parameter_set_id
    uint32_t chroma_format = 1;
    bool separate_planes = false;
    switch (profile) {
        case 100:
        case 110:
        case 122:
        case 244:
        case 44:
        case 83:
        case 86:
        case 118:
        case 128:
        case 138:
        case 139:
        case 134:
        case 135: {
            chroma_format = r.ue();
            if (chroma_format == 3) separate_planes = r.bit() != 0;
            r.ue();   // bit_depth_luma_minus8
            r.ue();   // bit_depth_chroma_minus8
            r.bit();  // qpprime_y_zero_transform_bypass_flag
            if (r.bit()) {
                for (int i = 0; i < (chroma_format != 3 ? 8 : 12); ++i) {
                    if (r.bit()) skip_scaling_list(r, i < 6 ? 16 : 64);
                }
            }
            break;
        }
        default:
            break;
    }
    r.ue();  // log2_max_frame_num_minus4
    const uint32_t poc_type = r.ue();
    if (poc_type == 0) {
        r.ue();
    } else if (poc_type == 1) {
        r.bit();
        r.se();
        r.se();
        const uint32_t n = r.ue();
        for (uint32_t i = 0; i < n && i < 256 && r.ok(); ++i) r.se();
    }
    r.ue();   // max_num_ref_frames
    r.bit();  // gaps_in_frame_num_value_allowed_flag
    const uint32_t width_mbs = r.ue() + 1;
    const uint32_t height_units = r.ue() + 1;
    const uint32_t frame_mbs_only = r.bit();
    if (!frame_mbs_only) r.bit();
    r.bit();  // direct_8x8_inference_flag
    uint32_t crop_left = 0, crop_right = 0, crop_top = 0, crop_bottom = 0;
    if (r.bit()) {
        crop_left = r.ue();
        crop_right = r.ue();
        crop_top = r.ue();
        crop_bottom = r.ue();
    }
    if (!r.ok()) return std::nullopt;
    const uint32_t array_type = separate_planes ? 0 : chroma_format;
    const uint32_t sub_w = (array_type == 1 || array_type == 2) ? 2 : 1;
    const uint32_t sub_h = array_type == 1 ? 2 : 1;
    const uint32_t crop_x = array_type == 0 ? 1 : sub_w;
    const uint32_t crop_y = (array_type == 0 ? 1 : sub_h) * (2 - frame_mbs_only);
    PictureSize size;
    size.width = width_mbs * 16 - crop_x * (crop_left + crop_right);
    size.height = (2 - frame_mbs_only) * height_units * 16 - crop_y * (crop_top + crop_bottom);
    if (size.width == 0 || size.height == 0 || size.width > 16384 || size.height > 16384)
        return std::nullopt;
    return size;
}

}  // namespace

std::vector<AccessUnit> split_access_units(std::span<const uint8_t> stream) {
    std::vector<AccessUnit> units;
    size_t unit_start = 0;
    bool unit_has_picture = false;
    bool unit_idr = false;
    bool open = false;
    for (const Nal& nal : find_nals(stream)) {
        const uint8_t type = stream[nal.payload] & 0x1F;
        const bool vcl = type >= 1 && type <= 5;
        bool starts_unit = false;
        if (type == 9 || type == 7 || type == 8 || type == 6) {
            starts_unit = unit_has_picture;
        } else if (vcl) {
            // first_mb_in_slice = 0 is the Exp-Golomb code "1": the top bit after the header.
            const bool first_slice =
                nal.payload + 1 < nal.end && (stream[nal.payload + 1] & 0x80) != 0;
            starts_unit = unit_has_picture && first_slice;
        }
        if (starts_unit && open) {
            units.push_back({stream.subspan(unit_start, nal.start - unit_start), unit_idr});
            unit_start = nal.start;
            unit_has_picture = false;
            unit_idr = false;
        }
        if (!open) {
            unit_start = nal.start;
            open = true;
        }
        if (vcl) unit_has_picture = true;
        if (type == 5) unit_idr = true;
    }
    if (open && unit_has_picture) {
        units.push_back({stream.subspan(unit_start), unit_idr});
    }
    return units;
}

std::optional<PictureSize> picture_size(std::span<const uint8_t> stream) {
    for (const Nal& nal : find_nals(stream)) {
        if ((stream[nal.payload] & 0x1F) == 7) {
            return parse_sps(stream.subspan(nal.payload, nal.end - nal.payload));
        }
    }
    return std::nullopt;
}

}  // namespace mkifv
