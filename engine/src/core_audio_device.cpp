#include <velmora/engine/audio_device.h>
std::unique_ptr<AudioDevice> create_audio_device() { return nullptr; }
