/* A C11 program of another project: reads one key through libsmc-sensors and
   checks its value. Usage: read_key KEY EXPECTED (EXPECTED as the unsigned
   number the value's bytes make). */
#include <smc/smc.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

int main(int argc, char** argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: read_key KEY EXPECTED\n");
        return 2;
    }
    if (smc_init() != kIOReturnSuccess)
        return 1;
    SMCVal val;
    kern_return_t status = SMCReadKey(argv[1], &val);
    smc_close();
    if (status != kIOReturnSuccess) {
        fprintf(stderr, "read_key: %s: status %08x\n", argv[1], (unsigned)status);
        return 1;
    }
    uint32_t value = _strtoul(val.bytes, (int)val.dataSize, 16);
    printf("%s [%s] %u\n", val.key, val.dataType, (unsigned)value);
    return value == strtoul(argv[2], NULL, 10) ? 0 : 1;
}
