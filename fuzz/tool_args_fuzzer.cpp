// The tool's command line: any arguments (the input split at zero bytes)
// against a small machine end with status 0 or 1, never change a key that is
// not writable, and change nothing when the tool says it failed.
#include "smc/tool/smctool.h"
#include "backends/emulated/EmulatedSMC.h"
#include "support/FuzzSupport.h"

#include <string>
#include <vector>

using namespace platform;
using fuzz_support::check;

namespace {

// Two fans, writable keys, a write that fails, a read that fails, a key
// without data and one whose name is not text.
constexpr std::string_view kProfile = R"(  FNum  [ui8 ]  2 (bytes 02)
  F0Ac  [fpe2]  2000 (bytes 1f 40)
  F0Mn  [fpe2]  2000 (bytes 1f 40)
! writable
  F0Mx  [fpe2]  6000 (bytes 5d c0)
  F0Sf  [fpe2]  3000 (bytes 2e e0)
  F0Tg  [fpe2]  2000 (bytes 1f 40)
! writable
  F1Ac  [fpe2]  3000 (bytes 2e e0)
  F1ID  [ch8*]  (bytes 52 69 67 68 74 00)
  FS!   [ui16]  2 (bytes 00 02)
! writable
  TC0D  [sp78]  (bytes 32 80)
  ZERO  [ui8 ]  no data
! writable
  WBAD  [ui8 ]  1 (bytes 01)
! writable
! fail write e00002d8
  RBAD  [ui32]  7 (bytes 00 00 00 07)
! fail read e00002ed
)";

std::vector<SMCKeyEntry> machine;

std::string describe(const std::vector<std::string>& args, int status)
{
    std::string text = "smc";
    for (const std::string& arg : args)
        text += " '" + fuzz_support::escaped(arg) + "'";
    return text + "\nexit " + std::to_string(status);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzz_support::discardStdout();
    std::string text(kProfile);
    text += std::string("  A\x01\x02\x03  [flag]  (bytes 01)\n");
    check(!parseSMCProfile(text, machine), "the machine of the tool_args fuzzer loads");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::vector<std::string> args;
    std::string_view rest(reinterpret_cast<const char*>(data), size);
    while (!rest.empty() && args.size() < 64) {
        size_t end = rest.find('\0');
        args.emplace_back(rest.substr(0, end));
        rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
    }
    std::vector<char*> argv;
    char program[] = "smc";
    argv.push_back(program);
    for (std::string& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);

    auto smc = std::make_shared<EmulatedSMC>(machine);
    std::vector<SMCKeyEntry> before = smc->keys();
    installSMCService(smc);
    int status = main_deac(int(argv.size() - 1), argv.data());
    installSMCService(nullptr);
    std::vector<SMCKeyEntry> after = smc->keys();

    check(status == 0 || status == 1, "the tool exits 0 or 1", describe(args, status));
    for (size_t i = 0; i < before.size(); ++i) {
        bool changed = before[i].size != after[i].size || before[i].bytes != after[i].bytes;
        check(!changed || before[i].writable, "only writable keys change", describe(args, status));
        check(!changed || status == 0, "a failed run changes nothing", describe(args, status));
    }
    return 0;
}
