#include "screens/splash_picture.h"

namespace lumetta::screens {

namespace {
// The XPM is C source: its array of lines is taken in as it is written by the drawing program.
#include "assets/images/splash.xpm"
}  // namespace

const char* const* splashPicture() { return splash_xpm; }

}  // namespace lumetta::screens
