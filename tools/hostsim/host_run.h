#pragma once
// `hostsim run`: the host at work. It stores the options text where the plug-in reads its
// settings, loads the plug-in, announces its ports as data sources and opens them, writes to
// each port what the plug-in asks to write, hands every chunk a port receives to ProcessData
// (one thread per port), collects the log through the window messages, and at the end closes
// the ports and unloads.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "hostsim/host_lib.h"
#include "hostsim/host_style.h"
#include "hostsim/line_use.h"
#include "hostsim/meter_verdict.h"
#include "hostsim/packet_output.h"
#include "hostsim/port_transport.h"

namespace zol::hostsim {

struct RunCounts {
    std::uint32_t writes = 0;      // port writes the plug-in asked for
    std::uint32_t packets = 0;     // packets delivered
    std::uint32_t timeouts = 0;    // response timeouts the plug-in logged
    std::uint32_t crc_errors = 0;  // checksum errors the plug-in logged
};

// The markers for the plug-in at `dll_path`: it speaks the default language of the first of the
// host's "plugins.lng" and its own language file that names languages, and only when its own
// file is there. In UTF-8, as the host's log lines are (ParseLog).
LogMarkers PluginLogMarkers(const std::string& dll_path);

// Counts a log line into `counts` when it reports a response timeout or a checksum error.
void CountLogLine(const std::string& text, RunCounts& counts, const LogMarkers& markers = {});

class HostRun {
   public:
    HostRun(const PluginLibrary& library, ParamsMode mode);
    ~HostRun();
    HostRun(const HostRun&) = delete;
    HostRun& operator=(const HostRun&) = delete;

    // A port for the next data source id (1, 2, ... in the order added). Before Start only.
    void AddPort(std::string name, std::string full_name, std::unique_ptr<PortTransport> port);

    // Stores `options_text` as the plug-in's settings, creates and LOADs the instance (with the
    // CONFIG-ID of the module's configuration `config_index` when given), announces and opens
    // the ports. False with `error` set when any step fails; what was started is undone.
    bool Start(const std::string& options_text, std::optional<std::size_t> config_index,
               std::string& error);
    // Handles the window messages (log notifications) until `duration_ms` pass or `stop` is set,
    // calling OnProgress every `progress_interval_ms` on the way. The milliseconds it ran.
    std::uint64_t RunFor(std::uint32_t duration_ms, const std::atomic<bool>& stop);
    // Closes the ports (PORT-CLOSE), UNLOADs, frees the instance and removes the stored
    // settings. Safe to call twice.
    void Stop();

    // The host's events on a running instance, from the thread that runs Start and RunFor:
    // a port closed or opened again (PORT-CLOSE, PORT-OPEN), and the settings read again from
    // the run's settings file (LOAD-SETTINGS-NOW). The command's result.
    std::int32_t PortEvent(const std::string& name, bool open);
    std::int32_t ReloadSettings();
    // SET-STATE again with the data sources of the ports named (every port when none is), as a
    // host does when its configuration changes: a port left out loses its module and clients.
    // With `enabled` false the module kinds are switched off, as a host stops the module's
    // data sources (the plug-in lets go of every port).
    std::int32_t Announce(const std::vector<std::string>& port_names = {}, bool enabled = true);
    // The module stopped (UNLOAD) and started again as Start started it (LOAD, SET-STATE with
    // every port, PORT-OPEN for each), as a host stops and starts a module it keeps.
    std::int32_t Unload();
    std::int32_t LoadAgain();

    // Runs `job` on the host's main thread (the one that runs Start and RunFor) when it next
    // handles its messages; from any thread. False when it cannot be queued.
    bool PostToMainThread(std::function<void()> job) { return window_.Post(std::move(job)); }

    // How the host's entry points treat the calling thread (host_style.h); from the thread that
    // runs Start, at any time. The thread that made this run is the host's main thread.
    void SetStyle(HostStyle style);
    HostStyle Style() const noexcept { return style_; }
    // A write handed to the main thread waits this long before the host counts a hang; set
    // before Start or SetStyle.
    std::uint32_t hang_limit_ms = kDefaultHangLimitMs;
    // What the styles did since Start, and the hangs among it.
    HostStyleCounts StyleCounts() const;
    std::uint32_t Hangs() const noexcept { return hangs_; }

