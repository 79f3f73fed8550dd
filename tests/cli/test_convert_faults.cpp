// torvane-convert on a failing system: every write, read, seek and close of a conversion made
// to fail in turn, and the converter killed at many points. A preloaded library (fault_shim.c)
// fails or freezes the calls that concern the recording and the output; the programs are the
// ones users run.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <map>

#include "common/bytes.h"
#include "support/avi_check.h"
#include "support/test_support.h"
#include "torvane/avi.h"

namespace fs = std::filesystem;
using testing::HasSubstr;
using tvtest::run;
using tvtest::words;

namespace {

std::string shim_path() {
    return (tvtest::lib_dir() / "libtorvane_fault_shim.so").string();
}

// Under AddressSanitizer the runtime must tolerate a library preloaded before it.
std::string asan_options() {
    const char* own = std::getenv("ASAN_OPTIONS");
    return std::string(own ? own : "") + (own && *own ? ":" : "") + "verify_asan_link_order=0";
}

// A recording of real H.264 pictures and voice from torvane-mkifv, so that outputs can be
// decoded and compared picture by picture.
fs::path make_recording(const fs::path& dir, const std::string& size, double seconds,
                        int per_segment) {
    const std::string d = dir.string();
    EXPECT_EQ(tvtest::make_h264(dir / "src.h264", size, seconds, "-g 10"), 0);
    EXPECT_EQ(tvtest::make_tone(dir / "src.wav", seconds), 0);
    const auto mk = tvtest::run_program(
        "torvane-mkifv", {"--video", d + "/src.h264", "--audio", d + "/src.wav",
                          "--frames-per-segment", std::to_string(per_segment), d + "/rec.ifv"});
    EXPECT_EQ(mk.status, 0) << mk.err;
    return dir / "rec.ifv";
}

// What a player gets out of a file: one checksum per picture and the PCM bytes.
struct Decoded {
    std::vector<std::string> pictures;
    std::vector<uint8_t> pcm;
};

Decoded decode(const fs::path& file) {
    Decoded out;
    const fs::path sums = file.string() + ".md5", raw = file.string() + ".pcm";
    // "?" maps a stream only when the file has one; a file without any stream decodes to nothing.
    run({"ffmpeg", "-v", "quiet", "-y", "-i", file.string(), "-map", "0:v?", "-f", "framemd5",
         sums.string(), "-map", "0:a?", "-f", "s16le", raw.string()});
    out.pictures = tvtest::framemd5_sums(tvtest::read_text(sums));
    if (fs::exists(raw)) out.pcm = tvtest::read_file(raw);
    fs::remove(sums);
    fs::remove(raw);
    return out;
}

// The data chunks that lie whole in the file, walking the first "movi" list from the header's
// end; stops at the first chunk cut short or at the first index.
struct WholeChunks {
    size_t pictures = 0;
    size_t pcm_bytes = 0;
    bool cut = false;                              // a chunk begins but does not end in the file
    std::vector<std::pair<size_t, size_t>> spans;  // data offset and size of each
};

WholeChunks whole_chunks(const std::vector<uint8_t>& file) {
    WholeChunks w;
    size_t at = AVI_HEADER_SPACE;
    while (at + 8 <= file.size()) {
        const std::string tag(file.begin() + static_cast<long>(at),
                              file.begin() + static_cast<long>(at) + 4);
        const uint32_t size = tv::load_le32(file.data() + at + 4);
        if (tag != "00db" && tag != "01wb") return w;
        if (at + 8 + size > file.size()) {
            w.cut = true;
            return w;
        }
        if (tag == "00db")
            ++w.pictures;
        else
            w.pcm_bytes += size;
        w.spans.emplace_back(at, 8 + size);
        at += 8 + size + (size & 1u);
    }
    w.cut = at < file.size();
    return w;
}

bool finalised(const std::vector<uint8_t>& file) {
    return file.size() >= 8 && tv::load_le32(file.data() + 4) != AVI_PROVISIONAL_SIZE;
}

// An output left by a failed or killed conversion: absent, or a file that ffprobe opens, that
// the AVI checker accepts when its header was finalised, and whose whole chunks are the first
// chunks of the undisturbed conversion, byte for byte. With `decoded`, ffmpeg also decodes it:
// every whole chunk must give the same pictures and sound as in the undisturbed conversion.
void expect_usable_output(const fs::path& out, const std::vector<uint8_t>& reference_bytes,
                          const Decoded* decoded, const std::string& where) {
    if (!fs::exists(out)) return;
    const auto bytes = tvtest::read_file(out);
    const auto probe = run({"ffprobe", "-v", "error", "-show_streams", out.string()});
    EXPECT_EQ(probe.status, 0) << where << ": ffprobe cannot open the output\n" << probe.err;
    if (finalised(bytes)) {
        const auto report = tvtest::check_avi(bytes);
        EXPECT_TRUE(report.ok()) << where << "\n" << tvtest::describe(report);
    }
    const WholeChunks whole = whole_chunks(bytes);
    const WholeChunks all = whole_chunks(reference_bytes);
    ASSERT_LE(whole.spans.size(), all.spans.size()) << where;
    for (size_t i = 0; i < whole.spans.size(); ++i) {
        const auto [at, size] = whole.spans[i];
        const auto [ref_at, ref_size] = all.spans[i];
        ASSERT_EQ(size, ref_size) << where << ": chunk " << i;
        ASSERT_TRUE(std::equal(bytes.begin() + static_cast<long>(at),
                               bytes.begin() + static_cast<long>(at + size),
                               reference_bytes.begin() + static_cast<long>(ref_at)))
            << where << ": chunk " << i << " differs";
    }
    if (!decoded) return;
    const Decoded& reference = *decoded;
    const Decoded got = decode(out);
    ASSERT_LE(whole.pictures, reference.pictures.size()) << where;
    ASSERT_GE(got.pictures.size(), whole.pictures)
        << where << ": pictures written before were lost";
    // A chunk cut short may still yield a (damaged) picture; nothing else may be extra.
    EXPECT_LE(got.pictures.size(), whole.pictures + (whole.cut ? 1 : 0)) << where;
    for (size_t i = 0; i < whole.pictures; ++i) {
        ASSERT_EQ(got.pictures[i], reference.pictures[i]) << where << ": picture " << i;
    }
    ASSERT_GE(got.pcm.size(), whole.pcm_bytes) << where << ": sound written before was lost";
    ASSERT_LE(whole.pcm_bytes, reference.pcm.size()) << where;
    EXPECT_TRUE(std::equal(reference.pcm.begin(),
                           reference.pcm.begin() + static_cast<long>(whole.pcm_bytes),
                           got.pcm.begin()))
        << where << ": sound differs";
}

std::map<std::string, long> read_counts(const fs::path& file) {
    std::map<std::string, long> counts;
    std::ifstream in(file);
    std::string kind;
    long n = 0;
    while (in >> kind >> n) counts[kind] = n;
    return counts;
}

class ConvertFaults : public ::testing::Test {
  protected:
    // torvane-convert on `in`, with the library preloaded and the given setting ("NAME=value").
    tvtest::CommandResult convert(const fs::path& in, const fs::path& out,
                                  const std::string& setting) {
        tvtest::SpawnSetup setup;
        setup.env = {"LD_PRELOAD=" + shim_path(), "ASAN_OPTIONS=" + asan_options(),
                     "TORVANE_FAULT_TRACK=" + dir_.string(), setting};
        return tvtest::run_program("torvane-convert", {"-q", "-y", in.string(), out.string()},
                                   setup);
    }

