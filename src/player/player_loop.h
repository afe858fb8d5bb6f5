#pragma once
// The state of one run of the player loop and its steps, split the way the loop runs them:
// start-up once, then one slide pass per slide shown (update, set-up, frame cycle, after the
// cycle), one frame cycle per frame, and the shutdown. `view` (player/view.h) builds one and
// runs it; the pieces of the loop each keep their state here, in the part named for it, and
// act in the step named for it.
//
// Where each step is carried out:
//
//   view.cpp              `view`, and `run`: start-up, slide passes while the player runs,
//                         shutdown; the splash as the loop shows it (`showSplash`,
//                         `waitWithoutSplash`).
//   loop_startup.cpp      start-up: the seams' defaults, the loop's construction, the first
//                         playlist on a thread of its own while the splash shows, the watchdog,
//                         the CEC thread, the wait for the first playlist's downloads, the first
//                         pass's set-up.
//   loop_slide_pass.cpp   one slide pass: the playlist updates (normal and emergency), the
//                         waiting screen of a playlist without slides, the slide's set-up
//                         (times, layers, scene, transition, preloading, report), what follows
//                         its cycle (standby, Wi-Fi set-up, the next index), and the recovery
//                         from a pass that failed.
//   loop_frame_cycle.cpp  one frame cycle: the group's steps, display-mode requests, reports,
//                         the slide's end, whether anything must be drawn, the drawing (slide,
//                         transition or motion, ticker and position bar, menus, banner, fade,
//                         pairing panel, pause box) and the events with what they ask of the loop.
//   loop_shutdown.cpp     shutdown: every thread the loop started stopped and joined, every
//                         object of the run let go.

#include <SDL3/SDL.h>

#include <atomic>
#include <cstdint>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "content/playlist.h"
#include "display/sdl_handles.h"
#include "link/server_link_state.h"
#include "player/emergency_override.h"
#include "player/group_sync.h"
#include "player/hardware_watchdog.h"
#include "player/live_layer.h"
#include "player/player_input.h"
#include "player/scene_services.h"
#include "player/slide_image_preloader.h"
#include "player/slide_precache.h"
#include "player/slide_report.h"
#include "player/slide_sequence.h"
#include "player/ticker_band.h"
#include "player/transition_choice.h"
#include "player/view.h"
#include "screens/download_screen.h"
#include "screens/event_pump.h"

namespace lumetta::player {

// The frame cycle of the slide on screen runs while set; clearing it ends the slide at the end
// of the current cycle (slide end, playlist update, quit, key actions).
extern std::atomic<bool> viewRunning;
// The index of the slide on screen within the current playlist.
extern std::atomic<int> currentSlideIndex;

// How long the fade from black at start-up (and after the Wi-Fi screen) lasts.
inline constexpr std::uint64_t fadeFromBlackMs = 450;
// How long the splash's last frame takes to fade out before the first slide.
inline constexpr int splashFadeMs = 2000;
// The longest a cycle with nothing to draw waits for an event.
inline constexpr int idleEventWaitMs = 50;
// How long a pass that failed waits for events before the next one.
inline constexpr int failedPassWaitMs = 1000;
// A stored duration above this many seconds is taken as a mistake and plays for 5 seconds.
inline constexpr int longestSlideSeconds = 600;
inline constexpr int replacedSlideSeconds = 5;

struct PlayerLoop {
    PlayerLoop(std::string dataDirectory, Display& display, std::string deviceId, bool watchdogRequested,
               SDL_Thread* webSocketThread, Command* command, const ViewSeams& seams);
    // Runs the shutdown when the loop is left by an exception.
    ~PlayerLoop();
    PlayerLoop(const PlayerLoop&) = delete;
    PlayerLoop& operator=(const PlayerLoop&) = delete;

    // The whole run: start-up, slide passes while the player runs, shutdown. Returns 0.
    int run();  // view.cpp

    // ---- start-up (loop_startup.cpp) ----
    // The first playlist, taken on a thread of its own while the splash shows; false when the
    // start ended without one (the player stopped).
    bool takeInitialPlaylist();
    void initialPlaylistThreadBody();
    void startWatchdog();
    void startCecThread();
    // Waits in 50 ms slices until the first playlist has no download pending, the player stops
    // or a quit waits.
    void waitForFirstPlaylistDownloads();
    // Everything after the first playlist and before the first pass (steps that make targets,
    // reset the clocks and the per-run state).
    void prepareFirstPass();

