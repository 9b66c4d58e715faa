// How one head's result reads for people: what happened, where it got to, and what to try next.
#pragma once

#include <string>

#include "upgrade_session.h"

// Empty for a success.
std::string DescribeResult(const UpgradeResult& result);
