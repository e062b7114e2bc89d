#include "audio/AudioEngine.h"

#include <cstring>
#include <new>

#include "audio/Playout.h"
#include "audio/SoundLevel.h"
#include "audio/VoiceCodec.h"
#include "base/Clock.h"
#include "base/Exception.h"

namespace ambrel {

AudioEngine::AudioEngine(SoundSystem& sound, ErrorReporter* reporter)
    : sound_(sound), reporter_(reporter), captureListener_(*this), recorder_(sound, reporter) {
    recorder_.setListener(&captureListener_);
}

AudioEngine::~AudioEngine() { shutdown(); }

// Any thread.
void AudioEngine::setCodec(CodecId id) {
    std::lock_guard<std::mutex> hold(lock_);
    if (!selection_.select(id)) return;
    std::shared_ptr<CodecState> state;
    try {
        state = std::make_shared<CodecState>();
    } catch (const std::bad_alloc&) {
        throw MemoryException();
    }
    state->codec = selection_.takeCodec();
    state->bitsPerSample = selection_.bitsPerSample();
    state->frameSamples = selection_.frameSamples();
    // Made here, not on the capture thread: the library allocates as it
    // sets up. Without it the sound goes out unprocessed.
    try {
        if (selection_.frameSamples() > 0 && selection_.sampleRate() > 0)
            state->voice = std::make_unique<VoiceProcessor>(selection_.sampleRate(), selection_.frameSamples());
    } catch (const MemoryException&) {
    } catch (const std::bad_alloc&) {
    }
    codec_ = std::move(state);
    codecGeneration_.fetch_add(1, std::memory_order_release);
    bitsPerSample_.store(selection_.bitsPerSample());
    sampleRate_.store(selection_.sampleRate());
    frameSamples_.store(selection_.frameSamples());
    codecId_.store(id);
    recorder_.setBitsPerSample(selection_.bitsPerSample());
    recorder_.setSampleRate(selection_.sampleRate());
    recorder_.setSamplesPerBlock(selection_.frameSamples());
    // A recording device runs in the old format: the recorder reopens it
    // (not when the new codec records the same way, e.g. GSM and iLBC 20 ms).
    if (recorder_.formatDirty()) recorder_.post(SoundRecorder::REC_REFORMAT);
}

// The coding thread that owns `view`. The old state (and its adapter) is let
// go here, on that thread, after its last frame with it. That thread may be
// a sound server's client thread, which must not wait for lock_ (a holder of
// lock_ may be waiting for that client): if lock_ is busy, null is returned
// and the frame is dropped, like every frame between a codec change and the
// recorder's reopening.
const AudioEngine::CodecState* AudioEngine::refresh(CodecView& view) {
    const std::uint64_t generation = codecGeneration_.load(std::memory_order_acquire);
    if (generation != view.generation) {
        std::shared_ptr<const CodecState> old;
        {
            std::unique_lock<std::mutex> hold(lock_, std::try_to_lock);
            if (!hold.owns_lock()) return nullptr;
            old = std::move(view.state);
            view.state = codec_;
            view.generation = codecGeneration_.load(std::memory_order_relaxed);
        }
        // Room for one frame to process, made once per codec (the capture
        // view is the only one that processes).
        if (&view == &captureCodec_ && view.state) {
            try {
                pcm_.resize(std::size_t(view.state->frameSamples) * (view.state->bitsPerSample / 8));
            } catch (const std::bad_alloc&) {
                pcm_.clear();  // the sound goes out unprocessed
            }
        }
    }
    return view.state.get();
}

CodecId AudioEngine::codecId() const { return codecId_.load(); }

// Link thread.
int AudioEngine::addPlayer(int device) {
    std::lock_guard<std::mutex> hold(lock_);
    std::size_t index = 0;
    while (index < players_.size() && players_[index]) ++index;
    try {
        if (index == players_.size()) players_.emplace_back();
    } catch (const std::bad_alloc&) {
        throw MemoryException();
    }
    // Built completely before it enters the table, so playFrame never sees a
    // half-made player.
    std::unique_ptr<PlayerSlot> slot;
    try {
        slot = std::make_unique<PlayerSlot>(*this, static_cast<int>(index), sound_, reporter_);
    } catch (const std::bad_alloc&) {
        throw MemoryException();
    }
    SoundPlayer& player = slot->player();
    player.setDeviceId(device);
    player.setBitsPerSample(bitsPerSample_.load());
    player.setSampleRate(sampleRate_.load());
    player.setSamplesPerBlock(frameSamples_.load());
    // The player decodes with an adapter of its own: its state (and its
    // concealment) follows this player's stream alone.
    Playout::Format format;
    format.sampleRate = sampleRate_.load();
    format.frameSamples = frameSamples_.load();
    format.bitsPerSample = bitsPerSample_.load();
    format.blockSamples = playoutBlockSamples(format.sampleRate, format.frameSamples);
    try {
        std::unique_ptr<VoiceCodec> decoder;
        if (codec_) decoder = chooseCodec(codecId_.load(), format.frameSamples).codec;
        slot->setPlayout(std::make_unique<Playout>(format, std::move(decoder)));
    } catch (const std::bad_alloc&) {
        throw MemoryException();
    }
    player.start();
    for (auto& cell : references_)
        if (!cell.load(std::memory_order_relaxed)) {
            cell.store(&slot->reference(), std::memory_order_release);
            break;
        }
    players_[index] = std::move(slot);
    return static_cast<int>(index);
}

// Any thread. The format is rebuilt by the recorder thread when it opens the
// device, after any earlier stop has been handled.
// The players' counters start afresh with every call.
void AudioEngine::startCapture() {
    {
        std::lock_guard<std::mutex> hold(lock_);
        for (auto& slot : players_)
            if (slot && slot->playout()) slot->playout()->resetStats();
    }
    voiceRestart_.store(true, std::memory_order_release);
    recorder_.post(SoundRecorder::REC_START);
}

// Any thread.
void AudioEngine::stopCapture() { recorder_.post(SoundRecorder::REC_STOP); }

// Link thread (or the owner's, after the link's thread ended).
void AudioEngine::shutdown() {
    recorder_.post(SoundRecorder::REC_STOP);
    recorder_.quitAndWait();
    std::lock_guard<std::mutex> hold(lock_);
    // The capture thread has ended: nobody reads the rings any more.
    for (auto& cell : references_) cell.store(nullptr, std::memory_order_release);
    for (auto& slot : players_) {
        if (!slot) continue;
        slot->player().post(SoundPlayer::PLAY_STOP);
        slot->player().quitAndWait();
        slot.reset();
    }
    players_.clear();
    // Both coding threads are done: the recorder's has ended, and playFrame
    // runs on this thread.
    codec_.reset();
    codecGeneration_.fetch_add(1, std::memory_order_release);
    captureCodec_ = CodecView{};
}

// Link thread, once per received frame. The frame waits in the player's
// playout stage; the player's thread decodes it when the device needs sound.
void AudioEngine::playFrame(int playerIndex, const std::uint8_t* bytes, int length) {
    if (playerIndex < 0 || static_cast<std::size_t>(playerIndex) >= players_.size()) return;
    PlayerSlot* slot = players_[static_cast<std::size_t>(playerIndex)].get();
    if (!slot || length < 0 || (!bytes && length > 0)) return;
    Playout* stage = slot->playout();
    if (!stage) return;
    stage->push(bytes, static_cast<std::size_t>(length), monotonicMicroseconds());
    slot->player().feed();
}

// Capture thread (inside the sink's onFrameEncoded) or any other.
int AudioEngine::playerLevel(int playerIndex) {
    std::lock_guard<std::mutex> hold(lock_);
    if (playerIndex < 0 || static_cast<std::size_t>(playerIndex) >= players_.size()) return -1;
    const auto& slot = players_[static_cast<std::size_t>(playerIndex)];
    return slot ? slot->level() : -1;
}

// Any thread.
std::uint64_t AudioEngine::playerDrops(int playerIndex) {
    std::lock_guard<std::mutex> hold(lock_);
    if (playerIndex < 0 || static_cast<std::size_t>(playerIndex) >= players_.size()) return 0;
    const auto& slot = players_[static_cast<std::size_t>(playerIndex)];
    if (!slot) return 0;
    return slot->player().droppedFrames() + (slot->playout() ? slot->playout()->stats().dropped : 0);
}

// Any thread.
PlayoutStats AudioEngine::playerStats(int playerIndex) {
    std::lock_guard<std::mutex> hold(lock_);
    if (playerIndex < 0 || static_cast<std::size_t>(playerIndex) >= players_.size()) return {};
    const auto& slot = players_[static_cast<std::size_t>(playerIndex)];
    return slot && slot->playout() ? slot->playout()->stats() : PlayoutStats{};
}

// Any thread.
void AudioEngine::setVoiceFeatures(unsigned features) {
    voiceFeatures_.store(features & kVoiceAll, std::memory_order_relaxed);
}

// Any thread.
VoiceStats AudioEngine::voiceStats() {
    if (!voiceActive_.load(std::memory_order_relaxed)) return {};
    std::lock_guard<std::mutex> hold(lock_);
    return codec_ && codec_->voice ? codec_->voice->stats() : VoiceStats{};
}

// Player thread.
void AudioEngine::blockPlayed(int playerIndex) {
    if (AudioSink* sink = sink_.load()) sink->onBlockPlayed(playerIndex);
}

// Capture thread.
void AudioEngine::CaptureListener::block(const std::uint8_t* data, std::size_t byteCount) {
    engine_.captured(data, byteCount);
}

// Capture thread, once per filled buffer (one codec frame).
void AudioEngine::captured(const std::uint8_t* data, std::size_t byteCount) {
    AudioSink* sink = sink_.load(std::memory_order_acquire);
    const int length = static_cast<int>(byteCount);
    if (sink && sink->onRawBlock(data, length)) return;
    const CodecState* state = refresh(captureCodec_);
    if (!state) return;
    // A block recorded before a codec change is not one frame of the new
    // codec: it is dropped, and the recorder is already reopening its device
    // in the new format.
    VoiceCodec* codec = state->codec.get();
    if (byteCount != static_cast<std::size_t>(state->frameSamples) * (state->bitsPerSample / 8)) return;
    // Sound from a room goes through the voice-processing stage; a file's
    // is coded exactly as it was recorded.
    const unsigned features = voiceFeatures_.load(std::memory_order_relaxed);
    const bool process = state->voice && features != 0 && recorder_.inputIsLive() &&
                         (state->bitsPerSample == 8 || state->bitsPerSample == 16) && pcm_.size() >= byteCount;
    voiceActive_.store(process, std::memory_order_relaxed);
    if (process) {
        VoiceProcessor& voice = *state->voice;
        std::array<ReferenceRing*, kMaxReferences> refs{};
        std::size_t count = 0;
        for (auto& cell : references_)
            if (ReferenceRing* r = cell.load(std::memory_order_acquire)) refs[count++] = r;
        const std::span<ReferenceRing* const> live(refs.data(), count);
        if (voiceRestart_.exchange(false, std::memory_order_acq_rel)) voice.restart(live);
        voice.setFeatures(features);
        std::memcpy(pcm_.data(), data, byteCount);
        if (state->bitsPerSample == 16)
            voice.process16(reinterpret_cast<std::int16_t*>(pcm_.data()), byteCount / 2, live,
                            recorder_.inputLatencyMicros());
        else
            voice.process8(pcm_.data(), byteCount, live, recorder_.inputLatencyMicros());
        data = pcm_.data();
    }
    const std::uint8_t* frame = data;
    std::size_t frameBytes = byteCount;
    try {
        switch (state->bitsPerSample) {
        case 8:
            if (codec) {
                codec->encode8(data, byteCount, frame_, false);
                frame = frame_.data();
                frameBytes = frame_.size();
            }
            captureLevel_.store(level8(data, byteCount), std::memory_order_relaxed);
            break;
        case 16:
            if (codec) {
                // Buffers are allocated by the recorder, so 16-bit samples
                // are suitably aligned.
                codec->encode16(reinterpret_cast<const std::int16_t*>(data), byteCount / 2, frame_, false);
                frame = frame_.data();
                frameBytes = frame_.size();
            }
            captureLevel_.store(level16(data, byteCount), std::memory_order_relaxed);
            break;
        default:
            return;
        }
    } catch (const Exception&) {
        return;  // out of memory while the frame buffer grew: the frame is lost
    }
    if (sink) sink->onFrameEncoded(frame, static_cast<int>(frameBytes));
}

}  // namespace ambrel