    RunCounts Counts() const;
    // The beginnings of the plug-in's timeout and checksum lines, in its own language too.
    const LogMarkers& Markers() const noexcept { return markers_; }
    // Writes the plug-in asked for, per port in the order added.
    std::vector<std::uint32_t> PortWrites() const;
    // What the host saw of each meter (see MeterLedger): every address of the configuration's
    // enabled requests on every port, and every other meter a packet came from.
    std::vector<MeterTally> MeterTallies() const;
    // Configured meters on all ports, and those of them a packet came from so far.
    std::size_t MetersConfigured() const;
    std::size_t MetersHeard() const;
    // How full each port's line was since Start and how fast the plug-in turned it round
    // (line_use.h), per port in the order added. Serial, RFC 2217 and device-server lines run
    // at `line_baud` (set before Start).
    std::vector<LineUseFigures> LineUses() const;
    std::uint32_t line_baud = 1200;
    // True once a port has failed and was closed during the run.
    bool PortFailed() const noexcept { return port_failed_; }

    // Every packet, from whichever thread delivered it; calls never overlap.
    std::function<void(const PortPacket&)> OnPacket;
    // Every collected log line, on the thread that runs Start, RunFor and Stop.
    std::function<void(const HostWindow::LogLine&)> OnLogLine;
    // A port that refused a write or failed and was closed ("port NAME ..."), from the port's
    // own thread; calls never overlap each other or OnPacket. Unset: printed on stderr.
    std::function<void(const std::string&)> OnPortFault;
    // A write that waited in vain for the main thread ("the host hangs: ..."), on the thread
    // whose write it was; calls never overlap OnPortFault or OnPacket. Unset: printed on stderr.
    std::function<void(const std::string&)> OnHostHang;
    // After ProcessData has had a received chunk and its packets are delivered, on the port's
    // own thread, with the port's data source id.
    std::function<void(std::int32_t)> OnChunkHandled;
    // Every `progress_interval_ms` of RunFor, on its thread, with the milliseconds run so far.
    std::function<void(std::uint64_t)> OnProgress;
    std::uint32_t progress_interval_ms = 10000;

   private:
    struct Port {
        std::int32_t id;
        std::string name;
        std::string full_name;
        std::unique_ptr<PortTransport> transport;
        std::thread reader;
    };

    bool StoreSettings(const std::string& options_text, std::string& error);
    void RemoveSettings();
    bool WritePort(std::int32_t source_id, std::span<const std::uint8_t> bytes);
    void ReadPort(Port& port);
    void Deliver(std::int32_t source_id, std::vector<NamedValue> items);
    void HandleLogLine(const HostWindow::LogLine& line);
    void ReportPortFault(const std::string& text);
    void ReportHang(const HostHang& hang);
    std::string SourcesText(const std::vector<std::string>& port_names) const;
    void Undo();

    const PluginLibrary& library_;
    HostWindow window_;
    HostInstance instance_;
    std::vector<Port> ports_;
    std::wstring settings_folder_;
    std::wstring settings_file_;
    bool loaded_ = false;
    std::atomic<bool> ports_open_{false};
    mutable std::mutex counts_lock_;  // also keeps OnPacket calls apart
    RunCounts counts_;
    LogMarkers markers_;
    std::vector<std::uint32_t> port_writes_;
    MeterLedger ledger_;  // under counts_lock_
    std::atomic<bool> port_failed_{false};
    std::vector<NamedValue> load_params_;  // what Start's LOAD carried
    HostStyle style_ = HostStyle::kPlain;
    HostStyleCounts style_start_;
    std::atomic<std::uint32_t> hangs_{0};
    std::atomic<int> readers_running_{0};
    mutable std::mutex line_lock_;
    std::vector<LineUse> lines_;  // per port, under line_lock_
    std::chrono::steady_clock::time_point line_start_;
    double LineMs() const;
};

}  // namespace zol::hostsim
