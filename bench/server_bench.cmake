# CPU per device block of the server's output path: the pump building and sending every client's
# sync and fragments on 127.0.0.1.
if(TARGET velmora_server_core AND TARGET velmora_udp_test_client)
    velmora_add_benchmark(server_bench
        SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/server_bench.cpp
        LIBS velmora_server_core velmora_udp_test_client)
endif()
