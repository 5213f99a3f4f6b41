#include <velmora/debug_tool/debug_tool.h>

#include <cstdio>

int main(int argc, char** argv) {
    return VelmoraCore::run_debug_tool(argc, argv, stdout, stderr);
}
