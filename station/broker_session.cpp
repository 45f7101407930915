// SPDX-License-Identifier: GPL-3.0-or-later
#include "broker_session.h"

#include "spool.h"
#include "text_util.h"

#include <mosquitto.h>
#include <mqtt_protocol.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace qn480::station {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kKeepAliveSeconds = 30;
// A connection the broker closes sooner than this after it came may have been taken over.
constexpr std::chrono::seconds kQuickClose{5};

void initialiseLibrary()
{
    static const int once = [] {
        mosquitto_lib_init();
        return 0;
    }();
    (void)once;
}

} // namespace

std::string mqttErrorText(int rc, int savedErrno)
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

// One attempt: a fresh libmosquitto client, so that nothing it queued for a lost connection
// goes out again beside what the spool sends.
struct BrokerSession::Client
{
    mosquitto *handle = nullptr;
    bool connackSeen = false;
    int connackCode = 0;
    // The reason code of a DISCONNECT from the broker (MQTT 5); -1: none came.
    int disconnectReason = -1;

    ~Client()
    {
        if (handle)
            mosquitto_destroy(handle);
    }
};

BrokerSession::BrokerSession(Settings settings, Hooks hooks)
    : m_settings(std::move(settings))
    , m_hooks(std::move(hooks))
    , m_retry(m_settings.firstRetry)
    , m_nextAttempt(Clock::now())
{
    initialiseLibrary();
    // A pipe, not an eventfd, so that macOS builds it too.
    if (::pipe(m_wakePipe) != 0)
        throw SpoolError(std::string("cannot make a pipe: ") + std::strerror(errno));
    for (const int fd : m_wakePipe) {
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
        ::fcntl(fd, F_SETFL, O_NONBLOCK);
    }
}

BrokerSession::~BrokerSession()
{
    m_client.reset();
    for (const int fd : m_wakePipe)
        ::close(fd);
}

void BrokerSession::wake()
{
    // A full pipe wakes the thread as well as one more byte would.
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(m_wakePipe[1], &byte, 1);
}

BrokerSession::Turn BrokerSession::service(std::chrono::milliseconds wait, bool wasConnected)
{
    pollfd fds[2] = {{m_wakePipe[0], POLLIN, 0}, {-1, 0, 0}};
    nfds_t count = 1;
    mosquitto *client = handle();
    const int socket = client ? mosquitto_socket(client) : -1;
    if (socket >= 0) {
        fds[1] = {socket, static_cast<short>(POLLIN | (mosquitto_want_write(client) ? POLLOUT : 0)),
                  0};
        count = 2;
    }
    ::poll(fds, count, static_cast<int>(wait.count()));
    if (fds[0].revents & POLLIN) {
        char drained[64];
        while (::read(m_wakePipe[0], drained, sizeof drained) > 0) {
        }
    }
    if (!client)
        return Turn::Same;
    int rc = MOSQ_ERR_SUCCESS;
    if (count == 2 && (fds[1].revents & (POLLIN | POLLHUP | POLLERR)))
        rc = mosquitto_loop_read(client, 1);
    if (rc == MOSQ_ERR_SUCCESS && mosquitto_want_write(client))
        rc = mosquitto_loop_write(client, 1);
    if (rc == MOSQ_ERR_SUCCESS)
        rc = mosquitto_loop_misc(client);
    const int savedErrno = errno;
    if (m_hooks.failed())
        return Turn::Failed;
    return afterLoop(rc, savedErrno, wasConnected);
}

mosquitto *BrokerSession::handle() const
{
    return m_client ? m_client->handle : nullptr;
}

bool BrokerSession::connected() const
{
    return m_client && m_client->connackSeen && m_client->connackCode == 0;
}

void BrokerSession::attemptIfDue(Clock::time_point now)
{
    if (!m_client && now >= m_nextAttempt)
        connectNow();
    if (m_client && !connected() && now >= m_attemptDeadline)
        lose("no answer within " + secondsText(m_settings.connectTimeout), false);
}

