// The diagnostic tool: one key's listing line, the listing of every key, the
// decoded fan report, and the command line. Everything prints to standard
// output and works on the process-wide connection `conn`.
#pragma once

#include "smc/smc.h"

extern "C" {

// The printers of one listing line; each reads at most the first
// min(dataSize, 32) value bytes.
// "%u " of the value as an unsigned big-endian integer.
void printUInt(SMCVal val);
// "%.0f " of the value as fpe2.
void printFPE2(SMCVal val);
// "(bytes xx xx ...)" and the end of the line.
void printBytesHex(SMCVal val);
// "  KEY   [TYPE]  " then the decoded number, if the type has one, and the
// bytes; "no data" for a value of size 0.
void printVal(SMCVal val);

// Lists every key in position order, one line each; returns 0.
kern_return_t SMCPrintAll(void);

// Prints the fan count and each fan's speeds and mode; 0, or kIOReturnError
// before printing anything when "FNum" cannot be read.
kern_return_t SMCPrintFans(void);

// The tool's command line ("-h" for its options): opens conn for one
// operation and closes it again. Returns the exit status, 0 or 1.
int main_deac(int argc, char* argv[]);

}  // extern "C"
