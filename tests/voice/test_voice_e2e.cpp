// Outside check with ffmpeg's standard G.711 decoders on all 256 codes.
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
    const tvtest::CommandResult r =
        tvtest::run(tvtest::words("ffmpeg -hide_banner -loglevel error -y " + input_args + " -i",
                                  {input.string(), "-f", "s16le", out.string()}));
    EXPECT_EQ(r.status, 0) << r.err;
    return read_s16le(out);
}

TEST(VoiceE2e, G711DecodingAgreesWithFfmpegOnAllCodes) {
    ASSERT_TRUE(tvtest::have_program("ffmpeg")) << "scripts/install-deps.sh installs ffmpeg";
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
        const std::vector<int16_t> pcm = decode_counting_codes(mode, 160);
        ASSERT_EQ(pcm.size(), 320u);
        for (int c = 0; c < 256; ++c) {
            EXPECT_EQ(pcm[static_cast<std::size_t>(c)], reference[static_cast<std::size_t>(c)])
                << format << " code " << c;
        }
    }
}

}  // namespace
