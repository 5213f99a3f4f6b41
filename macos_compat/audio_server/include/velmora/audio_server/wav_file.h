// What velmora_server plays and records is read and written by the stand-ins' own WAV module;
// these names keep the audio server's callers as they were.
#pragma once

#include <velmora_compat/wav_file.h>

namespace VelmoraAudioServer {

using VelmoraCompat::parse_wav;
using VelmoraCompat::read_wav_file;
using VelmoraCompat::WavAudio;
using VelmoraCompat::WavWriter;

} // namespace VelmoraAudioServer
