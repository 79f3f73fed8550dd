// G.726 ADPCM at 2 to 5 bits per sample on 16-bit PCM, following the block structure of the
// standard's fixed-point description. Values are held in 32 bits; where a stream saturates, the
// formulas are applied as they stand (no extra wrapping of intermediates).
#include <array>

#include "voice/voice_internal.h"

namespace tv::voice {
namespace {

struct CodeTables {
    std::array<int32_t, 16> levels;  // quantizer decision levels, ending in a sentinel
    int level_count;
    std::array<int32_t, 16> dqln;  // reconstruction levels by magnitude index
    std::array<int32_t, 16> w;     // scale-factor multipliers
    std::array<int32_t, 16> f;     // speed-control weights
};

constexpr std::array<CodeTables, 4> kTables = {{
    {{261}, 1, {116, 365}, {-22, 439}, {0, 7}},
    {{8, 218, 331, 32767}, 4, {-2048, 135, 273, 373}, {-4, 30, 137, 582}, {0, 1, 2, 7}},
    {{-124, 80, 178, 246, 300, 349, 400, 32767},
     8,
     {-2048, 4, 135, 213, 273, 323, 373, 425},
     {-12, 18, 41, 64, 112, 198, 355, 1122},
     {0, 0, 0, 1, 1, 1, 3, 7}},
    {{-122, -16, 68, 139, 198, 250, 298, 339, 378, 413, 445, 475, 502, 528, 553, 32767},
     16,
     {-2048, -66, 28, 104, 169, 224, 274, 318, 358, 395, 429, 459, 488, 514, 539, 566},
     {14, 14, 24, 39, 40, 41, 58, 100, 141, 179, 219, 280, 358, 440, 529, 696},
     {0, 0, 0, 0, 0, 1, 1, 1, 1, 1, 2, 3, 4, 5, 6, 6}},
}};

constexpr const CodeTables& tables_for(int code_size) {
    return kTables[static_cast<std::size_t>(code_size - 2)];
}

constexpr int32_t kFloatZero = 32;  // 11-bit float of a positive zero

// 11-bit float: sign in bit 10, exponent (bit length) from bit 6 up, six-bit mantissa. A
// magnitude above 15 bits lets the exponent carry into the bits above, as the formula gives.
constexpr int32_t to_float(int32_t sign, int32_t magnitude) {
    const int exponent = bit_length(static_cast<uint32_t>(magnitude));
    const int32_t mantissa = magnitude == 0 ? 32 : (magnitude << 6) >> exponent;
    return (sign << 10) + (exponent << 6) + mantissa;
}

// Product of a predictor coefficient and an 11-bit float (FMULT).
constexpr int32_t fmult(int32_t an, int32_t srn) {
    const int32_t anmag = an >= 0 ? an >> 2 : -(an >> 2);
    const int anexp = bit_length(static_cast<uint32_t>(anmag));
    const int32_t anmant = anmag == 0 ? 32 : (anmag << 6) >> anexp;
    const int wexp = anexp + ((srn >> 6) & 15);
    const int32_t wmant = (anmant * (srn & 63) + 48) >> 4;
    const int32_t wmag = wexp > 26 ? (wmant << (wexp - 19)) & 0x7FFF : (wmant << 7) >> (26 - wexp);
    const bool an_negative = an < 0;
    const bool srn_negative = ((srn >> 10) & 1) != 0;
    return an_negative != srn_negative ? -wmag : wmag;
}

// One step of the sample coder. With `encode` the input is a sample and the code is returned;
// otherwise the input is a code and the reconstructed sample is returned.
template <bool encode>
int32_t code_sample(VoiceG726Fields& s, const CodeTables& t, int code_size, int32_t input) {
    const int32_t all_ones = (1 << code_size) - 1;
    const int32_t half = (1 << (code_size - 1)) - 1;

    // LIMA, MIX
    const int32_t al = s.ap > 256 ? 64 : s.ap >> 2;
    const int32_t dif = s.yu - (s.yl >> 6);
    const int32_t y = (s.yl >> 6) + ((dif * al + (dif < 0 ? 63 : 0)) >> 6);

    // FMULT, ACCUM
    int32_t sezi = 0;
    for (int i = 0; i < 6; ++i) sezi += fmult(s.b[i], s.dq[i]);
    const int32_t sez = sezi >> 1;
    const int32_t se = (sezi + fmult(s.a2, s.sr2) + fmult(s.a1, s.sr1)) >> 1;

    int32_t code = 0;
    if constexpr (encode) {
        // SUBTA, LOG, SUBTB, QUAN: the 16-bit sample is cut to 14 bits first.
        const int32_t d = (input >> 2) - se;
        const int32_t m = (d < 0 ? -d : d) & 0x7FFF;
        const int exp = highest_bit(static_cast<uint32_t>(m));
        const int32_t dl = (exp << 7) + (((m << 7) >> exp) & 127);
        const int32_t dln = dl - (y >> 2);
        const bool ds = d < 0;
        if (code_size == 2) {
            const int32_t large = dln >= t.levels[0] ? 1 : 0;
            code = ds ? (~large & 3) : large;
        } else {
            int i = 0;
            while (i < t.level_count && dln >= t.levels[static_cast<std::size_t>(i)]) ++i;
            code = i == 0 ? all_ones : (ds ? all_ones - i : i);
        }
    } else {
        code = input & all_ones;
    }
    const bool negative = ((code >> (code_size - 1)) & 1) != 0;
    const auto index = static_cast<std::size_t>(negative ? (~code & half) : (code & half));

    // RECONST, ADDA, ANTILOG
    const int32_t dqln = t.dqln[index] + (y >> 2);
    const int32_t dqmag = dqln < 0 ? 0 : (((dqln & 127) + 128) << 7) >> (14 - ((dqln >> 7) & 15));
    const int32_t dq_sign = negative ? 1 : 0;

    // TRANS
    const int32_t ylint = s.yl >> 15;
    const int32_t thr = ylint > 9 ? 31 << 10 : (32 + ((s.yl >> 10) & 31)) << ylint;
    const int32_t dqthr = (thr + (thr >> 1)) >> 1;
    const bool tr = s.td != 0 && dqmag > dqthr;

    // ADDB, ADDC
    const int32_t dqs = negative ? -dqmag : dqmag;
    const int32_t sr = se + dqs;
    const int32_t dqsez = sez + dqs;
    const int32_t pk0 = dqsez >> 15;
    const bool sigpk = dqsez == 0;

    // FLOATA, FLOATB
    const int32_t dq_float = to_float(dq_sign, dqmag);
    const int32_t sr_float = to_float((sr >> 15) & 1, sr < 0 ? -sr : sr);

    // UPA2, LIMC, UPA1, LIMD, UPB, TRIGB
    int32_t a2p = 0;
    if (tr) {
        s.a1 = 0;
        s.a2 = 0;
        for (int32_t& b : s.b) b = 0;
    } else {
        const int leak = code_size == 5 ? 9 : 8;
        for (int i = 0; i < 6; ++i) {
            int32_t u = 0;
            if (dqmag != 0) u = dq_sign == ((s.dq[i] >> 10) & 1) ? 128 : -128;
            s.b[i] = s.b[i] - (s.b[i] >> leak) + u;
        }
        int32_t u2 = 0;
        if (!sigpk) {
            const int32_t fa1 = s.a1 < -8191 ? -32764 : (s.a1 > 8191 ? 32764 : 4 * s.a1);
            const int32_t fa = pk0 == s.pk1 ? -fa1 : fa1;
            u2 = (fa + (pk0 == s.pk2 ? 16384 : -16384)) >> 7;
        }
        a2p = clamp32(s.a2 - (s.a2 >> 7) + u2, -12288, 12288);
        s.a2 = a2p;
        const int32_t u1 = sigpk ? 0 : (pk0 == s.pk1 ? 192 : -192);
        s.a1 = clamp32(s.a1 - (s.a1 >> 8) + u1, a2p - 15360, 15360 - a2p);
    }

    // Delays
    for (int i = 5; i > 0; --i) s.dq[i] = s.dq[i - 1];
    s.dq[0] = dq_float;
    s.sr2 = s.sr1;
    s.sr1 = sr_float;
    s.pk2 = s.pk1;
    s.pk1 = pk0;

    // TONE, TRIGB
    const int32_t tdp = a2p < -11776 ? 1 : 0;
    s.td = tr ? 0 : tdp;

    // FUNCTF, FILTA, FILTB
    const int32_t fi = t.f[index];
    s.dms += ((fi << 9) - s.dms) >> 5;
    s.dml += ((fi << 11) - s.dml) >> 7;

    // SUBTC, FILTC, TRIGA
    if (tr) {
        s.ap = 256;
    } else {
        const int32_t spread = 4 * s.dms - s.dml;
        const int32_t ax = (y < 1536 || (spread < 0 ? -spread : spread) >= (s.dml >> 3)) ? 1 : tdp;
        s.ap += ((ax << 9) - s.ap) >> 4;
    }

    // FUNCTW, FILTD, LIMB, FILTE
    const int32_t wi = t.w[index];
    s.yu = clamp32(y + ((wi * 32 - y) >> 5), 544, 5120);
    s.yl += ((s.yu * 64) - s.yl) >> 6;

    if constexpr (encode) {
        return code;
    } else {
        return clamp32(sr, -8192, 8191) * 4;
    }
}

// The caller's state with the adapted quantities bounded to the ranges that coding from a
// reset never leaves (so those states code as before): the record may hold any bytes, and out
// of range they would overflow the sums and shift past the word. The rest only enters masked.
VoiceG726Fields caller_state(const VoiceCodecState& state) {
    VoiceG726Fields s = state.codec.g726;
    s.a2 = clamp32(s.a2, -12288, 12288);
    s.a1 = clamp32(s.a1, -27648, 27648);
    s.ap = clamp32(s.ap, 0, 512);
    for (int32_t& b : s.b) b = clamp32(b, -65536, 65536);  // leak 1/512 at 5 bits
    s.dms = clamp32(s.dms, 0, 7 << 9);
    s.dml = clamp32(s.dml, 0, 7 << 11);
    s.yu = clamp32(s.yu, 544, 5120);
    s.yl = clamp32(s.yl, 544 << 6, 5120 << 6);
    return s;
}

// A code stream packed from bit 0 of the first byte upward, each code least significant bit first.
class LsbWriter {
  public:
    explicit LsbWriter(uint8_t* out) : out_(out) {}
    void put(uint32_t code, int bits) {
        acc_ |= code << fill_;
        fill_ += bits;
        while (fill_ >= 8) {
            *out_++ = static_cast<uint8_t>(acc_);
            acc_ >>= 8;
            fill_ -= 8;
        }
    }
    void flush() {
        if (fill_ > 0) *out_ = static_cast<uint8_t>(acc_);
    }

