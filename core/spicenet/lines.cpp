// (placeholder: the lines concern of the SPICE import registers its functions here)
#include "state.hpp"

namespace spicenet {

void register_lines(State&) {}

}  // namespace spicenet
