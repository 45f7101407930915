// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "connection.h"

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

struct mosquitto;
struct mosquitto_message;
struct mqtt5__property;
typedef struct mqtt5__property mosquitto_property;

namespace qn480::station {

// libmosquitto's `rc` as a line goes on after it; MOSQ_ERR_ERRNO names `savedErrno`.
std::string mqttErrorText(int rc, int savedErrno);

// Gives `client` the URL's user with the password, and for mqtts:// the CA (else the system's
// certificates) and the client certificate and key; libmosquitto's rc.
int setLogin(mosquitto *client, const BrokerLogin &login);

// The life of one reader's connection to the broker: connecting with a fresh libmosquitto
// client per attempt, the backoff, the broker's refusals, another station taking the
// reader's client id over, and the fall-back to MQTT 3.1.1. It runs on the station's
// network thread; what the station keeps per connection it drops in `lost`.
class BrokerSession
{
public:
    struct Settings
    {
        BrokerLogin login;
        std::string clientId;
        std::string reader;
        std::string willTopic;
        std::chrono::milliseconds firstRetry{500};
        std::chrono::milliseconds lastRetry{30000};
        std::chrono::milliseconds connectTimeout{10000};
    };
    struct Hooks
    {
        std::function<void(const std::string &)> say;
        // The connection is gone (its reason); the next one starts afresh.
        std::function<void(const std::string &)> lost;
        // The broker refuses us for good: the line that ends the station, without its tail.
        std::function<void(const std::string &)> refused;
        std::function<std::size_t()> waiting; // events in the spool, for the lines said
        std::function<std::string()> will;    // the status the broker says if we vanish
        std::function<void(int mid, int reasonCode)> acknowledged;
        std::function<void(const mosquitto_message *, const mosquitto_property *)> message;
        std::function<bool()> failed; // the station stopped in a callback
    };

    // Throws SpoolError when the pipe that wakes the network thread cannot be made.
    BrokerSession(Settings settings, Hooks hooks);
    ~BrokerSession();
    BrokerSession(const BrokerSession &) = delete;
    BrokerSession &operator=(const BrokerSession &) = delete;

    // The client of this attempt or connection; null between attempts.
    mosquitto *handle() const;
    bool connected() const;
    bool mqtt5() const { return m_mqtt5; }

    // Starts an attempt when the backoff is over; gives one up that got no answer in time.
    void attemptIfDue(std::chrono::steady_clock::time_point now);
    // How long the network thread may wait before the next attempt is due.
    std::chrono::milliseconds untilAttempt(std::chrono::milliseconds longest) const;

    enum class Turn { Same, Connected, Gone, Failed };
    // Waits up to `wait` for the socket or wake(), lets libmosquitto read, write and keep the
    // connection alive, and tells what became of it.
    Turn service(std::chrono::milliseconds wait, bool wasConnected);
    // Ends the network thread's wait; from any thread.
    void wake();

    // An orderly end: DISCONNECT sent, the client gone.
    void disconnect();
    // Drops the client without a word (a failed station: the will speaks).
    void drop();

private:
    struct Client;
    void connectNow();
    void lose(const std::string &reason, bool wasConnected, bool told = false);
    bool refusedConnection();
    void takenOver(bool told);
    Turn afterLoop(int rc, int savedErrno, bool wasConnected);

    Settings m_settings;
    Hooks m_hooks;
    std::unique_ptr<Client> m_client;
    std::chrono::milliseconds m_retry;
    std::chrono::steady_clock::time_point m_nextAttempt;
    std::chrono::steady_clock::time_point m_attemptDeadline;
    std::string m_lastFailure;
    bool m_mqtt5 = true; // false after a broker refused MQTT 5
    std::chrono::milliseconds m_takeoverRetry{0};
    std::chrono::steady_clock::time_point m_connectedAt;
    int m_quickCloses = 0; // connections in a row that the broker closed soon after they came
    int m_wakePipe[2] = {-1, -1};
};

} // namespace qn480::station
