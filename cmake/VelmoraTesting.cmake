include(GoogleTest)

# velmora_add_test(<name> LABEL unit|integration|soak SOURCES ... [LIBS ...] [TIMEOUT s]
#                  [RESOURCE_LOCK name])
# One GoogleTest executable; every test in it is registered with CTest under the label. Tests that
# share something fixed between processes (a shared-memory name, say) name it as a resource lock,
# so that parallel runs never overlap.
function(velmora_add_test name)
    cmake_parse_arguments(T "" "LABEL;TIMEOUT;RESOURCE_LOCK" "SOURCES;LIBS" ${ARGN})
    if(NOT VELMORA_BUILD_TESTS)
        return()
    endif()
    if(NOT T_LABEL)
        set(T_LABEL unit)
    endif()
    if(NOT T_TIMEOUT)
        if(T_LABEL STREQUAL "unit")
            set(T_TIMEOUT 60)
        elseif(T_LABEL STREQUAL "integration")
            set(T_TIMEOUT 180)
        else()
            set(T_TIMEOUT 1800)
        endif()
    endif()
    add_executable(${name} ${T_SOURCES})
    target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main Threads::Threads velmora_options)
    set(lock_property)
    if(T_RESOURCE_LOCK)
        set(lock_property RESOURCE_LOCK ${T_RESOURCE_LOCK})
    endif()
    gtest_discover_tests(${name}
        PROPERTIES LABELS ${T_LABEL} TIMEOUT ${T_TIMEOUT} ${lock_property}
        DISCOVERY_TIMEOUT 60)
endfunction()

# velmora_add_fuzzer(<name> SOURCES ... [LIBS ...])
# A libFuzzer target, named fuzz_<what>, built only with VELMORA_FUZZ. scripts/test runs every
# bin/fuzz_* for a few seconds, starting from the seed files in any <dir>/fuzz/seeds/<name>/.
function(velmora_add_fuzzer name)
    cmake_parse_arguments(F "" "" "SOURCES;LIBS" ${ARGN})
    if(NOT VELMORA_FUZZ)
        return()
    endif()
    add_executable(${name} ${F_SOURCES})
    target_link_libraries(${name} PRIVATE ${F_LIBS} velmora_options)
    target_link_options(${name} PRIVATE -fsanitize=fuzzer)
endfunction()

# velmora_add_benchmark(<name> SOURCES ... [LIBS ...])
function(velmora_add_benchmark name)
    cmake_parse_arguments(B "" "" "SOURCES;LIBS" ${ARGN})
    if(NOT VELMORA_BUILD_BENCH)
        return()
    endif()
    add_executable(${name} ${B_SOURCES})
    target_link_libraries(${name} PRIVATE ${B_LIBS} benchmark::benchmark Threads::Threads velmora_options)
endfunction()
