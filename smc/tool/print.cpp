// The listing line, the key listing and the fan report.
#include "smc/tool/smctool.h"
#include "smc/CallRecords.h"
#include "encodings/Encodings.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>
#include <unordered_map>

namespace {

constexpr FourCharCode kKeyCountCode = 0x234b4559;  // "#KEY"

// The value bytes a printer may look at: never past the 32 of the record.
int valueSize(const SMCVal& val)
{
    return int(val.dataSize < sizeof val.bytes ? val.dataSize : sizeof val.bytes);
}

float fpe2Value(const SMCVal& val)
{
    return _strtof(val.bytes, valueSize(val), 2);
}

// A fan speed by its type: T2 and Apple Silicon machines keep a float,
// every other type is read as fpe2, as it always was.
float fanSpeed(const SMCVal& val)
{
    if (std::strcmp(val.dataType, "flt ") == 0 && val.dataSize == 4)
        return encodings::floatFromBytes(reinterpret_cast<const uint8_t*>(val.bytes));
    return fpe2Value(val);
}

// A key the machine does not have: size 0 from an SMC, "no such key" from a
// back-end that serves a fixed set. Either way there is nothing to show.
bool absent(kern_return_t status, const SMCVal& val)
{
    return status == kIOReturnNotFound || (status == kIOReturnSuccess && val.dataSize == 0);
}

bool isUnsignedType(const char* type)
{
    return std::strcmp(type, "ui8 ") == 0 || std::strcmp(type, "ui16") == 0 ||
           std::strcmp(type, "ui32") == 0;
}

void printFanSpeed(const char* label, float speed)
{
    std::printf("    %s: %.0f\n", label, double(speed));
}

// The problems of one listing or fan report on standard error: a line each
// up to a cap, then how many more there were, so that an SMC failing every
// one of 65535 keys does not bury the terminal.
class Problems {
public:
    ~Problems()
    {
        endRun();
        if (hidden_ > 0)
            smctool::say("%d more problems not shown", hidden_);
    }
    bool any() const { return shown_ + hidden_ > 0; }
    // Counts one problem; true while it is still to be said.
    bool add()
    {
        endRun();
        return shown_ < kShown ? (++shown_, true) : (++hidden_, false);
    }
    void failure(const char* subject, const char* action, kern_return_t status)
    {
        if (add())
            smctool::sayFailure(subject, action, status);
    }
    // A failed key-at-index exchange. Positions that fail one after another
    // with the same status (every one, without root on the driver) are one
    // problem: its first line and then how far the run went.
    void lookupFailure(int32_t position, kern_return_t status)
    {
        if (runLength_ > 0 && status == runStatus_ && position == runStart_ + runLength_) {
            ++runLength_;
            return;
        }
        runShown_ = add();
        if (runShown_)
            smctool::sayFailure(("key at position " + std::to_string(position)).c_str(), "lookup", status);
        runStart_ = position;
        runStatus_ = status;
        runLength_ = 1;
    }

private:
    void endRun()
    {
        if (runLength_ > 1 && runShown_)
            smctool::say("keys at positions %d to %d: lookup failed the same way", runStart_ + 1,
                         runStart_ + runLength_ - 1);
        runLength_ = 0;
    }

    static constexpr int kShown = 20;
    int shown_ = 0;
    int hidden_ = 0;
    int32_t runStart_ = 0;
    int32_t runLength_ = 0;
    kern_return_t runStatus_ = 0;
    bool runShown_ = false;
};

// The key text as a listing line shows it: up to its first zero byte,
// filled with blanks to four places.
std::string listedText(const char* text)
{
    std::string listed(text, strnlen(text, 4));
    listed.resize(4, ' ');
    return listed;
}

}  // namespace

