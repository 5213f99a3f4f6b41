# The engine's runtime: the statistics block, the runtime itself, the C interface and the
# loadable engine library.
target_sources(velmora_engine_core PRIVATE
    src/engine_shared_state.cpp)

# The C interface's header alone, for programs that load the engine library instead of linking it.
add_library(velmora_engine_api INTERFACE)
target_include_directories(velmora_engine_api INTERFACE include)
