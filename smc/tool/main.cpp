// The smc program: the command line is main_deac's.
#include "smc/tool/smctool.h"

int main(int argc, char* argv[])
{
    return main_deac(argc, argv);
}
