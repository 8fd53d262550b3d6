// (placeholder: the settings concern of the SPICE import registers its functions here)
#include "state.hpp"

namespace spicenet {

void register_settings(State&) {}

}  // namespace spicenet
