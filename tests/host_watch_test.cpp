// sensors-host --watch as a person sees it: run in tmux against smcd, a
// value changed with smc while it runs, the screen read with capture-pane.
#include "backends/DaemonProtocol.h"
#include "support/Process.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <thread>

using testing_support::BackgroundProcess;
using testing_support::ProcessResult;
using testing_support::runProgram;

namespace {

const std::string kBin = BIN_DIR;

constexpr const char* kProfile = R"(
  FNum  [ui8 ]  1 (bytes 01)
  FS!   [ui16]  0 (bytes 00 00)
! writable
  F0Ac  [fpe2]  2000 (bytes 1f 40)
  F0ID  [{fds]  (bytes 00 12 00 00 4c 65 66 74)
  TC0D  [sp78]  (bytes 32 80)
! writable
  TB0T  [sp78]  (bytes 1d 00)
)";

class HostWatch : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (std::system("command -v tmux >/dev/null 2>&1") != 0)
            GTEST_SKIP() << "tmux is not installed (scripts/setup.sh installs it)";
        char name[] = "/tmp/host-watch-XXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr);
        directory = name;
        std::string profile = directory + "/machine.profile";
        std::ofstream(profile) << kProfile;
        socketPath = directory + "/smcd.sock";
        tmuxSocket = directory + "/tmux.sock";
        daemon = std::make_unique<BackgroundProcess>(
            kBin + "/smcd", std::vector<std::string>{"--socket", socketPath, "--profile", profile});
        if (!testing_support::waitForSocket(socketPath))
            FAIL() << "smcd did not start: " << daemon->output();
    }
    void TearDown() override
    {
        if (!tmuxSocket.empty())
            runProgram("tmux", {"-S", tmuxSocket, "kill-server"});
        daemon.reset();
        if (!directory.empty())
            std::filesystem::remove_all(directory);
    }

    ProcessResult tmux(std::vector<std::string> arguments)
    {
        arguments.insert(arguments.begin(), {"-S", tmuxSocket});
        return runProgram("tmux", arguments);
    }
    std::string screen() { return tmux({"capture-pane", "-p", "-t", "watch"}).output; }
    // Waits up to five seconds for the screen to show what `seen` looks for.
    bool waitForScreen(const std::function<bool(const std::string&)>& seen)
    {
        for (auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
             std::chrono::steady_clock::now() < end;) {
            if (seen(screen()))
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }
    bool screenShows(const std::string& text)
    {
        return waitForScreen([&](const std::string& screen) { return screen.find(text) != std::string::npos; });
    }
    ProcessResult smc(std::vector<std::string> arguments)
    {
        return runProgram(kBin + "/smc", arguments, {"SMC_SERVICE=unix:" + socketPath});
    }

    std::string directory, socketPath, tmuxSocket;
    std::unique_ptr<BackgroundProcess> daemon;
};

TEST_F(HostWatch, ShowsChangesLiveAndRestoresTheTerminal)
{
    // How each run is left: q, and Ctrl-C.
    for (const char* leave : {"q", "C-c"}) {
        SCOPED_TRACE(leave);
        std::string command = "env SMC_SERVICE=unix:" + socketPath + " " + kBin +
                              "/sensors-host --watch 0.2; echo EXITED $?; sleep 60";
        ASSERT_EQ(tmux({"new-session", "-d", "-s", "watch", "-x", "100", "-y", "20", command}).status, 0);
        ASSERT_TRUE(screenShows("CPU Die                          50.5    50.5    50.5  ▁")) << screen();
        EXPECT_TRUE(screenShows("Left                             2000  auto")) << screen();

        ASSERT_EQ(smc({"-k", "TC0D", "-w", "5a40"}).status, 0);  // 90.25 °C
        ASSERT_EQ(smc({"-k", "FS! ", "-w", "0001"}).status, 0);  // fan 0 forced
        EXPECT_TRUE(screenShows("CPU Die                          90.3    50.5    90.3  ▁")) << screen();
        EXPECT_TRUE(screenShows("Left                             2000  manual")) << screen();
        EXPECT_TRUE(screenShows("Battery                          29.0    29.0    29.0")) << screen();

        ASSERT_EQ(smc({"-k", "TC0D", "-w", "3280"}).status, 0);  // back to 50.5
        EXPECT_TRUE(screenShows("CPU Die                          50.5    50.5    90.3  ▁")) << screen();
        EXPECT_TRUE(waitForScreen([](const std::string& screen) {
            size_t at = screen.find("CPU Die");
            return at != std::string::npos && screen.find("█", at) != std::string::npos;
        })) << "the spike stays in the last minute's sparkline\n" << screen();

        tmux({"send-keys", "-t", "watch", leave});
        EXPECT_TRUE(screenShows("EXITED 0")) << screen();
        // The view was on the alternate screen: the shell's screen is back, as it was.
        EXPECT_EQ(screen().find("SMC sensors"), std::string::npos) << screen();
        tmux({"kill-session", "-t", "watch"});
        ASSERT_EQ(smc({"-k", "FS! ", "-w", "0000"}).status, 0);
    }
}

