// Writes the seed corpora of the fuzz targets, made with the project's own builder and encoder.
//   make_seeds DIR   creates DIR/reader, DIR/voice, DIR/convert
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tools/ifvbuild/ifv_builder.h"
#include "torvane/voice.h"

namespace fs = std::filesystem;

namespace {

void save(const fs::path& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

std::vector<int16_t> tone(size_t n, double hz, double rate = 8000.0) {
    std::vector<int16_t> pcm(n);
    for (size_t i = 0; i < n; ++i)
        pcm[i] = static_cast<int16_t>(9000.0 * std::sin(2 * M_PI * hz * i / rate));
    return pcm;
}

std::vector<uint8_t> voice_frame(VoiceCodecState& state, const int16_t* pcm, int count) {
    VoiceFrame frame{};
    TV_VOICE_EncodeFrame(&state, pcm, &frame, count);
    const auto* p = reinterpret_cast<const uint8_t*>(&frame);
    return std::vector<uint8_t>(p, p + 4 + 2 * frame.payload_words);
}

// A small recording: `segments` segments of a few video frames and voice or raw audio frames.
ifvbuild::Recording recording(int segments, bool voice, bool audio, uint16_t bits = 16) {
    ifvbuild::Recording rec;
    rec.video.width = 64;
    rec.video.height = 48;
    rec.file.audio_flag = audio ? 1 : 0;
    // Small slot counts keep the seeds small; the reader follows the slot counts as stored.
    VoiceCodecState enc;
    TV_VOICE_EncReset(&enc, VOICE_MODE_ADPCM_FIRST);
    const auto pcm = tone(321, 440);
    if (voice) {
        rec.audio.format = "TV35";
        rec.audio.frame_length = 168;
    } else {
        rec.audio.bits_per_sample = bits;
        rec.audio.frame_length = bits == 8 ? 160 : 320;
    }
    uint32_t t = 0;
    for (int s = 0; s < segments; ++s) {
        auto& seg = rec.segments.emplace_back();
        seg.video_index_slots = 4;
        seg.audio_index_slots = audio ? 4 : 0;
        for (int i = 0; i < 3; ++i, t += 40) {
            seg.add_video(ifvbuild::pattern(20 + 7 * i, t), t, i == 0);
            if (audio) {
                if (voice)
                    seg.add_audio(voice_frame(enc, pcm.data(), 321), t);
                else
                    seg.add_audio(ifvbuild::pattern(rec.audio.frame_length, t + 1), t);
            }
        }
        seg.start_time_stamp = t - 120;
        seg.end_time_stamp = t;
    }
    return rec;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_seeds DIR\n");
        return 2;
    }
    const fs::path dir = argv[1];
    for (const char* sub : {"reader", "voice", "convert", "settings", "language", "avc"})
        fs::create_directories(dir / sub);
    // A key frame as an encoder writes it: 720p High-profile parameter sets, then a slice.
    save(dir / "avc" / "idr.bin",
         {0,    0,    0,    1,    0x67, 0x64, 0x00, 0x1f, 0xac, 0xb4, 0x02, 0x80, 0x2d,
          0xd8, 0x08, 0x80, 0x00, 0x00, 0x03, 0x00, 0x80, 0x00, 0x00, 0x19, 0x07, 0x8c,
          0x19, 0x50, 0,    0,    0,    1,    0x68, 0xef, 0x3c, 0xb0, 0,    0,    1,
          0x65, 0x88, 0x84, 0x00, 0x33, 0xff, 0,    0,    3,    1,    0});

    std::vector<std::pair<std::string, ifvbuild::Recording>> recs;
    recs.emplace_back("voice", recording(1, true, true));
    recs.emplace_back("raw16", recording(2, false, true, 16));
    recs.emplace_back("raw8", recording(1, false, true, 8));
    recs.emplace_back("silent", recording(2, false, false));
    recs.emplace_back("empty", ifvbuild::Recording{});
    auto gapped = recording(3, true, true);
    gapped.segments[1].video.clear();
    gapped.segments[1].audio.clear();
    recs.emplace_back("empty-middle", gapped);
    for (auto& [name, rec] : recs) {
        const auto bytes = ifvbuild::to_bytes(rec);
        save(dir / "convert" / (name + ".ifv"), bytes);
        std::vector<uint8_t> with_choice = {0, 0};
        with_choice.insert(with_choice.end(), bytes.begin(), bytes.end());
        save(dir / "reader" / (name + ".bin"), with_choice);
    }
    auto based = recording(1, true, true);
    based.base = 100;
    auto bytes = ifvbuild::to_bytes(based);
    bytes.insert(bytes.begin(), {100, 0x80});
    save(dir / "reader" / "base100.bin", bytes);

    // Voice: for each mode, two encoded frames behind a decode selector, and PCM behind an
    // encode selector; transcoder inputs for modes 97 to 100.
    const int16_t modes[] = {1, 2, 3, 4, 5, 6, 7, 35, 36, 37, 38, 39, 65, 66, 67, 68};
    const auto pcm = tone(480, 300);
    for (int i = 0; i < 16; ++i) {
        VoiceCodecState enc;
        TV_VOICE_EncReset(&enc, modes[i]);
        std::vector<uint8_t> dec = {static_cast<uint8_t>(i)};
        for (int f = 0; f < 2; ++f) {
            const auto frame = voice_frame(enc, pcm.data(), 320);
            dec.insert(dec.end(), frame.begin(), frame.end());
        }
        save(dir / "voice" / ("decode-" + std::to_string(modes[i]) + ".bin"), dec);
        std::vector<uint8_t> encode = {static_cast<uint8_t>(0x40 | i), 0x40, 0x01};
        const auto* p = reinterpret_cast<const uint8_t*>(pcm.data());
        encode.insert(encode.end(), p, p + 640);
        save(dir / "voice" / ("encode-" + std::to_string(modes[i]) + ".bin"), encode);
    }
    for (int t = 0; t < 4; ++t) {
        VoiceCodecState enc;
        TV_VOICE_EncReset(&enc, 65 + t);
        std::vector<uint8_t> in = {static_cast<uint8_t>(0x80 | t)};
        const auto frame = voice_frame(enc, pcm.data(), 320);
        in.insert(in.end(), frame.begin(), frame.end());
        save(dir / "voice" / ("transcode-" + std::to_string(97 + t) + ".bin"), in);
    }
    // Settings files as the program writes them, and in the shapes it must also read.
    const std::pair<const char*, const char*> settings[] = {
        {"default.dat",
         "<XML>\n    <CollocateXML>\n        <Collocate Language=\"0\" BrowsePath=\"\" "
         "Format=\"0\" "
         "StartTime=\"0\" StartDirTime=\"0\" gpsoverlay=\"0\"/>\n    </CollocateXML>\n</XML>\n"},
        {"two-groups.dat",
         "<XML><CollocateXML><Collocate Language=\"3\" BrowsePath=\"a&amp;b&lt;c\"/></CollocateXML>"
         "<CollocateXML><Collocate StartTime=\" -5x\" "
         "gpsoverlay=\"99999999999\"/></CollocateXML></XML>"},
        {"renamed.dat", "<?xml version=\"1.0\"?><R><G><I Language=\"1\" Format=\"+7\"/></G></R>"},
    };
    for (const auto& [name, text] : settings) {
        save(dir / "settings" / name, std::vector<uint8_t>(text, text + std::strlen(text)));
    }
    // Language lookups: language number, key, newline, then the file.
    const char* ini =
        "[Lang0]\nSTSource=\xe5\x8e\x9f\xe5\xa7\x8b\nBtLanguage=Language\n"
        "[Lang1]\r\nSTSource = Original ifv file: \r\n; comment\r\nMessageAVIsucceed=Done\r\n";
    for (int lang : {0, 1, 3}) {
        std::vector<uint8_t> seed = {static_cast<uint8_t>(lang)};
        const std::string key = lang == 1 ? "MessageAVIsucceed\n" : "STSource\n";
        seed.insert(seed.end(), key.begin(), key.end());
        seed.insert(seed.end(), ini, ini + std::strlen(ini));
        save(dir / "language" / ("lang" + std::to_string(lang) + ".bin"), seed);
    }
    return 0;
}
