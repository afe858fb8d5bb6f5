#pragma once
// The state of one run of the player loop and its steps, split the way the loop runs them:
// start-up once, then one slide pass per slide shown (update, set-up, frame cycle, after the
// cycle), one frame cycle per frame, and the shutdown. `view` (player/view.h) builds one and
// runs it; the pieces of the loop each keep their state here and act in the step named for it.

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
#include "player/download_screen.h"
#include "player/emergency_override.h"
#include "player/group_sync.h"
#include "player/hardware_watchdog.h"
#include "player/live_layer.h"
#include "player/slide_image_preloader.h"
#include "player/slide_precache.h"
#include "player/slide_report.h"
#include "player/slide_sequence.h"
#include "player/ticker_band.h"
#include "player/transition_choice.h"
#include "player/player_input.h"
#include "player/scene_services.h"
#include "player/view.h"

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
    int run();

    // ---- start-up ----
    // The first playlist, taken on a thread of its own while the splash shows; false when the
    // start ended without one (the player stopped).
    bool takeInitialPlaylist();
    void initialPlaylistThreadBody();
    void startWatchdog();
    void startCecThread();
    // Waits in 50 ms slices until no download is pending, the player stops or a quit waits.
    void waitForIdleDownloads();
    // Everything after the first playlist and before the first pass (steps that make targets,
    // reset the clocks and the per-run state).
    void prepareFirstPass();

    // ---- one slide pass ----
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
    void afterCycle();
    // A pass that threw: logged, the slide's objects dropped, a slide that failed twice running
    // skipped, and a wait of up to a second for events.
    void recoverFromFailedPass(const std::string& message);

    // ---- one frame cycle ----
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
    void finishFrame();
    void dispatchEvent(const SDL_Event& event);
    // Carries out what an event asked of the loop (slide end, stop, navigation, moved clocks).
    void applyInputOutcome(const InputOutcome& outcome);

    // ---- shutdown ----
    void destroyLiveLayers();
    void shutdown();

    // Removes every queued playlist-ready event.
    static void drainPlaylistReadyEvents();
    bool quitWaiting() const;
    std::uint64_t ticks() const;
    std::int64_t nowMs() const;
    int screenRotation() const;

    // Arguments.
    std::string dataDirectory;
    Display& display;
    std::string deviceId;
    bool watchdogRequested = false;
    SDL_Thread* webSocketThread = nullptr;
    Command* command = nullptr;
    ViewSeams seams;
    std::atomic<bool>& running;
    Clock& clock;

    // Start-up hand-over of the initial playlist thread (read only after the join).
    std::jthread initialPlaylistThread;
    std::unique_ptr<Playlist> initialPlaylist;
    std::optional<PlaylistUpdate> initialOverride;  // an emergency that came while waiting; first pass
    std::exception_ptr initialFailure;
    std::atomic<bool> initialPlaylistReady{false};

    std::unique_ptr<StartupScreen> splash;
    std::unique_ptr<WatchdogTimerGuard> watchdogGuard;
    std::jthread cecThread;
    // Keys, touch, the remote control, the menus and the pause and pairing overlays.
    std::unique_ptr<PlayerInput> input;

    // The playlist on screen.
    std::unique_ptr<Playlist> playlist;
    // Updates taken in this pass that were not kept; destroyed at the end of the pass.
    std::vector<std::unique_ptr<Playlist>> releasedPlaylists;

    // Render targets: the slide on screen, the previous one, the composition while the overlay
    // reveal runs, the waiting screen.
    TextureHandle currentTarget;
    TextureHandle previousTarget;
    TextureHandle compositionTarget;
    TextureHandle downloadTarget;
    std::unique_ptr<Image> noSlidesPicture;  // drawn on the waiting screen; made on first use
    DownloadScreenState downloadScreen;

    // The scene of the slide on screen, kept across slides with the same scene (its key is the
    // playlist directory and the scene's text; empty while none runs).
    std::unique_ptr<SceneRuntime> scene;
    std::string sceneKey;
    // Starts, keeps or ends the scene for `slide`; a scene that cannot be built is left out.
    void updateScene(const Slide& slide);

    // The slide on screen.
    std::vector<LiveLayer> liveLayers;
    int slideDuration = 0;          // seconds in force
    bool slideHasVideo = false;
    bool slideEndedByVideos = false;
    bool nextIndexChosen = false;   // someone other than the slide's end picked the next slide
    bool slideEndedNormally = false;
    bool firstFrameOfSlide = true;
    std::int64_t slideStartMs = 0;  // wall clock
    std::int64_t slideEndMs = 0;
    std::optional<std::int64_t> chainedStartMs;  // the ended slide's end time, for the next one
    std::uint64_t slideStartTicks = 0;
    LayerFrame lastFrame;
    double drawnAnimationMs = 0;  // the animation clock of the slide's frame last drawn

    // Frame cycle.
    bool eventTakenLastCycle = false;
    bool fadeFromBlackOn = true;
    std::optional<std::uint64_t> fadeStartTicks;
    std::string requestedPlaylist;
    bool overlayChanged = false;

    // Slide sequencing: the texts asked for ahead (and those of a playlist being installed), the
    // playlist's ticker, the transition into the slide on screen and the picture it starts from,
    // and the next slide's pictures decoded ahead.
    PreparedSlides preparedSlides;
    PreparedSlides replacementPrepared;
    TickerBand ticker{&display};
    TransitionPicker transitionPicker;
    SlideTransition transition;
    std::uint64_t transitionStartTicks = 0;
    bool currentPictureValid = false;   // the current target holds a picture of the slide on screen
    bool previousPictureValid = false;  // the previous target holds the slide before it
    bool holdPreviousPicture = false;   // a video slide without a picture yet: the old picture stays
    std::optional<std::uint64_t> deadVideoSlideTicks;  // set-up of a video slide that ended unseen
    std::unique_ptr<SlideImagePreloader> preloader;
    // Whether the position bar of a slide that waits is still fading.
    bool positionBarShown() const;
    void drawSlideOverlays(SDL_Renderer* renderer);

    // Failure containment.
    std::optional<int> lastFailedIndex;

    // Emergency overrides: the override on screen and the normal playlist kept aside.
    EmergencyOverride emergency{clock, *seams.out, *seams.errors};
    // Group slide sync, and the start the group fixed for the next slide set up (used as it is,
    // also when it lies in the past).
    GroupSlideSync groupSync;
    std::optional<std::int64_t> groupStartMs;
    // The service's slide-change reports (none without a link).
    SlideReporter reporter;

    bool shutDown = false;
};

}  // namespace lumetta::player