    fs::path dir_ = tvtest::test_dir();
};

TEST_F(ConvertFaults, EveryFailingCallIsReportedAndLeavesAUsableOutput) {
    // A segment for each picture: the reader's buffer serves many small reads at once, and the
    // segments spread its reads over the file.
    const fs::path in = make_recording(dir_, "64x48", 0.4, 1);
    const fs::path out = dir_ / "out.avi", part = dir_ / "out.avi.part";

    // The undisturbed conversion, counted.
    const auto clean = convert(in, out, "TORVANE_FAULT_COUNTS=" + (dir_ / "counts").string());
    ASSERT_EQ(clean.status, 0) << clean.err;
    const auto counts = read_counts(dir_ / "counts");
    const auto reference_bytes = tvtest::read_file(out);
    ASSERT_EQ(whole_chunks(reference_bytes).pictures, 10u);
    ASSERT_GT(whole_chunks(reference_bytes).pcm_bytes, 5000u);
    // Header objects, segment headers, index tables, then the frames in gathered reads; at the
    // least the header, the chunks and the index (however the writer gathers them), the final
    // header; three closes (the recording, the output and the lock of the output's .part).
    ASSERT_GE(counts.at("read"), 8);
    ASSERT_GE(counts.at("write"), 3);
    ASSERT_GE(counts.at("seek"), 5);
    ASSERT_EQ(counts.at("close"), 3);

    struct Mode {
        std::string kind;
        std::string error;  // as the shim takes it
        std::string text;   // as the converter must name it
    };
    const std::vector<Mode> modes = {
        {"write", "ENOSPC:sticky", "No space left on device"},  // the disk stays full
        {"write", "EIO", "Input/output error"},                 // one write fails
        {"read", "EIO", "Input/output error"},
        {"read", "EIO:sticky", "Input/output error"},
        {"seek", "EIO", "Input/output error"},
        {"close", "EIO", "Input/output error"},
    };
    int tried = 0, recovered = 0;
    for (const Mode& mode : modes) {
        for (long n = 1; n <= counts.at(mode.kind); ++n) {
            const std::string where = mode.kind + " " + std::to_string(n) + " " + mode.error;
            fs::remove(out);
            fs::remove(part);
            const auto r = convert(
                in, out, "TORVANE_FAULT=" + mode.kind + ":" + std::to_string(n) + ":" + mode.error);
            ++tried;
            EXPECT_EQ(r.err.find("Sanitizer"), std::string::npos) << where << "\n" << r.err;
            if (r.status == 0) {
                // Only a failure that was fully repaired (a failed position query answered by a
                // seek, the recording's close) may end in success, and then nothing differs.
                ++recovered;
                EXPECT_TRUE(mode.kind == "seek" || mode.kind == "close") << where;
                EXPECT_EQ(tvtest::read_file(out), reference_bytes) << where;
                continue;
            }
            EXPECT_EQ(r.status, 1) << where << "\n" << r.err;
            EXPECT_THAT(r.err, HasSubstr("not converted: ")) << where;
            EXPECT_THAT(r.err, HasSubstr(mode.text)) << where;
            // The message says which file failed and how.
            const std::string opened = "the recording could not be opened: " + mode.text;
            const std::string reading = "reading " + in.string() + " failed: " + mode.text;
            const std::string created =
                "the output " + out.string() + " could not be created: " + mode.text;
            const std::string writing = "writing " + out.string() + " failed: " + mode.text;
            const auto says = [&](const std::string& text) {
                return r.err.find(text) != std::string::npos;
            };
            if (mode.kind == "read") {
                EXPECT_TRUE(says(opened) || says(reading)) << where << "\n" << r.err;
            } else if (mode.kind == "write" || mode.kind == "close") {
                EXPECT_TRUE(says(created) || says(writing)) << where << "\n" << r.err;
            } else {
                EXPECT_TRUE(says(opened) || says(reading) || says(created) || says(writing))
                    << where << "\n"
                    << r.err;
            }
            // A failed conversion never gives the output's name to its frames: they are in the
            // .part, when there are any.
            EXPECT_FALSE(fs::exists(out)) << where;
            expect_usable_output(part, reference_bytes, nullptr, where);
            if (HasFatalFailure()) return;
        }
    }
    RecordProperty("injected", tried);
    std::printf("%d injected failures, %d repaired without loss\n", tried, recovered);
}

// Runs the converter until the shim stops it (after its n-th write or read), then kills it.
void convert_and_kill(const fs::path& in, const fs::path& out, const fs::path& track,
                      const std::string& stop) {
    tvtest::SpawnSetup setup;
    setup.env = {"LD_PRELOAD=" + shim_path(), "ASAN_OPTIONS=" + asan_options(),
                 "TORVANE_FAULT_TRACK=" + track.string(), "TORVANE_FAULT_STOP=" + stop};
    const pid_t pid = tvtest::spawn(
        {tvtest::program("torvane-convert"), "-q", "-y", in.string(), out.string()}, setup);
    ASSERT_GT(pid, 0);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, WUNTRACED), pid);
    ASSERT_TRUE(WIFSTOPPED(status)) << "the converter ended before " << stop;
    ASSERT_EQ(kill(pid, SIGKILL), 0);
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
}

