# The engine's runtime: the statistics block, the runtime itself, the C interface and the
# loadable engine library.
target_sources(velmora_engine_core PRIVATE
    src/engine_runtime.cpp
    src/engine_shared_state.cpp)

# The C interface's header alone, for programs that load the engine library instead of linking it.
add_library(velmora_engine_api INTERFACE)
target_include_directories(velmora_engine_api INTERFACE include)

# VelmoraEngine.dylib: the same file name on every platform, since the host looks for exactly that
# name beside itself. Only the five C functions are exported; everything linked in stays hidden.
add_library(VelmoraEngine SHARED src/engine.cpp)
target_link_libraries(VelmoraEngine PRIVATE velmora_engine_core velmora_options)
set_target_properties(VelmoraEngine PROPERTIES
    PREFIX ""
    OUTPUT_NAME VelmoraEngine
    SUFFIX ".dylib"
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON
    INSTALL_NAME_DIR "@rpath")
if(APPLE)
    target_link_options(VelmoraEngine PRIVATE
        "LINKER:-exported_symbols_list,${CMAKE_CURRENT_SOURCE_DIR}/src/engine_exports.txt")
else()
    target_link_options(VelmoraEngine PRIVATE
        "LINKER:--version-script=${CMAKE_CURRENT_SOURCE_DIR}/src/engine_exports.map")
    set_property(TARGET VelmoraEngine APPEND PROPERTY LINK_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/src/engine_exports.map)
endif()
