// sensors-host: a system-monitoring host. It loads the sensors module as a
// plug-in and shows what the machine reports: a text report, JSON, the
// Prometheus exposition format (printed, as a textfile, or served), or a
// live view.
#include "host/Exporter.h"
#include "host/Formats.h"
#include "host/KeysTable.h"
#include "host/ModuleReader.h"
#include "host/Options.h"
#include "host/Watch.h"

#include "cli/Conventions.h"

#if __has_include(<IOKit/IOKitDiagnostics.h>)
#include <IOKit/IOKitDiagnostics.h>
#define SMC_HAVE_FAILURE_CAUSE 1
#endif

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>

namespace {

constexpr const char* kProgram = "sensors-host";

// SensorsModule.so beside this program, as in the build tree; otherwise in
// the module directory of the installed tree, found relative to this program
// so that the tree runs wherever it was unpacked.
std::string defaultModulePath()
{
    char path[4096];
    ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0)
        return "SensorsModule.so";
    std::string self(path, size_t(length));
    std::string directory = self.substr(0, self.rfind('/') + 1);
    std::string beside = directory + "SensorsModule.so";
#ifdef SMC_INSTALLED_MODULE_DIR
    if (access(beside.c_str(), F_OK) != 0)
        return directory + SMC_INSTALLED_MODULE_DIR "/SensorsModule.so";
#endif
    return beside;
}

bool readFile(const char* path, std::string& text)
{
    FILE* file = std::fopen(path, "rb");
    if (file == nullptr)
        return false;
    char buffer[4096];
    size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0)
        text.append(buffer, got);
    bool ok = !std::ferror(file);
    int saved = errno;
    std::fclose(file);
    errno = saved;
    return ok;
}

// One report on standard output in the chosen format.
int printReport(ModuleReader& machine, const Options& options)
{
    Report report = machine.read();
    std::fputs(formatReport(report, options.format, options.fahrenheit).c_str(), stdout);
    if (outputFormat(options.format).forPeople)
        for (const std::string& error : report.errors)
            if (error != "the fan count cannot be read")  // the report itself says so
                std::fprintf(stderr, "%s: %s\n", kProgram, printable(error).c_str());
    return report.errors.empty() && report.smcUp ? 0 : 1;
}

int run(const Options& options)
{
    std::string tableText(defaultKeysTable());
    const char* keysPath = options.keysPath.empty() ? nullptr : options.keysPath.c_str();
    if (keysPath && !readFile(keysPath, tableText = std::string())) {
        std::fprintf(stderr, "%s: cannot read %s: %s\n", kProgram, keysPath, std::strerror(errno));
        return 1;
    }
    std::string error;
    auto table = parseKeysTable(tableText, error);
    if (!table) {
        std::fprintf(stderr, "%s: %s:%s\n", kProgram, keysPath ? keysPath : "built-in keys", error.c_str());
        return 1;
    }

    // Only the plain text report keeps the access layer's own error line on
    // standard output; every other output must stay parseable.
    bool plainText = outputFormat(options.format).forPeople && options.textfileDirectory.empty() &&
                     !options.listen && !options.watch;
    std::unique_ptr<ModuleReader> machine =
        ModuleReader::load(options.modulePath.empty() ? defaultModulePath() : options.modulePath, !plainText, error);
    if (!machine) {
        std::fprintf(stderr, "%s: %s\n", kProgram, error.c_str());
        return 1;
    }
    if (!machine->isSupported()) {
        const char* cause = "";
#ifdef SMC_HAVE_FAILURE_CAUSE
        cause = IOSMCServiceFailureCause();
#endif
        std::fprintf(stderr, "%s: the module found no SMC on this machine%s%s\n", kProgram,
                     cause && *cause ? ": " : "", cause ? cause : "");
        // A report in a machine-readable format still says so: smc_up 0.
        if (plainText || options.watch)
            return 1;
    }
    machine->configure(*table, options.all);

    int status;
    if (!options.textfileDirectory.empty())
        status = runTextfile(*machine, options.textfileDirectory, options.interval);
    else if (options.listen)
        status = runListen(*machine, *options.listen);
    else if (options.watch)
        status = runWatch(*machine, options);
    else
        status = printReport(*machine, options);
    if (std::fflush(stdout) != 0)
        status = 1;
    return status;
}

}  // namespace

int main(int argc, char* argv[])
{
    std::string error;
    std::optional<Options> options = parseOptions(argc, argv, error);
    if (!options)
        return cli::usageError(kProgram, error);
    if (options->help)
        return cli::printText(kProgram, usageText());
    if (options->version)
        return cli::printVersion(kProgram);
    if (options->printKeys)
        return cli::printText(kProgram, defaultKeysTable());
    return run(*options);
}
