#include <velmora/engine/audio_device.h>

// The CoreAudio backend arrives with the simulated HAL it is tested against; until then no
// hardware device can be opened (the virtual loopback device works).
std::unique_ptr<AudioDevice> create_audio_device() {
    return nullptr;
}
