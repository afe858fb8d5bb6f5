#pragma once
// The start-up splash and device-information screen, the first thing shown once the display is
// up. Its constructor is modal: it runs its own frame and event cycle on the main thread and
// returns when the splash is over. Meanwhile it
//   - grows the built-in picture (and the installer's "orientation.png" from the data directory
//     over it) in from a margin of H/8 over 5 s, under a black cover that fades with the margin;
//   - then shows, at the bottom, the identity view (account, branch and name from the
//     configuration, fading in line by line), the device details (D; Space goes back) or, once
//     the service sent a pairing code and the device is online, the pairing view (QR picture,
//     link and code);
//   - lets an installer turn the screen with the arrow keys, storing the choice at once;
//   - probes internet access on a thread of its own, again 2 s after each probe ends.
// It ends once the player loop's first playlist load has finished and the device was paired
// during the splash, or (checked every 5 s from the first identity frame on) is online or
// already has active content; Escape or a quit event stops the whole player instead.
//
// The last frame is kept; the loop calls `fadeFrame` once, just before it presents its first
// slide, to fade that frame to black over 2 s, and then destroys the splash.
//
// The splash is a modal screen (runModalScreen, screens/screen.h): its events come through an
// event pump of its own on the running flag of its seams, so a quit or a display removal stops
// the player there too.
//
// Differences from a plain reading of the screen's rules, for the sake of a device left alone:
//   - the pairing view keeps its QR picture and its two texts while their values stay the same
//     (same pixels), so a QR text that does not decode, or a code too long to show, is logged
//     once instead of on every frame;
//   - an "orientation.png" wider or taller than the renderer's largest texture is refused from
//     its header with one line, before gigabytes are decoded only to fail;
//   - an identity line is measured before it is laid out at a size, so a line too long for any
//     texture is shortened with "…" like any other long line instead of vanishing;
//   - the ready flag is read once per cycle, so a load that ends between the two end tests
//     cannot end the splash without its last frame.

#include <SDL3/SDL.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

#include "core/clock.h"
#include "core/connectivity.h"
#include "core/process_state.h"
#include "objects/image.h"
#include "objects/text.h"
#include "screens/screen.h"

namespace lumetta {
class Display;
}

namespace lumetta::screens {

// The view shown after the intro.
enum class SplashView { Pairing = 0, DeviceDetails = 1, Identity = 2 };

// The pairing the service offered this device: the code, its QR picture (Base64 PNG), where the
// code is entered, and whether the pairing has completed.
struct SplashPairing {
    std::string code;
    std::string qrCode;
    std::string url;
    bool complete = false;
};

// The boundaries of the splash; the defaults are the running player's.
struct SplashSeams {
    // Ticks of the intro (5000 ms), the line fades (900 ms) and the fade-out (2000 ms, 16 ms
    // between frames); steady time of the 5000 ms identity re-check; the probe thread's 100 ms
    // steps.
    Clock* clock = &systemClock();
    // The connectivity probe, called on the splash's own thread.
    std::function<bool()> probe = hasInternetAccess;
    // Runs on every splash cycle and every fade frame once the frame is drawn (and, on the last
    // cycle, kept), just before it is presented: tests read pixels and push events here.
    std::function<void()> beforePresent;
    // The whole player runs while set; Escape and a quit event clear it.
    std::atomic<bool>* running = &playerRunning;
    // Read on every cycle (empty: no pairing offered, and none completes).
    std::function<SplashPairing()> pairing;
};

class Splash final : public Screen {
public:
    static constexpr std::uint64_t introMs = 5000;
    static constexpr std::uint64_t lineFadeMs = 900;
    static constexpr std::uint64_t fadeMs = 2000;
    static constexpr int blockGap = 16;
    static constexpr int pairingBlockHeight = 160;
    static constexpr int qrSize = 128;
    static constexpr int qrColumn = 152;

    // Runs the whole splash (see above). `initialPlaylistDone` null counts as done; a null
    // display returns at once: nothing shown, no thread, nothing written.
    Splash(const std::string& baseDirectory, Display* display, const std::string& serialNumber,
           const std::string& ethernetMac, const std::string& wifiMac, const std::atomic<bool>* initialPlaylistDone,
           SplashSeams seams = {});
    ~Splash();
    Splash(const Splash&) = delete;
    Splash& operator=(const Splash&) = delete;

