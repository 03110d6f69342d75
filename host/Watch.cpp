#include "host/Watch.h"

#include "host/Formats.h"
#include "host/Signals.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace {

constexpr double kHistorySeconds = 60;

double secondsNow()
{
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

std::string formatLine(const char* format, auto... arguments)
{
    char line[512];
    int length = std::snprintf(line, sizeof line, format, arguments...);
    return std::string(line, std::clamp(length, 0, int(sizeof line) - 1));
}

// The name column: long names are cut, on a UTF-8 character boundary.
std::string column(const std::string& text, size_t width)
{
    std::string shown = printable(text);
    size_t characters = 0, end = 0;
    for (; end < shown.size(); ++end) {
        if ((shown[end] & 0xc0) == 0x80)
            continue;
        if (characters == width)
            break;
        ++characters;
    }
    shown.resize(end);
    return shown + std::string(width - characters, ' ');
}

bool writeAll(const std::string& text)
{
    for (size_t done = 0; done < text.size();) {
        ssize_t wrote = write(STDOUT_FILENO, text.data() + done, text.size() - done);
        if (wrote <= 0)
            return false;
        done += size_t(wrote);
    }
    return true;
}

// Rows and columns; 24 by 80 when the terminal does not say.
std::pair<int, int> terminalSize()
{
    winsize size{};
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) != 0)
        return {24, 80};
    return {size.ws_row > 0 ? size.ws_row : 24, size.ws_col > 0 ? size.ws_col : 80};
}

// `line` cut to `width` columns, on a UTF-8 character boundary: a line that
// wrapped would scroll the title off a small screen.
std::string fitWidth(std::string line, int width)
{
    int columns = 0;
    for (size_t i = 0; i < line.size(); ++i) {
        if ((line[i] & 0xc0) == 0x80)
            continue;
        if (columns++ == width) {
            line.resize(i);
            break;
        }
    }
    return line;
}

// The columns of a sensor row before its sparkline.
constexpr int kRowColumns = 55;

// The terminal as the view needs it: keys without Enter and without echo,
// the alternate screen, no cursor; all undone by the destructor.
class RawTerminal {
public:
    RawTerminal()
    {
        if (tcgetattr(STDIN_FILENO, &saved_) == 0) {
            termios raw = saved_;
            raw.c_lflag &= ~tcflag_t(ICANON | ECHO);
            raw.c_cc[VMIN] = 0;
            raw.c_cc[VTIME] = 0;
            restore_ = tcsetattr(STDIN_FILENO, TCSANOW, &raw) == 0;
        }
        writeAll("\x1b[?1049h\x1b[?25l");
    }
    ~RawTerminal()
    {
        writeAll("\x1b[?25h\x1b[?1049l");
        if (restore_)
            tcsetattr(STDIN_FILENO, TCSANOW, &saved_);
    }

private:
    termios saved_{};
    bool restore_ = false;
};

// Without a terminal: the chosen format, one report per interval.
int printReports(ModuleReader& machine, const Options& options, StopSignals& signals)
{
    do {
        Report report = machine.read();
        std::string text = formatReport(report, options.format, options.fahrenheit);
        if (outputFormat(options.format).forPeople)
            text += "\n";
        if (!writeAll(text))
            return 1;
    } while (!signals.waitFor(*options.watch));
    return 0;
}

}  // namespace

std::string sparkline(const std::vector<double>& values)
{
    static const char* const kBlocks[] = {"▁", "▂", "▃", "▄", "▅", "▆", "▇", "█"};
    if (values.empty())
        return {};
    auto [lowest, highest] = std::minmax_element(values.begin(), values.end());
    double low = *lowest, spread = std::max(*highest - low, 1.0);
    std::string line;
    for (double value : values)
        line += kBlocks[std::clamp(int((value - low) / spread * 7 + 0.5), 0, 7)];
    return line;
}

void WatchHistory::add(const Report& report, double now)
{
    for (const TemperatureReading& reading : report.temperatures) {
        auto [entry, added] = sensors_.try_emplace(reading.key);
        Sensor& sensor = entry->second;
        if (added || reading.celsius < sensor.low)
            sensor.low = reading.celsius;
        if (added || reading.celsius > sensor.high)
            sensor.high = reading.celsius;
        sensor.samples.emplace_back(now, reading.celsius);
    }
    for (auto& [key, sensor] : sensors_)
        while (!sensor.samples.empty() && sensor.samples.front().first < now - kHistorySeconds)
            sensor.samples.pop_front();
}