namespace smctool {

bool listKeys()
{
    uint32_t claimed = 0;
    kern_return_t status = smc_read_index_count(&claimed);
    if (status != kIOReturnSuccess) {
        say("cannot count the keys: #KEY read failed: %08x (%s)", unsigned(status), statusWords(status));
        return false;
    }
    // A real SMC numbers its keys with 16 bits; a count past that is a broken
    // or hostile reply, and trusting it would mean billions of exchanges.
    int32_t count = int32_t(claimed);
    int32_t listed = std::min<int32_t>(count, kSMCMaxKeys);
    bool inRange = claimed <= uint32_t(kSMCMaxKeys);
    if (!inRange)
        say("#KEY counts %u keys, more than the %d an SMC holds; listing %d", claimed, int(kSMCMaxKeys),
            std::max(listed, 0));

    Problems problems;
    bool countListed = false;
    std::unordered_map<std::string, int32_t> positionOf;  // listed text -> first position
    for (int32_t i = 0; i < listed; ++i) {
        SMCKeyData request = smc::keyAtIndexRequest(uint32_t(i));
        SMCKeyData response{};
        SMCVal val{};
        // Whatever would follow a vanished SMC is made up from cleared records.
        auto stop = [&] {
            say("the SMC is gone; the listing stops at position %d of %d", i, listed);
            return false;
        };
        status = SMCCall(kSMCUserClientCall, &request, &response);
        if (status != kIOReturnSuccess) {
            problems.lookupFailure(i, status);
            if (smcIsGone(status))
                return stop();
            continue;
        }
        char key[5];
        _ultostr(key, response.key);
        status = SMCReadKey(key, &val);
        if (status != kIOReturnSuccess) {
            problems.failure(shownKey(key).c_str(), "read", status);
            if (smcIsGone(status))
                return stop();
        }
        printVal(val);

        // What would keep this listing from loading back as the same text.
        countListed = countListed || response.key == kKeyCountCode;
        std::string text = listedText(key);
        if (text.find('\n') != std::string::npos || listedText(val.dataType).find('\n') != std::string::npos) {
            if (problems.add())
                say("the key at position %d shows a line break; the listing will not load as a profile", i);
        } else if (auto [first, added] = positionOf.emplace(text, i); !added) {
            if (problems.add())
                say("%s is listed twice, at positions %d and %d; the listing will not load as a profile",
                    shownKey(text.c_str()).c_str(), first->second, i);
        }
    }
    if (inRange && !countListed && !problems.any()) {
        // Reloaded, such a listing gets a "#KEY" of its own and lists one line more.
        say("#KEY counts %d keys and is not among them; the listing has no #KEY line", count);
        return false;
    }
    return inRange && !problems.any();
}

FanReport printFans()
{
    FanReport report;
    SMCVal val;
    report.countStatus = SMCReadKey("FNum", &val);
    if (report.countStatus != kIOReturnSuccess) {
        report.status = kIOReturnError;
        report.complete = false;
        return report;
    }
    uint32_t claimed = _strtoul(val.bytes, valueSize(val), 10);
    int32_t fans = int32_t(claimed);
    std::printf("Total fans in system: %d\n", fans);
    // "FNum" is a ui8 on a real SMC: a larger count is not to be believed.
    int32_t shown = std::min<int32_t>(fans, kSMCMaxFans);
    if (claimed > uint32_t(kSMCMaxFans)) {
        say("FNum counts %u fans, more than the %d an SMC holds; showing %d", claimed, int(kSMCMaxFans),
            std::max(shown, 0));
        report.complete = false;
    }

    static constexpr struct {
        const char* pattern;
        const char* label;
    } speeds[] = {
        {"F%dAc", "Actual speed "}, {"F%dMn", "Minimum speed"}, {"F%dMx", "Maximum speed"},
        {"F%dSf", "Safe speed   "}, {"F%dTg", "Target speed "},
    };
    Problems problems;
    // A failed read prints as 0, as it always has; it is said on standard
    // error, and an SMC that is gone ends the report. A key the machine
    // lacks prints as 0 too, and is no failure.
    kern_return_t status = kIOReturnSuccess;
    auto read = [&](const char* key, int32_t fan, bool refusalAnswers = false) {
        status = SMCReadKey(key, &val);
        if (status == kIOReturnSuccess || status == kIOReturnNotFound ||
            (refusalAnswers && status == kIOReturnNotReadable))
            return true;
        report.complete = false;
        problems.failure(shownKey(key).c_str(), "read", status);
        if (!smcIsGone(status))
            return true;
        say("the SMC is gone; the fan report stops at fan %d of %d", fan, shown);
        return false;
    };
    SMCVal modes{};
    bool noMask = false;
    for (int32_t fan = 0; fan < shown; ++fan) {
        std::printf("\nFan #%d:\n", fan);
        for (const auto& speed : speeds) {
            char key[16];  // room for any fan number
            std::snprintf(key, sizeof key, speed.pattern, fan);
            if (!read(key, fan))
                return report;
            printFanSpeed(speed.label, fanSpeed(val));
        }
        // One mask holds every fan's mode: read once, for the first fan.
        if (fan == 0) {
            if (!read("FS! ", fan))
                return report;
            modes = val;
            noMask = absent(status, val);
        }
        uint32_t mode = _strtoul(modes.bytes, 2, 16);
        const char* shownMode = fan < 16 && (mode >> fan & 1) != 0 ? "forced" : "auto";
        // Without the mask, newer machines keep each fan's mode in its own
        // key; where the driver keeps the flag to itself, its read is
        // refused and the mode cannot be known.
        if (noMask) {
            char key[16];
            std::snprintf(key, sizeof key, "F%dMd", fan);
            if (!read(key, fan, true))
                return report;
            if (status == kIOReturnNotReadable)
                shownMode = "unknown";
            else if (status == kIOReturnSuccess && val.dataSize != 0)
                shownMode = val.bytes[0] != 0 ? "forced" : "auto";
        }
        std::printf("    Mode         : %s\n", shownMode);
    }
    return report;
}

}  // namespace smctool

extern "C" {

void printUInt(SMCVal val)
{
    std::printf("%u ", _strtoul(val.bytes, valueSize(val), 10));
}

void printFPE2(SMCVal val)
{
    std::printf("%.0f ", double(fpe2Value(val)));
}

void printBytesHex(SMCVal val)
{
    std::fputs("(bytes", stdout);
    for (int i = 0; i < valueSize(val); ++i)
        std::printf(" %02x", unsigned(uint8_t(val.bytes[i])));
    std::fputs(")\n", stdout);
}

void printVal(SMCVal val)
{
    // The precision keeps a record without its zero bytes from being read on.
    std::printf("  %-4.4s  [%-4.4s]  ", val.key, val.dataType);
    if (val.dataSize == 0) {
        std::puts("no data");
        return;
    }
    val.dataType[4] = '\0';
    if (isUnsignedType(val.dataType))
        printUInt(val);
    else if (std::strcmp(val.dataType, "fpe2") == 0)
        printFPE2(val);
    printBytesHex(val);
}

kern_return_t SMCPrintAll(void)
{
    try {
        smctool::listKeys();
    } catch (const std::bad_alloc&) {
        smctool::say("out of memory; the listing stops");
    }
    return kIOReturnSuccess;
}

kern_return_t SMCPrintFans(void)
{
    try {
        smctool::FanReport report = smctool::printFans();
        if (report.countStatus != kIOReturnSuccess)
            smctool::sayFailure("FNum", "read", report.countStatus);
        return report.status;
    } catch (const std::bad_alloc&) {
        smctool::say("out of memory; the fan report stops");
        return kIOReturnSuccess;
    }
}

}  // extern "C"
