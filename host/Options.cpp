#include "host/Options.h"

#include "cli/Conventions.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <getopt.h>
#include <vector>

namespace {

// A format without a letter answers kFormatOption plus its place in the table.
enum LongOnly { kTextfile = 1000, kInterval, kListen, kWatch, kVersion, kFormatOption };

// The format an option letter chooses, if it chooses one.
const OutputFormatRow* formatOfOption(int letter)
{
    for (const OutputFormatRow& row : outputFormats())
        if (row.longOption && (row.letter ? letter == row.letter : letter == kFormatOption + int(row.format)))
            return &row;
    return nullptr;
}

// Seconds between reports: a plain positive number, at most a day, so that
// a typo cannot make a loop spin or sleep for ever.
std::optional<double> parseSeconds(const char* text)
{
    if (text == nullptr || *text == '\0')
        return std::nullopt;
    char* end = nullptr;
    errno = 0;
    double value = std::strtod(text, &end);
    if (*end != '\0' || errno != 0 || !std::isfinite(value) || value < 0.05 || value > 86400)
        return std::nullopt;
    return value;
}

// What follows --watch is its seconds when it is a number at all: "--watch 0"
// is refused as seconds rather than taken for a stray argument.
bool looksLikeNumber(const char* text)
{
    char* end = nullptr;
    std::strtod(text, &end);
    return end != text && *end == '\0';
}

// The long options, one for each format that has an option; the formats'
// letters are added to `optionString`.
std::vector<option> optionsTable(std::string& optionString)
{
    std::vector<option> longOptions = {
        {"module", required_argument, nullptr, 'm'},
        {"keys", required_argument, nullptr, 'k'},
        {"print-keys", no_argument, nullptr, 'p'},
        {"all", no_argument, nullptr, 'a'},
        {"fahrenheit", no_argument, nullptr, 'f'},
        {"textfile", required_argument, nullptr, kTextfile},
        {"interval", required_argument, nullptr, kInterval},
        {"listen", required_argument, nullptr, kListen},
        {"watch", optional_argument, nullptr, kWatch},
        {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, kVersion},
    };
    for (const OutputFormatRow& row : outputFormats()) {
        if (!row.longOption)
            continue;
        longOptions.push_back({row.longOption, no_argument, nullptr,
                               row.letter ? row.letter : kFormatOption + int(row.format)});
        if (row.letter)
            optionString += row.letter;
    }
    longOptions.push_back({nullptr, 0, nullptr, 0});
    return longOptions;
}

// Options that cannot go together, or one that needs another.
bool checkCombination(const Options& options, std::string& error)
{
    int modes = !options.textfileDirectory.empty() + options.listen.has_value() + options.watch.has_value();
    if (modes > 1) {
        error = "choose one of --textfile, --listen and --watch";
        return false;
    }
    if (options.interval && options.textfileDirectory.empty()) {
        error = "--interval goes with --textfile";
        return false;
    }
    return true;
}

}  // namespace

const char* usageText()
{
    static const std::string text = [] {
        std::string usage = "Usage: sensors-host [options]\n"
                            "Prints the machine's temperatures and fans through the sensors module.\n"
                            "    -m, --module PATH      the module to load (default: SensorsModule.so beside this program)\n"
                            "    -k, --keys FILE        the candidate temperature keys (default: a built-in table)\n"
                            "    -p, --print-keys       print the built-in keys table, to start a file of your own\n"
                            "    -a, --all              every temperature sensor of the machine, not only the table's\n"
                            "    -f, --fahrenheit       degrees Fahrenheit in the text report and the live view\n";
        for (const OutputFormatRow& row : outputFormats())
            usage += row.usage;
        return usage +
               "        --textfile DIR     write DIR/smc.prom for node_exporter's textfile collector\n"
               "        --interval SECONDS with --textfile: write it again every SECONDS\n"
               "        --listen ADDR:PORT serve /metrics over HTTP (PORT alone: on 127.0.0.1)\n"
               "        --watch [SECONDS]  a live view, redrawn every SECONDS (default 1); q leaves\n"
               "    -h, --help             this text\n"
               "        --version          print the version\n"
               "A keys table has one line a key: the key, its priority (1 to 4 are shown, 1 first)\n"
               "and its display name, as in \"TC0D  1  CPU Die\"; lines starting with # are comments.\n"
               "The SMC is the one SMC_SERVICE names; unset: your smcd, then the system's at\n"
               "/run/smcd.sock, then the applesmc driver, then the macsmc_hwmon driver, else no\n"
               "SMC (SMC_SERVICE=builtin: the emulated machine).\n"
               "Exit status: 0 a whole report, 1 a failure or a report with errors, 2 a usage error.\n";
    }();
    return text.c_str();
}

