// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "keypad_json.h"

#include <atomic>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qn480 {
class Link;
}

struct mosquitto;
struct mosquitto_message;
struct mqtt5__property;
typedef struct mqtt5__property mosquitto_property;

namespace qn480::station {

// A message for the broker: a response, or the retained settings.
struct KeypadMessage
{
    std::string topic;
    std::string payload;
    bool retain = false;
    std::optional<std::string> correlation; // MQTT 5 Correlation Data, echoed as it came
};

// The reader's keypad settings served through the broker, under PREFIX/READER/:
//   keypad           retained: keypadJson() of what the reader holds, after connecting and
//                    after every change;
//   keypad/request   {"id", "op": get|set|defaults, "settings"}; answered on
//                    keypad/response, and on the request's MQTT 5 Response Topic;
//   keypad/desired   retained, over PREFIX/fleet/keypad key by key: what the reader is to
//                    hold, applied after connecting, on a change of either message, and when
//                    the reader comes back ("id": "desired").
// The network thread hands messages in; the poller serves them between two passes, so
// that polling and configuration share the port without a lock on it. A set is all or
// nothing: a refused Set writes back what had changed.
class RemoteKeypad
{
public:
    RemoteKeypad(const std::string &prefix, const std::string &reader);

    std::vector<std::string> subscriptions() const;

    // The network thread: a message on one of the subscriptions. A request while another
    // waits or runs is answered busy at once.
    void received(const std::string &topic, std::string_view payload,
                  std::optional<std::string> responseTopic, std::optional<std::string> correlation);
    // The network thread: a connection came; the settings are published and the desired
    // state applied again.
    void connected();
    // The messages to publish, oldest first.
    std::vector<KeypadMessage> takeOutgoing();
    // Called when there is something to publish; from either thread.
    void setWake(std::function<void()> wake) { m_wake = std::move(wake); }

    // The poller, after every pass: whether serve() has anything to do. Cheap.
    bool due() const { return m_due.load(std::memory_order_acquire); }
    // The poller, between two passes: the request waiting, the desired state, the settings.
    void serve(Link &link);
    // The poller: the reader came back after a loss (perhaps another one, at its factory
    // settings): the desired state is applied again.
    void readerBack();

private:
    struct Request
    {
        nlohmann::json id;
        std::string op;
        nlohmann::json settings;
        std::optional<std::string> responseTopic;
        std::optional<std::string> correlation;
    };
    struct Answer
    {
        std::string status = "ok";
        std::string error;
        std::optional<nlohmann::ordered_json> from;
        std::optional<nlohmann::ordered_json> to;
        bool changed = false;
    };

    Answer get(Link &link);
    Answer set(Link &link, const nlohmann::json &settings);
    Answer defaults(Link &link);
    std::optional<Answer> applyDesired(Link &link, const nlohmann::json &desired);
    // True when it published the settings as well.
    bool respond(const nlohmann::json &id, const Answer &answer,
                 const std::optional<std::string> &responseTopic,
                 const std::optional<std::string> &correlation);
    void publish(KeypadMessage message);
    void updateDue();

    std::string m_base; // PREFIX/READER/
    std::string m_fleetTopic;
    std::function<void()> m_wake;

    std::mutex m_mutex;
    std::optional<Request> m_request;
    bool m_running = false;
    nlohmann::json m_fleet = nlohmann::json::object();
    nlohmann::json m_desired = nlohmann::json::object();
    bool m_desiredDue = false;
    bool m_stateDue = false;
    std::vector<KeypadMessage> m_outgoing;
    std::atomic<bool> m_due{false};
};

// The network thread's side: a message with its MQTT 5 properties handed in, and what waits
// published on `client`.
void receiveKeypadMessage(RemoteKeypad &keypad, const mosquitto_message *message,
                          const mosquitto_property *properties);
void publishKeypadMessages(RemoteKeypad &keypad, mosquitto *client);

} // namespace qn480::station
