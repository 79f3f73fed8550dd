// The whole conversion: any recording in, an AVI out that must be consistent in itself.
#include <unistd.h>

#include <cstdio>
#include <string>

#include "app/conversion_job.h"
#include "fuzz/fuzz_util.h"
#include "support/avi_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    tvfuzz::MemFile file(std::span<const uint8_t>(data, size));
    if (!file.ok()) return 0;
    static const std::string output = "/dev/shm/torvane-fuzz-convert-" + std::to_string(getpid()) + ".avi";
    tv::ConversionProgress progress;
    const tv::JobReport report = tv::ConversionJob(file.path(), output, progress);
    if (report.outcome == tv::JobOutcome::Running) __builtin_trap();
    if (report.outcome != tv::JobOutcome::SourceNotOpened && report.outcome != tv::JobOutcome::OutputNotCreated) {
        const tvtest::AviReport avi = tvtest::check_avi_file(output);
        if (!avi.ok()) {
            std::fprintf(stderr, "inconsistent AVI:\n%s", tvtest::describe(avi).c_str());
            __builtin_trap();
        }
        uint32_t chunks = 0;
        for (const auto& [tag, n] : avi.chunk_count) chunks += n;
        if (chunks != static_cast<uint32_t>(report.written_frames)) {
            std::fprintf(stderr, "%u chunks for %d frames written\n", chunks, report.written_frames);
            __builtin_trap();
        }
    }
    unlink(output.c_str());
    return 0;
}
