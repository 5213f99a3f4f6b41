# Audio: the player with drift compensation, the virtual loopback device and the CoreAudio backend.
target_sources(velmora_engine_core PRIVATE
    src/asio_player.cpp
    src/core_audio_device.cpp
    src/drift_control.cpp
    src/loopback_schedule.cpp
    src/playback_resampler.cpp
    src/player_clock.cpp)