std::optional<ListenAddress> parseListenAddress(const std::string& text)
{
    ListenAddress address{"127.0.0.1", 0};
    std::string port = text;
    if (!text.empty() && text[0] == '[') {
        size_t close = text.find("]:");
        if (close == std::string::npos || close == 1)
            return std::nullopt;
        address.host = text.substr(1, close - 1);
        port = text.substr(close + 2);
    } else if (size_t colon = text.rfind(':'); colon != std::string::npos) {
        if (text.find(':') != colon)
            return std::nullopt;  // an IPv6 address needs its brackets
        if (colon > 0)
            address.host = text.substr(0, colon);
        port = text.substr(colon + 1);
    }
    if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos)
        return std::nullopt;
    address.port = std::atoi(port.c_str());
    if (address.port > 65535)
        return std::nullopt;
    return address;
}

std::optional<Options> parseOptions(int argc, char* argv[], std::string& error)
{
    std::string optionString = ":m:k:pafh";
    std::vector<option> longOptions = optionsTable(optionString);
    Options options;
    optind = 0;  // a fresh scan, also when called more than once
    opterr = 0;
    int letter;
    while ((letter = getopt_long(argc, argv, optionString.c_str(), longOptions.data(), nullptr)) != -1) {
        switch (letter) {
        case 'm':
            options.modulePath = optarg;
            break;
        case 'k':
            options.keysPath = optarg;
            break;
        case 'p':
            options.printKeys = true;
            break;
        case 'a':
            options.all = true;
            break;
        case 'f':
            options.fahrenheit = true;
            break;
        case kTextfile:
            if (*optarg == '\0') {
                error = "--textfile needs a directory";
                return std::nullopt;
            }
            options.textfileDirectory = optarg;
            break;
        case kInterval:
            if (!(options.interval = parseSeconds(optarg))) {
                error = std::string("--interval: \"") + optarg + "\" is not a number of seconds from 0.05 to 86400";
                return std::nullopt;
            }
            break;
        case kListen:
            if (!(options.listen = parseListenAddress(optarg))) {
                error = std::string("--listen: \"") + optarg + "\" is not ADDR:PORT";
                return std::nullopt;
            }
            break;
        case kWatch: {
            // "--watch 2" as well as "--watch=2": getopt binds an optional
            // argument only in the second form.
            const char* seconds = optarg;
            if (seconds == nullptr && optind < argc && looksLikeNumber(argv[optind]))
                seconds = argv[optind++];
            options.watch = 1.0;
            if (seconds && !(options.watch = parseSeconds(seconds))) {
                error = std::string("--watch: \"") + seconds + "\" is not a number of seconds from 0.05 to 86400";
                return std::nullopt;
            }
            break;
        }
        case 'h':
            options.help = true;
            break;
        case kVersion:
            options.version = true;
            break;
        default:
            if (const OutputFormatRow* row = formatOfOption(letter)) {
                options.format = row->format;
                break;
            }
            error = cli::getoptProblem(letter, optionString.c_str(), argv);
            return std::nullopt;
        }
    }
    if (optind < argc) {
        error = std::string("unexpected argument \"") + argv[optind] + "\"";
        return std::nullopt;
    }
    if (!checkCombination(options, error))
        return std::nullopt;
    return options;
}
