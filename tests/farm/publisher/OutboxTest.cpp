// The farm publisher's outbox through its own interface: what it drops when its bound is reached;
// and what its link keeps to tell the user. The publisher end to end is test_publisher.py's.
#include <gtest/gtest.h>

#include <tuple>

#include "farm/publisher/Link.h"
#include "farm/publisher/Outbox.h"

namespace {

TEST(FarmOutbox, DropsTheOldestEventsFirstAndKeepsOnlyTheLatestRetainedValue) {
    using farm_publisher::Message;
    farm_publisher::Outbox outbox(100);  // bytes of topic and payload waiting
    outbox.Push(Message{"s", std::string(19, 'a'), true, 1});  // 20
    outbox.Push(Message{"e", std::string(29, '1'), false, 1}); // 30
    outbox.Push(Message{"e", std::string(29, '2'), false, 1}); // 30
    outbox.Push(Message{"s", std::string(19, 'b'), true, 0});  // replaces the waiting "a", at its QoS 1
    outbox.Push(Message{"e", std::string(29, '3'), false, 1}); // 110 > 100: event 1 goes
    EXPECT_EQ(outbox.Dropped().messages, 1u);
    EXPECT_EQ(outbox.WaitingBytes(), 80u);
    outbox.Push(Message{"huge", std::string(97, 'x'), false, 1});  // 101 > 100 alone: only it goes
    EXPECT_EQ(outbox.Dropped().messages, 2u);
    EXPECT_EQ(outbox.Dropped().bytes, 131u);
    EXPECT_EQ(outbox.WaitingBytes(), 80u);
    outbox.Push(Message{"e", std::string(19, '4'), false, 1});  // 100: at the bound, nothing goes
    EXPECT_EQ(outbox.Dropped().messages, 2u);
    outbox.Push(Message{"big", std::string(72, 'x'), true, 0});  // 175 > 100: events 2, 3 and 4 go
    EXPECT_EQ(outbox.Dropped().messages, 5u);
    EXPECT_EQ(outbox.Dropped().bytes, 211u);

    // Retained values in the order of their last change; after a reconnect every retained
    // topic's latest value comes again.
    for (int round = 0; round < 2; ++round) {
        Message taken;
        ASSERT_TRUE(outbox.Take(&taken));
        EXPECT_EQ(std::make_tuple(taken.payload, taken.qos, taken.retained), std::make_tuple(std::string(19, 'b'), 1, true));
        ASSERT_TRUE(outbox.Take(&taken));
        EXPECT_EQ(taken.topic, "big");
        EXPECT_FALSE(outbox.Take(&taken));
        outbox.RequeueRetained();
    }
    outbox.Push(Message{"s", std::string(19, 'c'), true, 1});  // changed again: now the newest
    Message taken;
    while (outbox.Take(&taken)) {
    }
    outbox.RequeueRetained();
    ASSERT_TRUE(outbox.Take(&taken));
    EXPECT_EQ(taken.topic, "big");
}

// A name that does not resolve yet is told once, not at every retry; a refusal that makes the
// link give up is told after it all the same.
TEST(FarmLinkProblems, APassingProblemIsToldOnceAndTheFatalOneAfterIt) {
    farm_publisher::LinkProblems problems;
    problems.Report("cannot resolve", false);
    problems.Report("cannot resolve", false);
    EXPECT_EQ(problems.Take(), "cannot resolve");
    EXPECT_EQ(problems.Take(), std::nullopt);
    problems.Report("refused: bad credentials", true);
    EXPECT_EQ(problems.Take(), "refused: bad credentials");
    EXPECT_EQ(problems.Take(), std::nullopt);
}

}  // namespace
