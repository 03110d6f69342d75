// The diagnostic tool: one key's listing line, the listing of every key, the
// decoded fan report, and the command line. Everything prints to standard
// output and works on the process-wide connection `conn`.
#pragma once

#include "smc/smc.h"

#include <string>

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

// Lists every key in position order, one line each, at most kSMCMaxKeys
// positions, saying on standard error what went wrong; returns 0.
kern_return_t SMCPrintAll(void);

// Prints the fan count and the speeds and mode of each fan, at most
// kSMCMaxFans, saying on standard error what went wrong; 0, or
// kIOReturnError before printing anything when "FNum" cannot be read.
kern_return_t SMCPrintFans(void);

// The tool's command line ("-h" or "--help" for its options): opens conn for one
// operation and closes it again. Returns the exit status, 0 or 1.
int main_deac(int argc, char* argv[]);

}  // extern "C"

// What the tool needs beyond the functions above, which keep their results:
// whether a listing or fan report is the whole truth, and the words for a
// status. Problems are said on standard error, one line each, never on
// standard output.
namespace smctool {

// The status in words ("the SMC is not responding"); "unknown status" for
// one the platform does not give.
const char* statusWords(kern_return_t status);

// Whether a status says the SMC can no longer be reached, so that further
// exchanges are pointless.
bool smcIsGone(kern_return_t status);

// "smc: " and the formatted text as one line on standard error.
[[gnu::format(printf, 1, 2)]] void say(const char* format, ...);

// "smc: SUBJECT: ACTION failed: STATUS (WORDS)" on standard error.
void sayFailure(const char* subject, const char* action, kern_return_t status);

// A key text (at most four characters) as it can be shown on a terminal:
// bytes outside printable ASCII as \xNN.
std::string shownKey(const char* key);

// The listing of SMCPrintAll. False when it is not the whole machine as a
// profile saved from it would list again: the count could not be read or
// was out of range, an exchange failed, two keys show as the same text,
// or the listing leaves out "#KEY" itself.
bool listKeys();

// The fan report of SMCPrintFans, with its status. `complete` is false when
// the fan count was out of range or any exchange failed; the failure to
// read "FNum" is left to the caller to say, after its own error line.
struct FanReport {
    kern_return_t status = kIOReturnSuccess;
    kern_return_t countStatus = kIOReturnSuccess;  // of the "FNum" read
    bool complete = true;
};
FanReport printFans();

}  // namespace smctool