    // ---- one slide pass (loop_slide_pass.cpp) ----
    void runSlidePass();
    // Takes and applies waiting playlist updates.
    void applyPlaylistUpdates();
    void applyPlaylistUpdate(PlaylistUpdate update);
    // What the updates of the pass did: the playlists let go wait for the end of the pass, and a
    // new or restored playlist starts from its first slide.
    void takeUpdateOutcome(PlaylistUpdateOutcome outcome);
    // Readies a playlist before it becomes current; throws when it cannot be shown.
    void prepareReplacement(Playlist& replacement);
    // One frame of the waiting screen and one event, for a playlist without slides.
    void showWaitingScreen();
    // Builds the slide on screen: duration, clocks, live layers; sets viewRunning.
    void setUpSlide();
    // Starts, keeps or ends the scene for `slide`; a scene that cannot be built is left out.
    void updateScene(const Slide& slide);
    void afterCycle();
    // A pass that threw: logged, the slide's objects dropped, a slide that failed twice running
    // skipped, and a wait of up to a second for events.
    void recoverFromFailedPass(const std::string& message);

    // ---- one frame cycle (loop_frame_cycle.cpp) ----
    void runFrameCycle();
    // The group's steps of a cycle: restart check, network watch, takeover, following, leading;
    // the slide on screen moves or ends as they decide.
    void runGroupSync();
    // A display mode the service asked for, answered once a slide is on screen.
    void answerDisplayModeRequest();
    // The slide-change report of the slide on screen, while the group agrees on the schedule.
    void reportSlide(bool force);
    // A new connection of the link learns at once what is on screen (once a slide was reported).
    void reportAgainAfterReconnection();
    // Whether anything on screen can change without an event (the loop draws every cycle then).
    bool pictureMayChange() const;
    // Draws the slide's layers into the current slide target. False when the frame must not be
    // shown yet (the splash stays until the slide's videos have a picture).
    bool renderSlide();
    // Composes the slide target (and what lies over it) onto the screen.
    void composeFrame();
    // Whether the position bar of a slide that waits is still fading.
    bool positionBarShown() const;
    void drawSlideOverlays(SDL_Renderer* renderer);
    void finishFrame();
    // An event taken through the input's pump, to the input's handling for the slide on screen
    // or the waiting screen.
    void dispatchEvent(const screens::PumpedEvent& event);
    // Carries out what an event asked of the loop (slide end, stop, navigation, moved clocks).
    void applyInputOutcome(const InputOutcome& outcome);

    // ---- shutdown (loop_shutdown.cpp) ----
    void destroyLiveLayers();
    void shutdown();

    // The colour every target is cleared to.
    static constexpr SDL_Color opaqueBlack{0, 0, 0, 255};
    // The run's clocks and rotation.
    std::uint64_t ticks() const { return clock.ticksMs(); }
    std::int64_t nowMs() const { return clock.systemMs(); }
    int screenRotation() const;
    // The pump every event of the loop is taken through (the input's).
    screens::EventPump& events() { return input->events(); }

    // ---- what the run was started with ----
    std::string dataDirectory;
    Display& display;
    std::string deviceId;
    bool watchdogRequested = false;
    SDL_Thread* webSocketThread = nullptr;
    Command* command = nullptr;
    ViewSeams seams;
    std::atomic<bool>& running;
    Clock& clock;
    // Beaten at every frame cycle, slide pass and wait for events (on the watchdog's clock): the
    // watchdog is fed only while it is fresh.
    LoopPulse pulse;

    // ---- start-up: the first playlist's thread and what it hands over (read only after the
    // join), and the splash until the first slide frame is presented ----
    struct StartUp {
        std::jthread playlistThread;
        std::unique_ptr<Playlist> playlist;
        std::optional<PlaylistUpdate> pendingOverride;  // an emergency that came while waiting; first pass
        std::exception_ptr failure;
        std::atomic<bool> playlistReady{false};
        std::unique_ptr<StartupScreen> splash;
    } startUp;

