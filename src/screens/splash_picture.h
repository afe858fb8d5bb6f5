#pragma once
// The built-in start-up picture: an XPM of 1920 x 1080 pixels in three colours (" " transparent,
// "." #F07F14, "+" #FFFFFF), compiled into the program from assets/images/splash.xpm.

namespace lumetta::screens {

// The picture's text lines, as Image::fromXpm takes them.
const char* const* splashPicture();

}  // namespace lumetta::screens
