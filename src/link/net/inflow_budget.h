// How much a network serial server may send: a burst, then so much a second. A server passing
// on a serial line cannot send its data faster than the line carries, nor Telnet commands
// without end; more than the budget allows is a flood. Pure: the caller passes the time.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstddef>

class CInflowBudget {
  public:
    using Clock = std::chrono::steady_clock;

    CInflowBudget(double burst, double perSecond, Clock::time_point now)
        : m_burst(burst), m_perSecond(perSecond), m_left(burst), m_last(now) {}

    // Counts `amount` arriving at `now`; false once it overdraws the budget.
    bool Take(std::size_t amount, Clock::time_point now) {
        const double seconds = std::chrono::duration<double>(now - m_last).count();
        m_last = std::max(m_last, now);
        m_left = std::min(m_burst, m_left + std::max(seconds, 0.0) * m_perSecond);
        m_left -= static_cast<double>(amount);
        return m_left >= 0;
    }

    // A new rate (a new line speed), with the whole burst again.
    void Restart(double perSecond, Clock::time_point now) {
        m_perSecond = perSecond;
        m_left = m_burst;
        m_last = now;
    }

  private:
    double m_burst;
    double m_perSecond;
    double m_left;
    Clock::time_point m_last;
};
