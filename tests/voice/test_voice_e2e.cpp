// Outside checks with ffmpeg's standard decoders: G.711 A-law and µ-law on all 256 codes, and
// IMA ADPCM through QuickTime "ima4" blocks, whose bytes are the code layout of a mode-35 frame.
#include "support/test_support.h"
#include "voice/voice_test_util.h"

using namespace voicetest;

namespace {

std::vector<int16_t> read_s16le(const std::filesystem::path& path) {
    const std::vector<uint8_t> bytes = tvtest::read_file(path);
    std::vector<int16_t> out(bytes.size() / 2);
    for (std::size_t i = 0; i < out.size(); ++i)
        out[i] = static_cast<int16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
    return out;
}

// Runs ffmpeg with `input_args` on `input` and returns the decoded 16-bit samples.
std::vector<int16_t> ffmpeg_decode(const std::string& input_args,
                                   const std::filesystem::path& input) {
    const std::filesystem::path out = input.parent_path() / "decoded.raw";
    const tvtest::CommandResult r = tvtest::run_command(
        "ffmpeg -hide_banner -loglevel error -y " + input_args + " -i " +
        tvtest::shell_quote(input.string()) + " -f s16le " + tvtest::shell_quote(out.string()));
    EXPECT_EQ(r.status, 0) << r.err;
    return read_s16le(out);
}

void require_ffmpeg() {
    const tvtest::CommandResult r = tvtest::run_command("ffmpeg -hide_banner -version");
    ASSERT_EQ(r.status, 0) << "ffmpeg is needed (scripts/install-deps.sh installs it)";
}

TEST(VoiceE2e, G711DecodingAgreesWithFfmpegOnAllCodes) {
    require_ffmpeg();
    const std::filesystem::path dir = tvtest::scratch_dir("g711");
    std::vector<uint8_t> codes(256);
    for (int c = 0; c < 256; ++c) codes[static_cast<std::size_t>(c)] = static_cast<uint8_t>(c);
    tvtest::write_file(dir / "codes.raw", codes);

    const std::pair<int, const char*> laws[] = {{1, "alaw"}, {2, "mulaw"}};
    for (const auto& [mode, format] : laws) {
        const std::vector<int16_t> reference =
            ffmpeg_decode(std::string("-f ") + format + " -ar 8000 -ac 1", dir / "codes.raw");
        ASSERT_EQ(reference.size(), 256u) << format;

        // 256 codes do not make an accepted frame; decode 320 (codes 0-255, then 0-63).
        VoiceCodecState s = fresh_state(mode, false);
        VoiceFrame f = make_frame(160);
        for (int i = 0; i < 320; ++i) f.payload[i] = static_cast<uint8_t>(i);
        const Decoded d = decode(s, f);
        ASSERT_EQ(d.pcm.size(), 320u);
        for (int c = 0; c < 256; ++c) {
            EXPECT_EQ(d.pcm[static_cast<std::size_t>(c)], reference[static_cast<std::size_t>(c)])
                << format << " code " << c;
        }
    }
}

// IEEE 754 80-bit extended form of a positive integer, as the AIFF sample rate is stored.
std::vector<uint8_t> extended80(uint32_t v) {
    int e = 31;
    while (!(v >> e)) --e;
    const uint64_t mantissa = uint64_t{v} << (63 - e);
    std::vector<uint8_t> out = {static_cast<uint8_t>((16383 + e) >> 8),
                                static_cast<uint8_t>((16383 + e) & 0xFF)};
    for (int i = 7; i >= 0; --i) out.push_back(static_cast<uint8_t>(mantissa >> (8 * i)));
    return out;
}

void put_be(std::vector<uint8_t>& out, uint32_t v, int bytes) {
    for (int i = bytes - 1; i >= 0; --i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

void put_chunk(std::vector<uint8_t>& out, const char* id, const std::vector<uint8_t>& body) {
    out.insert(out.end(), id, id + 4);
    put_be(out, static_cast<uint32_t>(body.size()), 4);
    out.insert(out.end(), body.begin(), body.end());
    if (body.size() % 2) out.push_back(0);
}

TEST(VoiceE2e, ImaAdpcmDecodingAgreesWithFfmpegQuickTimeDecoder) {
    require_ffmpeg();
    const std::filesystem::path dir = tvtest::scratch_dir("ima4");
    // QuickTime blocks: a big-endian word with the predictor's top 9 bits and the step index,
    // then 32 code bytes, low nibble first: 64 samples. The same bytes, with the predictor and
    // index as header words, make a mode-35 frame of 18 words.
    Lcg rng(35);
    const int blocks = 300;
    std::vector<uint8_t> ssnd = {0, 0, 0, 0, 0, 0, 0, 0};
    std::vector<VoiceFrame> frames;
    const uint8_t patterns[] = {0x00, 0x11, 0x77, 0xFF, 0x88, 0x19, 0x7F, 0xF7};
    for (int b = 0; b < blocks; ++b) {
        const int predictor = (static_cast<int>(rng.next() % 512) - 256) * 128;
        const int index = static_cast<int>(rng.next() % 89);
        put_be(ssnd, (static_cast<uint32_t>(predictor) & 0xFF80u) | static_cast<uint32_t>(index),
               2);
        VoiceFrame f = make_frame(18);
        f.payload[0] = static_cast<uint8_t>(predictor & 0xFF);
        f.payload[1] = static_cast<uint8_t>((predictor >> 8) & 0xFF);
        f.payload[2] = static_cast<uint8_t>(index);
        for (int i = 0; i < 32; ++i) {
            // Alternate random blocks with runs that drive the prediction to the rails.
            const uint8_t code =
                b % 2 ? static_cast<uint8_t>(rng.next()) : patterns[(b / 2 + i / 8) % 8];
            ssnd.push_back(code);
            f.payload[4 + i] = code;
        }
        frames.push_back(f);
    }
    std::vector<uint8_t> comm;
    put_be(comm, 1, 2);                              // channels
    put_be(comm, static_cast<uint32_t>(blocks), 4);  // packets
    put_be(comm, 16, 2);                             // decoded sample size
    const std::vector<uint8_t> rate = extended80(8000);
    comm.insert(comm.end(), rate.begin(), rate.end());
    comm.insert(comm.end(), {'i', 'm', 'a', '4', 0, 0});  // compression type, empty name
    std::vector<uint8_t> form = {'A', 'I', 'F', 'C'};
    std::vector<uint8_t> fver;
    put_be(fver, 0xA2805140u, 4);
    put_chunk(form, "FVER", fver);
    put_chunk(form, "COMM", comm);
    put_chunk(form, "SSND", ssnd);
    std::vector<uint8_t> file;
    put_chunk(file, "FORM", form);
    tvtest::write_file(dir / "blocks.aifc", file);

    const std::vector<int16_t> reference = ffmpeg_decode("", dir / "blocks.aifc");
    ASSERT_EQ(reference.size(), static_cast<std::size_t>(64 * blocks));

    VoiceCodecState s35 = fresh_state(35, false);
    VoiceCodecState s3 = fresh_state(3, false);
    for (int b = 0; b < blocks; ++b) {
        const std::vector<int16_t> expected(reference.begin() + 64 * b,
                                            reference.begin() + 64 * (b + 1));
        const Decoded d = decode(s35, frames[static_cast<std::size_t>(b)]);
        ASSERT_EQ(d.pcm.size(), 65u);
        EXPECT_EQ(d.pcm[0],
                  static_cast<int16_t>(frames[static_cast<std::size_t>(b)].payload[0] |
                                       (frames[static_cast<std::size_t>(b)].payload[1] << 8)));
        EXPECT_EQ(std::vector<int16_t>(d.pcm.begin() + 1, d.pcm.end()), expected)
            << "mode 35, block " << b;

        // Mode 3 reads the high nibble first: the same codes with each byte's halves exchanged.
        VoiceFrame f3 = frames[static_cast<std::size_t>(b)];
        for (int i = 4; i < 36; ++i)
            f3.payload[i] = static_cast<uint8_t>((f3.payload[i] << 4) | (f3.payload[i] >> 4));
        EXPECT_EQ(decode(s3, f3).pcm, expected) << "mode 3, block " << b;
    }
}

}  // namespace
