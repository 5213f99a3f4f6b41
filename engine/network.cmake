# The engine's configuration loader and network client.
target_sources(velmora_engine_core PRIVATE
    src/app_config.cpp
    src/input_fifo.cpp
    src/latency_histogram.cpp
    src/velmora_client.cpp)
