// (placeholder: the entry concern of the SPICE import registers its functions here)
#include "state.hpp"

namespace spicenet {

void register_entry(State&) {}

}  // namespace spicenet