  private:
    uint8_t* out_;
    uint32_t acc_ = 0;
    int fill_ = 0;
};

// Groups of whole codes that end on a byte boundary: lcm(B, 8) bits.
constexpr int group_bytes(int code_size) {
    return code_size == 3 ? 3 : (code_size == 5 ? 5 : 1);
}

template <bool to_msb>
void convert_bit_order(std::span<uint8_t> payload, int code_size) {
    if ((payload.size() * 8) % static_cast<std::size_t>(code_size) != 0) return;
    const std::size_t group = static_cast<std::size_t>(group_bytes(code_size));
    const int group_bits = static_cast<int>(group) * 8;
    const int codes_per_group = group_bits / code_size;
    const uint64_t mask = (uint64_t{1} << code_size) - 1;
    for (std::size_t start = 0; start + group <= payload.size(); start += group) {
        // lsb: stream bit j is bit j of the little-endian value; msb: stream bit j is bit
        // (group_bits - 1 - j) of the big-endian value.
        uint64_t lsb = 0;
        uint64_t msb = 0;
        for (std::size_t i = 0; i < group; ++i) {
            lsb |= uint64_t{payload[start + i]} << (8 * i);
            msb = (msb << 8) | payload[start + i];
        }
        uint64_t out = 0;
        for (int k = 0; k < codes_per_group; ++k) {
            const int lsb_shift = k * code_size;
            const int msb_shift = group_bits - (k + 1) * code_size;
            if constexpr (to_msb) {
                out |= ((lsb >> lsb_shift) & mask) << msb_shift;
            } else {
                out |= ((msb >> msb_shift) & mask) << lsb_shift;
            }
        }
        for (std::size_t i = 0; i < group; ++i) {
            payload[start + i] = to_msb ? static_cast<uint8_t>(out >> (8 * (group - 1 - i)))
                                        : static_cast<uint8_t>(out >> (8 * i));
        }
    }
}

}  // namespace

void g726_reset(VoiceCodecState& state, int code_size) {
    VoiceG726Fields s{};
    s.code_size = code_size;
    for (int32_t& dq : s.dq) dq = kFloatZero;
    s.sr1 = kFloatZero;
    s.sr2 = kFloatZero;
    s.yl = 34816;
    s.yu = 544;
    state.codec.g726 = s;
}

void g726_lsb_to_msb(std::span<uint8_t> payload, int code_size) {
    convert_bit_order<true>(payload, code_size);
}
void g726_msb_to_lsb(std::span<uint8_t> payload, int code_size) {
    convert_bit_order<false>(payload, code_size);
}

int g726_encode(VoiceCodecState& state, int16_t mode, std::span<const int16_t> pcm,
                PayloadBuffer payload) {
    VoiceG726Fields s = caller_state(state);
    const int code_size = g726_code_size(mode);
    const CodeTables& t = tables_for(code_size);
    const int n = static_cast<int>(pcm.size());
    const int words = encoded_payload_words(mode, n);
    const int coded = n & ~1;

    // All coded samples are packed, then only the whole words of the frame are kept; bits
    // beyond the last code stay 0.
    std::array<uint8_t, (kMaxSamples * 5 + 7) / 8> packed{};
    LsbWriter writer(packed.data());
    for (int i = 0; i < coded; ++i) {
        const int32_t code = code_sample<true>(s, t, code_size, pcm[static_cast<std::size_t>(i)]);
        writer.put(static_cast<uint32_t>(code), code_size);
    }
    writer.flush();
    const auto bytes = static_cast<std::size_t>(2 * words);
    for (std::size_t i = 0; i < bytes; ++i) payload[i] = packed[i];
    if (g726_msb_first(mode)) g726_lsb_to_msb(payload.first(bytes), code_size);
    state.codec.g726 = s;
    return words;
}

int g726_decode(VoiceCodecState& state, int16_t mode, std::span<uint8_t> payload, int16_t* pcm) {
    const int code_size = g726_code_size(mode);
    // The caller's frame is left in LSB-first order: the rewrite happens in place.
    if (g726_msb_first(mode)) g726_msb_to_lsb(payload, code_size);
    VoiceG726Fields s = caller_state(state);
    const CodeTables& t = tables_for(code_size);
    const int count = static_cast<int>(payload.size() * 8) / code_size;
    const uint32_t mask = (1u << code_size) - 1;
    uint32_t acc = 0;
    int fill = 0;
    std::size_t next = 0;
    for (int i = 0; i < count; ++i) {
        if (fill < code_size) {
            acc |= uint32_t{payload[next++]} << fill;
            fill += 8;
        }
        const auto code = static_cast<int32_t>(acc & mask);
        acc >>= code_size;
        fill -= code_size;
        pcm[i] = static_cast<int16_t>(code_sample<false>(s, t, code_size, code));
    }
    state.codec.g726 = s;
    return count;
}

}  // namespace tv::voice
