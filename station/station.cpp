// SPDX-License-Identifier: GPL-3.0-or-later
#include "station.h"

#include "text_util.h"
#include "tls_files.h"

#include <mosquitto.h>
#include <mqtt_protocol.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <iostream>

namespace qn480::station {

namespace {

using Clock = std::chrono::steady_clock;

// Events published but not yet acknowledged; more wait in the spool, so that a broker that
// goes away leaves little to send twice.
constexpr std::size_t kWindow = 64;
// The longest a wait of the network thread lasts: libmosquitto's keep-alive is kept from it.
constexpr std::chrono::milliseconds kLongestWait{250};
// After an orderly close's grace, this long more for the broker to take "offline".
constexpr std::chrono::milliseconds kOfflineGrace{500};
// A full spool is told at most this often; each line gives the count so far.
constexpr std::chrono::seconds kDropNoticeInterval{10};
// The diagnostics topic changes with every event; it is sent at most this often.
constexpr std::chrono::seconds kDiagnosticsInterval{1};

// One line of JSON. Text that is not UTF-8 was replaced when the record was made.
std::string jsonLine(const nlohmann::ordered_json &json)
{
    return json.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

// The spooled payload with "replayed": true after its fields. The spool keeps bytes, and
// spools of earlier runs hold payloads that this run did not make: what is not an object
// goes as it is.
std::string replayedPayload(const std::string &payload)
{
    nlohmann::ordered_json object = nlohmann::ordered_json::parse(payload, nullptr, false);
    if (!object.is_object())
        return payload;
    object["replayed"] = true;
    return jsonLine(object);
}

} // namespace

Station::Station(StationConfig config)
    : m_config(std::move(config))
    , m_refusedRetry(m_config.firstRetry)
{
    const BrokerLogin &login = m_config.login;
    checkTlsSettings(login.broker.tls, login.caFile, login.certFile, login.keyFile);
    checkTlsFiles(login.caFile, login.certFile, login.keyFile);
    if (!m_config.say)
        m_config.say = [](const std::string &line) {
            std::cerr << line << std::endl;
        };
    m_topicEvent = topic("event");
    m_topicUid = topic("uid");
    m_spool = std::make_unique<Spool>(m_config.spoolDir, m_config.spoolCapacity,
                                      [this](const std::string &line) { say(line); });
    m_droppedTold = m_spool->dropped();
    m_statusDropped = m_spool->dropped();
    if (m_config.remoteKeypad) {
        m_remoteKeypad =
            std::make_unique<RemoteKeypad>(m_config.login.broker.prefix, m_config.reader);
        m_remoteKeypad->setWake([this] { m_session->wake(); });
    }
    m_session =
        std::make_unique<BrokerSession>(sessionSettings(m_config, topic("status")), sessionHooks());
    m_thread = std::thread([this] { run(); });
}

std::string Station::topic(std::string_view leaf) const
{
    return m_config.login.broker.prefix + "/" + m_config.reader + "/" + std::string(leaf);
}

std::uint64_t Station::publish(const EventRecord &record)
{
    // The record's fields, then reader, spool and seq: together these name the event for a
    // consumer that drops copies.
    nlohmann::ordered_json payload = eventJson(record);
    SpooledEvent spooled;
    spooled.kind = record.kind == PresenceKind::Present ? EventKind::Present : EventKind::Removed;
    spooled.uid = hexText(identity(record.card), "");
    spooled.timeMs = record.time.time_since_epoch().count();
    std::unique_lock lock(m_mutex);
    payload["reader"] = m_config.reader;
    payload["spool"] = m_spool->id();
    payload["seq"] = m_spool->nextSeq();
    spooled.payload = jsonLine(payload);
    const std::size_t dropped = m_spool->append(spooled);
    std::erase_if(m_cards, [&](const auto &card) { return card.first == spooled.uid; });
    if (spooled.kind == EventKind::Present)
        m_cards.emplace_back(spooled.uid, std::move(payload));
    else if (spooled.uid.empty())
        m_cards.clear();
    m_cardsChanged = true;
    if (dropped != 0)
        tellDropped(m_spool->dropped());
    lock.unlock();
    m_session->wake();
    return spooled.seq;
}

void Station::tellDropped(std::uint64_t total)
{
    const auto now = Clock::now();
    if (m_droppedTold != 0 && total > m_droppedTold && now - m_droppedToldAt < kDropNoticeInterval)
        return;
    if (total == m_droppedTold)
        return;
    say("spool full (" + std::to_string(m_spool->capacity()) +
        " events): the oldest are dropped, " + std::to_string(total) + " in all");
    m_droppedTold = total;
    m_droppedToldAt = now;
}

// The poller's thread (a full spool) and the network thread both have things to say.
void Station::say(const std::string &line)
{
    std::lock_guard lock(m_sayMutex);
    m_config.say(line);
}

void Station::close(std::chrono::milliseconds grace)
{
    {
        std::lock_guard lock(m_mutex);
        if (m_joined)
            return;
        if (!m_closing) {
            m_closing = true;
            m_closeBy = Clock::now() + grace;
        }
    }
    m_session->wake();
    if (m_thread.joinable())
        m_thread.join();
    std::lock_guard lock(m_mutex);
    m_joined = true;
}

bool Station::waitUntilSent(std::chrono::milliseconds timeout, const std::function<bool()> &stopped)
{
    const auto deadline = Clock::now() + timeout;
    std::unique_lock lock(m_mutex);
    // In steps of 100 ms, asking `stopped` between them without the lock.
    while (!m_sent.wait_until(lock,
                              std::min(deadline, Clock::now() + std::chrono::milliseconds(100)),
                              [&] { return m_spool->waiting() == 0 || failed(); })) {
        lock.unlock();
        if (Clock::now() >= deadline || (stopped && stopped()))
            return false;
        lock.lock();
    }
    return !failed();
}

Station::Counters Station::counters() const
{
    std::lock_guard lock(m_mutex);
    return {m_acknowledged, m_spool->dropped(), m_spool->waiting(), m_refused, m_connected};
}

std::string Station::failure() const
{
    std::lock_guard lock(m_mutex);
    return m_failure;
}

void Station::fail(const std::string &line)
{
    {
        std::lock_guard lock(m_mutex);
        if (m_failure.empty())
            m_failure = line;
        m_failed = true;
    }
    m_sent.notify_all();
}

// No exception may unwind through libmosquitto's C frames: the station stops instead, and
// the poll with it, so that the port is given back.
void Station::callbackFailed(std::exception_ptr error) noexcept
{
    try {
        std::rethrow_exception(error);
    } catch (const SpoolError &spoolError) {
        fail(std::string("mqtt: the spool failed: ") + spoolError.what() +
             "; the station stops, what waits stays in the spool");
    } catch (const std::exception &other) {
        fail(std::string("mqtt: the station stops: ") + other.what());
    } catch (...) {
        fail("mqtt: the station stops on an unknown failure");
    }
}

std::string Station::statusText(bool online) const
{
    std::string text = online ? "online" : "offline";
    if (m_statusDropped != 0)
        text += " dropped=" + std::to_string(m_statusDropped);
    return text;
}

std::string Station::cardsJson() const
{
    nlohmann::ordered_json cards = nlohmann::ordered_json::array();
    for (const auto &card : m_cards)
        cards.push_back(card.second);
    return jsonLine(cards);
}

// The message id; -1 when the connection is going (the next one starts from the spool), -2
// when libmosquitto refuses the message itself (too large, a bad topic), which is told.
int Station::publishTo(const std::string &topic, const std::string &payload, bool retain)
{
    int mid = -1;
    const int rc = mosquitto_publish(m_session->handle(), &mid, topic.c_str(),
                                     static_cast<int>(payload.size()), payload.data(), 1, retain);
    switch (rc) {
    case MOSQ_ERR_SUCCESS:
        return mid;
    case MOSQ_ERR_INVAL:
    case MOSQ_ERR_PAYLOAD_SIZE:
    case MOSQ_ERR_MALFORMED_UTF8:
    case MOSQ_ERR_OVERSIZE_PACKET:
    case MOSQ_ERR_QOS_NOT_SUPPORTED:
        tellRefused(topic, "libmosquitto: " + mqttErrorText(rc, 0),
                    topic == m_topicEvent || topic == m_topicUid);
        return -2;
    default:
        return -1;
    }
}

// A message the broker is to acknowledge: an event's (seq) or a retained topic's (seq 0).
int Station::publishNow(std::string_view leaf, const std::string &payload, bool retain,
                        std::uint64_t seq)
{
    const int mid = publishTo(leaf == "event" ? m_topicEvent
                              : leaf == "uid" ? m_topicUid
                                              : topic(leaf),
                              payload, retain);
    if (mid >= 0)
        m_inFlight.push_back({mid, seq, leaf});
    return mid;
}

void Station::tellRefused(const std::string &topic, const std::string &reason, bool event)
{
    setLastError("publish to " + topic + " refused: " + reason);
    const std::string told = topic + "\n" + reason;
    if (std::find(m_refusalsTold.begin(), m_refusalsTold.end(), told) != m_refusalsTold.end())
        return;
    m_refusalsTold.push_back(told);
    say("mqtt: a publish to " + topic + " is refused (" + reason + ")" +
        (event ? "; its event stays in the spool and is tried again later" : ""));
}

// A change of the last error is a change of the diagnostics; the same error again is not, so
// that a refused diagnostics topic is not tried again every second.
void Station::setLastError(const std::string &error)
{
    if (error == m_lastError)
        return;
    m_lastError = error;
    ++m_diagnosticsChanges;
}

// The event stays in the spool; it is sent again after the backoff, or on the next connection.
void Station::refuse(std::uint64_t seq)
{
    if (m_refusedSeqs.empty()) {
        m_resendRefusedAt = Clock::now() + m_refusedRetry;
        m_refusedRetry = std::min(m_refusedRetry * 2, m_config.lastRetry);
    }
    m_refusedSeqs.push_back(seq);
    std::lock_guard lock(m_mutex);
    ++m_refused;
}

BrokerSession::Hooks Station::sessionHooks()
{
    BrokerSession::Hooks hooks;
    hooks.failed = std::bind_front(&Station::failed, this);
    hooks.say = std::bind_front(&Station::say, this);
    hooks.lost = [this](const std::string &reason) {
        m_inFlight.clear();
        m_refusedSeqs.clear(); // the next connection starts from the spool
        m_connectedSince.reset();
        setLastError(reason);
        std::lock_guard lock(m_mutex);
        m_connected = false;
    };
    hooks.refused = [this](const std::string &line) {
        const std::size_t waiting = counters().waiting;
        fail(line +
             (waiting == 1 ? std::string("1 event waits")
                           : std::to_string(waiting) + " events wait") +
             " in the spool " + m_config.spoolDir.string());
    };
    hooks.waiting = [this] {
        std::lock_guard lock(m_mutex);
        return m_spool->waiting();
    };
    hooks.will = [this] {
        std::lock_guard lock(m_mutex);
        m_statusDropped = m_spool->dropped();
        return statusText(false);
    };
    // No exception may unwind through libmosquitto's C frames.
    hooks.acknowledged = [this](int mid, int reasonCode) {
        try {
            onAcknowledged(mid, reasonCode);
        } catch (...) {
            callbackFailed(std::current_exception());
        }
    };
    hooks.message = [this](const mosquitto_message *message, const mosquitto_property *props) {
        if (m_remoteKeypad && message->topic != topic("status"))
            return receiveKeypadMessage(*m_remoteKeypad, message, props);
        const std::string_view payload(static_cast<const char *>(message->payload),
                                       static_cast<std::size_t>(message->payloadlen));
        if (payload.starts_with("offline"))
            m_offlineSeen = true;
    };
    return hooks;
}

void Station::onConnected()
{
    m_refusedRetry = m_config.firstRetry;
    m_offlineSeen = false;
    m_connectedSince = std::chrono::system_clock::now();
    ++m_diagnosticsChanges;
    std::size_t waiting = 0;
    {
        std::lock_guard lock(m_mutex);
        m_connected = true;
        m_cardsChanged = true;
        waiting = m_spool->waiting();
        m_nextToSend =
            !m_spool->pending().empty() ? m_spool->pending().front().seq : m_spool->nextSeq();
    }
    std::string line =
        "mqtt: connected to " + m_config.login.broker.display() + " as " + m_config.reader;
    if (waiting != 0)
        line += ", sending " + std::to_string(waiting) + " waiting events";
    if (m_statusDropped != 0)
        line += " (" + std::to_string(m_statusDropped) + " dropped: the spool was full)";
    say(line);
    sendStatus(true);
    mosquitto_subscribe(m_session->handle(), nullptr, topic("status").c_str(), 1);
    if (m_remoteKeypad) {
        for (const std::string &filter : m_remoteKeypad->subscriptions())
            mosquitto_subscribe(m_session->handle(), nullptr, filter.c_str(), 1);
        m_remoteKeypad->connected();
    }
    if (m_config.haDiscovery) {
        for (const auto &[configTopic, config] :
             homeAssistantConfigs(m_config.login.broker.prefix + "/" + m_config.reader,
                                  m_config.reader, m_config.version))
            publishTo(configTopic, config, true);
    }
    sendDiagnostics(true);
}

void Station::sendStatus(bool online)
{
    std::string text;
    {
        std::lock_guard lock(m_mutex);
        m_statusDropped = m_spool->dropped();
        text = statusText(online);
    }
    const int mid = publishNow("status", text, true);
    if (!online) {
        m_offlineMid = mid;
        m_offlineAcked = mid < 0;
    }
}

void Station::sendCards()
{
    std::string json;
    {
        std::lock_guard lock(m_mutex);
        json = cardsJson();
        m_cardsChanged = false;
    }
    publishNow("cards", json, true);
}

// On a change, at most once a second, unless `force`.
void Station::sendDiagnostics(bool force)
{
    const auto now = Clock::now();
    Diagnostics diagnostics;
    {
        std::lock_guard lock(m_mutex);
        diagnostics.waiting = m_spool->waiting();
        if (!m_spool->pending().empty())
            diagnostics.oldestTimeMs = m_spool->pending().front().timeMs;
        diagnostics.dropped = m_spool->dropped();
        diagnostics.refused = m_refused;
    }
    const std::array<std::uint64_t, 5> key{
        diagnostics.waiting, static_cast<std::uint64_t>(diagnostics.oldestTimeMs.value_or(-1)),
        diagnostics.dropped, diagnostics.refused, m_diagnosticsChanges};
    // Events that came within the interval are on their way: in a healthy run each one
    // would otherwise change the diagnostics twice.
    const auto systemNow = std::chrono::system_clock::now();
    const bool onTheirWay = diagnostics.oldestTimeMs &&
                            systemNow - std::chrono::system_clock::time_point(
                                            std::chrono::milliseconds(*diagnostics.oldestTimeMs)) <
                                kDiagnosticsInterval;
    if (!force &&
        (key == m_diagnosticsSent || now - m_diagnosticsAt < kDiagnosticsInterval || onTheirWay))
        return;
    diagnostics.lastError = m_lastError;
    diagnostics.connectedSince = m_connectedSince;
    diagnostics.version = m_config.version;
    diagnostics.spool = m_spool->id();
    if (publishNow("diagnostics", diagnosticsJson(diagnostics, systemNow), true) >= 0) {
        m_diagnosticsSent = key;
        m_diagnosticsAt = now;
    }
}

void Station::sendWaiting()
{
    std::vector<SpooledEvent> batch;
    {
        std::lock_guard lock(m_mutex);
        const auto &pending = m_spool->pending();
        const auto at = [&](std::uint64_t seq) {
            return std::lower_bound(
                pending.begin(), pending.end(), seq,
                [](const SpooledEvent &event, std::uint64_t s) { return event.seq < s; });
        };
        std::size_t inFlightEvents = 0;
        for (std::size_t i = 0; i < m_inFlight.size(); ++i) {
            if (m_inFlight[i].seq != 0 && (i == 0 || m_inFlight[i].seq != m_inFlight[i - 1].seq))
                ++inFlightEvents;
        }
        if (!m_refusedSeqs.empty() && Clock::now() >= m_resendRefusedAt) {
            for (const std::uint64_t seq : m_refusedSeqs) {
                const auto found = at(seq);
                if (found != pending.end() && found->seq == seq)
                    batch.push_back(*found);
            }
            m_refusedSeqs.clear();
        }
        for (auto from = at(m_nextToSend);
             from != pending.end() && inFlightEvents + batch.size() < kWindow; ++from) {
            if (!m_spool->acknowledgedAhead(from->seq))
                batch.push_back(*from);
        }
    }
    const auto now = std::chrono::system_clock::now();
    for (const SpooledEvent &event : batch) {
        // Seen too long ago to open a door: marked, and kept from the uid topic.
        const bool late =
            now - std::chrono::system_clock::time_point(std::chrono::milliseconds(event.timeMs)) >
            m_config.uidMaxAge;
        const int eventMid = publishNow(
            "event", late ? replayedPayload(event.payload) : event.payload, false, event.seq);
        if (eventMid == -1)
            return;
        if (eventMid == -2) {
            refuse(event.seq);
        } else if (!late && event.kind == EventKind::Present && !event.uid.empty()) {
            const int uidMid = publishNow("uid", event.uid, false, event.seq);
            if (uidMid == -1)
                return;
            if (uidMid == -2)
                m_inFlight.back().refused = true; // the event's own message
        }
        m_nextToSend = std::max(m_nextToSend, event.seq + 1);
    }
}

// An event counts as sent once the broker has taken each of its messages: acknowledged with
// a reason code below 0x80 (MQTT 5; MQTT 3.1.1 has none).
void Station::onAcknowledged(int mid, int reasonCode)
{
    if (mid == m_offlineMid && m_offlineMid >= 0)
        m_offlineAcked = true;
    const auto found = std::find_if(m_inFlight.begin(), m_inFlight.end(),
                                    [&](const InFlight &entry) { return entry.mid == mid; });
    if (found == m_inFlight.end())
        return;
    const std::uint64_t seq = found->seq;
    const bool refused = found->refused || reasonCode >= 0x80;
    if (reasonCode >= 0x80)
        tellRefused(topic(found->leaf), mosquitto_reason_string(reasonCode), seq != 0);
    m_inFlight.erase(found);
    if (seq == 0)
        return;
    const auto sibling = std::find_if(m_inFlight.begin(), m_inFlight.end(),
                                      [&](const InFlight &entry) { return entry.seq == seq; });
    if (sibling != m_inFlight.end()) {
        sibling->refused = sibling->refused || refused;
        return;
    }
    if (refused) {
        refuse(seq);
        return;
    }
    std::lock_guard lock(m_mutex);
    m_spool->markSent(seq);
    ++m_acknowledged;
    m_sent.notify_all();
}

void Station::run()
{
    try {
        runLoop();
    } catch (...) {
        callbackFailed(std::current_exception());
    }
    // A station that failed leaves without a word to the broker: the will says offline.
    m_session->drop();
    m_inFlight.clear();
    std::lock_guard lock(m_mutex);
    m_connected = false;
}

void Station::runLoop()
{
    bool offlineSent = false;
    while (!failed()) {
        const auto now = Clock::now();
        bool closing = false;
        Clock::time_point closeBy;
        bool cardsChanged = false;
        bool dropsChanged = false;
        bool nothingWaits = false;
        {
            std::lock_guard lock(m_mutex);
            closing = m_closing;
            closeBy = m_closeBy;
            cardsChanged = m_cardsChanged;
            dropsChanged = m_spool->dropped() != m_statusDropped;
            nothingWaits = m_spool->waiting() == 0;
        }
        const bool connected = m_session->connected();
        if (closing && !connected)
            break; // what waits stays in the spool for the next run
        if (closing) {
            if (!offlineSent && (nothingWaits || now >= closeBy)) {
                // The cards as the run leaves them (none, after its closing removals), then
                // offline.
                if (cardsChanged)
                    sendCards();
                sendDiagnostics(true);
                sendStatus(false);
                offlineSent = true;
            }
            if (offlineSent && (m_offlineAcked || now >= closeBy + kOfflineGrace)) {
                m_session->disconnect();
                break;
            }
        }
        m_session->attemptIfDue(now);
        if (connected && !offlineSent) {
            sendWaiting();
            if (m_session->handle() && cardsChanged)
                sendCards();
            if (m_session->handle() && (dropsChanged || m_offlineSeen)) {
                m_offlineSeen = false;
                sendStatus(true);
            }
            if (m_session->handle())
                sendDiagnostics(false);
            if (m_session->handle() && m_remoteKeypad)
                publishKeypadMessages(*m_remoteKeypad, m_session->handle());
        }

        auto wait = m_session->untilAttempt(kLongestWait);
        if (closing)
            wait = std::min(wait, std::chrono::milliseconds(20));
        const BrokerSession::Turn turn = m_session->service(wait, connected);
        if (turn == BrokerSession::Turn::Failed || failed())
            break;
        if (turn == BrokerSession::Turn::Connected)
            onConnected();
    }
}

} // namespace qn480::station