    // Fades the kept last frame to black over 2 s (or `durationMs`). Does nothing when the player
    // stops, without a display or renderer, or without a kept frame; the frame is gone afterwards.
    void fadeFrame(std::uint64_t durationMs = fadeMs);

    // Stores an orientation (90, 180 or 270; anything else is 0) in the orientation file and the
    // configuration key "orientation"; false (with one "[ORIENTATION]" line) when either failed.
    static bool saveOrientation(int degrees, const std::string& baseDirectory = configBaseDirectory);

    // An identity line: the largest size from the output height down (by 2) at which the text
    // fits the width, else at 18 px shortened with "…". None for an empty text.
    static std::unique_ptr<Text> makeText(Display* display, const std::string& text);

    // Fills an empty slot from the configuration value of `key`; a filled slot stays.
    static void configText(std::unique_ptr<Text>& slot, Display* display, const std::string& baseDirectory,
                           const std::string& key);

    // The probe thread's body: probes, then waits 20 steps of 100 ms, until a stop is requested.
    void connectivityThread(std::stop_token stop, std::atomic<bool>* online);

    // The kept last frame, ARGB8888 rows back to back; empty when none was kept.
    const std::vector<std::uint32_t>& lastFrame() const { return lastFrame_; }
    int lastFrameWidth() const { return lastFrameWidth_; }
    int lastFrameHeight() const { return lastFrameHeight_; }
    SplashView view() const { return view_; }
    // 0, 90, 180 or 270.
    int orientation() const { return rotation_; }

    // One cycle of the splash as its modal run calls it: the keys, the frame (the last one kept
    // once the splash is over), and whether it is over.
    ScreenAnswer takeEvent(const SDL_Event& event) override;
    void draw(const ScreenOutput& output) override;
    bool finished() const override { return over_; }

private:
    // A text made for a value, kept while the value stays.
    struct KeptText {
        std::string value;
        std::unique_ptr<Text> text;
    };
    // The QR picture made for a text at a place, kept while both stay.
    struct KeptQr {
        std::string value;
        int x = 0;
        int y = 0;
        std::optional<Image> picture;
    };

    void run(const std::atomic<bool>* initialPlaylistDone);
    void drawIdentity(std::uint64_t elapsed);
    void drawDeviceDetails();
    void drawPairing(const std::string& code, const std::string& qr, const std::string& link);
    void drawBlock(const std::vector<Text*>& lines, const std::vector<float>& opacities);
    Text* keptText(KeptText& kept, const std::string& value, int boxWidth, int boxHeight, int fontSize,
                   SDL_Color colour);
    void turnTo(int degrees);
    void keepFrame();
    void loadOrientationPicture(const std::string& path);

    int recheckIntervalMs = 5000;
    Display* display = nullptr;
    std::vector<std::uint32_t> lastFrame_;
    int lastFrameWidth_ = 0;
    int lastFrameHeight_ = 0;
    std::optional<Image> backgroundPicture;
    std::optional<Image> orientationPicture;
    std::unique_ptr<Text> serialText;
    std::unique_ptr<Text> ethernetText;
    std::unique_ptr<Text> wifiText;
    std::unique_ptr<Text> pairingPromptText;
    std::unique_ptr<Text> accountText;
    std::unique_ptr<Text> branchText;
    std::unique_ptr<Text> nameText;

    SplashSeams seams_;
    std::string baseDirectory_;
    std::string dataDirectory_;  // ends in "/"
    SplashView view_ = SplashView::Identity;
    int rotation_ = 0;
    int width_ = 0;
    int height_ = 0;
    std::atomic<bool> online_{false};
    // The run's progress from one cycle to the next.
    const std::atomic<bool>* initialPlaylistDone_ = nullptr;
    std::uint64_t start_ = 0;
    bool needsPairing_ = true;
    bool identityDone_ = false;
    bool recheckArmed_ = false;
    bool introOver_ = false;
    std::uint64_t viewStart_ = 0;
    std::int64_t recheckAt_ = 0;
    bool over_ = false;
    KeptText linkLine_;
    KeptText codeLine_;
    KeptQr qrPicture_;
};

}  // namespace lumetta::screens
