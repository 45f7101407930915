// SPDX-License-Identifier: GPL-3.0-or-later
#include "station.h"

#include "text_util.h"

#include <mosquitto.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace qn480::station {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kKeepAliveSeconds = 30;
// Events published but not yet acknowledged; more wait in the spool, so that a broker that
// goes away leaves little to send twice.
constexpr std::size_t kWindow = 64;
// The longest a wait of the network thread lasts: libmosquitto's keep-alive is kept from it.
constexpr std::chrono::milliseconds kLongestWait{250};
// After an orderly close's grace, this long more for the broker to take "offline".
constexpr std::chrono::milliseconds kOfflineGrace{500};
// A full spool is told at most this often; each line gives the count so far.
constexpr std::chrono::seconds kDropNoticeInterval{10};

void initialiseLibrary()
{
    static const int once = [] {
        mosquitto_lib_init();
        return 0;
    }();
    (void)once;
}

std::string errorText(int rc, int savedErrno)
{
    if (rc == MOSQ_ERR_ERRNO)
        return std::strerror(savedErrno);
    if (rc == MOSQ_ERR_CONN_LOST)
        return "closed by the broker or the network";
    std::string text = mosquitto_strerror(rc);
    if (!text.empty() && text.back() == '.')
        text.pop_back(); // the line goes on after it
    return text;
}

std::string secondsText(std::chrono::milliseconds delay)
{
    char text[32];
    std::snprintf(text, sizeof text, "%g s", static_cast<double>(delay.count()) / 1000.0);
    return text;
}

// The record's object with reader, spool and seq added at its end: together they name the
// event for a consumer that drops copies. The record is poll --json's line; it is not
// parsed, only closed again after the fields.
std::string withReaderAndSeq(std::string_view record, std::string_view reader,
                             std::string_view spool, std::uint64_t seq)
{
    constexpr std::string_view kBlanks = " \t\r\n"; // JSON's white space
    record = trimmed(record, kBlanks);
    if (record.size() < 2 || record.front() != '{' || record.back() != '}')
        throw std::invalid_argument("an event record must be one JSON object");
    // Blanks before the last field stay as they are; only those before the brace go.
    std::string_view inner = record.substr(1, record.size() - 2);
    inner = inner.substr(0, inner.find_last_not_of(kBlanks) + 1);
    std::string payload = "{";
    payload += inner;
    payload += inner.empty() ? "" : ",";
    payload += "\"reader\":" + nlohmann::json(reader).dump() +
               ",\"spool\":" + nlohmann::json(spool).dump() + ",\"seq\":" + std::to_string(seq) +
               "}";
    return payload;
}

} // namespace

StationConfig stationConfig(const StationOptions &options, const std::string &device,
                            const std::string &version)
{
    StationConfig config;
    config.broker = parseBrokerUrl(options.url);
    config.password = readPassword(options.passwordFile.empty()
                                       ? std::nullopt
                                       : std::optional<std::string>(options.passwordFile),
                                   std::getenv(kPasswordVariable));
    config.caFile = options.ca;
    config.certFile = options.cert;
    config.keyFile = options.key;
    config.reader = std::string(checkTopicText(options.reader.empty() ? defaultReaderName(device)
                                                                      : topicSafe(options.reader),
                                               "the reader name"));
    config.spoolDir = options.spool.empty()
                          ? std::filesystem::path(defaultSpoolDir(
                                config.reader, std::getenv("XDG_STATE_HOME"), std::getenv("HOME")))
                          : std::filesystem::path(options.spool);
    config.haDiscovery = options.haDiscovery;
    config.version = version;
    return config;
}

// One connection: a fresh libmosquitto client per attempt, so that nothing it queued for a
// lost connection goes out again beside what the spool sends.
struct Station::Client
{
    mosquitto *handle = nullptr;
    bool connackSeen = false;
    int connackCode = 0;
    // The status topic says offline while this connection is up: the will of an earlier
    // connection of this reader that the broker noticed only after this one came (a restart
    // after kill -9 or a power cut). Online is said again.
    bool offlineSeen = false;

    ~Client()
    {
        if (handle)
            mosquitto_destroy(handle);
    }
};

