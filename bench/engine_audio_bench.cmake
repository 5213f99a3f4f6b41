# The audio player's figures: the cost of its device cycle (Google Benchmark) and the drift-loop
# and distortion report (simulated time).
if(TARGET velmora_engine_audio_test_support)
    velmora_add_benchmark(velmora_engine_audio_bench
        SOURCES engine_audio_bench.cpp
        LIBS velmora_engine_audio_test_support)
    add_executable(velmora_engine_audio_drift_report engine_audio_drift_report.cpp)
    target_link_libraries(velmora_engine_audio_drift_report PRIVATE velmora_engine_audio_test_support velmora_options)
endif()
