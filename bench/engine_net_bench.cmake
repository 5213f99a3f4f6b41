# CPU per block of the network client's receive and send paths, against memcpy of the same samples.
if(TARGET velmora_engine_core)
    velmora_add_benchmark(engine_net_bench
        SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/engine_net_bench.cpp
        LIBS velmora_engine_core)
endif()
