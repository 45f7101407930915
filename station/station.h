// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "connection.h"
#include "spool.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
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
    BrokerUrl broker;
    std::optional<std::string> password; // used only with broker.user
    std::string caFile;                  // mqtts: the CA file; empty: the system's certificates
    std::string certFile;                // client certificate and its key, both or neither
    std::string keyFile;
    std::string reader; // topic-safe (topicSafe())
    std::filesystem::path spoolDir;
    std::size_t spoolCapacity = Spool::kDefaultCapacity;
    bool haDiscovery = false;
    std::string version; // the tool's, for Home Assistant's device
    std::chrono::milliseconds firstRetry{500};
    std::chrono::milliseconds lastRetry{30000};
    std::chrono::milliseconds connectTimeout{10000};
    // One line for standard error: each change of the connection, a full spool. Called from
    // the station's thread and publish()'s, one call at a time.
    std::function<void(const std::string &)> say;
};

// The station's settings as qn480ctl poll takes them; empty strings are options not given.
struct StationOptions
{
    std::string url;
    std::string passwordFile;
    std::string ca;
    std::string cert;
    std::string key;
    std::string reader;
    std::string spool;
    bool haDiscovery = false;
};

// The configuration for the reader on `device`: the URL parsed, the password read (from the
// file, else QN480_MQTT_PASSWORD), the reader named (given, else from the device) and the
// spool placed (given, else under XDG_STATE_HOME). Throws ConnectionError.
StationConfig stationConfig(const StationOptions &options, const std::string &device,
                            const std::string &version);

// One presence event as poll has it.
struct StationEvent
{
    EventKind kind = EventKind::Present;
    std::string record; // the event's JSON object, as poll --json prints it
    std::string uid;    // bare hexadecimal UID of the card
    std::chrono::system_clock::time_point time;
};

// Publishes one reader's events to an MQTT broker, through a durable spool: PREFIX/READER/event
// (the record with reader and seq), /uid (present events), /cards (retained: the cards on the
// reader now), /status (retained: online, and offline from the will or an orderly close),
// and with haDiscovery a retained homeassistant/tag/READER/config.
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
    ~Station();
    Station(const Station &) = delete;
    Station &operator=(const Station &) = delete;

    // Writes the event to the spool (durably) and hands it to the network thread; never waits
    // for the broker. Returns its seq. Throws SpoolError when the spool cannot take it.
    std::uint64_t publish(const StationEvent &event);

    // Publishes status offline, waits up to `grace` for what is in flight and waiting, then
    // disconnects. Events not acknowledged by then stay in the spool for the next run.
    void close(std::chrono::milliseconds grace = std::chrono::seconds(2));

    // Waits until the spool holds nothing unacknowledged; false after `timeout`.
    bool waitUntilSent(std::chrono::milliseconds timeout);

    struct Counters
    {
        std::uint64_t acknowledged = 0; // events the broker acknowledged in this run
        std::uint64_t dropped = 0;      // events the full spool let go, over its whole life
        std::size_t waiting = 0;        // events in the spool not yet acknowledged
        bool connected = false;
    };
    Counters counters() const;

    // PREFIX/READER/leaf
    std::string topic(std::string_view leaf) const;

private:
    struct Client;
    void run();
    void wake();
    void connectNow();
    void lose(const std::string &reason, bool wasConnected);
    void onConnected();
    void onAcknowledged(int mid);
    void sendWaiting();
    void sendStatus(bool online);
    void sendCards();
    int publishNow(const std::string &topic, const std::string &payload, bool retain);
    std::string statusText(bool online) const;
    std::string cardsJson() const;
    void tellDropped(std::uint64_t total);
    void say(const std::string &line);

    StationConfig m_config;
    std::string m_clientId;
    std::mutex m_sayMutex;

    // Shared between the poller and the network thread.
    mutable std::mutex m_mutex;
    std::condition_variable m_sent;
    std::unique_ptr<Spool> m_spool;
    std::vector<std::pair<std::string, std::string>> m_cards; // uid, payload of its arrival
    bool m_cardsChanged = true;
    bool m_closing = false;
    std::chrono::steady_clock::time_point m_closeBy;
    bool m_connected = false;
    std::uint64_t m_acknowledged = 0;
    std::uint64_t m_droppedTold = 0;
    std::chrono::steady_clock::time_point m_droppedToldAt;

    // The network thread's own.
    std::unique_ptr<Client> m_client;
    std::chrono::milliseconds m_retry;
    std::chrono::steady_clock::time_point m_nextAttempt;
    std::chrono::steady_clock::time_point m_attemptDeadline;
    std::string m_lastFailure;
    std::uint64_t m_nextToSend = 0;
    std::uint64_t m_statusDropped = 0;                     // the count the last status carried
    std::vector<std::pair<int, std::uint64_t>> m_inFlight; // message id, seq
    int m_offlineMid = -1;
    bool m_offlineAcked = false;

    int m_wakePipe[2] = {-1, -1};
    std::thread m_thread;
    bool m_joined = false;
};

} // namespace qn480::station
