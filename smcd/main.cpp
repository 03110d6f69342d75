// smcd's command line: options in, the daemon started, its exit status out.
#include "smcd/Daemon.h"
#include "smcd/Options.h"

#include "cli/Conventions.h"

#include <optional>
#include <string>

int main(int argc, char* argv[])
{
    using smcd::kProgram;
    std::string error;
    std::optional<smcd::Options> options = smcd::parseOptions(argc, argv, error);
    if (!options)
        return cli::usageError(kProgram, error);
    if (options->help)
        return cli::printText(kProgram, smcd::usageText());
    if (options->version)
        return cli::printVersion(kProgram);
    smcd::Daemon daemon(std::move(*options));
    if (!daemon.start())
        return 1;
    return daemon.run();
}