std::chrono::milliseconds BrokerSession::untilAttempt(std::chrono::milliseconds longest) const
{
    if (m_client)
        return longest;
    return std::clamp(
        std::chrono::duration_cast<std::chrono::milliseconds>(m_nextAttempt - Clock::now()),
        std::chrono::milliseconds(0), longest);
}

void BrokerSession::disconnect()
{
    if (!m_client)
        return;
    mosquitto_disconnect(m_client->handle);
    mosquitto_loop_write(m_client->handle, 1);
    m_client.reset();
}

void BrokerSession::drop()
{
    m_client.reset();
}

int setLogin(mosquitto *client, const BrokerLogin &login)
{
    if (!login.broker.user.empty())
        mosquitto_username_pw_set(client, login.broker.user.c_str(),
                                  login.password ? login.password->c_str() : nullptr);
    if (!login.broker.tls)
        return MOSQ_ERR_SUCCESS;
    // Without a CA file the system's certificates vouch for the broker.
    const auto file = [](const std::string &path) {
        return path.empty() ? nullptr : path.c_str();
    };
    return mosquitto_tls_set(client, file(login.caFile),
                             login.caFile.empty() ? "/etc/ssl/certs" : nullptr,
                             file(login.certFile), file(login.keyFile), nullptr);
}

void BrokerSession::connectNow()
{
    m_client = std::make_unique<Client>();
    mosquitto *handle = mosquitto_new(m_settings.clientId.c_str(), true, this);
    if (!handle) {
        m_client.reset();
        lose("out of memory", false);
        return;
    }
    m_client->handle = handle;
    mosquitto_int_option(handle, MOSQ_OPT_PROTOCOL_VERSION,
                         m_mqtt5 ? MQTT_PROTOCOL_V5 : MQTT_PROTOCOL_V311);
    mosquitto_connect_v5_callback_set(
        handle, [](mosquitto *, void *self, int rc, int, const mosquitto_property *) {
            auto *session = static_cast<BrokerSession *>(self);
            session->m_client->connackSeen = true;
            session->m_client->connackCode = rc;
        });
    mosquitto_disconnect_v5_callback_set(
        handle, [](mosquitto *, void *self, int rc, const mosquitto_property *) {
            static_cast<BrokerSession *>(self)->m_client->disconnectReason = rc;
        });
    mosquitto_publish_v5_callback_set(
        handle, [](mosquitto *, void *self, int mid, int reason, const mosquitto_property *) {
            static_cast<BrokerSession *>(self)->m_hooks.acknowledged(mid, reason);
        });
    mosquitto_message_v5_callback_set(handle, [](mosquitto *, void *self,
                                                 const mosquitto_message *message,
                                                 const mosquitto_property *properties) {
        static_cast<BrokerSession *>(self)->m_hooks.message(message, properties);
    });
    const std::string will = m_hooks.will();
    mosquitto_will_set(handle, m_settings.willTopic.c_str(), static_cast<int>(will.size()),
                       will.data(), 1, true);
    int rc = setLogin(handle, m_settings.login);
    m_attemptDeadline = Clock::now() + m_settings.connectTimeout;
    if (rc == MOSQ_ERR_SUCCESS)
        rc = mosquitto_connect_async(handle, m_settings.login.broker.host.c_str(),
                                     m_settings.login.broker.port, kKeepAliveSeconds);
    if (rc != MOSQ_ERR_SUCCESS)
        lose(mqttErrorText(rc, errno), false);
}

void BrokerSession::lose(const std::string &reason, bool wasConnected, bool told)
{
    m_client.reset();
    m_hooks.lost(reason);
    const std::string display = m_settings.login.broker.display();
    const std::string next = "retrying in " + secondsText(m_retry);
    if (told) {
        m_lastFailure.clear();
    } else if (wasConnected) {
        m_hooks.say("mqtt: connection to " + display + " lost (" + reason + "); " + next +
                    ", events wait in the spool");
        m_lastFailure.clear();
    } else if (reason != m_lastFailure) {
        m_hooks.say("mqtt: cannot connect to " + display + " (" + reason + "); " + next + ", " +
                    std::to_string(m_hooks.waiting()) + " events wait");
        m_lastFailure = reason;
    }
    m_nextAttempt = Clock::now() + m_retry;
    m_retry = std::min(m_retry * 2, m_settings.lastRetry);
}