Station::Station(StationConfig config)
    : m_config(std::move(config))
    , m_clientId("qn480-" + m_config.reader)
    , m_retry(m_config.firstRetry)
{
    initialiseLibrary();
    if (!m_config.broker.tls &&
        (!m_config.caFile.empty() || !m_config.certFile.empty() || !m_config.keyFile.empty()))
        throw ConnectionError("--mqtt-ca, --mqtt-cert and --mqtt-key need an mqtts:// URL");
    if (m_config.certFile.empty() != m_config.keyFile.empty())
        throw ConnectionError("--mqtt-cert and --mqtt-key go together");
    for (const std::string *file : {&m_config.caFile, &m_config.certFile, &m_config.keyFile}) {
        if (!file->empty() && ::access(file->c_str(), R_OK) != 0)
            throw ConnectionError("cannot read " + *file + ": " + std::strerror(errno));
    }
    if (!m_config.say)
        m_config.say = [](const std::string &line) {
            std::cerr << line << std::endl;
        };
    m_spool = std::make_unique<Spool>(m_config.spoolDir, m_config.spoolCapacity,
                                      [this](const std::string &line) { say(line); });
    m_droppedTold = m_spool->dropped();
    m_statusDropped = m_spool->dropped();
    // A pipe, not an eventfd, so that macOS builds it too.
    if (::pipe(m_wakePipe) != 0)
        throw SpoolError(std::string("cannot make a pipe: ") + std::strerror(errno));
    for (const int fd : m_wakePipe) {
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
        ::fcntl(fd, F_SETFL, O_NONBLOCK);
    }
    m_nextAttempt = Clock::now();
    m_thread = std::thread([this] { run(); });
}

Station::~Station()
{
    close();
    for (const int fd : m_wakePipe)
        ::close(fd);
}

std::string Station::topic(std::string_view leaf) const
{
    return m_config.broker.prefix + "/" + m_config.reader + "/" + std::string(leaf);
}

