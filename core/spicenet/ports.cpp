// (placeholder: the ports concern of the SPICE import registers its functions here)
#include "state.hpp"

namespace spicenet {

void register_ports(State&) {}

}  // namespace spicenet
