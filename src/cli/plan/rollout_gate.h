// --canary and --max-failures: when a staged rollout stops starting heads. A bad image that
// every head accepts and then fails to boot would otherwise reach the whole site.
#pragma once

#include <mutex>
#include <string>

#include "port_run.h"

constexpr const char* kCanaryFailed = "canary failed";
constexpr const char* kFailureLimitReached = "failure limit reached";

class CRolloutGate {
  public:
    // `maxFailures` 0: no limit.
    explicit CRolloutGate(int maxFailures) : m_maxFailures(maxFailures) {}

    // Told as each head ends, from any bus's thread. True when this head halted the rollout:
    // a canary that was not upgraded, or the failure that reached the limit. Only heads that
    // failed after they connected count towards the limit: one that never answered was not in
    // upgrade mode and took nothing.
    bool OnHeadEnded(const HeadOutcome& head, bool canary);

    bool Halted() const;
    std::string Why() const;  // empty until halted
    int Failures() const;     // heads that failed after they connected

  private:
    const int m_maxFailures;
    mutable std::mutex m_mutex;
    int m_failures = 0;
    std::string m_why;
};
