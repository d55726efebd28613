// The host program's entry point; sim/host/host_program.h says what it does.
#include "sim/host/host_program.h"

int main(int argc, char** argv)
{
    return HostProgramMain(argc, argv);
}
