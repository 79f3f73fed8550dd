// Mode 68: a 16 kbit/s two-bit ADPCM with the G.726 two-bit quantizer and adaptation but a
// linear predictor with plain integer products on full 16-bit samples. The state is 16-bit and
// stores into it wrap; se, sez and sr stay 32-bit. Eight codes per payload word, first code in
// bits 15-14.
#include <array>

#include "common/bytes.h"
#include "voice/voice_internal.h"

namespace tv::voice {
namespace {

constexpr std::array<int32_t, 4> kDqln = {116, 365, 365, 116};
constexpr std::array<int32_t, 4> kF = {0, 7, 7, 0};
constexpr std::array<int32_t, 4> kW = {-22, 439, 439, -22};
constexpr int32_t kDecisionLevel = 261;

// Working copy of the state with the 16-bit fields widened; every store narrows through wrap16.
struct Coder {
    VoiceAdpcm16wFields s;

    // One sample step. With `encode` the input is a sample and the code is returned; otherwise
    // it is a code (0 to 3) and the reconstructed sample is returned.
    template <bool encode>
    int32_t step(int32_t input) {
        // Prediction: 32-bit products and sums (int64 here, narrowed: a 32-bit wrap).
        int64_t zero_sum = 0;
        for (int i = 0; i < 6; ++i) zero_sum += int64_t{s.b[i]} * s.dq[i];
        const auto sezi = static_cast<int32_t>(zero_sum);
        const auto sei =
            static_cast<int32_t>(zero_sum + int64_t{s.a1} * s.sr1 + int64_t{s.a2} * s.sr2);
        const int32_t se = sei >> 13;
        const int32_t sez = sezi >> 13;

        // Scale factor
        const int32_t al = s.ap >= 256 ? 64 : s.ap >> 2;
        const int32_t y = (wrap16(s.yu - (s.yl >> 6)) * al + s.yl) >> 6;

        int32_t code = 0;
        if constexpr (encode) {
            const auto shifted = static_cast<int32_t>(static_cast<uint32_t>(input * 8192) -
                                                      static_cast<uint32_t>(sei));
            const int32_t d = wrap16(shifted >> 13);
            const int32_t m = d < 0 ? -d : d;
            int32_t dl = -128;
            if (m != 0) {
                const int e = highest_bit(static_cast<uint32_t>(m));
                dl = 128 * e + ((m << 7) >> e) - 128;
            }
            const int32_t dln = dl - (y >> 2);
            const int32_t large = dln >= kDecisionLevel ? 1 : 0;
            code = d < 0 ? 3 - large : large;
        } else {
            code = input & 3;
        }
        const bool negative = code >= 2;
        const auto index = static_cast<std::size_t>(code);

        // Reconstruction
        const int32_t dqln = kDqln[index] + (y >> 2);
        const int32_t dq_mag = (((dqln & 127) + 128) << 7) >> (14 - (dqln >> 7));
        const int32_t dq = negative ? -dq_mag : dq_mag;

        // Transition, against the slow scale factor before this sample's update
        const bool tr = s.td != 0 && 7147 * dqln > s.yl;

        // F averages
        const int32_t fi = kF[index];
        s.dms = wrap16(s.dms + (((fi << 9) - s.dms) >> 5));
        s.dml = wrap16(s.dml + (((fi << 11) - s.dml) >> 7));

        // Scale factors
        const int32_t wi = kW[index];
        s.yu = static_cast<int16_t>(clamp32(wrap16(y + ((wi * 32 - y) >> 5)), 544, 5120));
        s.yl = s.yl + s.yu - (s.yl >> 6);

        // Partial reconstruction history
        const int32_t p1 = s.dqsez1;
        const int32_t p2 = s.dqsez2;
        const int32_t dqsez = wrap16(sez + dq);
        s.dqsez2 = s.dqsez1;
        s.dqsez1 = static_cast<int16_t>(dqsez);
        const int32_t sign = dqsez > 0 ? 1 : (dqsez < 0 ? -1 : 0);

        // Reconstructed signal
        const int32_t sr = se + dq;
        s.sr2 = s.sr1;
        s.sr1 = wrap16(sr >> 1);

        // Second pole
        const int32_t fa1 = clamp32(s.a1, -8192, 8192);
        const int32_t h = (p2 < 0 ? -4096 : 4096) + (p1 < 0 ? fa1 : -fa1);
        const int32_t a2p = clamp32(wrap16(s.a2 - (s.a2 >> 7) + ((sign * h) >> 5)), -12288, 12288);
        s.a2 = static_cast<int16_t>(tr ? 0 : a2p);

        // First pole, bounded by the new second pole even when it is discarded
        const int32_t a1p = clamp32(wrap16(s.a1 - (s.a1 >> 8) + sign * (p1 < 0 ? -192 : 192)),
                                    a2p - 15360, 15360 - a2p);
        s.a1 = static_cast<int16_t>(tr ? 0 : a1p);

        // Tone and speed control
        const bool tdp = a2p < -11776;
        s.td = static_cast<int16_t>(tr ? 0 : (tdp ? 1 : 0));
        const int32_t spread = 4 * s.dms - s.dml;
        const int32_t ax =
            ((spread < 0 ? -spread : spread) >= (s.dml >> 3) || y < 1536 || tdp) ? 1 : 0;
        s.ap = static_cast<int16_t>(tr ? 256 : wrap16(s.ap - (s.ap >> 4) + 32 * ax));

        // Zero coefficients, against the differences before this sample
        for (int i = 0; i < 6; ++i) {
            int32_t u = 0;
            if (dq != 0) u = (dq < 0) == (s.dq[i] < 0) ? 64 : -64;
            s.b[i] = static_cast<int16_t>(tr ? 0 : wrap16(s.b[i] - (s.b[i] >> 8) + u));
        }
        for (int i = 5; i > 0; --i) s.dq[i] = s.dq[i - 1];
        s.dq[0] = wrap16(dq);

        if constexpr (encode) {
            return code;
        } else {
            return clamp32(sr, -32768, 32767);
        }
    }
};

// The caller's state with the scale factors and the speed control bounded to the ranges that
// coding from a reset never leaves: out of range they would overflow the slow scale factor's
// sum and shift the reconstruction past the word. The other fields are 16-bit and cannot.
VoiceAdpcm16wFields caller_state(const VoiceCodecState& state) {
    VoiceAdpcm16wFields s = state.codec.adpcm16w;
    s.ap = static_cast<int16_t>(clamp32(s.ap, 0, 512));
    s.yu = static_cast<int16_t>(clamp32(s.yu, 544, 5120));
    s.yl = clamp32(s.yl, 544 << 6, (5120 << 6) + 63);
    return s;
}

}  // namespace

void adpcm16w_reset(VoiceCodecState& state) {
    VoiceAdpcm16wFields s{};
    s.sr1 = 16;
    s.sr2 = 16;
    for (int16_t& dq : s.dq) dq = 32;
    s.yu = 544;
    s.yl = 34816;
    state.codec.adpcm16w = s;
}

int adpcm16w_encode(VoiceCodecState& state, std::span<const int16_t> pcm, PayloadBuffer payload) {
    Coder coder{caller_state(state)};
    std::array<uint8_t, kMaxSamples> codes{};
    for (std::size_t i = 0; i < pcm.size(); ++i)
        codes[i] = static_cast<uint8_t>(coder.step<true>(pcm[i]));
    const int words = static_cast<int>(pcm.size()) / 8;
    for (int w = 0; w < words; ++w) {
        unsigned word = 0;
        for (int k = 0; k < 8; ++k) word = (word << 2) | codes[static_cast<std::size_t>(8 * w + k)];
        tv::store_le16(payload.data() + 2 * w, static_cast<uint16_t>(word));
    }
    state.codec.adpcm16w = coder.s;
    return words;
}

int adpcm16w_decode(VoiceCodecState& state, std::span<const uint8_t> payload, int16_t* pcm) {
    Coder coder{caller_state(state)};
    const std::size_t words = payload.size() / 2;
    for (std::size_t w = 0; w < words; ++w) {
        const unsigned word = tv::load_le16(payload.data() + 2 * w);
        for (int k = 0; k < 8; ++k) {
            const auto code = static_cast<int32_t>((word >> (14 - 2 * k)) & 3);
            *pcm++ = static_cast<int16_t>(coder.step<false>(code));
        }
    }
    state.codec.adpcm16w = coder.s;
    return static_cast<int>(8 * words);
}

}  // namespace tv::voice
