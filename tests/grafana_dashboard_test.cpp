// The Grafana dashboard against a real Prometheus: every panel's query,
// evaluated over metrics scraped from a running exporter on the built-in
// machine with the fan controller driving a fan, returns series.
#include "support/Process.h"

#include <gtest/gtest.h>
#include <httplib.h>
#include <nlohmann/json.hpp>

#include <arpa/inet.h>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <regex>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using testing_support::BackgroundProcess;
using testing_support::freePort;

namespace {

const std::string kBin = BIN_DIR;
const std::string kDashboard = std::string(CONTRIB_DIR) + "/grafana/smc-sensors.json";

// Every query of the dashboard's panels, with its variables given values
// that select everything.
std::vector<std::string> panelQueries(const nlohmann::json& dashboard)
{
    std::vector<std::string> queries;
    for (const auto& panel : dashboard["panels"])
        for (const auto& target : panel.value("targets", nlohmann::json::array()))
            queries.push_back(std::regex_replace(target["expr"].get<std::string>(), std::regex("\\$instance"), ".+"));
    return queries;
}

TEST(GrafanaDashboard, EveryPanelsQueryReturnsSeries)
{
    if (std::system("command -v prometheus >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "prometheus is not installed (scripts/setup.sh installs it)";
    nlohmann::json dashboard = nlohmann::json::parse(std::ifstream(kDashboard));
    EXPECT_TRUE(dashboard["id"].is_null()) << "provisioned dashboards carry no id";
    EXPECT_FALSE(dashboard["uid"].get<std::string>().empty());
    std::vector<std::string> queries = panelQueries(dashboard);
    ASSERT_FALSE(queries.empty());

    std::string directory = std::filesystem::temp_directory_path() / ("dashboard-" + std::to_string(getpid()));
    std::filesystem::create_directories(directory);
    std::string service = "SMC_SERVICE=unix:" + directory + "/smcd.sock";
    BackgroundProcess daemon(kBin + "/smcd", {"--socket", directory + "/smcd.sock", "--service", "builtin"});
    ASSERT_TRUE(testing_support::waitForSocket(directory + "/smcd.sock")) << daemon.output();
    std::ofstream(directory + "/fans.toml") << "[[fan]]\nfan = 0\n";
    BackgroundProcess controller("/usr/bin/env",
                                 {service, kBin + "/smcfand", "--config", directory + "/fans.toml", "--poll", "0.2"});
    BackgroundProcess host("/usr/bin/env", {service, kBin + "/sensors-host", "--listen", "127.0.0.1:0"});
    int hostPort = 0;
    for (int tries = 0; tries < 100 && hostPort == 0; ++tries) {
        std::smatch found;
        std::string output = host.output();
        if (std::regex_search(output, found, std::regex(":([0-9]+)/metrics")))
            hostPort = std::stoi(found[1]);
        else
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ASSERT_GT(hostPort, 0) << host.output();

    std::ofstream(directory + "/prometheus.yml") << "global:\n  scrape_interval: 1s\n"
                                                    "scrape_configs:\n  - job_name: smc\n    static_configs:\n"
                                                    "      - targets: [\"127.0.0.1:"
                                                 << hostPort << "\"]\n";
    int port = freePort();
    BackgroundProcess prometheus("/usr/bin/env", {"prometheus", "--config.file=" + directory + "/prometheus.yml",
                                                "--storage.tsdb.path=" + directory + "/data",
                                                "--web.listen-address=127.0.0.1:" + std::to_string(port)});
    httplib::Client client("127.0.0.1", port);
    // Each query is asked until it returns series: Prometheus needs a few
    // scrapes, the controller a few polls, increase() two samples.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    for (const std::string& query : queries) {
        size_t series = 0;
        std::string answer;
        while (series == 0 && std::chrono::steady_clock::now() < deadline) {
            auto response = client.Get("/api/v1/query", httplib::Params{{"query", query}}, httplib::Headers{});
            if (response && response->status == 200) {
                answer = response->body;
                series = nlohmann::json::parse(answer)["data"]["result"].size();
            }
            if (series == 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(250));
        }
        EXPECT_GT(series, 0u) << query << "\n" << answer << "\n" << controller.output() << prometheus.output();
    }
    std::filesystem::remove_all(directory);
}

}  // namespace
