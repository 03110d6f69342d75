// sensors-host's command line: what each combination of options selects,
// and the mistakes it refuses before touching the SMC.
#include "host/Options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::optional<Options> parse(std::vector<std::string> words, std::string& error)
{
    words.insert(words.begin(), "sensors-host");
    std::vector<char*> argv;
    for (std::string& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    return parseOptions(int(words.size()), argv.data(), error);
}

struct Accepted {
    std::vector<std::string> words;
    OutputFormat format;
    std::optional<double> watch;
    std::optional<double> interval;
    bool all;
};

TEST(HostOptions, SelectsFormatsAndModes)
{
    const Accepted cases[] = {
        {{}, OutputFormat::Text, {}, {}, false},
        {{"-j"}, OutputFormat::Json, {}, {}, false},
        {{"--json", "--all"}, OutputFormat::Json, {}, {}, true},
        {{"-j", "--prometheus"}, OutputFormat::Prometheus, {}, {}, false},  // the last format wins
        {{"--watch"}, OutputFormat::Text, 1.0, {}, false},
        {{"--watch", "2.5"}, OutputFormat::Text, 2.5, {}, false},
        {{"--watch=0.5", "-a"}, OutputFormat::Text, 0.5, {}, true},
        {{"--watch", "-j"}, OutputFormat::Json, 1.0, {}, false},  // an option after --watch is not its seconds
        {{"--textfile", "/tmp", "--interval", "15"}, OutputFormat::Text, {}, 15.0, false},
    };
    for (const Accepted& c : cases) {
        std::string error;
        std::optional<Options> options = parse(c.words, error);
        ASSERT_TRUE(options) << testing::PrintToString(c.words) << ": " << error;
        EXPECT_EQ(options->format, c.format) << testing::PrintToString(c.words);
        EXPECT_EQ(options->watch, c.watch) << testing::PrintToString(c.words);
        EXPECT_EQ(options->interval, c.interval) << testing::PrintToString(c.words);
        EXPECT_EQ(options->all, c.all) << testing::PrintToString(c.words);
    }
}

TEST(HostOptions, RefusesMistakes)
{
    const std::pair<std::vector<std::string>, const char*> cases[] = {
        {{"--watch", "0"}, "--watch: \"0\" is not a number of seconds"},
        {{"--watch=0"}, "--watch: \"0\" is not a number of seconds"},
        {{"--watch=-1"}, "--watch: \"-1\""},
        {{"--watch=nan"}, "--watch: \"nan\""},
        {{"--interval", "5"}, "--interval goes with --textfile"},
        {{"--textfile", "/tmp", "--interval", "1e9"}, "--interval: \"1e9\""},
        {{"--textfile", "/tmp", "--listen", "9101"}, "choose one of"},
        {{"--watch", "--listen", "9101"}, "choose one of"},
        {{"--textfile", ""}, "--textfile needs a directory"},
        {{"--listen", "localhost"}, "--listen: \"localhost\" is not ADDR:PORT"},
        {{"--listen", "127.0.0.1:70000"}, "--listen"},
        {{"--listen", "::1:9101"}, "--listen"},
        {{"-k"}, "option -k needs an argument"},
        {{"-x"}, "unknown option -x"},
        {{"--bogus"}, "unknown option --bogus"},
        {{"extra"}, "unexpected argument \"extra\""},
    };
    for (const auto& [words, expected] : cases) {
        std::string error;
        EXPECT_FALSE(parse(words, error)) << testing::PrintToString(words);
        EXPECT_NE(error.find(expected), std::string::npos) << testing::PrintToString(words) << ": " << error;
    }
}

TEST(HostOptions, ListenAddresses)
{
    const std::tuple<const char*, const char*, int> accepted[] = {
        {"9101", "127.0.0.1", 9101},
        {":9101", "127.0.0.1", 9101},
        {"0.0.0.0:80", "0.0.0.0", 80},
        {"[::1]:9101", "::1", 9101},
        {"127.0.0.1:0", "127.0.0.1", 0},
    };
    for (const auto& [text, host, port] : accepted) {
        std::optional<ListenAddress> address = parseListenAddress(text);
        ASSERT_TRUE(address) << text;
        EXPECT_EQ(address->host, host) << text;
        EXPECT_EQ(address->port, port) << text;
    }
    for (const char* refused : {"", ":", "[::1]", "[]:80", "host:", "1.2.3.4:port", "1.2.3.4:123456", "::1"})
        EXPECT_FALSE(parseListenAddress(refused)) << refused;
}

}  // namespace
