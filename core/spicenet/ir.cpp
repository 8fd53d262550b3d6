// (placeholder: the ir concern of the SPICE import registers its functions here)
#include "state.hpp"

namespace spicenet {

void register_ir(State&) {}

}  // namespace spicenet
