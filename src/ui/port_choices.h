// The main window's port list: COM1 to COM10 always, then the other COM ports this machine has
// (USB adapters usually get COM11 and up).
#pragma once

#include <string>
#include <vector>

// The COM ports of `present` numbered above 10, as "COMn", in the order of their numbers and each
// once; other names are left out.
std::vector<std::string> PortChoicesAfterCom10(const std::vector<std::string>& present);

// The entries the list gets after COM10, from the ports present now.
std::vector<std::string> ExtraPortChoices();
