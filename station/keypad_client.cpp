// SPDX-License-Identifier: GPL-3.0-or-later
#include "keypad_client.h"

#include "broker_session.h"

#include <mosquitto.h>
#include <mqtt_protocol.h>

#include <algorithm>
#include <cstdlib>
#include <random>

namespace qn480::station {

namespace {

using Clock = std::chrono::steady_clock;

// Sixteen hex digits: the correlation and the private response topic of one request.
std::string randomToken()
{
    std::random_device device;
    std::uniform_int_distribution<unsigned> digit(0, 15);
    std::string token;
    for (int i = 0; i < 16; ++i)
        token += "0123456789abcdef"[digit(device)];
    return token;
}

} // namespace

KeypadClient::KeypadClient(Settings settings)
    : m_settings(std::move(settings))
{
    mosquitto_lib_init();
    m_client = mosquitto_new(nullptr, true, this);
    if (!m_client)
        throw ConnectionError("out of memory");
    mosquitto_int_option(m_client, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
    mosquitto_connect_v5_callback_set(
        m_client, [](mosquitto *, void *self, int rc, int, const mosquitto_property *) {
            auto *client = static_cast<KeypadClient *>(self);
            client->m_connackCode = rc;
            client->m_connected = rc == 0;
        });
    mosquitto_subscribe_v5_callback_set(
        m_client, [](mosquitto *, void *self, int, int, const int *, const mosquitto_property *) {
            ++static_cast<KeypadClient *>(self)->m_subscribed;
        });
    mosquitto_publish_v5_callback_set(
        m_client, [](mosquitto *, void *self, int, int, const mosquitto_property *) {
            ++static_cast<KeypadClient *>(self)->m_published;
        });
    mosquitto_message_v5_callback_set(m_client, [](mosquitto *, void *self,
                                                   const mosquitto_message *message,
                                                   const mosquitto_property *properties) {
        Message kept{message->topic,
                     std::string(static_cast<const char *>(message->payload),
                                 static_cast<std::size_t>(message->payloadlen)),
                     {}};
        void *data = nullptr;
        std::uint16_t length = 0;
        if (mosquitto_property_read_binary(properties, MQTT_PROP_CORRELATION_DATA, &data, &length,
                                           false)) {
            kept.correlation.assign(static_cast<const char *>(data), length);
            std::free(data);
        }
        static_cast<KeypadClient *>(self)->m_messages.push_back(std::move(kept));
    });
    const BrokerUrl &broker = m_settings.login.broker;
    int rc = setLogin(m_client, m_settings.login);
    m_deadline = Clock::now() + m_settings.timeout;
    if (rc == MOSQ_ERR_SUCCESS)
        rc = mosquitto_connect(m_client, broker.host.c_str(), broker.port, 30);
    if (rc != MOSQ_ERR_SUCCESS)
        throw ConnectionError("cannot connect to " + broker.display() + " (" +
                              mosquitto_strerror(rc) + ")");
    if (!runUntil([this] { return m_connackCode >= 0; }))
        throw ConnectionError("no answer from " + broker.display());
    if (!m_connected)
        throw ConnectionError(broker.display() + " refuses the connection (" +
                              mosquitto_reason_string(m_connackCode) + ")");
}

KeypadClient::~KeypadClient()
{
    if (m_connected) {
        mosquitto_disconnect(m_client);
        mosquitto_loop(m_client, 0, 1);
    }
    mosquitto_destroy(m_client);
}

template <typename Done> bool KeypadClient::runUntil(Done done)
{
    while (!done()) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(m_deadline - Clock::now());
        if (left.count() <= 0)
            return false;
        const int rc =
            mosquitto_loop(m_client, static_cast<int>(std::min<long long>(left.count(), 100)), 1);
        if (rc != MOSQ_ERR_SUCCESS && rc != MOSQ_ERR_NO_CONN)
            throw ConnectionError("connection to " + m_settings.login.broker.display() + " lost (" +
                                  mosquitto_strerror(rc) + ")");
    }
    return true;
}

void KeypadClient::subscribe(const std::string &filter)
{
    const int before = m_subscribed;
    mosquitto_subscribe_v5(m_client, nullptr, filter.c_str(), 1, 0, nullptr);
    runUntil([&] { return m_subscribed > before; });
}

void KeypadClient::publish(const std::string &topic, const std::string &payload, bool retain,
                           const std::string &responseTopic, const std::string &correlation)
{
    mosquitto_property *properties = nullptr;
    if (!responseTopic.empty()) {
        mosquitto_property_add_string(&properties, MQTT_PROP_RESPONSE_TOPIC, responseTopic.c_str());
        mosquitto_property_add_binary(&properties, MQTT_PROP_CORRELATION_DATA, correlation.data(),
                                      static_cast<std::uint16_t>(correlation.size()));
    }
    const int before = m_published;
    mosquitto_publish_v5(m_client, nullptr, topic.c_str(), static_cast<int>(payload.size()),
                         payload.data(), 1, retain, properties);
    mosquitto_property_free_all(&properties);
    runUntil([&] { return m_published > before; });
}

std::optional<nlohmann::json> KeypadClient::request(const std::string &reader,
                                                    const nlohmann::json &request)
{
    return awaitResponse(reader, send(reader, request));
}

std::string KeypadClient::send(const std::string &reader, const nlohmann::json &request)
{
    const std::string base = m_settings.login.broker.prefix + "/" + reader + "/keypad/";
    const std::string token = randomToken();
    subscribe(base + "response/" + token);
    publish(base + "request", request.dump(), false, base + "response/" + token, token);
    return token;
}

std::optional<nlohmann::json> KeypadClient::awaitResponse(const std::string &reader,
                                                          const std::string &token)
{
    const std::string responseTopic =
        m_settings.login.broker.prefix + "/" + reader + "/keypad/response/" + token;
    const auto answer = [&] {
        return std::find_if(m_messages.begin(), m_messages.end(), [&](const Message &message) {
            return message.topic == responseTopic && message.correlation == token;
        });
    };
    if (!runUntil([&] { return answer() != m_messages.end(); }))
        return std::nullopt;
    const nlohmann::json response = nlohmann::json::parse(answer()->payload, nullptr, false);
    if (!response.is_object())
        return std::nullopt;
    return response;
}

std::vector<KeypadClient::FleetAnswer>
KeypadClient::fleet(const std::optional<nlohmann::json> &profile)
{
    const std::string &prefix = m_settings.login.broker.prefix;
    std::vector<FleetAnswer> answers;
    if (!profile) {
        publish(prefix + "/fleet/keypad", {}, true);
        return answers;
    }
    subscribe(prefix + "/+/keypad/response");
    publish(prefix + "/fleet/keypad", profile->dump(), true);
    runUntil([] { return false; });
    for (const Message &message : m_messages) {
        const nlohmann::json response = nlohmann::json::parse(message.payload, nullptr, false);
        if (!response.is_object() || response.value("id", nlohmann::json()) != "desired")
            continue;
        const std::string reader =
            message.topic.substr(prefix.size() + 1, message.topic.size() - prefix.size() - 1 - 16);
        std::erase_if(answers, [&](const FleetAnswer &a) { return a.reader == reader; });
        answers.push_back({reader, response});
    }
    return answers;
}

} // namespace qn480::station
