#pragma once
// Where a video's decoded sound goes. The real sink is AudioOutput (ALSA's "default" PCM).

struct AVFrame;

namespace lumetta {

class SoundSink {
public:
    virtual ~SoundSink() = default;
    // Plays one decoded frame; may block while the device is full, but returns soon after the
    // stop flag the sink was made with is set.
    virtual void play(const AVFrame* frame) = 0;
};

}  // namespace lumetta
