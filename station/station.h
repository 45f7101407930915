// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "announcements.h"
#include "broker_session.h"
#include "connection.h"
#include "event_record.h"
#include "remote_keypad.h"
#include "spool.h"

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace qn480::station {

struct StationConfig
{
    BrokerLogin login;
    std::string reader; // topic-safe (topicSafe())
    std::filesystem::path spoolDir;
    std::size_t spoolCapacity = Spool::kDefaultCapacity;
    bool haDiscovery = false;
    std::string version; // the tool's, for Home Assistant's device
    std::chrono::milliseconds firstRetry{500};
    std::chrono::milliseconds lastRetry{30000};
    std::chrono::milliseconds connectTimeout{10000};
    // An event published later than this after it was seen is a replay: it carries
    // "replayed": true and goes to the event topic only, never to uid, where automations
    // (a door) start on it.
    std::chrono::milliseconds uidMaxAge{5000};
    // The reader's keypad settings may be read and written through the broker.
    bool remoteKeypad = false;
    // One line for standard error: each change of the connection, a full spool. Called from
    // the station's thread and publish()'s, one call at a time.
    std::function<void(const std::string &)> say;
};

// The configuration for the reader on `device`: the URL parsed, the password read (from the
// file, else QN480_MQTT_PASSWORD), the reader named (given, else from the device) and the
// spool placed (given, else under XDG_STATE_HOME). Throws ConnectionError.
StationConfig stationConfig(const StationOptions &options, const std::string &device,
                            const std::string &version);

// Publishes one reader's events to an MQTT broker, through a durable spool: PREFIX/READER/event
// (the record with reader, spool and seq), /uid (present events seen lately), /cards (retained: the
// cards on the reader now), /status (retained: online, and offline from the will or an orderly
// close), /diagnostics (retained: the spool and the connection), and with haDiscovery
// Home Assistant's retained configs of the tag scanner and two sensors.
//
// It speaks MQTT 5, so that a publish the broker refuses (its ACL) is seen in the PUBACK and
// the event stays in the spool; with a broker that speaks only 3.1.1 it falls back to it.
//
// The client is libmosquitto: it comes from the broker's own project, has a plain C API that
// needs no C++ ABI of its own, and Debian ships it (libmosquitto1). It runs on a thread of
// ours, without libmosquitto's own, so that the backoff can start at half a second and the
// poller is woken at once; the poller's thread only writes the spool.
class Station
{
public:
    // Opens the spool (SpoolError) and checks the TLS files (ConnectionError); connecting
    // then goes on in the background.
    explicit Station(StationConfig config);
    // An orderly close(), if none was made.
    ~Station() { close(); }
    Station(const Station &) = delete;
    Station &operator=(const Station &) = delete;

    // Writes the record's payload to the spool (durably) and hands it to the network thread;
    // never waits for the broker. Returns its seq. Throws SpoolError when the spool cannot
    // take it.
    std::uint64_t publish(const EventRecord &record);

    // Waits up to `grace` for what is in flight and waiting, publishes the cards as they are
    // now (none, once the run's closing removals are in), the diagnostics and status offline,
    // then disconnects. Events not acknowledged by then stay in the spool for the next run.
    void close(std::chrono::milliseconds grace = std::chrono::seconds(2));

    // Waits until the spool holds nothing unacknowledged; false after `timeout`, at once when
    // the station has failed, or when `stopped` (asked ten times a second) says so.
    bool waitUntilSent(std::chrono::milliseconds timeout,
                       const std::function<bool()> &stopped = {});

    struct Counters
    {
        std::uint64_t acknowledged = 0; // events the broker acknowledged in this run
        std::uint64_t dropped = 0;      // events the full spool let go, over its whole life
        std::size_t waiting = 0;        // events in the spool not yet acknowledged
        std::uint64_t refused = 0;      // event publishes refused in this run
        bool connected = false;
    };
    Counters counters() const;

    // The station has stopped for good (the broker refuses the user or the password, or the
    // spool's state could not be written): a poll ends. Cheap enough for every pass.
    bool failed() const { return m_failed.load(std::memory_order_relaxed); }
    // Then the one line that says why; what waits stays in the spool.
    std::string failure() const;

    const std::filesystem::path &spoolDir() const { return m_config.spoolDir; }

    // PREFIX/READER/leaf
    std::string topic(std::string_view leaf) const;

    // With remoteKeypad: the settings served to the broker, by the poller between passes.
    RemoteKeypad *remoteKeypad() { return m_remoteKeypad.get(); }

private:
    static BrokerSession::Settings sessionSettings(const StationConfig &config,
                                                   std::string willTopic);
    BrokerSession::Hooks sessionHooks();
    void run();
    void runLoop();
    void onConnected();
    void onAcknowledged(int mid, int reasonCode);
    void refuse(std::uint64_t seq);
    void sendWaiting();
    void sendStatus(bool online);
    void sendCards();
    void sendDiagnostics(bool force);
    int publishNow(std::string_view leaf, const std::string &payload, bool retain,
                   std::uint64_t seq = 0);
    int publishTo(const std::string &topic, const std::string &payload, bool retain);
    void tellRefused(const std::string &topic, const std::string &reason, bool event);
    void fail(const std::string &line);
    void setLastError(const std::string &error);
    void callbackFailed(std::exception_ptr error) noexcept;
    std::string statusText(bool online) const;
    std::string cardsJson() const;
    void tellDropped(std::uint64_t total);
    void say(const std::string &line);

    StationConfig m_config;
    std::string m_topicEvent; // PREFIX/READER/event and /uid, made once
    std::string m_topicUid;
    std::mutex m_sayMutex;

    // Shared between the poller and the network thread.
    mutable std::mutex m_mutex;
    std::condition_variable m_sent;
    std::unique_ptr<Spool> m_spool;
    std::vector<std::pair<std::string, nlohmann::ordered_json>> m_cards; // uid, its arrival
    bool m_cardsChanged = true;
    bool m_closing = false;
    std::chrono::steady_clock::time_point m_closeBy;
    bool m_connected = false;
    std::uint64_t m_acknowledged = 0;
    std::uint64_t m_droppedTold = 0;
    std::chrono::steady_clock::time_point m_droppedToldAt;
    std::uint64_t m_refused = 0;
    std::string m_failure;
    std::atomic<bool> m_failed{false};

    // The network thread's own.
    std::unique_ptr<BrokerSession> m_session;
    std::unique_ptr<RemoteKeypad> m_remoteKeypad;
    // The status topic says offline while this connection is up: the will of an earlier
    // connection of this reader that the broker noticed only after this one came (a restart
    // after kill -9 or a power cut). Online is said again.
    bool m_offlineSeen = false;
    std::uint64_t m_nextToSend = 0;
    std::uint64_t m_statusDropped = 0; // the count the last status carried
    struct InFlight
    {
        int mid;
        std::uint64_t seq;     // 0: not an event (status, cards, diagnostics)
        std::string_view leaf; // of the topic
        bool refused = false;  // a message of the event was refused
    };
    std::vector<InFlight> m_inFlight;
    // Refused events wait for the next connection, or for the backoff on this one.
    std::vector<std::uint64_t> m_refusedSeqs;
    std::chrono::steady_clock::time_point m_resendRefusedAt;
    std::chrono::milliseconds m_refusedRetry;
    std::vector<std::string> m_refusalsTold; // topic and reason, each said once
    std::string m_lastError;
    std::optional<std::chrono::system_clock::time_point> m_connectedSince;
    // What the last diagnostics said that may change from one event to the next, and a count
    // of the changes of the rest (the last error, the connection).
    std::array<std::uint64_t, 5> m_diagnosticsSent{};
    std::uint64_t m_diagnosticsChanges = 1;
    std::chrono::steady_clock::time_point m_diagnosticsAt;
    int m_offlineMid = -1;
    bool m_offlineAcked = false;

    std::thread m_thread;
    bool m_joined = false;
};

} // namespace qn480::station
