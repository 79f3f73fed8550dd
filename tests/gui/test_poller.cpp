// The progress timer's rules, tick by tick, against a progress record driven the way the
// conversion job drives it; and the texts the user is shown when a job ends.
#include "app/gui/progress_poller.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <system_error>
#include <thread>
#include <vector>

#include "app/gui/job_messages.h"

using tv::ConversionProgress;
using tv::JobOutcome;
using tv::JobReport;
using namespace tv::gui;

namespace {

// The job's side of the record, step by step.
void Announce(ConversionProgress& p, int32_t total) {
    p.m_totalFrames.store(total);
    std::lock_guard<std::mutex> lock(p.m_progressLock);
    p.m_jobStarted.store(1);
}

void End(ConversionProgress& p, JobOutcome outcome, int32_t written = 0, int32_t skipped = 0,
         int32_t missing = 0) {
    p.m_outcome.store(static_cast<int32_t>(outcome));
    p.m_writtenFrames.store(written);
    p.m_skippedFrames.store(skipped);
    p.m_missingFrames.store(missing);
    p.m_jobEnded.store(true, std::memory_order_release);
}

bool Idle(const PollActions& a) {
    return !a.setRange && !a.setPosition && !a.jobEnded;
}

TEST(ProgressPolling, IdleRecordDoesNothing) {
    ConversionProgress p;
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(Idle(PollProgress(p)));
}

TEST(ProgressPolling, AWholeJobFromAnnouncementToMessage) {
    ConversionProgress p;
    Announce(p, 100000);

    PollActions a = PollProgress(p);
    EXPECT_TRUE(a.setRange);
    EXPECT_EQ(a.range, 100000);
    EXPECT_TRUE(a.setPosition);
    EXPECT_EQ(a.position, 0);
    EXPECT_FALSE(a.jobEnded);
    EXPECT_EQ(p.m_jobStarted.load(), 0);

    p.m_doneFrames.store(25000);
    a = PollProgress(p);
    EXPECT_FALSE(a.setRange);
    EXPECT_TRUE(a.setPosition);
    EXPECT_EQ(a.position, 25000);

    // Done = total comes before the file is finalised: the bar fills, the message waits.
    p.m_doneFrames.store(100000);
    for (int i = 0; i < 3; ++i) {
        a = PollProgress(p);
        EXPECT_TRUE(a.setPosition);
        EXPECT_EQ(a.position, 100000);
        EXPECT_FALSE(a.jobEnded);
    }

    End(p, JobOutcome::Converted, 100000);
    a = PollProgress(p);
    ASSERT_TRUE(a.jobEnded);
    EXPECT_EQ(a.report.outcome, JobOutcome::Converted);
    EXPECT_EQ(a.report.total_frames, 100000);
    EXPECT_EQ(a.report.written_frames, 100000);
    EXPECT_EQ(a.position, 100000);

    // Reset after the message: the record is idle and the next ticks do nothing.
    EXPECT_EQ(p.m_totalFrames.load(), 0);
    EXPECT_EQ(p.m_doneFrames.load(), 0);
    EXPECT_FALSE(p.m_jobEnded.load());
    EXPECT_EQ(p.m_outcome.load(), static_cast<int32_t>(JobOutcome::Running));
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(Idle(PollProgress(p)));
}

TEST(ProgressPolling, AJobThatEndsWithinOneTickStillShowsItsMessage) {
    ConversionProgress p;
    Announce(p, 2);
    p.m_doneFrames.store(2);
    End(p, JobOutcome::Converted, 2);

    // First tick: the range only, as with any announcement.
    PollActions a = PollProgress(p);
    EXPECT_TRUE(a.setRange);
    EXPECT_EQ(a.range, 2);
    EXPECT_FALSE(a.jobEnded);

    // Second tick: the message.
    a = PollProgress(p);
    ASSERT_TRUE(a.jobEnded);
    EXPECT_EQ(a.report.outcome, JobOutcome::Converted);
    EXPECT_TRUE(Idle(PollProgress(p)));
}

TEST(ProgressPolling, TheStalledStateWaitsAndThenReportsWhyTheJobEnded) {
    ConversionProgress p;
    Announce(p, 50);
    EXPECT_TRUE(PollProgress(p).setRange);
    // Total set, nothing done: the bar keeps its range and position 0, tick after tick.
    for (int i = 0; i < 5; ++i) EXPECT_TRUE(Idle(PollProgress(p)));

    End(p, JobOutcome::OutputNotCreated);
    const PollActions a = PollProgress(p);
    ASSERT_TRUE(a.jobEnded);
    EXPECT_EQ(a.report.outcome, JobOutcome::OutputNotCreated);
    EXPECT_EQ(a.position, 0);
    EXPECT_EQ(p.m_totalFrames.load(), 0);
    EXPECT_TRUE(Idle(PollProgress(p)));
}

TEST(ProgressPolling, AJobThatEndsBeforeAnnouncingAnythingIsReported) {
    ConversionProgress p;
    End(p, JobOutcome::SourceNotOpened);
    const PollActions a = PollProgress(p);
    ASSERT_TRUE(a.jobEnded);
    EXPECT_EQ(a.report.outcome, JobOutcome::SourceNotOpened);
    EXPECT_FALSE(a.setRange);
    EXPECT_FALSE(a.setPosition);  // the bar was never set up for this job
    EXPECT_TRUE(Idle(PollProgress(p)));
}

TEST(ProgressPolling, AJobWithNoFramesIsReportedToo) {
    ConversionProgress p;
    Announce(p, 0);
    EXPECT_TRUE(PollProgress(p).setRange);
    End(p, JobOutcome::NoFrames);
    const PollActions a = PollProgress(p);
    ASSERT_TRUE(a.jobEnded);
    EXPECT_EQ(a.report.outcome, JobOutcome::NoFrames);
}

TEST(ProgressPolling, APartialConversionCarriesItsCounts) {
    ConversionProgress p;
    Announce(p, 10);
    PollProgress(p);
    p.m_doneFrames.store(10);
    End(p, JobOutcome::Partial, 7, 2, 1);
    const PollActions a = PollProgress(p);
    ASSERT_TRUE(a.jobEnded);
    EXPECT_EQ(a.report.outcome, JobOutcome::Partial);
    EXPECT_EQ(a.report.total_frames, 10);
    EXPECT_EQ(a.report.written_frames, 7);
    EXPECT_EQ(a.report.skipped_frames, 2);
    EXPECT_EQ(a.report.missing_frames, 1);
}

TEST(ProgressPolling, ResetPreparesTheRecordForTheNextJob) {
    ConversionProgress p;
    Announce(p, 5);
    p.m_doneFrames.store(3);
    p.m_stopRequested.store(true);
    End(p, JobOutcome::Stopped, 3);
    ResetProgress(p);
    EXPECT_EQ(p.m_jobStarted.load(), 0);
    EXPECT_FALSE(p.m_stopRequested.load());
    EXPECT_FALSE(p.m_jobEnded.load());
    EXPECT_TRUE(Idle(PollProgress(p)));
}

// A job on another thread racing the timer: every run ends in exactly one report, with the
// range set before it, whatever the interleaving.
TEST(ProgressPolling, EveryJobIsReportedExactlyOnceWhileTheTimerRaces) {
    ConversionProgress p;
    for (int run = 0; run < 200; ++run) {
        ResetProgress(p);
        const int32_t total = run % 7;  // includes jobs without frames
        std::thread job([&] {
            Announce(p, total);
            for (int32_t i = 1; i <= total; ++i) p.m_doneFrames.store(i);
            End(p, total == 0 ? JobOutcome::NoFrames : JobOutcome::Converted, total);
        });
        int reports = 0;
        bool ranged = false;
        for (int tick = 0; tick < 100000 && reports == 0; ++tick) {
            const PollActions a = PollProgress(p);
            if (a.setRange) {
                EXPECT_EQ(a.range, total);
                ranged = true;
            }
            if (a.jobEnded) {
                ++reports;
                EXPECT_TRUE(ranged) << "run " << run;
                EXPECT_EQ(a.report.total_frames, total);
            }
            if (a.setPosition && !a.setRange) {
                EXPECT_GE(a.position, 0);
                EXPECT_LE(a.position, total);
            }
            std::this_thread::yield();
        }
        job.join();
        EXPECT_EQ(reports, 1) << "run " << run;
        EXPECT_TRUE(Idle(PollProgress(p)));
    }
}

TEST(ProgressNumbers, ShareTimeLeftAndRateFollowTheFramesDone) {
    const char* kText = "{percent}% {done}/{total} {elapsed} {left} {rate}";
    // Nothing known yet: no rate, no time left.
    EXPECT_EQ(FormatProgressNumbers(kText, NumbersFor(0, 0, 0.2, 1000)), "0% 0/0 0:00 --:-- 0.0");
    EXPECT_EQ(FormatProgressNumbers(kText, NumbersFor(10, 400, 0.3, 8'000'000)),
              "2% 10/400 0:00 --:-- 0.0");
    // A quarter in 30 s: 90 s left; a quarter of 80 MB in 30 s.
    EXPECT_EQ(FormatProgressNumbers(kText, NumbersFor(100, 400, 30, 80'000'000)),
              "25% 100/400 0:30 1:30 0.7");
    EXPECT_EQ(FormatProgressNumbers(kText, NumbersFor(400, 400, 125, 80'000'000)),
              "100% 400/400 2:05 0:00 0.6");
    // Counts out of range are held to it.
    EXPECT_EQ(NumbersFor(500, 400, 1, 0).done, 400);
    EXPECT_EQ(NumbersFor(-3, 400, 1, 0).percent, 0);
}

TEST(JobMessages, EveryOutcomeHasItsOwnTextAndLevel) {
    const JobOutcome failures[] = {JobOutcome::SourceNotOpened, JobOutcome::OutputNotCreated,
                                   JobOutcome::WriteFailed, JobOutcome::NoFrames};
    std::vector<std::string> keys;
    for (JobOutcome outcome : failures) {
        const OutcomeMessage m = MessageForOutcome(outcome);
        EXPECT_EQ(m.level, MessageLevel::Error);
        keys.push_back(m.key);
    }
    EXPECT_STREQ(MessageForOutcome(JobOutcome::Converted).key, "MessageAVIsucceed");
    EXPECT_EQ(MessageForOutcome(JobOutcome::Converted).level, MessageLevel::Information);
    EXPECT_EQ(MessageForOutcome(JobOutcome::Partial).level, MessageLevel::Warning);
    keys.push_back(MessageForOutcome(JobOutcome::Converted).key);
    keys.push_back(MessageForOutcome(JobOutcome::Partial).key);
    keys.push_back(MessageForOutcome(JobOutcome::Stopped).key);
    for (size_t i = 0; i < keys.size(); ++i) {
        for (size_t j = i + 1; j < keys.size(); ++j) EXPECT_NE(keys[i], keys[j]);
    }
    // An outcome number this program does not know still gets a failure text.
    const OutcomeMessage unknown = MessageForOutcome(static_cast<JobOutcome>(99));
    EXPECT_EQ(unknown.level, MessageLevel::Error);
    EXPECT_NE(std::string(unknown.fallback), "");
}

TEST(JobMessages, APartialConversionSaysHowManyFramesWereSkipped) {
    JobReport report;
    report.outcome = JobOutcome::Partial;
    report.total_frames = 750;
    report.written_frames = 745;
    report.skipped_frames = 3;
    report.missing_frames = 2;
    const OutcomeMessage m = MessageForOutcome(JobOutcome::Partial);
    const std::string english = OutcomeMessageText(m, "", report);
    EXPECT_NE(english.find("5 of 750 frames"), std::string::npos) << english;

    EXPECT_EQ(OutcomeMessageText(m, "已跳过 {skipped} / {total} 帧，写入 {written}", report),
              "已跳过 5 / 750 帧，写入 745");
}

TEST(JobMessages, AMissingTranslationFallsBackToEnglishNeverToAnEmptyBox) {
    JobReport report;
    for (JobOutcome outcome :
         {JobOutcome::Converted, JobOutcome::SourceNotOpened, JobOutcome::OutputNotCreated,
          JobOutcome::WriteFailed, JobOutcome::NoFrames, JobOutcome::Stopped}) {
        EXPECT_NE(OutcomeMessageText(MessageForOutcome(outcome), "", report), "");
    }
    EXPECT_EQ(OutcomeMessageText(MessageForOutcome(JobOutcome::Converted), "转换成功", report),
              "转换成功");
}

TEST(JobMessages, AFailureTheSystemReportedNamesTheSystemsReason) {
    JobReport report;
    report.outcome = JobOutcome::OutputNotCreated;
    report.system_error = EACCES;
    const OutcomeMessage failure = MessageForOutcome(JobOutcome::OutputNotCreated);
    EXPECT_EQ(OutcomeMessageText(failure, "无法创建AVI文件。", report),
              "无法创建AVI文件。\n\n" + std::generic_category().message(EACCES));
    // A success never carries one.
    EXPECT_EQ(OutcomeMessageText(MessageForOutcome(JobOutcome::Converted), "ok", report), "ok");
}

TEST(JobMessages, FillPlaceholderReplacesEveryOccurrence) {
    EXPECT_EQ(FillPlaceholder("{file} and {file}", "{file}", "a.avi"), "a.avi and a.avi");
    EXPECT_EQ(FillPlaceholder("no name", "{file}", "a.avi"), "no name");
    EXPECT_EQ(FillPlaceholder("{file}", "{file}", "{file}"), "{file}");
}

TEST(JobMessages, PlaceholdersAreFilledAndEverythingElseIsLeftAlone) {
    JobReport report;
    report.total_frames = 10;
    report.written_frames = 4;
    EXPECT_EQ(FormatOutcomeMessage("{written}/{total} {unknown} 100% {", report),
              "4/10 {unknown} 100% {");
    EXPECT_EQ(FormatOutcomeMessage("%s %d %n", report), "%s %d %n");
}

}  // namespace
