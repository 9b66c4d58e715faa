// What to tell a person whose port could not be used: what failed and what to do about it.
#pragma once

#include <string>

#include "serial_link.h"

std::string PortAdvice(const std::string& port, const PortError& error);
