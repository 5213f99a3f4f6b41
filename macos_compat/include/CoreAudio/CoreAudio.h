// Stand-in for <CoreAudio/CoreAudio.h>. As on Apple, the plug-in interface is not included.
#pragma once

#include <CoreAudioTypes/CoreAudioTypes.h>
#include <CoreAudio/AudioHardware.h>
#include <CoreAudio/HostTime.h>