// The broker answered the CONNECT with a refusal. A broker of MQTT 3.1.1 is asked again in
// its version; a user or password it refuses ends the station (true), since trying again
// cannot mend it; anything else is tried again after the backoff.
bool BrokerSession::refusedConnection()
{
    const int code = m_client->connackCode;
    if (m_mqtt5 && (code == MQTT_RC_UNSUPPORTED_PROTOCOL_VERSION ||
                    code == CONNACK_REFUSED_PROTOCOL_VERSION)) {
        m_mqtt5 = false;
        m_hooks.say("mqtt: " + m_settings.login.broker.display() +
                    " speaks only MQTT 3.1.1, where a publish that the broker refuses cannot be "
                    "told from one it takes");
        m_client.reset();
        m_nextAttempt = Clock::now();
        return false;
    }
    const bool fatal =
        m_mqtt5 ? code == MQTT_RC_BAD_USERNAME_OR_PASSWORD || code == MQTT_RC_NOT_AUTHORIZED
                : code == CONNACK_REFUSED_BAD_USERNAME_PASSWORD ||
                      code == CONNACK_REFUSED_NOT_AUTHORIZED;
    const std::string reason =
        m_mqtt5 ? mosquitto_reason_string(code) : mosquitto_connack_string(code);
    if (!fatal) {
        lose(reason, false);
        return false;
    }
    m_hooks.refused("mqtt: " + m_settings.login.broker.display() + " refuses " +
                    (m_settings.login.broker.user.empty()
                         ? std::string("the connection")
                         : "the user " + m_settings.login.broker.user) +
                    " (" + reason + "); ");
    return true;
}

// Another connection with this reader's client id: another station was started for the same
// reader. The two would knock each other off for ever; the retries slow down to the backoff
// and stay slow. An MQTT 5 broker may say so (`told`, "Session taken over"); Mosquitto 2.0
// just closes the connection, so a connection closed soon after it came, twice in a row, is
// taken for the same.
void BrokerSession::takenOver(bool told)
{
    m_takeoverRetry =
        std::min(std::max(m_takeoverRetry * 2, m_settings.firstRetry * 2), m_settings.lastRetry);
    m_retry = m_takeoverRetry;
    const std::string who =
        "another station with the same reader name (client id " + m_settings.clientId + ")";
    m_hooks.say("mqtt: " + m_settings.login.broker.display() +
                (told ? " says that " + who + " took over the reader " + m_settings.reader
                      : " keeps closing the connection of the reader " + m_settings.reader +
                            " soon after it is made: " + who + " has probably taken it over") +
                "; retrying in " + secondsText(m_retry));
    lose("another station took over the reader " + m_settings.reader, true, true);
}

BrokerSession::Turn BrokerSession::afterLoop(int rc, int savedErrno, bool wasConnected)
{
    if (m_client->connackSeen && m_client->connackCode != 0)
        return refusedConnection() ? Turn::Failed : Turn::Gone;
    if (m_client->disconnectReason == MQTT_RC_SESSION_TAKEN_OVER) {
        takenOver(true);
        return Turn::Gone;
    }
    if (m_client->disconnectReason >= 0x80) {
        lose(mosquitto_reason_string(m_client->disconnectReason), wasConnected);
        return Turn::Gone;
    }
    if (rc != MOSQ_ERR_SUCCESS) {
        if (wasConnected) {
            const bool quick =
                rc == MOSQ_ERR_CONN_LOST && Clock::now() - m_connectedAt < kQuickClose;
            m_quickCloses = quick ? m_quickCloses + 1 : 0;
        }
        if (wasConnected && m_quickCloses >= 2)
            takenOver(false);
        else
            lose(mqttErrorText(rc, savedErrno), wasConnected);
        return Turn::Gone;
    }
    if (!wasConnected && m_client->connackSeen) {
        m_retry = m_settings.firstRetry;
        m_lastFailure.clear();
        m_connectedAt = Clock::now();
        return Turn::Connected;
    }
    return Turn::Same;
}

} // namespace qn480::station
