# Compile options shared by every target of the project. Targets link `velmora_options`
# (privately), so flags stay target-scoped and follow the sanitizer switches.
add_library(velmora_options INTERFACE)
target_compile_options(velmora_options INTERFACE
    -Wall -Wextra -Werror
    $<$<CXX_COMPILER_ID:GNU>:-Wno-multichar>
    $<$<CXX_COMPILER_ID:Clang>:-Wno-multichar -Wno-four-char-constants>)

# Sanitizers apply to the whole tree (libraries linked into tests must be instrumented too),
# so they are added as directory-wide options once, here.
if(VELMORA_SANITIZE)
    add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
    add_link_options(-fsanitize=address,undefined)
endif()
if(VELMORA_TSAN)
    add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
    add_link_options(-fsanitize=thread)
endif()
if(VELMORA_FUZZ)
    # Instrument everything for coverage; only the fuzz executables link libFuzzer's main.
    add_compile_options(-fsanitize=fuzzer-no-link)
endif()