    // ---- the loop's companions: the watchdog, the remote control's thread, the Bluetooth
    // pairing (unless the seams hand one in; the input uses it, so it outlives the input), and
    // the input (keys, touch, the remote control, the event pump, the menus and the pause and
    // pairing overlays) ----
    std::unique_ptr<WatchdogTimerGuard> watchdogGuard;
    std::jthread cecThread;
    std::unique_ptr<screens::RemotePairing> pairing;
    std::unique_ptr<PlayerInput> input;

    // ---- the playlist on screen and its sequence ----
    std::unique_ptr<Playlist> playlist;
    struct Sequence {
        // Updates taken in this pass that were not kept; destroyed at the end of the pass.
        std::vector<std::unique_ptr<Playlist>> releasedPlaylists;
        // The texts asked for ahead, and those of a playlist being installed.
        PreparedSlides preparedSlides;
        PreparedSlides replacementPrepared;
        // The next slide's pictures, decoded ahead.
        std::unique_ptr<SlideImagePreloader> preloader;
        // Failure containment: the slide whose pass failed last.
        std::optional<int> lastFailedIndex;
        // The set-up of a video slide that ended unseen (its videos could not start).
        std::optional<std::uint64_t> deadVideoSlideTicks;
    } sequence;

    // ---- the transition into the slide on screen, and the two pictures it runs between ----
    struct Transition {
        TextureHandle currentTarget;   // the slide on screen
        TextureHandle previousTarget;  // the slide before it
        TransitionPicker picker;
        SlideTransition chosen;
        std::uint64_t startTicks = 0;
        bool currentPictureValid = false;   // the current target holds a picture of the slide on screen
        bool previousPictureValid = false;  // the previous target holds the slide before it
        bool holdPreviousPicture = false;   // a video slide without a picture yet: the old picture stays
    } transition;

    // ---- what lies over the slide or stands in for it ----
    struct Overlays {
        Overlays(Display& display, const Clock& clock) : ticker(&display), downloadBanner(clock) {}
        TickerBand ticker;                      // the playlist's ticker
        screens::DownloadBanner downloadBanner;  // the playlist being prepared
        TextureHandle compositionTarget;        // the frame while the banner's reveal runs
        TextureHandle downloadTarget;           // the waiting screen
        std::unique_ptr<Image> noSlidesPicture;  // drawn on the waiting screen; made on first use
    } overlays;

    // ---- the slide on screen ----
    struct ShownSlide {
        // The scene, kept across slides with the same scene (its key is the playlist directory
        // and the scene's text; empty while none runs).
        std::unique_ptr<SceneRuntime> scene;
        std::string sceneKey;
        std::vector<LiveLayer> liveLayers;
        int index = 0;     // the slide the live layers were built for (what the frames draw)
        int duration = 0;  // seconds in force
        bool hasVideo = false;
        bool endedByVideos = false;
        bool nextIndexChosen = false;  // someone other than the slide's end picked the next slide
        bool endedNormally = false;
        bool firstFrame = true;
        std::int64_t startMs = 0;  // wall clock
        std::int64_t endMs = 0;
        // The times are the group's (its start, or a re-timing by its announcement): they follow
        // the group's clock, not a correction of this player's own.
        bool timesFromGroup = false;
        std::optional<std::int64_t> chainedStartMs;  // the ended slide's end time, for the next one
        std::uint64_t startTicks = 0;
        LayerFrame lastFrame;
        double drawnAnimationMs = 0;  // the animation clock of the slide's frame last drawn
    } shown;

    // ---- the frame cycle: whether the next cycle draws, and the fade from black ----
    struct FrameCycle {
        bool eventTakenLastCycle = false;
        bool overlayChanged = false;
        bool fadeFromBlackOn = true;
        std::optional<std::uint64_t> fadeStartTicks;
    } cycle;

    // ---- the playlist's overrides, the group and the service ----
    // Emergency overrides: the override on screen and the normal playlist kept aside.
    EmergencyOverride emergency{clock, *seams.out, *seams.errors};
    // Group slide sync, and the start the group fixed for the next slide set up (used as it is,
    // also when it lies in the past).
    struct Group {
        explicit Group(GroupSyncOptions options) : sync(std::move(options)) {}
        GroupSlideSync sync;
        std::optional<std::int64_t> startMs;
    } group;
    // The service's slide-change reports (none without a link).
    SlideReporter reporter;

    bool shutDown = false;
};

}  // namespace lumetta::player
