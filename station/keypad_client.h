// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "connection.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

struct mosquitto;

namespace qn480::station {

// Asks the stations that serve readers' keypads (poll --remote-keypad) through the broker:
// one request with its MQTT 5 Response Topic and Correlation Data, or the fleet's retained
// desired state and the answers it brings.
class KeypadClient
{
public:
    struct Settings
    {
        BrokerLogin login;
        std::chrono::milliseconds timeout{10000};
    };
    // Connects; throws ConnectionError with one line when the broker cannot be reached or
    // refuses.
    explicit KeypadClient(Settings settings);
    ~KeypadClient();
    KeypadClient(const KeypadClient &) = delete;
    KeypadClient &operator=(const KeypadClient &) = delete;

    // The station's response to `request` for `reader`; nothing when none came in time.
    std::optional<nlohmann::json> request(const std::string &reader, const nlohmann::json &request);
    // The same in two halves: send() returns the request's correlation, awaitResponse()
    // waits for its response.
    std::string send(const std::string &reader, const nlohmann::json &request);
    std::optional<nlohmann::json> awaitResponse(const std::string &reader,
                                                const std::string &correlation);

    struct FleetAnswer
    {
        std::string reader;
        nlohmann::json response;
    };
    // Publishes PREFIX/fleet/keypad retained (nothing: removes it), then gathers each
    // station's "desired" answer until the time-out, one per reader, in the order they came.
    std::vector<FleetAnswer> fleet(const std::optional<nlohmann::json> &profile);

private:
    struct Message
    {
        std::string topic;
        std::string payload;
        std::string correlation;
    };
    void subscribe(const std::string &filter);
    void publish(const std::string &topic, const std::string &payload, bool retain,
                 const std::string &responseTopic = {}, const std::string &correlation = {});
    // Runs the network until `done` or the time-out; false at the time-out.
    template <typename Done> bool runUntil(Done done);

    Settings m_settings;
    mosquitto *m_client = nullptr;
    std::chrono::steady_clock::time_point m_deadline;
    bool m_connected = false;
    int m_connackCode = -1;
    int m_subscribed = 0;
    int m_published = 0;
    std::vector<Message> m_messages;
};

} // namespace qn480::station
