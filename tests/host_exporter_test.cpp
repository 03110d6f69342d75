// The exporter's HTTP side: requests as bytes and the answers they get,
// bodies refused unread, and scrapes answered while idle, slow, pipelining
// and greedy connections hold sockets open.
#include "host/Exporter.h"
#include "host/HttpServer.h"
#include "support/Process.h"
#include "support/TestSMC.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <deque>
#include <fcntl.h>
#include <fstream>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using testing_support::BackgroundProcess;

namespace {

const std::string kBin = BIN_DIR;

HttpAnswer pathEcho(const std::string& path)
{
    if (path == "/missing")
        return {404, "text/plain", "no\n"};
    return {200, "text/plain", "path " + path + "\n"};
}

// Feeds `input` in one go and collects every answer until the session waits
// or closes.
std::pair<std::string, bool> answer(const std::string& input)
{
    HttpHandler handler = pathEcho;
    HttpSession session(handler);
    session.take(input.data(), input.size());
    std::string out;
    HttpSession::Step step;
    while ((step = session.next(out)) == HttpSession::Step::Answered) {
    }
    return {out, step == HttpSession::Step::Close};
}

TEST(HostHttp, AnswersRequestsAsBytes)
{
    const std::string big(kHttpMaxHead, 'a');
    const std::tuple<const char*, std::string, std::string, bool> cases[] = {
        {"a scrape", "GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n",
         "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 14\r\n\r\npath /metrics\n", false},
        {"the query is not the path", "GET /metrics?x=1 HTTP/1.1\r\n\r\n", "\r\n\r\npath /metrics\n", false},
        {"HEAD: the length, no body", "HEAD /metrics HTTP/1.1\r\n\r\n", "Content-Length: 14\r\n\r\n", false},
        {"lines ending in LF alone", "GET / HTTP/1.1\nHost: x\n\n", "\r\n\r\npath /\n", false},
        {"an unknown path", "GET /missing HTTP/1.1\r\n\r\n", "HTTP/1.1 404 Not Found\r\n", false},
        {"HTTP/1.0 closes", "GET / HTTP/1.0\r\n\r\n", "Connection: close\r\n", true},
        {"asked to close", "GET / HTTP/1.1\r\nConnection: Close\r\n\r\n", "Connection: close\r\n", true},
        {"two pipelined", "GET /a HTTP/1.1\r\n\r\nGET /b HTTP/1.1\r\n\r\n", "path /a\nHTTP/1.1 200 OK", false},
        {"a small body is dropped", "GET /a HTTP/1.1\r\nContent-Length: 5\r\n\r\nhelloGET /b HTTP/1.1\r\n\r\n",
         "path /a\nHTTP/1.1 200 OK", false},
        {"POST, body unread", "POST /metrics HTTP/1.1\r\nContent-Length: 536870912\r\n\r\n",
         "HTTP/1.1 405 Method Not Allowed\r\n", true},
        {"a large body", "GET / HTTP/1.1\r\nContent-Length: 4097\r\n\r\n", "HTTP/1.1 413 ", true},
        {"a length past any size", "GET / HTTP/1.1\r\nContent-Length: 99999999999999999999\r\n\r\n", "HTTP/1.1 413 ",
         true},
        {"a chunked body", "GET / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n", "HTTP/1.1 413 ", true},
        {"two lengths", "GET / HTTP/1.1\r\nContent-Length: 1\r\nContent-Length: 2\r\n\r\n", "HTTP/1.1 400 ", true},
        {"a head too long", "GET / HTTP/1.1\r\nX: " + big + "\r\n\r\n", "HTTP/1.1 431 ", true},
        {"a head too long, unfinished", "GET / HTTP/1.1\r\nX: " + big, "HTTP/1.1 431 ", true},
        {"another version", "GET / HTTP/2.0\r\n\r\n", "HTTP/1.1 505 ", true},
        {"not HTTP", "hello\r\n\r\n", "HTTP/1.1 400 ", true},
        {"not a path", "GET metrics HTTP/1.1\r\n\r\n", "HTTP/1.1 400 ", false},
        {"a header without a name", "GET / HTTP/1.1\r\n: x\r\n\r\n", "HTTP/1.1 400 ", true},
    };
    for (const auto& [what, input, expected, closes] : cases) {
        auto [out, closed] = answer(input);
        EXPECT_NE(out.find(expected), std::string::npos) << what << "\n" << out;
        EXPECT_EQ(closed, closes) << what;
    }
    EXPECT_EQ(answer("HEAD /metrics HTTP/1.1\r\n\r\n").first.find("path"), std::string::npos);
    EXPECT_NE(answer("PUT / HTTP/1.1\r\n\r\n").first.find("Allow: GET, HEAD\r\n"), std::string::npos);
    EXPECT_EQ(answer("GET / HTTP/1.1\r\nHost: x\r\n").first, "") << "an unfinished head waits";
}

// A connection from `from`: loopback has a whole /8 of addresses, each a
// peer of its own to the server.
int connectTo(int port, const char* from = "127.0.0.1")
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    inet_pton(AF_INET, from, &address.sin_addr);
    if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    address.sin_port = htons(uint16_t(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// The peer's bytes until it closes or `seconds` pass.
std::string receive(int fd, double seconds)
{
    std::string text;
    auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    for (;;) {
        int left = int(std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now()).count());
        pollfd wait{fd, POLLIN, 0};
        if (left <= 0 || poll(&wait, 1, left) <= 0)
            return text;
        char buffer[4096];
        ssize_t got = recv(fd, buffer, sizeof buffer, 0);
        if (got <= 0)
            return text;
        text.append(buffer, size_t(got));
    }
}

// One scrape on a fresh connection: the answer's first line and how long
// it took.
std::pair<std::string, double> scrape(int port, const char* from = "127.0.0.1")
{
    auto start = std::chrono::steady_clock::now();
    int fd = connectTo(port, from);
    if (fd < 0)
        return {"cannot connect", 0};
    std::string request = "GET /metrics HTTP/1.1\r\nConnection: close\r\n\r\n";
    send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    std::string text = receive(fd, 1.0);
    close(fd);
    return {text.substr(0, text.find('\r')),
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count()};
}

class HostExporter : public ::testing::Test {
protected:
    void SetUp() override
    {
        setenv("SMC_SERVICE", "builtin", 1);
        host = std::make_unique<BackgroundProcess>(kBin + "/sensors-host", std::vector<std::string>{"--listen", "0"});
        for (int tries = 0; tries < 100 && port == 0; ++tries) {
            std::string output = host->output();
            if (size_t at = output.find("/metrics"); at != std::string::npos)
                port = std::stoi(output.substr(output.rfind(':', at) + 1));
            else
                usleep(20'000);
        }
        unsetenv("SMC_SERVICE");
        ASSERT_GT(port, 0) << host->output();
    }
    void TearDown() override
    {
        for (int fd : open)
            close(fd);
    }
    // The exporter's peak memory in KiB.
    long peakKiB()
    {
        std::ifstream status("/proc/" + std::to_string(host->pid()) + "/status");
        for (std::string line; std::getline(status, line);)
            if (line.starts_with("VmHWM:"))
                return std::stol(line.substr(6));
        return -1;
    }

    std::unique_ptr<BackgroundProcess> host;
    int port = 0;
    std::vector<int> open;
};

// A 32 MiB POST is refused after its head: the exporter does not grow by it.
TEST_F(HostExporter, RefusesBodiesUnread)
{
    long before = peakKiB();
    int fd = connectTo(port);
    ASSERT_GE(fd, 0);
    open.push_back(fd);
    std::string head = "POST /metrics HTTP/1.1\r\nContent-Length: 33554432\r\n\r\n";
    send(fd, head.data(), head.size(), MSG_NOSIGNAL);
    std::string chunk(1 << 20, 'x');
    for (int i = 0; i < 32 && send(fd, chunk.data(), chunk.size(), MSG_NOSIGNAL) > 0; ++i) {
    }
    EXPECT_TRUE(receive(fd, 2).starts_with("HTTP/1.1 405 Method Not Allowed\r\n"));
    EXPECT_LT(peakKiB() - before, 8 * 1024) << "KiB more at the peak";
    EXPECT_EQ(scrape(port).first, "HTTP/1.1 200 OK");
}

// 1000 connections that send nothing and a few that send a byte at a time:
// scrapes are still answered at once.
TEST_F(HostExporter, ScrapesAnsweredBesideIdleAndSlowConnections)
{
    rlimit files{};
    getrlimit(RLIMIT_NOFILE, &files);
    files.rlim_cur = std::min<rlim_t>(files.rlim_max, 4096);
    setrlimit(RLIMIT_NOFILE, &files);
    if (files.rlim_cur < 1100)
        GTEST_SKIP() << "this process may not open 1100 files";
    for (int i = 0; i < 1000; ++i) {
        int fd = connectTo(port);
        ASSERT_GE(fd, 0) << i;
        open.push_back(fd);
    }
    std::vector<int> slow;
    for (int i = 0; i < 5; ++i) {
        slow.push_back(connectTo(port));
        open.push_back(slow.back());
    }
    const std::string dribble = "GET /metrics HTTP/1.1\r\nX-Slow: ";
    for (size_t at = 0; at < 8; ++at) {
        for (int fd : slow)
            send(fd, &dribble[at], 1, MSG_NOSIGNAL);
        auto [status, seconds] = scrape(port);
        EXPECT_EQ(status, "HTTP/1.1 200 OK") << at;
        EXPECT_LT(seconds, 1.0) << at;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

// Full, or a peer at its share, the server closes a connection that has
// waited longest for a request, and answers the new one.
TEST(HostHttp, FullClosesTheOldestWaitingConnectionOfTheBusiestPeer)
{
    const struct {
        const char* what;
        size_t total, perPeer;
        std::vector<const char*> idle;  // their peers, the oldest first
        const char* scraper;
        size_t closed;  // which idle one goes
    } cases[] = {
        {"full: the oldest", 3, 3, {"127.0.0.1", "127.0.0.1", "127.0.0.1"}, "127.0.0.1", 0},
        {"a peer at its share loses its own oldest", 8, 2, {"127.0.0.3", "127.0.0.2", "127.0.0.2"}, "127.0.0.2", 1},
        {"full: the peer holding the most loses", 4, 4, {"127.0.0.3", "127.0.0.2", "127.0.0.2", "127.0.0.2"},
         "127.0.0.1", 1},
    };
    for (const auto& row : cases) {
        SCOPED_TRACE(row.what);
        HttpServer server(pathEcho, row.total, row.perPeer);
        std::string error;
        ASSERT_TRUE(server.listen("127.0.0.1", 0, error)) << error;
        std::thread serving([&] { server.run(); });
        std::vector<int> idle;
        for (const char* peer : row.idle) {
            idle.push_back(connectTo(server.port(), peer));
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        EXPECT_EQ(scrape(server.port(), row.scraper).first, "HTTP/1.1 200 OK");
        pollfd closed{idle[row.closed], POLLIN, 0};
        EXPECT_EQ(poll(&closed, 1, 1000), 1);
        EXPECT_EQ(receive(idle[row.closed], 0.1), "") << "closed without an answer";
        for (size_t i = 0; i < idle.size(); ++i) {
            pollfd other{idle[i], POLLIN, 0};
            EXPECT_TRUE(i == row.closed || poll(&other, 1, 0) == 0) << i << " stays";
        }
        server.stop();
        serving.join();
        for (int fd : idle)
            close(fd);
    }
}

// One peer opening thousands of connections, each closing one of the
// server's, cannot cost another peer a scrape.
TEST_F(HostExporter, AGreedyPeerCannotEvictAnothersScrapes)
{
    constexpr int kThreads = 4, kHeld = 2500;
    rlimit files{};
    getrlimit(RLIMIT_NOFILE, &files);
    files.rlim_cur = std::min<rlim_t>(files.rlim_max, kThreads * kHeld + 512);
    setrlimit(RLIMIT_NOFILE, &files);
    if (files.rlim_cur < kThreads * kHeld + 512)
        GTEST_SKIP() << "this process may not open " << kThreads * kHeld + 512 << " files";
    std::atomic<bool> done = false;
    std::vector<std::thread> greedy;
    for (int thread = 0; thread < kThreads; ++thread)
        greedy.emplace_back([&] {
            std::deque<int> held;
            while (!done) {
                if (int fd = connectTo(port, "127.0.0.2"); fd >= 0)
                    held.push_back(fd);
                if (held.size() > kHeld) {
                    close(held.front());
                    held.pop_front();
                }
            }
            for (int fd : held)
                close(fd);
        });
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    for (int i = 0; i < 20; ++i) {
        EXPECT_EQ(scrape(port).first, "HTTP/1.1 200 OK") << i;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    done = true;
    for (std::thread& thread : greedy)
        thread.join();
}

// A profile of one fan and one sensor, for the exporter run in this process.
constexpr const char* kSmallMachine = R"(
  FNum  [ui8 ]  1 (bytes 01)
  F0Ac  [fpe2]  2000 (bytes 1f 40)
  TC0D  [sp78]  (bytes 32 80)
)";

// 40 connections keeping HEAD /metrics pipelined: a scrape beside them is
// answered at once, and the SMC is read once per report age at most.
TEST(HostHttp, PipelinedScrapesNeitherStarveOthersNorReadTheSMCEach)
{
    testing_support::TestSMC smc(kSmallMachine);
    std::string error;
    std::unique_ptr<ModuleReader> machine = ModuleReader::load(kBin + "/SensorsModule.so", true, error);
    ASSERT_TRUE(machine) << error;
    machine->configure({{"TC0D", 1, "CPU Die"}}, false);
    auto reads = [&] { return smc.takeCount(SMCCommandReadKey); };
    machine->read();
    reads();
    machine->read();
    const size_t perReport = reads();
    ASSERT_GT(perReport, 0u);

    std::mutex lock;
    HttpServer server(metricsHandler(*machine, lock), 256, 64);
    ASSERT_TRUE(server.listen("127.0.0.1", 0, error)) << error;
    auto start = std::chrono::steady_clock::now();
    std::thread serving([&] { server.run(); });
    std::atomic<bool> done = false;
    std::thread pipelining([&] {
        std::vector<int> connections;
        for (int i = 0; i < 40; ++i) {
            connections.push_back(connectTo(server.port(), "127.0.0.2"));
            fcntl(connections.back(), F_SETFL, O_NONBLOCK);
        }
        std::string requests;
        for (int i = 0; i < 100; ++i)
            requests += "HEAD /metrics HTTP/1.1\r\n\r\n";
        char scratch[65536];
        while (!done)
            for (int fd : connections) {
                send(fd, requests.data(), requests.size(), MSG_NOSIGNAL);
                while (recv(fd, scratch, sizeof scratch, 0) > 0) {
                }
            }
        for (int fd : connections)
            close(fd);
    });
    for (int i = 0; i < 6; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        auto [status, seconds] = scrape(server.port());
        EXPECT_EQ(status, "HTTP/1.1 200 OK") << i;
        EXPECT_LT(seconds, 0.5) << i;
    }
    done = true;
    pipelining.join();
    server.stop();
    serving.join();
    double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    size_t reports = reads() / perReport;
    EXPECT_GE(reports, 1u);
    EXPECT_LE(reports, size_t(elapsed / std::chrono::duration<double>(kMetricsMaxAge).count()) + 1);
}

// A connection that has not sent a whole head by its deadline is closed,
// however steadily it dribbles.
TEST(HostHttp, ClosesAConnectionSlowerThanItsDeadline)
{
    HttpServer server(pathEcho, 8, 8, std::chrono::milliseconds(300));
    std::string error;
    ASSERT_TRUE(server.listen("127.0.0.1", 0, error)) << error;
    std::thread serving([&] { server.run(); });
    int slow = connectTo(server.port());
    const std::string request = "GET / HTTP/1.1\r\nX-Slow: yes\r\n\r\n";
    auto start = std::chrono::steady_clock::now();
    bool closed = false;
    for (size_t at = 0; at < request.size() && !closed; ++at) {
        closed = send(slow, &request[at], 1, MSG_NOSIGNAL) < 0;
        pollfd wait{slow, POLLIN, 0};
        closed = closed || poll(&wait, 1, 50) == 1;
    }
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_TRUE(closed);
    EXPECT_GT(seconds, 0.25);
    EXPECT_EQ(receive(slow, 0.1), "") << "closed without an answer";
    server.stop();
    serving.join();
    close(slow);
}

}  // namespace