std::uint64_t Station::publish(const StationEvent &event)
{
    std::unique_lock lock(m_mutex);
    SpooledEvent spooled;
    spooled.kind = event.kind;
    spooled.uid = event.uid;
    spooled.timeMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(event.time.time_since_epoch())
            .count();
    spooled.payload =
        withReaderAndSeq(event.record, m_config.reader, m_spool->id(), m_spool->nextSeq());
    const std::size_t dropped = m_spool->append(spooled);
    if (event.kind == EventKind::Present) {
        std::erase_if(m_cards, [&](const auto &card) { return card.first == event.uid; });
        m_cards.emplace_back(event.uid, spooled.payload);
    } else if (event.uid.empty()) {
        m_cards.clear();
    } else {
        std::erase_if(m_cards, [&](const auto &card) { return card.first == event.uid; });
    }
    m_cardsChanged = true;
    if (dropped != 0)
        tellDropped(m_spool->dropped());
    lock.unlock();
    wake();
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

void Station::wake()
{
    // A full pipe wakes the thread as well as one more byte would.
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(m_wakePipe[1], &byte, 1);
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
    wake();
    if (m_thread.joinable())
        m_thread.join();
    std::lock_guard lock(m_mutex);
    m_joined = true;
}

bool Station::waitUntilSent(std::chrono::milliseconds timeout)
{
    std::unique_lock lock(m_mutex);
    return m_sent.wait_for(lock, timeout, [&] { return m_spool->pending().empty(); });
}

Station::Counters Station::counters() const
{
    std::lock_guard lock(m_mutex);
    return {m_acknowledged, m_spool->dropped(), m_spool->pending().size(), m_connected};
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
    std::string json = "[";
    for (const auto &card : m_cards)
        json += (json.size() > 1 ? "," : "") + card.second;
    return json + "]";
}

int Station::publishNow(const std::string &topic, const std::string &payload, bool retain)
{
    int mid = -1;
    const int rc = mosquitto_publish(m_client->handle, &mid, topic.c_str(),
                                     static_cast<int>(payload.size()), payload.data(), 1, retain);
    return rc == MOSQ_ERR_SUCCESS ? mid : -1;
}

void Station::connectNow()
{
    m_client = std::make_unique<Client>();
    mosquitto *handle = mosquitto_new(m_clientId.c_str(), true, this);
    if (!handle) {
        m_client.reset();
        lose("out of memory", false);
        return;
    }
    m_client->handle = handle;
    mosquitto_connect_callback_set(handle, [](mosquitto *, void *self, int rc) {
        auto *station = static_cast<Station *>(self);
        station->m_client->connackSeen = true;
        station->m_client->connackCode = rc;
    });
    mosquitto_publish_callback_set(handle, [](mosquitto *, void *self, int mid) {
        static_cast<Station *>(self)->onAcknowledged(mid);
    });
    mosquitto_message_callback_set(
        handle, [](mosquitto *, void *self, const mosquitto_message *message) {
            const std::string_view payload(static_cast<const char *>(message->payload),
                                           static_cast<std::size_t>(message->payloadlen));
            if (payload.starts_with("offline"))
                static_cast<Station *>(self)->m_client->offlineSeen = true;
        });
    if (!m_config.broker.user.empty()) {
        mosquitto_username_pw_set(handle, m_config.broker.user.c_str(),
                                  m_config.password ? m_config.password->c_str() : nullptr);
    }
    std::string will;
    {
        std::lock_guard lock(m_mutex);
        m_statusDropped = m_spool->dropped();
        will = statusText(false);
    }
    mosquitto_will_set(handle, topic("status").c_str(), static_cast<int>(will.size()), will.data(),
                       1, true);
    int rc = MOSQ_ERR_SUCCESS;
    if (m_config.broker.tls) {
        rc = mosquitto_tls_set(handle, m_config.caFile.empty() ? nullptr : m_config.caFile.c_str(),
                               m_config.caFile.empty() ? "/etc/ssl/certs" : nullptr,
                               m_config.certFile.empty() ? nullptr : m_config.certFile.c_str(),
                               m_config.keyFile.empty() ? nullptr : m_config.keyFile.c_str(),
                               nullptr);
    }
    m_attemptDeadline = Clock::now() + m_config.connectTimeout;
    if (rc == MOSQ_ERR_SUCCESS)
        rc = mosquitto_connect_async(handle, m_config.broker.host.c_str(), m_config.broker.port,
                                     kKeepAliveSeconds);
    if (rc != MOSQ_ERR_SUCCESS)
        lose(errorText(rc, errno), false);
}

void Station::lose(const std::string &reason, bool wasConnected)
{
    m_client.reset();
    m_inFlight.clear();
    std::size_t waiting = 0;
    {
        std::lock_guard lock(m_mutex);
        m_connected = false;
        waiting = m_spool->pending().size();
    }
    const std::string next = "retrying in " + secondsText(m_retry);
    if (wasConnected) {
        say("mqtt: connection to " + m_config.broker.display() + " lost (" + reason + "); " + next +
            ", events wait in the spool");
        m_lastFailure.clear();
    } else if (reason != m_lastFailure) {
        say("mqtt: cannot connect to " + m_config.broker.display() + " (" + reason + "); " + next +
            ", " + std::to_string(waiting) + " events wait");
        m_lastFailure = reason;
    }
    m_nextAttempt = Clock::now() + m_retry;
    m_retry = std::min(m_retry * 2, m_config.lastRetry);
}

void Station::onConnected()
{
    m_retry = m_config.firstRetry;
    m_lastFailure.clear();
    std::size_t waiting = 0;
    {
        std::lock_guard lock(m_mutex);
        m_connected = true;
        m_cardsChanged = true;
        waiting = m_spool->pending().size();
        m_nextToSend = waiting != 0 ? m_spool->pending().front().seq : m_spool->nextSeq();
    }
    std::string line = "mqtt: connected to " + m_config.broker.display() + " as " + m_config.reader;
    if (waiting != 0)
        line += ", sending " + std::to_string(waiting) + " waiting events";
    if (m_statusDropped != 0)
        line += " (" + std::to_string(m_statusDropped) + " dropped: the spool was full)";
    say(line);
    sendStatus(true);
    mosquitto_subscribe(m_client->handle, nullptr, topic("status").c_str(), 1);
    if (m_config.haDiscovery) {
        nlohmann::ordered_json device;
        device["identifiers"] = {"qn480_" + m_config.reader};
        device["name"] = "QN480 " + m_config.reader;
        device["model"] = "QN480";
        device["sw_version"] = m_config.version;
        nlohmann::ordered_json config;
        config["topic"] = topic("uid");
        config["device"] = device;
        publishNow("homeassistant/tag/" + m_config.reader + "/config", config.dump(), true);
    }
}

void Station::sendStatus(bool online)
{
    std::string text;
    {
        std::lock_guard lock(m_mutex);
        m_statusDropped = m_spool->dropped();
        text = statusText(online);
    }
    const int mid = publishNow(topic("status"), text, true);
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
    publishNow(topic("cards"), json, true);
}

void Station::sendWaiting()
{
    std::vector<SpooledEvent> batch;
    {
        std::lock_guard lock(m_mutex);
        const auto &pending = m_spool->pending();
        auto from = std::lower_bound(
            pending.begin(), pending.end(), m_nextToSend,
            [](const SpooledEvent &event, std::uint64_t seq) { return event.seq < seq; });
        std::size_t inFlightEvents = 0;
        for (std::size_t i = 0; i < m_inFlight.size(); ++i) {
            if (i == 0 || m_inFlight[i].second != m_inFlight[i - 1].second)
                ++inFlightEvents;
        }
        for (; from != pending.end() && inFlightEvents + batch.size() < kWindow; ++from)
            batch.push_back(*from);
    }
    for (const SpooledEvent &event : batch) {
        const int eventMid = publishNow(topic("event"), event.payload, false);
        if (eventMid < 0)
            return; // the connection is going; the next one starts from the spool
        m_inFlight.emplace_back(eventMid, event.seq);
        if (event.kind == EventKind::Present && !event.uid.empty()) {
            const int uidMid = publishNow(topic("uid"), event.uid, false);
            if (uidMid < 0)
                return;
            m_inFlight.emplace_back(uidMid, event.seq);
        }
        m_nextToSend = event.seq + 1;
    }
}

// An event counts as sent once the broker has acknowledged each of its messages.
void Station::onAcknowledged(int mid)
{
    if (mid == m_offlineMid && m_offlineMid >= 0)
        m_offlineAcked = true;
    const auto found = std::find_if(m_inFlight.begin(), m_inFlight.end(),
                                    [&](const auto &entry) { return entry.first == mid; });
    if (found == m_inFlight.end())
        return;
    const std::uint64_t seq = found->second;
    m_inFlight.erase(found);
    if (std::any_of(m_inFlight.begin(), m_inFlight.end(),
                    [&](const auto &entry) { return entry.second == seq; }))
        return;
    std::lock_guard lock(m_mutex);
    m_spool->markSent(seq);
    ++m_acknowledged;
    m_sent.notify_all();
}

void Station::run()
{
    bool offlineSent = false;
    for (;;) {
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
            nothingWaits = m_spool->pending().empty();
        }
        const bool connected = m_client && m_client->connackSeen && m_client->connackCode == 0;
        if (closing && !connected)
            break; // what waits stays in the spool for the next run
        if (closing) {
            if (!offlineSent && (nothingWaits || now >= closeBy)) {
                sendStatus(false);
                offlineSent = true;
            }
            if (offlineSent && (m_offlineAcked || now >= closeBy + kOfflineGrace)) {
                mosquitto_disconnect(m_client->handle);
                mosquitto_loop_write(m_client->handle, 1);
                m_client.reset();
                std::lock_guard lock(m_mutex);
                m_connected = false;
                break;
            }
        }
        if (!m_client && now >= m_nextAttempt)
            connectNow();
        if (m_client && !connected && now >= m_attemptDeadline)
            lose("no answer within " + secondsText(m_config.connectTimeout), false);
        if (connected && !offlineSent) {
            sendWaiting();
            if (m_client && cardsChanged)
                sendCards();
            if (m_client && (dropsChanged || m_client->offlineSeen)) {
                m_client->offlineSeen = false;
                sendStatus(true);
            }
        }

        pollfd fds[2] = {{m_wakePipe[0], POLLIN, 0}, {-1, 0, 0}};
        nfds_t count = 1;
        const int socket = m_client ? mosquitto_socket(m_client->handle) : -1;
        if (socket >= 0) {
            fds[1] = {
                socket,
                static_cast<short>(POLLIN | (mosquitto_want_write(m_client->handle) ? POLLOUT : 0)),
                0};
            count = 2;
        }
        auto wait = kLongestWait;
        if (!m_client) {
            wait = std::clamp(
                std::chrono::duration_cast<std::chrono::milliseconds>(m_nextAttempt - Clock::now()),
                std::chrono::milliseconds(0), kLongestWait);
        }
        if (closing)
            wait = std::min(wait, std::chrono::milliseconds(20));
        ::poll(fds, count, static_cast<int>(wait.count()));
        if (fds[0].revents & POLLIN) {
            char drained[64];
            while (::read(m_wakePipe[0], drained, sizeof drained) > 0) {
            }
        }
        if (!m_client)
            continue;
        int rc = MOSQ_ERR_SUCCESS;
        if (count == 2 && (fds[1].revents & (POLLIN | POLLHUP | POLLERR)))
            rc = mosquitto_loop_read(m_client->handle, 1);
        if (rc == MOSQ_ERR_SUCCESS && mosquitto_want_write(m_client->handle))
            rc = mosquitto_loop_write(m_client->handle, 1);
        if (rc == MOSQ_ERR_SUCCESS)
            rc = mosquitto_loop_misc(m_client->handle);
        const int savedErrno = errno;
        if (m_client->connackSeen && m_client->connackCode != 0) {
            lose(mosquitto_connack_string(m_client->connackCode), false);
            continue;
        }
        if (rc != MOSQ_ERR_SUCCESS) {
            lose(errorText(rc, savedErrno), connected);
            continue;
        }
        if (!connected && m_client->connackSeen)
            onConnected();
    }
    m_inFlight.clear();
}

} // namespace qn480::station
