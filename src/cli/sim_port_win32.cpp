// The simulated head needs a pseudo-terminal, which Windows does not offer.
#include "sim_port.h"

std::unique_ptr<CSimPort> StartSimPort(const SimHeadSettings& /*settings*/, std::string& error) {
    error =
        "--port sim needs a pseudo-terminal and runs on Linux only; on Windows name a COM "
        "port (see --list-ports)";
    return nullptr;
}
