// (placeholder: the words concern of the SPICE import registers its functions here)
#include "state.hpp"

namespace spicenet {

void register_words(State&) {}

}  // namespace spicenet
