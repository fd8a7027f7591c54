// The state tables of a REST call and of a kept-alive connection.

#include <gtest/gtest.h>

#include "core/rest/https/job.hpp"
#include "core/rest/https/job_state.hpp"
#include "core/rest/https/kept_state.hpp"

namespace corvane::https {
namespace {

Job a_job() {
    return Job(Endpoint{"localhost"}, HttpRequest{}, nullptr);
}

TEST(JobState, AJobIsRetriedOnceOnlyAndOnlyBeforeItsBytesLeft) {
    EXPECT_FALSE(job_transition(JobState::waiting, JobEvent::refused));
    EXPECT_EQ(job_transition(JobState::sent, JobEvent::refused), JobState::waiting_again);
    EXPECT_EQ(job_transition(JobState::waiting_again, JobEvent::write), JobState::sent_again);
    EXPECT_FALSE(job_transition(JobState::sent_again, JobEvent::refused));
    EXPECT_FALSE(job_transition(JobState::sent, JobEvent::write));
}

TEST(JobState, AFinishedJobStaysFinished) {
    for (const JobEvent event : {JobEvent::write, JobEvent::refused, JobEvent::finish})
        EXPECT_FALSE(job_transition(JobState::done, event));
}

TEST(JobState, ItsFailureIsUnknownOnceWrittenAndNotSentAfterARefusal) {
    Job job = a_job();
    EXPECT_EQ(job.failure("x").outcome, Reply::Outcome::not_sent);
    ASSERT_TRUE(job.fire(JobEvent::write));
    EXPECT_EQ(job.failure("x").outcome, Reply::Outcome::unknown);
    ASSERT_TRUE(job.fire(JobEvent::refused));
    EXPECT_TRUE(job.retried());
    EXPECT_EQ(job.failure("x").outcome, Reply::Outcome::not_sent);
    ASSERT_TRUE(job.fire(JobEvent::write));
    EXPECT_TRUE(job.retried());
    EXPECT_EQ(job.failure("x").outcome, Reply::Outcome::unknown);
}

TEST(JobState, ItsReplyIsReportedOnce) {
    int reports = 0;
    Job job(Endpoint{"localhost"}, HttpRequest{}, [&](const Reply&) { ++reports; });
    job.finish(Reply{});
    job.finish(Reply{});
    EXPECT_EQ(reports, 1);
    EXPECT_TRUE(job.done());
}

TEST(KeptState, ACallIsCarriedFromSendThroughOneReadToIdle) {
    EXPECT_EQ(kept_transition(KeptState::opening, KeptEvent::send), KeptState::busy);
    EXPECT_EQ(kept_transition(KeptState::opening, KeptEvent::rest), KeptState::idle);
    EXPECT_EQ(kept_transition(KeptState::idle, KeptEvent::send), KeptState::busy);
    EXPECT_EQ(kept_transition(KeptState::busy, KeptEvent::read), KeptState::answering);
    EXPECT_FALSE(kept_transition(KeptState::answering, KeptEvent::read));  // one read only
    EXPECT_EQ(kept_transition(KeptState::answering, KeptEvent::rest), KeptState::idle);
}

TEST(KeptState, NoSecondCallWhileOneIsCarried) {
    EXPECT_FALSE(kept_transition(KeptState::busy, KeptEvent::send));
    EXPECT_FALSE(kept_transition(KeptState::answering, KeptEvent::send));
    EXPECT_FALSE(kept_transition(KeptState::busy, KeptEvent::rest));  // not before its answer
    EXPECT_FALSE(kept_transition(KeptState::idle, KeptEvent::read));
}

TEST(KeptState, ClosedIsFinalAndEveryOtherStateCloses) {
    for (const KeptState state :
         {KeptState::opening, KeptState::idle, KeptState::busy, KeptState::answering})
        EXPECT_EQ(kept_transition(state, KeptEvent::close), KeptState::closed);
    for (const KeptEvent event :
         {KeptEvent::send, KeptEvent::rest, KeptEvent::read, KeptEvent::close})
        EXPECT_FALSE(kept_transition(KeptState::closed, event));
}

}  // namespace
}  // namespace corvane::https
