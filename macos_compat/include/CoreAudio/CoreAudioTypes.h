// Stand-in for <CoreAudio/CoreAudioTypes.h>, which on Apple's SDK only forwards to the
// CoreAudioTypes framework header.
#pragma once

#include <CoreAudioTypes/CoreAudioTypes.h>
