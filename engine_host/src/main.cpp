#include <velmora/engine_host/engine_host_program.h>

int main(int argc, char** argv) { return VelmoraMac::run_engine_host(argc, argv); }
