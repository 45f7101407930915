// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include <sys/types.h>

struct mosquitto;

namespace qn480::testing {

// Debian's mosquitto on a free loopback port, with a configuration generated in `dir` (a
// PrivateDir): persistence there, so that retained messages and a subscriber's session live
// through stop() and start(); with a user, anonymous clients are refused. An `acl` is the
// text of Mosquitto's acl_file ("user NAME" then "topic write FILTER" lines); `more` is added
// to the configuration as it is.
class MqttBroker
{
public:
    // The broker program, or "" when the mosquitto package is missing.
    static std::string program();

    MqttBroker(const std::string &dir, const std::string &user = {},
               const std::string &password = {}, const std::string &acl = {},
               const std::string &more = {});
    // Another user, before start().
    void addUser(const std::string &user, const std::string &password);
    ~MqttBroker();
    MqttBroker(const MqttBroker &) = delete;
    MqttBroker &operator=(const MqttBroker &) = delete;

    // Starts it (again, on the same port) and waits until it takes connections.
    void start();
    // SIGTERM, as a service manager stops it; it saves its state first.
    void stop();
    int port() const { return m_port; }

private:
    std::string m_dir;
    int m_port = 0;
    pid_t m_pid = -1;
};

struct MqttMessage
{
    std::string topic;
    std::string payload;
    bool retained = false;
    std::chrono::steady_clock::time_point receivedAt;
};

// A client that subscribes to `filters` at QoS 1 and keeps every message. A persistent one
// keeps its session on the broker, so that it misses nothing published while it reconnects.
class MqttSubscriber
{
public:
    MqttSubscriber(int port, const std::vector<std::string> &filters, bool persistent,
                   const std::string &user = {}, const std::string &password = {});
    ~MqttSubscriber();
    MqttSubscriber(const MqttSubscriber &) = delete;
    MqttSubscriber &operator=(const MqttSubscriber &) = delete;

    // Waits until the messages so far satisfy `done`; false after `timeout`.
    bool waitFor(const std::function<bool(const std::vector<MqttMessage> &)> &done,
                 std::chrono::milliseconds timeout = std::chrono::seconds(30));
    // Waits until it has subscribed (after its first connection).
    bool waitSubscribed(std::chrono::milliseconds timeout = std::chrono::seconds(10));
    std::vector<MqttMessage> messages() const;
    // The payloads of `topic`, in the order they came.
    std::vector<std::string> payloads(const std::string &topic) const;

private:
    mosquitto *m_client = nullptr;
    std::vector<std::string> m_filters;
    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<MqttMessage> m_messages;
    bool m_subscribed = false;
};

} // namespace qn480::testing
