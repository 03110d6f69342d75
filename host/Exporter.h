// sensors-host for Prometheus: the textfile for node_exporter's textfile
// collector, and /metrics served over HTTP.
#pragma once

#include "host/HttpServer.h"
#include "host/ModuleReader.h"
#include "host/Options.h"

#include <chrono>
#include <mutex>
#include <string>

// Opens DIR for writing the textfile into, once: later writes go to this
// directory even if its name comes to point elsewhere. DIR itself must not
// be a symbolic link. -1, with `error` in words, when it cannot.
int openTextfileDirectory(const std::string& directory, std::string& error);

// Writes `text` to smc.prom in the directory open as `directoryFd`
// atomically: a temporary file there, then a rename over the old one, so
// the collector never reads half a file. `directory` is its name for
// messages. False, with `error` in words, when it cannot.
bool writeTextfile(int directoryFd, const std::string& directory, const std::string& text, std::string& error);

// --textfile: writes once, or every `interval` seconds until a stop signal.
// The exit status.
int runTextfile(ModuleReader& machine, const std::string& directory, std::optional<double> interval);

// How old a report /metrics may serve: scrapes closer together than this
// share one read of the SMC, so that no rate of requests can keep it busy.
inline constexpr std::chrono::milliseconds kMetricsMaxAge{1000};

// The exporter's paths: /metrics, a report read under `lock` (the module has
// no locks of its own) no longer ago than `maxAge`, and / saying where they
// are. Both must outlive the handler.
HttpHandler metricsHandler(ModuleReader& machine, std::mutex& lock,
                           std::chrono::milliseconds maxAge = kMetricsMaxAge);

// Connections the exporter keeps open at most (fewer when the process may
// not open that many files), and from one peer.
inline constexpr size_t kMaxExporterConnections = 2048;
inline constexpr size_t kMaxExporterConnectionsPerPeer = 64;

// --listen: serves until a stop signal. The exit status.
int runListen(ModuleReader& machine, const ListenAddress& address);
