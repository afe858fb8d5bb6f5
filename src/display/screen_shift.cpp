#include "display/screen_shift.h"

#include "core/process_state.h"

namespace lumetta {

ScreenShiftState screenShiftState;

void setScreenShift(int mode, int amount, int margin, float /*value*/) {
    screenShiftState.mode = mode;
    screenShiftState.amount = amount;
    screenShiftState.margin = margin;
}

void applyScreenShift(SDL_Rect& rect) {
    const int a = screenShiftState.amount;
    const int m = screenShiftState.margin;
    switch (screenShiftState.mode) {
        case 1:
            rect.x += a;
            rect.y += a;
            rect.w -= 2 * a;
            rect.h -= 2 * a;
            break;
        case 9: rect.x -= a; break;
        case 10: rect.x += a; break;
        case 11: rect.y -= a; break;
        case 12: rect.y += a; break;
        case 13:
        case 15:
            rect.x -= a;
            rect.y -= a;
            break;
        case 14:
        case 16:
            rect.x += a;
            rect.y += a;
            break;
        default: break;
    }
    switch (displayRotation.load()) {
        case 0:
            rect.x += m;
            rect.y += m;
            break;
        case -90:
            rect.x -= m;
            rect.y += m;
            break;
        case -180:
            rect.x -= m;
            rect.y -= m;
            break;
        case -270:
            rect.x += m;
            rect.y -= m;
            break;
        default: break;
    }
    rect.w -= 2 * m;
    rect.h -= 2 * m;
}

}  // namespace lumetta