std::vector<std::string> WatchHistory::render(const Report& latest, bool fahrenheit, int height, int width) const
{
    // The sparkline takes what a row leaves of the width.
    size_t sparklineWidth = size_t(std::clamp(width - kRowColumns, 0, int(kSparklineWidth)));
    std::vector<std::string> lines;
    const char* unit = fahrenheit ? "°F" : "°C";
    lines.push_back(formatLine("SMC sensors%s  (q: quit)", latest.smcUp ? "" : ", the SMC does not answer"));
    // The degree sign is two bytes but one column: padded by hand.
    lines.push_back(column("Sensor", 28) + "   now " + unit + "     low    high  last minute");
    // Rows for the fans, their heading and the errors line come first;
    // sensors get what is left.
    // A machine of power sensors (an Apple Silicon Mac) shows them too, and
    // says when it has no CPU die temperature.
    int electrical = latest.electrical ? int(latest.readings.size()) + 2 + (latest.dieTemperature ? 0 : 1) : 0;
    int reserved = int(latest.fans.size()) + 2 + electrical + (latest.errors.empty() ? 0 : 1);
    int room = std::max(height - int(lines.size()) - reserved, 1);
    int shown = 0;
    for (const TemperatureReading& reading : latest.temperatures) {
        if (shown == room - 1 && int(latest.temperatures.size()) > room) {
            lines.push_back(formatLine("  ... %d more", int(latest.temperatures.size()) - shown));
            break;
        }
        auto found = sensors_.find(reading.key);
        if (found == sensors_.end())
            continue;
        const Sensor& sensor = found->second;
        // The last minute folded into the sparkline's columns, the hottest
        // reading of each column kept.
        std::vector<double> values;
        size_t count = sensor.samples.size();
        size_t columns = std::min(count, sparklineWidth);
        for (size_t c = 0; c < columns; ++c) {
            double hottest = -1e9;
            for (size_t i = c * count / columns; i < (c + 1) * count / columns; ++i)
                hottest = std::max(hottest, sensor.samples[i].second);
            values.push_back(hottest);
        }
        lines.push_back(formatLine("%s  %7.1f %7.1f %7.1f  %s",
                                   column(reading.name.empty() ? reading.key : reading.name, 28).c_str(),
                                   displayDegrees(reading.celsius, fahrenheit), displayDegrees(sensor.low, fahrenheit),
                                   displayDegrees(sensor.high, fahrenheit), sparkline(values).c_str()));
        ++shown;
    }
    if (latest.temperatures.empty())
        lines.push_back("  no temperatures");
    if (latest.electrical) {
        if (!latest.dieTemperature)
            lines.push_back("  no CPU die temperature: this machine's SMC exposes none");
        lines.push_back("");
        lines.push_back(formatLine("%s  %7s", column("Power, voltage, current", 28).c_str(), "now"));
        for (const ElectricalReading& reading : latest.readings) {
            const char* unit = reading.quantity == Quantity::Power     ? "W"
                               : reading.quantity == Quantity::Voltage ? "V"
                                                                       : "A";
            lines.push_back(formatLine("%s  %7.2f %s", column(reading.name.empty() ? reading.key : reading.name, 28).c_str(),
                                       reading.value, unit));
        }
    }
    lines.push_back("");
    lines.push_back(formatLine("%s  %7s  mode", column("Fan", 28).c_str(), "rpm"));
    for (const FanReading& fan : latest.fans) {
        std::string driver = controllerWords(latest, fan);
        lines.push_back(formatLine("%s  %7s  %s%s%s", column(fan.name, 28).c_str(),
                                   fan.rpm ? std::to_string(*fan.rpm).c_str() : "?", modeWord(fan),
                                   driver.empty() ? "" : ", ", driver.c_str()));
    }
    if (latest.fans.empty())
        lines.push_back(latest.fanCountReadable ? "  no fans" : "  the fan count cannot be read");
    if (!latest.errors.empty())
        lines.push_back(formatLine("! %s%s", printable(latest.errors.front()).c_str(),
                                   latest.errors.size() > 1 ? " (and more)" : ""));
    if (int(lines.size()) > height)
        lines.resize(size_t(std::max(height, 1)));
    for (std::string& line : lines)
        line = fitWidth(std::move(line), width);
    return lines;
}

int runWatch(ModuleReader& machine, const Options& options)
{
    StopSignals signals(true);
    if (!isatty(STDOUT_FILENO))
        return printReports(machine, options, signals);

    RawTerminal terminal;
    WatchHistory history;
    double interval = *options.watch;
    double next = secondsNow();
    Report report;
    bool redraw = false;
    for (;;) {
        double now = secondsNow();
        if (now >= next) {
            report = machine.read();
            history.add(report, now);
            next = now + interval;
            redraw = true;
        }
        if (redraw) {
            // No line break after the last line: on the bottom row it
            // would scroll the screen.
            std::string frame = "\x1b[H";
            auto [height, width] = terminalSize();
            std::vector<std::string> lines = history.render(report, options.fahrenheit, height, width);
            for (size_t i = 0; i < lines.size(); ++i)
                frame += lines[i] + (i + 1 < lines.size() ? "\x1b[K\r\n" : "\x1b[K");
            frame += "\x1b[J";
            if (!writeAll(frame))
                return 1;
            redraw = false;
        }
        pollfd waits[2] = {{STDIN_FILENO, POLLIN, 0}, {signals.fd(), POLLIN, 0}};
        int timeout = std::max(0, int((next - secondsNow()) * 1000));
        if (poll(waits, 2, timeout) < 0)
            continue;
        if (waits[1].revents & POLLIN) {
            int signal = signals.take();
            if (signal == SIGWINCH)
                redraw = true;
            else if (signal != 0)
                return 0;
        }
        if (waits[0].revents & (POLLHUP | POLLERR))
            return 0;
        if (waits[0].revents & POLLIN) {
            char key = 0;
            if (read(STDIN_FILENO, &key, 1) <= 0)
                return 0;  // the terminal went away
            if (key == 'q' || key == 'Q')
                return 0;
        }
    }
}
