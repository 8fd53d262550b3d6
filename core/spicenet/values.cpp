// (placeholder: the values concern of the SPICE import registers its functions here)
#include "state.hpp"

namespace spicenet {

void register_values(State&) {}

}  // namespace spicenet
