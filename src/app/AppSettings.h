// The settings record of one run: built-in defaults, overridden by the command
// line (CommandLine.h). The main window and the headless controller read it at
// initialisation and after each disconnect; nothing writes it back.
#pragma once

#include <string>
#include <vector>

#include "audio/CodecId.h"
#include "audio/VoiceStats.h"
#include "link/DatagramGuard.h"
#include "link/Socket.h"
#include "platform/SoundDevice.h"

namespace ambrel {

// The program's version text.
inline constexpr const char* kVersionText = "2.8";

// "%02d%02d%02d" of year - 2000, month and day: 12 September 2007 -> "070912".
std::string makeBuildLabel(int year, int month, int day);
// The label of the date this program was built (the compiler's __DATE__,
// "Mmm dd yyyy"); "000000" if that text cannot be read.
std::string buildLabelFromCompilerDate(const char* compilerDate);

struct AppSettings {
    std::string versionText = kVersionText;
    std::string buildLabel;

    // Connect (or listen) right after start and again after every disconnect.
    bool autoConnect = false;
    bool autoListen = false;

    // Initial host and port of the window's fields; the port serves both
    // connect and listen. 0..65535.
    std::string host = "127.0.0.1";
    int port = 5007;

    CodecId codecId = kDefaultCodecId;
    std::string codecLabel = "speex 16 KHz";

    // Devices as the command line named them: number -1 is the default device,
    // n >= 1 the n-th entry of --list-devices, or a sound-server name, or a WAV
    // file (--record-file / --play-file).
    SoundDeviceRef recordDevice;
    SoundDeviceRef playDevice;
    // The same as the device numbers the link and the audio engine take: -1
    // for the default, n for the n-th device, or a SoundSystem alias. Filled
    // at start-up from the two refs above.
    int recordingDeviceIndex = -1;
    int playingDeviceIndex = -1;

    bool sendEnabled = true;  // record and send
    bool playEnabled = true;  // play what is received

    // Seconds without data from the peer after which a call ends; -1 = never.
    int timeout = -1;

    // One-to-many destinations, resolved at start-up, in the given order.
    std::vector<SocketAddress> destinations;

    // Who may talk to this copy (off by default): source networks datagrams
    // are taken from (empty: any), the peer lock, and the key file with which
    // every datagram is sealed (empty: none).
    std::vector<AllowRule> allowList;
    bool lockPeer = false;
    std::string keyFile;

    // The parts of the voice processing of recorded sound that run
    // (VoiceFeature bits; --no-echo-cancel and its kin take them away).
    unsigned voiceFeatures = kVoiceAll;

    // The banner server ("HOST[:PORT]"); empty: the banner keeps its start page.
    std::string bannerServer;
};

}  // namespace ambrel
