// The whole conversion: any recording in, an AVI out that must be consistent in itself, and
// the same file whether the frames are read in batches or one by one.
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "app/conversion_job.h"
#include "common/sysio.h"
#include "fuzz/fuzz_util.h"
#include "support/avi_check.h"

static std::vector<uint8_t> read_all(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    tvfuzz::MemFile file(std::span<const uint8_t>(data, size));
    if (!file.ok()) return 0;
    static const std::string output =
        "/dev/shm/torvane-fuzz-convert-" + std::to_string(getpid()) + ".avi";
    // Small RIFF segments: switches happen inside the batches of small recordings too.
    tv::ConversionOptions options;
    options.avi_segment_size = 96 * 1024;
    options.replace_existing = true;
    tv::ConversionProgress progress;
    const tv::JobReport report = tv::ConversionJob(file.path(), output, progress, options);
    if (report.outcome == tv::JobOutcome::Running) __builtin_trap();
    // The file that holds the frames: the output, or the .part a failure keeps; none at all
    // without a frame.
    const std::string written = report.kept_part.empty() ? output : report.kept_part;
    if (report.written_frames == 0 && access(written.c_str(), F_OK) == 0 &&
        report.outcome != tv::JobOutcome::OutputIsRecording) {
        std::fprintf(stderr, "a file without frames was left behind\n");
        __builtin_trap();
    }
    if (report.written_frames > 0) {
        const tvtest::AviReport avi = tvtest::check_avi_file(written);
        if (!avi.ok()) {
            std::fprintf(stderr, "inconsistent AVI:\n%s", tvtest::describe(avi).c_str());
            __builtin_trap();
        }
        uint32_t chunks = 0;
        for (const auto& [tag, n] : avi.chunk_count) chunks += n;
        if (chunks != static_cast<uint32_t>(report.written_frames)) {
            std::fprintf(stderr, "%u chunks for %d frames written\n", chunks,
                         report.written_frames);
            __builtin_trap();
        }
    }
    // Without memory for the output buffer the job reads and writes frame by frame.
    if (report.written_frames > 0) {
        const std::vector<uint8_t> batched = read_all(written);
        tv::sysio::Ops ops = tv::sysio::real_ops();
        ops.may_allocate = [](size_t bytes) { return bytes < (1u << 20); };
        tv::sysio::install(&ops);
        tv::ConversionProgress again;
        const tv::JobReport single = tv::ConversionJob(file.path(), output, again, options);
        tv::sysio::install(nullptr);
        if (single.outcome != report.outcome || single.written_frames != report.written_frames ||
            single.skipped_frames != report.skipped_frames ||
            single.missing_frames != report.missing_frames ||
            read_all(single.kept_part.empty() ? output : single.kept_part) != batched) {
            std::fprintf(stderr, "frame by frame: outcome %d, %d written (batched: %d, %d)\n",
                         static_cast<int>(single.outcome), single.written_frames,
                         static_cast<int>(report.outcome), report.written_frames);
            __builtin_trap();
        }
    }
    unlink(output.c_str());
    unlink((output + ".part").c_str());
    return 0;
}