// Not a terminal: one report per interval, as a log would take it.
TEST_F(HostWatch, PrintsReportsWhenNotOnATerminal)
{
    setenv("SMC_SERVICE", ("unix:" + socketPath).c_str(), 1);
    BackgroundProcess host(kBin + "/sensors-host", {"--watch", "0.1", "-j"});
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    host.signal(SIGTERM);
    EXPECT_EQ(host.wait(), 0);
    unsetenv("SMC_SERVICE");
    std::string output = host.output();
    size_t reports = 0;
    for (size_t at = 0; (at = output.find("\"schema\": 1", at)) != std::string::npos; ++at)
        ++reports;
    EXPECT_GE(reports, 3u) << output;
    EXPECT_EQ(output.find("\x1b["), std::string::npos) << "no terminal codes in a log";
}

// A profile of 30 temperature sensors and one fan, more rows than a small
// terminal has.
std::string manySensorsProfile(const std::string& directory)
{
    std::string profile = directory + "/many.profile";
    std::ofstream out(profile);
    out << "  FNum  [ui8 ]  1 (bytes 01)\n  F0Ac  [fpe2]  2000 (bytes 1f 40)\n";
    for (int key = 0; key < 30; ++key) {
        char line[64];
        std::snprintf(line, sizeof line, "  T%03d  [sp78]  (bytes %02x 40)\n", key, 30 + key);
        out << line;
    }
    return profile;
}

// More sensors than rows: in a small terminal the title stays on top, no
// line wraps, and the rows that do not fit are counted.
TEST_F(HostWatch, FitsSmallTerminals)
{
    std::string profile = manySensorsProfile(directory);
    const std::tuple<int, int, const char*> sizes[] = {{80, 24, "  ... 12 more"}, {40, 12, "  ... 24 more"}};
    for (const auto& [columns, rows, more] : sizes) {
        SCOPED_TRACE(std::to_string(columns) + "x" + std::to_string(rows));
        // A server of its own for each size: a server that is still exiting
        // after the last session ended refuses a new one.
        tmuxSocket = directory + "/tmux-" + std::to_string(columns) + ".sock";
        std::string command = "env SMC_SERVICE=" + profile + " " + kBin + "/sensors-host --all --watch 0.05; sleep 60";
        ASSERT_EQ(tmux({"new-session", "-d", "-s", "watch", "-x", std::to_string(columns), "-y", std::to_string(rows),
                        command}).status, 0);
        ASSERT_TRUE(screenShows(more)) << screen();
        // Long enough for the sparklines to fill what the width leaves them.
        std::this_thread::sleep_for(std::chrono::milliseconds(2000));
        std::vector<std::string> lines;
        std::istringstream shown(screen());
        for (std::string line; std::getline(shown, line);)
            lines.push_back(line);
        ASSERT_FALSE(lines.empty());
        EXPECT_TRUE(lines.front().starts_with("SMC sensors")) << screen();
        EXPECT_NE(std::find(lines.begin(), lines.end(), more), lines.end()) << screen();
        EXPECT_TRUE(lines.back().starts_with("Fan 0 ")) << screen();
        tmux({"kill-server"});
    }
}

// An Apple Silicon Mac shows its power, voltage and current under their
// labels, and says that it has no CPU die temperature.
TEST_F(HostWatch, ShowsPowerAndSaysWhenThereIsNoDieTemperature)
{
    std::string command = "env SMC_SERVICE=" PROFILES_DIR "/macbookpro14-m1pro.profile " + kBin +
                          "/sensors-host --watch 0.1; sleep 60";
    ASSERT_EQ(tmux({"new-session", "-d", "-s", "watch", "-x", "80", "-y", "30", command}).status, 0);
    ASSERT_TRUE(screenShows("Fan 2 ")) << screen();
    for (const char* text : {"no CPU die temperature: this machine's SMC exposes none", "Power, voltage, current",
                             "Charger Input Voltage", "AC Input Current                 0.47 A"})
        EXPECT_NE(screen().find(text), std::string::npos) << text << "\n" << screen();
    EXPECT_TRUE(screenShows("Heatpipe Power")) << screen();
}

// A terminal resized while the view waits for its next report is redrawn
// at once to the new size.
TEST_F(HostWatch, RedrawsWhenTheTerminalIsResized)
{
    std::string command = "env SMC_SERVICE=" + manySensorsProfile(directory) + " " + kBin +
                          "/sensors-host --all --watch 60; sleep 60";
    ASSERT_EQ(tmux({"new-session", "-d", "-s", "watch", "-x", "80", "-y", "24", command}).status, 0);
    ASSERT_TRUE(screenShows("  ... 12 more")) << screen();
    ASSERT_EQ(tmux({"resize-window", "-t", "watch", "-x", "40", "-y", "12"}).status, 0);
    EXPECT_TRUE(screenShows("  ... 24 more")) << screen();
    tmux({"kill-session", "-t", "watch"});
}

}  // namespace
