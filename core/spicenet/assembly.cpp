// (placeholder: the assembly concern of the SPICE import registers its functions here)
#include "state.hpp"

namespace spicenet {

void register_assembly(State&) {}

}  // namespace spicenet
