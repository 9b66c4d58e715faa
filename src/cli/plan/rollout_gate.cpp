#include "rollout_gate.h"

bool CRolloutGate::OnHeadEnded(const HeadOutcome& head, bool canary) {
    const bool failed = head.state == HeadState::Failed && head.status != UpgradeStatus::Stopped;
    const std::lock_guard<std::mutex> lock(m_mutex);
    if (failed && head.connected) {
        ++m_failures;
    }
    if (!m_why.empty()) {
        return false;
    }
    if (canary && failed) {
        m_why = kCanaryFailed;
    } else if (m_maxFailures > 0 && m_failures >= m_maxFailures) {
        m_why = kFailureLimitReached;
    }
    return !m_why.empty();
}

bool CRolloutGate::Halted() const {
    const std::lock_guard<std::mutex> lock(m_mutex);
    return !m_why.empty();
}

std::string CRolloutGate::Why() const {
    const std::lock_guard<std::mutex> lock(m_mutex);
    return m_why;
}

int CRolloutGate::Failures() const {
    const std::lock_guard<std::mutex> lock(m_mutex);
    return m_failures;
}
