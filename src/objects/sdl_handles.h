#pragma once
// The SDL handles moved to the display library (display/sdl_handles.h), which owns windows and
// renderers; this name stays only until the last include of it has moved.
#include "display/sdl_handles.h"
