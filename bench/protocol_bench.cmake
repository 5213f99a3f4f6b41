velmora_add_benchmark(protocol_bench SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/protocol_bench.cpp
    LIBS velmora_protocol velmora_counting_allocator)
