// The tool's command line: options, usage, and the dispatch of one operation.
#include "smc/tool/smctool.h"

#include "smc-sensors/version.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <unistd.h>

// Only the stand-in says why no SMC could be opened, and may serve values
// rebuilt from rounded readings that this tool must not show as raw bytes;
// elsewhere the error line is all there is, and every value is the SMC's.
#if __has_include(<IOKit/IOKitDiagnostics.h>)
#include <IOKit/IOKitDiagnostics.h>
#define SMC_HAVE_FAILURE_CAUSE 1
#endif

namespace {

constexpr const char* kVersion = SMC_SENSORS_VERSION;

// Parsing stops at the first argument that is not an option; glibc needs
// the "+" to stop there instead of reordering the arguments.
#ifdef __GLIBC__
constexpr const char* kOptionString = "+fhk:lrw:v";
#else
constexpr const char* kOptionString = "fhk:lrw:v";
#endif

enum ToolOp { OpNone = 0, OpList = 1, OpRead = 2, OpFans = 3, OpWrite = 4 };

struct Options {
    ToolOp operation = OpNone;
    char key[5] = {};
    SMCVal value = {};
};

enum class Parse { Run, Done, Failed };

// "--help" and "--version" are taken whole where getopt would read the next
// option; anywhere else (an option's argument, after the first non-option or
// "--") they stay what they were. Every other argument is getopt's alone.
enum class LongRequest { None, Help, Version };

LongRequest longRequestAt(int argc, char* argv[])
{
    // glibc starts a fresh scan at optind 0, which stands for 1. Inside a
    // group of letters optind still names the group, which is never a whole
    // "--help", so a match is always an argument getopt has yet to start.
    int next = optind == 0 ? 1 : optind;
    if (next >= argc || argv[next] == nullptr)
        return LongRequest::None;
    if (std::strcmp(argv[next], "--help") == 0)
        return LongRequest::Help;
    if (std::strcmp(argv[next], "--version") == 0)
        return LongRequest::Version;
    return LongRequest::None;
}

void usage(const char* program)
{
    static constexpr const char* optionLines[] = {
        "    -f         : fan info decoded",
        "    -h         : help",
        "    -k <key>   : key to manipulate",
        "    -l         : list all keys and values",
        "    -r         : read the value of a key",
        "    -w <value> : write the specified value to a key",
        "    -v         : version",
    };
    std::printf("Apple System Management Control (SMC) tool %s\n", kVersion);
    std::printf("Usage:\n");
    std::printf("%s [options]\n", program);
    for (const char* line : optionLines)
        std::printf("%s\n", line);
    std::printf("\n");
}

void printError(const char* message)
{
    std::printf("Error: %s\n", message);
}

void printCallError(const char* call, kern_return_t status)
{
    std::printf("Error: %s() = %08x\n", call, status);
}

void resetGetopt()
{
#ifdef __GLIBC__
    optind = 0;  // also forgets a half-read group of letters
#else
    optreset = 1;
    optind = 1;
#endif
}

Parse parseOptions(int argc, char* argv[], Options& options)
{
    resetGetopt();
    int letter;
    for (;;) {
        switch (longRequestAt(argc, argv)) {
        case LongRequest::Help:
            usage(argc > 0 && argv[0] ? argv[0] : "smc");
            return Parse::Done;
        case LongRequest::Version:
            std::printf("smc %s\n", kVersion);
            return Parse::Done;
        case LongRequest::None:
            break;
        }
        if ((letter = getopt(argc, argv, kOptionString)) == -1)
            break;
        switch (letter) {
        case 'f':
            options.operation = OpFans;
            break;
        case 'k':
            // A key is four characters; a longer text would be cut silently.
            if (std::strlen(optarg) >= sizeof options.key) {
                printError("key is not valid");
                return Parse::Failed;
            }
            std::memset(options.key, 0, sizeof options.key);
            std::strcpy(options.key, optarg);
            break;
        case 'l':
            options.operation = OpList;
            break;
        case 'r':
            options.operation = OpRead;
            break;
        case 'w':
            // Odd lengths, non-hex digits and more than 32 bytes are refused
            // rather than written as something the user did not type.
            if (!smc_parse_hex(optarg, &options.value) || std::strlen(optarg) % 2 != 0) {
                printError("value is not valid");
                return Parse::Failed;
            }
            options.operation = OpWrite;
            break;
        case 'v':
            std::printf("%s\n", kVersion);
            return Parse::Done;
        default:  // "-h", an unknown letter, or -k/-w without argument
            options.operation = OpNone;
            break;
        }
    }
    return Parse::Run;
}

const char* bytesWord(uint32_t count)
{
    return count == 1 ? "byte" : "bytes";
}

// The stderr line for a failed write. The size rule's status is also the
// SMC's general error, so the key is read again to tell which it was.
void sayWriteFailure(const SMCVal& value, kern_return_t status)
{
    std::string key = smctool::shownKey(value.key);
    SMCVal current;
    if (status == kSMCSizeMismatch && SMCReadKey(value.key, &current) == kIOReturnSuccess &&
        current.dataSize != value.dataSize) {
        smctool::say("%s: write failed: %08x (the value is %u %s; %s holds %u)", key.c_str(), unsigned(status),
                     value.dataSize, bytesWord(value.dataSize), key.c_str(), current.dataSize);
        return;
    }
    smctool::sayFailure(key.c_str(), "write", status);
}

// Why SMCOpen failed, after its error line.
void sayOpenFailure()
{
    const char* cause = "";
#ifdef SMC_HAVE_FAILURE_CAUSE
    cause = IOSMCServiceFailureCause();
#endif
    if (cause != nullptr && *cause != '\0')
        smctool::say("the SMC cannot be opened: %s", cause);
    else
        smctool::say("the SMC cannot be opened");
}

// Carries out the operation on conn; false when it printed an error line or
// its output is not the whole answer.
bool runOperation(Options& options)
{
    kern_return_t status = kIOReturnSuccess;
    switch (options.operation) {
    case OpList:
        return smctool::listKeys();
    case OpRead:
        if (options.key[0] == '\0') {
            printError("specify a key to read");
            return false;
        }
        status = SMCReadKey(options.key, &options.value);
        if (status != kIOReturnSuccess) {
            printCallError("SMCReadKey", status);
            smctool::sayFailure(smctool::shownKey(options.key).c_str(), "read", status);
            return false;
        }
        printVal(options.value);
        return true;
    case OpFans: {
        smctool::FanReport report = smctool::printFans();
        if (report.status != kIOReturnSuccess) {
            printCallError("SMCPrintFans", report.status);
            smctool::sayFailure("FNum", "read", report.countStatus);
        }
        return report.status == kIOReturnSuccess && report.complete;
    }
    case OpWrite:
        if (options.key[0] == '\0') {
            printError("specify a key to write");
            return false;
        }
        std::memcpy(options.value.key, options.key, sizeof options.key);
        status = SMCWriteKey(options.value);
        if (status != kIOReturnSuccess) {
            printCallError("SMCWriteKey", status);
            sayWriteFailure(options.value, status);
            return false;
        }
        return true;
    case OpNone:
        break;
    }
    return false;
}

// Flushes standard output; false, said on standard error, when anything
// printed could not be written (a full disk, a closed pipe).
bool outputWritten()
{
    errno = 0;
    bool flushed = std::fflush(stdout) == 0;
    if (flushed && !std::ferror(stdout))
        return true;
    if (!flushed && errno != 0)
        smctool::say("cannot write standard output: %s", std::strerror(errno));
    else
        smctool::say("cannot write standard output");
    return false;
}

}  // namespace

extern "C" int main_deac(int argc, char* argv[])
{
    Options options;
    switch (parseOptions(argc, argv, options)) {
    case Parse::Done:
        // "-v > /dev/full" printed nothing after all.
        return outputWritten() ? 0 : 1;
    case Parse::Failed:
        return 1;
    case Parse::Run:
        break;
    }
    if (options.operation == OpNone) {
        usage(argc > 0 && argv[0] ? argv[0] : "smc");
        return 1;
    }
    bool ok = SMCOpen(&conn) == 0;
#ifdef SMC_HAVE_FAILURE_CAUSE
    // A listing or a read shows the bytes themselves: a value only rebuilt
    // from the driver's rounded files is a read that failed. The fan report
    // decodes to whole rpm anyway.
    if (ok && (options.operation == OpList || options.operation == OpRead))
        IOSMCConnectionRequireExactValues(conn);
#endif
    try {
        if (!ok)
            sayOpenFailure();
        ok = runOperation(options) && ok;
    } catch (const std::bad_alloc&) {
        smctool::say("out of memory");
        ok = false;
    }
    smc_close();
    // A listing that could not be written out is a failure too.
    return outputWritten() && ok ? 0 : 1;
}
