/* The public header must stay valid C: its layout checks are compiled here by a C compiler. */
#include <velmora/engine/velmora_engine.h>

unsigned velmora_engine_state_size_from_c(void) { return (unsigned)sizeof(VelmoraEngineState); }