TEST_F(ConvertFaults, KilledConversionKeepsEveryWholeChunk) {
    const fs::path in = make_recording(dir_, "320x240", 40.0, 40);
    const fs::path out = dir_ / "out.avi";
    const auto clean = convert(in, out, "TORVANE_FAULT_COUNTS=" + (dir_ / "counts").string());
    ASSERT_EQ(clean.status, 0) << clean.err;
    const auto counts = read_counts(dir_ / "counts");
    const auto reference_bytes = tvtest::read_file(out);
    const Decoded reference = decode(out);
    ASSERT_EQ(reference.pictures.size(), 1000u);
    // Frames are read many at a time, so kill points after reads fall on the few reads there
    // are; the writes spread them over the run.
    const long reads = counts.at("read"), writes = counts.at("write");
    ASSERT_GE(reads, 10);
    ASSERT_GE(writes, 3);

    // Kill points spread over the whole run: after reads, and after writes with the first and
    // the last included; every other write in the middle is cut in half, as a kill during a
    // long write would leave it.
    std::vector<std::string> stops;
    constexpr long kReadPoints = 16;
    // The open reads the header objects, the segment headers and the first index tables; the
    // kill points start after them, where the output exists. A conversion whose output cannot
    // be created makes just those reads.
    convert(in, dir_ / "none" / "out.avi",
            "TORVANE_FAULT_COUNTS=" + (dir_ / "open-counts").string());
    const long first_read = read_counts(dir_ / "open-counts").at("read") + 1;
    ASSERT_LT(first_read, reads);
    for (long i = 0; i < kReadPoints; ++i) {
        const std::string stop =
            "read:" + std::to_string(first_read + i * (reads - 1 - first_read) / (kReadPoints - 1));
        if (stops.empty() || stops.back() != stop) stops.push_back(stop);
    }
    const long write_points = std::min<long>(16, writes);
    for (long i = 0; i < write_points; ++i) {
        const long n = write_points > 1 ? 1 + i * (writes - 1) / (write_points - 1) : 1;
        const bool part = i % 2 == 1 && n > 3 && n < writes - 2;
        stops.push_back("write:" + std::to_string(n) + (part ? ":part" : ""));
    }
    const fs::path part = out.string() + ".part";
    for (const std::string& stop : stops) {
        fs::remove(out);
        fs::remove(part);
        convert_and_kill(in, out, dir_, stop);
        if (HasFatalFailure()) return;
        // A killed conversion leaves its .part, never the output; the header space holds a
        // valid header from the first write on.
        EXPECT_FALSE(fs::exists(out)) << "kill after " << stop;
        ASSERT_TRUE(fs::exists(part)) << "kill after " << stop;
        expect_usable_output(part, reference_bytes, &reference, "kill after " + stop);
        if (HasFatalFailure()) return;
        if (stop.find(":part") != std::string::npos) {
            EXPECT_TRUE(whole_chunks(tvtest::read_file(part)).cut) << stop;
        }
    }
    EXPECT_GE(stops.size(), 20u);
    std::printf("%zu kill points\n", stops.size());
}

}  // namespace
