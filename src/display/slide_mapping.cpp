#include "display/slide_mapping.h"

namespace lumetta {

int normalizedRotation(int degrees) {
    const int reduced = degrees % 360;
    return reduced < 0 ? reduced + 360 : reduced;
}

}  // namespace lumetta
