// SPDX-License-Identifier: GPL-3.0-or-later
#include "remote_keypad.h"

#include "keypad.h"
#include "keypad_text.h"

#include <mosquitto.h>
#include <mqtt_protocol.h>

#include <algorithm>
#include <cstdlib>

namespace qn480::station {

namespace {

using Json = nlohmann::json;
using OrderedJson = nlohmann::ordered_json;

// Keeps every outcome, for the line that tells why an operation failed.
class Outcomes final : public KeypadObserver
{
public:
    void starting(KeypadSetting, bool) override {}
    void finished(const KeypadOutcome &outcome, const KeypadSettings &) override
    {
        list.push_back(outcome);
    }
    std::vector<KeypadOutcome> list;
};

// The six settings read: their object, and the first failure's line.
struct Reading
{
    KeypadSettings settings;
    OrderedJson json;
    std::string failure;
    bool ended = false; // the reader went away
};

Reading readSettings(Keypad &keypad)
{
    Reading reading;
    const KeypadSequence read = keypad.readAll();
    reading.ended = read.end != KeypadEnd::Done;
    reading.settings = read.settings;
    if (const auto failed = read.firstFailure())
        reading.failure = keypadFailureLine(*failed);
    else if (reading.ended)
        reading.failure = "the reader went away";
    reading.json = keypadJson(reading.settings, read.errors());
    return reading;
}

} // namespace

RemoteKeypad::RemoteKeypad(const std::string &prefix, const std::string &reader)
    : m_base(prefix + "/" + reader + "/")
    , m_fleetTopic(prefix + "/fleet/keypad")
{}

std::vector<std::string> RemoteKeypad::subscriptions() const
{
    return {m_base + "keypad/request", m_base + "keypad/desired", m_fleetTopic};
}

void RemoteKeypad::received(const std::string &topic, std::string_view payload,
                            std::optional<std::string> responseTopic,
                            std::optional<std::string> correlation)
{
    const Json parsed = Json::parse(payload, nullptr, false);
    std::unique_lock lock(m_mutex);
    if (topic != m_base + "keypad/request") {
        // An empty retained message clears the state; what is not an object holds nothing.
        Json &state = topic == m_fleetTopic ? m_fleet : m_desired;
        state = parsed.is_object() ? parsed : Json::object();
        m_desiredDue = true;
        updateDue();
        return;
    }
    Request request;
    request.id = parsed.is_object() && parsed.contains("id") ? parsed["id"] : Json(nullptr);
    request.responseTopic = std::move(responseTopic);
    request.correlation = std::move(correlation);
    Answer answer;
    if (m_request || m_running) {
        answer.status = "busy";
        answer.error = "another request is being served";
    } else if (!parsed.is_object() || !parsed.contains("op") || !parsed["op"].is_string()) {
        answer.status = "refused";
        answer.error = "not a request: an object with \"op\" is expected";
    } else {
        request.op = parsed["op"].get<std::string>();
        request.settings = parsed.value("settings", Json::object());
        if (request.op != "get" && request.op != "set" && request.op != "defaults") {
            answer.status = "refused";
            answer.error = "unknown op \"" + request.op + "\"; use get, set or defaults";
        } else {
            m_request = std::move(request);
            updateDue();
            return;
        }
    }
    lock.unlock();
    respond(request.id, answer, request.responseTopic, request.correlation);
}

void RemoteKeypad::connected()
{
    std::lock_guard lock(m_mutex);
    m_stateDue = true;
    m_desiredDue = true;
    updateDue();
}

void RemoteKeypad::readerBack()
{
    std::lock_guard lock(m_mutex);
    m_stateDue = true;
    m_desiredDue = true;
    updateDue();
}

void RemoteKeypad::updateDue()
{
    m_due.store(m_request || m_desiredDue || m_stateDue, std::memory_order_release);
}

std::vector<KeypadMessage> RemoteKeypad::takeOutgoing()
{
    std::lock_guard lock(m_mutex);
    return std::exchange(m_outgoing, {});
}

void RemoteKeypad::publish(KeypadMessage message)
{
    {
        std::lock_guard lock(m_mutex);
        m_outgoing.push_back(std::move(message));
    }
    if (m_wake)
        m_wake();
}

bool RemoteKeypad::respond(const Json &id, const Answer &answer,
                           const std::optional<std::string> &responseTopic,
                           const std::optional<std::string> &correlation)
{
    OrderedJson response = OrderedJson::object();
    response["id"] = id;
    response["status"] = answer.status;
    if (!answer.error.empty())
        response["error"] = answer.error;
    if (answer.from)
        response["from"] = *answer.from;
    if (answer.to)
        response["to"] = *answer.to;
    const std::string payload = jsonText(response);
    publish({m_base + "keypad/response", payload, false, std::nullopt});
    if (responseTopic && !responseTopic->empty())
        publish({*responseTopic, payload, false, correlation});
    if (!answer.to || (!answer.changed && answer.from))
        return false;
    publish({m_base + "keypad", jsonText(*answer.to), true, std::nullopt});
    return true;
}

void RemoteKeypad::serve(Link &link)
{
    std::optional<Request> request;
    bool desiredDue = false;
    bool stateDue = false;
    Json desired;
    {
        std::lock_guard lock(m_mutex);
        request = std::exchange(m_request, std::nullopt);
        m_running = request.has_value();
        desiredDue = std::exchange(m_desiredDue, false);
        stateDue = std::exchange(m_stateDue, false);
        desired = m_fleet;
        for (const auto &[key, value] : m_desired.items())
            desired[key] = value;
        updateDue();
    }
    bool statePublished = false;
    if (request) {
        const Answer answer = request->op == "get"   ? get(link)
                              : request->op == "set" ? set(link, request->settings)
                                                     : defaults(link);
        statePublished = respond(request->id, answer, request->responseTopic, request->correlation);
        std::lock_guard lock(m_mutex);
        m_running = false;
    }
    if (desiredDue && !desired.empty()) {
        if (const auto answer = applyDesired(link, desired)) {
            if (respond("desired", *answer, std::nullopt, std::nullopt))
                statePublished = true;
        }
    }
    if (stateDue && !statePublished) {
        Keypad keypad(link);
        const Reading now = readSettings(keypad);
        if (!now.ended)
            publish({m_base + "keypad", jsonText(now.json), true, std::nullopt});
    }
}

RemoteKeypad::Answer RemoteKeypad::get(Link &link)
{
    Keypad keypad(link);
    const Reading now = readSettings(keypad);
    Answer answer;
    answer.to = now.json;
    if (!now.failure.empty()) {
        answer.status = "error";
        answer.error = now.failure;
    }
    return answer;
}

RemoteKeypad::Answer RemoteKeypad::set(Link &link, const Json &settings)
{
    Answer answer;
    KeypadPatch patch;
    try {
        // The same checks as a profile's file: nothing is sent when one fails.
        patch = profilePatch(settings.is_object() ? settings.dump() : std::string("[]"));
    } catch (const ProfileError &error) {
        answer.status = "refused";
        answer.error = error.what();
        return answer;
    }
    Outcomes outcomes;
    Keypad keypad(link, &outcomes);
    const KeypadWriteReport report = keypad.write(patch, WriteMode::AllOrNothing);
    if (report.readFailed || report.end != KeypadEnd::Done) {
        answer.status = "error";
        answer.error = report.end != KeypadEnd::Done ? "the reader went away"
                       : outcomes.list.empty()
                           ? "nothing sent: the reader's settings could not be read"
                           : "nothing sent: " + keypadFailureLine(outcomes.list.back());
        return answer;
    }
    answer.from = keypadJson(report.before, {});
    if (report.refused) {
        const auto refused = std::find_if(
            outcomes.list.begin(), outcomes.list.end(), [&](const KeypadOutcome &outcome) {
                return outcome.write && !outcome.accepted && outcome.setting == *report.refused;
            });
        answer.status =
            refused != outcomes.list.end() && refused->dataLength < 0 ? "error" : "refused";
        answer.error =
            (refused != outcomes.list.end() ? keypadFailureLine(*refused) : "set failed") +
            (report.notRestored.empty()
                 ? "; the reader holds its earlier settings"
                 : "; writing back failed, the reader keeps part of the request");
    }
    Keypad after(link);
    const Reading now = readSettings(after);
    answer.to = now.json;
    answer.changed = now.settings != report.before;
    if (answer.status == "ok" && !now.failure.empty()) {
        answer.status = "error";
        answer.error = now.failure;
    }
    return answer;
}

RemoteKeypad::Answer RemoteKeypad::defaults(Link &link)
{
    Answer answer;
    Keypad keypad(link);
    const Reading before = readSettings(keypad);
    const KeypadSequence sequence = keypad.restoreDefaults();
    answer.from = before.json;
    if (const auto failed = sequence.firstFailure()) {
        answer.status = failed->dataLength < 0 ? "error" : "refused";
        answer.error = keypadFailureLine(*failed);
    }
    if (sequence.end != KeypadEnd::Done) {
        answer.status = "error";
        answer.error = "the reader went away";
        return answer;
    }
    answer.to = keypadJson(sequence.settings, sequence.errors());
    answer.changed = sequence.settings != before.settings;
    return answer;
}

// Nothing is sent when the reader already holds the desired values; a state the reader
// refuses is answered once and waits for a change of the messages or of the reader.
std::optional<RemoteKeypad::Answer> RemoteKeypad::applyDesired(Link &link, const Json &desired)
{
    Answer answer;
    KeypadPatch patch;
    try {
        patch = profilePatch(desired.dump());
    } catch (const ProfileError &error) {
        answer.status = "refused";
        answer.error = error.what();
        return answer;
    }
    Keypad keypad(link);
    const Reading held = readSettings(keypad);
    if (held.ended)
        return std::nullopt; // told again when the reader comes back
    if (held.failure.empty() && patch.over(held.settings) == held.settings) {
        answer.from = held.json;
        answer.to = held.json;
        return answer;
    }
    return set(link, patchJson(patch));
}

void receiveKeypadMessage(RemoteKeypad &keypad, const mosquitto_message *message,
                          const mosquitto_property *properties)
{
    std::optional<std::string> responseTopic;
    std::optional<std::string> correlation;
    char *topic = nullptr;
    if (mosquitto_property_read_string(properties, MQTT_PROP_RESPONSE_TOPIC, &topic, false)) {
        responseTopic = topic;
        std::free(topic);
    }
    void *data = nullptr;
    std::uint16_t length = 0;
    if (mosquitto_property_read_binary(properties, MQTT_PROP_CORRELATION_DATA, &data, &length,
                                       false)) {
        correlation = std::string(static_cast<const char *>(data), length);
        std::free(data);
    }
    keypad.received(message->topic,
                    std::string_view(static_cast<const char *>(message->payload),
                                     static_cast<std::size_t>(message->payloadlen)),
                    std::move(responseTopic), std::move(correlation));
}

void publishKeypadMessages(RemoteKeypad &keypad, mosquitto *client)
{
    for (const KeypadMessage &message : keypad.takeOutgoing()) {
        mosquitto_property *properties = nullptr;
        if (message.correlation)
            mosquitto_property_add_binary(&properties, MQTT_PROP_CORRELATION_DATA,
                                          message.correlation->data(),
                                          static_cast<std::uint16_t>(message.correlation->size()));
        // QoS 1 like everything the station sends; a response lost with the connection is
        // not sent again: the asker's time-out tells it.
        mosquitto_publish_v5(client, nullptr, message.topic.c_str(),
                             static_cast<int>(message.payload.size()), message.payload.data(), 1,
                             message.retain, properties);
        mosquitto_property_free_all(&properties);
    }
}

} // namespace qn480::station
