#pragma once
// The SDL handles live with the display, which owns windows and renderers; the elements keep
// including them under this name.
#include "display/sdl_handles.h"
