// Every step of every operation fails once: the error reaches the caller nested one header per
// reporting level, each level logged once, no connection is left open and the next call answers
// as before.
#include <gtest/gtest.h>

#include <cstdint>
#include <iostream>
#include <memory>
#include <string>

#include "db/client.hpp"
#include "reliability/demo_calls.hpp"
#include "reliability/faulty_session.hpp"
#include "support/operation_test.hpp"

namespace carvalen::test {
namespace {

// Wrapped sessions put in the pool before each call: more than a call holds at once.
constexpr int kStock = 4;

std::size_t Count(const std::string& text, const std::string& part) {
  std::size_t n = 0;
  for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

TEST(FaultInjection, EveryStepOfEveryOperationFailsCleanly) {
  DemoDb db(Provider::SQLite);
  const std::string& source = db.ConnectionString();
  auto plan = std::make_shared<FaultPlan>();
  const std::int64_t open_before = db::OpenConnectionCount();
  std::array<std::int64_t, kSteps.size()> injected{};
  for (const DemoCall& call : DemoCalls()) {
    SCOPED_TRACE(call.target);
    const std::string operation = std::string("Carvalen.") + call.target;
    // A clean run gives the answer and how often each step happens.
    plan->Disarm();
    StockPool(source, kStock, plan);
    std::string clean;
    std::size_t opens = 0;
    {
      SqlTrace trace;
      clean = CallText(call);
      for (const auto& event : trace.Events()) opens += event.value("event", "") == "open";
    }
    ASSERT_EQ(clean.substr(0, 2), "0 ") << clean;
    const auto counts = plan->Counts();
    // Every open leased a wrapped session, so every step was seen.
    ASSERT_EQ(counts[static_cast<int>(Step::Connect)], static_cast<std::int64_t>(opens));

    for (Step step : kSteps) {
      for (std::int64_t k = 1; k <= counts[static_cast<int>(step)]; ++k) {
        SCOPED_TRACE(std::string(StepName(step)) + " #" + std::to_string(k));
        plan->Arm(step, k);
        StockPool(source, kStock, plan);
        db.ClearLog();
        const api::CallOutcome outcome = api::CallWithJson(call.target, call.arguments);
        ASSERT_TRUE(plan->Fired());
        ++injected[static_cast<int>(step)];
        EXPECT_EQ(db::OpenConnectionCount(), open_before);
        if (step == Step::Close) {
          // The rows were read: a session that cannot say it is clean is dropped, not the call.
          EXPECT_EQ(std::to_string(outcome.status) + " " + outcome.text, clean);
          EXPECT_TRUE(db.Log().empty());
        } else {
          ASSERT_EQ(outcome.status, api::kCallFailed) << outcome.text;
          const auto error = api::Json::parse(outcome.text).at("error");
          EXPECT_EQ(error.at("number").get<std::int32_t>(), kFaultNumber);
          EXPECT_EQ(error.at("source").get<std::string>(), kFaultSource);
          const std::string description = error.at("description").get<std::string>();
          EXPECT_EQ(description.rfind(ReportHeader(kFaultNumber, operation), 0), 0u) << description;
          EXPECT_NE(description.find("injected fault at " + std::string(StepName(step)) + " #" +
                                     std::to_string(k)),
                    std::string::npos);
          EXPECT_EQ(Count(description, "\r\nERROR 0x"), db.Log().size()) << description;
        }
        // The pool survives: the next plain call answers as the clean one did.
        plan->Disarm();
        EXPECT_EQ(CallText(call), clean);
        EXPECT_EQ(db::OpenConnectionCount(), open_before);
      }
    }
  }
  std::int64_t total = 0;
  std::cout << "faults injected (operation, step pairs):";
  for (Step step : kSteps) {
    std::cout << " " << StepName(step) << " " << injected[static_cast<int>(step)];
    total += injected[static_cast<int>(step)];
  }
  std::cout << "; total " << total << " over " << DemoCalls().size() << " operations\n";
  db::DrainPool();
}

}  // namespace
}  // namespace carvalen::test
