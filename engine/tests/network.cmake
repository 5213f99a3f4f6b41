# Tests of the configuration loader and the network client.
velmora_add_test(engine_app_config_test LABEL unit
    SOURCES tests/app_config_test.cpp
    LIBS velmora_engine_core)

velmora_add_fuzzer(fuzz_app_config
    SOURCES fuzz/app_config_fuzz.cpp
    LIBS velmora_engine_core)

velmora_add_test(engine_input_fifo_test LABEL unit
    SOURCES tests/input_fifo_test.cpp
    LIBS velmora_engine_core)

velmora_add_test(engine_latency_histogram_test LABEL unit
    SOURCES tests/latency_histogram_test.cpp
    LIBS velmora_engine_core)

velmora_add_test(engine_velmora_client_test LABEL integration
    SOURCES tests/velmora_client_test.cpp
    LIBS velmora_engine_core)

velmora_add_test(engine_client_allocation_test LABEL integration
    SOURCES tests/client_allocation_test.cpp
    LIBS velmora_engine_core velmora_counting_allocator)

# Against the real server core, when it is part of the tree.
if(TARGET velmora_server_core AND EXISTS ${CMAKE_SOURCE_DIR}/coreaudio_driver/include/velmora/server/core_audio_network_server.h)
    velmora_add_test(engine_client_server_test LABEL integration
        SOURCES tests/client_server_test.cpp
        LIBS velmora_engine_core velmora_server_core)
endif()
if(TARGET velmora_server_core AND EXISTS ${CMAKE_SOURCE_DIR}/coreaudio_driver/include/velmora/server/core_audio_network_server.h)
    velmora_add_test(engine_client_soak_test LABEL soak TIMEOUT 900
        SOURCES tests/client_soak_test.cpp
        LIBS velmora_engine_core velmora_server_core)
endif()
