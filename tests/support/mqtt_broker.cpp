// SPDX-License-Identifier: GPL-3.0-or-later
#include "mqtt_broker.h"

#include <mosquitto.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <thread>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace qn480::testing {

namespace {

int freeLoopbackPort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr *>(&address), size) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &size) != 0)
        throw std::runtime_error(std::string("no free loopback port: ") + std::strerror(errno));
    ::close(fd);
    return ntohs(address.sin_port);
}

bool takesConnections(int port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
    ::close(fd);
    return ok;
}

// Runs a program to its end; its exit code.
int run(const std::vector<std::string> &args)
{
    const pid_t pid = ::fork();
    if (pid == 0) {
        std::vector<char *> argv;
        for (const std::string &arg : args)
            argv.push_back(const_cast<char *>(arg.c_str()));
        argv.push_back(nullptr);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

void initialiseLibrary()
{
    static const int once = [] {
        mosquitto_lib_init();
        return 0;
    }();
    (void)once;
}

} // namespace

std::string MqttBroker::program()
{
    for (const char *path : {"/usr/sbin/mosquitto", "/usr/bin/mosquitto"}) {
        if (::access(path, X_OK) == 0)
            return path;
    }
    return {};
}

MqttBroker::MqttBroker(const std::string &dir, const std::string &user, const std::string &password,
                       const std::string &acl, const std::string &more)
    : m_dir(dir)
    , m_port(freeLoopbackPort())
{
    const passwd *me = ::getpwuid(::getuid());
    std::ofstream config(m_dir + "/mosquitto.conf");
    config << "listener " << m_port << " 127.0.0.1\n"
           << "persistence true\n"
           << "persistence_location " << m_dir << "/\n"
           << "log_dest file " << m_dir
           << "/mosquitto.log\n"
           // Started as root it would switch to the mosquitto user, who cannot enter `dir`.
           << "user " << (me ? me->pw_name : "root") << "\n";
    if (user.empty()) {
        config << "allow_anonymous true\n";
    } else {
        config << "allow_anonymous false\n"
               << "password_file " << m_dir << "/passwd\n";
        std::ofstream(m_dir + "/passwd").close();
        addUser(user, password);
    }
    if (!acl.empty()) {
        config << "acl_file " << m_dir << "/acl\n";
        std::ofstream(m_dir + "/acl") << acl;
    }
    config << more;
}

void MqttBroker::addUser(const std::string &user, const std::string &password)
{
    if (run({"/usr/bin/mosquitto_passwd", "-b", m_dir + "/passwd", user, password}) != 0)
        throw std::runtime_error("mosquitto_passwd failed");
}

MqttBroker::~MqttBroker()
{
    if (m_pid > 0) {
        ::kill(m_pid, SIGKILL);
        ::waitpid(m_pid, nullptr, 0);
    }
}

void MqttBroker::start()
{
    if (m_pid > 0)
        return;
    const std::string path = program();
    const std::string config = m_dir + "/mosquitto.conf";
    m_pid = ::fork();
    if (m_pid == 0) {
        // Its own words (a warning when run as root) go to its log, not into the test's.
        const int log = ::open((m_dir + "/stderr.log").c_str(),
                               O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
        if (log >= 0) {
            ::dup2(log, STDOUT_FILENO);
            ::dup2(log, STDERR_FILENO);
        }
        ::execl(path.c_str(), path.c_str(), "-c", config.c_str(), static_cast<char *>(nullptr));
        ::_exit(127);
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!takesConnections(m_port)) {
        if (::waitpid(m_pid, nullptr, WNOHANG) == m_pid) {
            m_pid = -1;
            throw std::runtime_error("mosquitto ended at start; see " + m_dir + "/mosquitto.log");
        }
        if (std::chrono::steady_clock::now() > deadline)
            throw std::runtime_error("mosquitto does not take connections");
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

void MqttBroker::stop()
{
    if (m_pid <= 0)
        return;
    ::kill(m_pid, SIGTERM);
    while (::waitpid(m_pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    m_pid = -1;
}

MqttSubscriber::MqttSubscriber(int port, const std::vector<std::string> &filters, bool persistent,
                               const std::string &user, const std::string &password)
    : m_filters(filters)
{
    initialiseLibrary();
    static int serial = 0;
    const std::string id =
        "qn480-test-" + std::to_string(::getpid()) + "-" + std::to_string(++serial);
    m_client = mosquitto_new(id.c_str(), !persistent, this);
    if (!m_client)
        throw std::runtime_error("mosquitto_new failed");
    if (!user.empty())
        mosquitto_username_pw_set(m_client, user.c_str(), password.c_str());
    mosquitto_connect_callback_set(m_client, [](mosquitto *client, void *self, int rc) {
        if (rc != 0)
            return;
        for (const std::string &filter : static_cast<MqttSubscriber *>(self)->m_filters)
            mosquitto_subscribe(client, nullptr, filter.c_str(), 1);
    });
    mosquitto_subscribe_callback_set(m_client, [](mosquitto *, void *self, int, int, const int *) {
        auto *me = static_cast<MqttSubscriber *>(self);
        std::lock_guard lock(me->m_mutex);
        me->m_subscribed = true;
        me->m_changed.notify_all();
    });
    mosquitto_message_callback_set(
        m_client, [](mosquitto *, void *self, const mosquitto_message *message) {
            auto *me = static_cast<MqttSubscriber *>(self);
            std::lock_guard lock(me->m_mutex);
            me->m_messages.push_back({message->topic,
                                      std::string(static_cast<const char *>(message->payload),
                                                  static_cast<std::size_t>(message->payloadlen)),
                                      message->retain, std::chrono::steady_clock::now()});
            me->m_changed.notify_all();
        });
    mosquitto_reconnect_delay_set(m_client, 1, 1, false);
    if (mosquitto_connect(m_client, "127.0.0.1", port, 30) != MOSQ_ERR_SUCCESS ||
        mosquitto_loop_start(m_client) != MOSQ_ERR_SUCCESS)
        throw std::runtime_error("the subscriber cannot connect");
}

MqttSubscriber::~MqttSubscriber()
{
    mosquitto_disconnect(m_client);
    mosquitto_loop_stop(m_client, true);
    mosquitto_destroy(m_client);
}

bool MqttSubscriber::waitFor(const std::function<bool(const std::vector<MqttMessage> &)> &done,
                             std::chrono::milliseconds timeout)
{
    std::unique_lock lock(m_mutex);
    return m_changed.wait_for(lock, timeout, [&] { return done(m_messages); });
}

bool MqttSubscriber::waitSubscribed(std::chrono::milliseconds timeout)
{
    std::unique_lock lock(m_mutex);
    return m_changed.wait_for(lock, timeout, [&] { return m_subscribed; });
}

std::vector<MqttMessage> MqttSubscriber::messages() const
{
    std::lock_guard lock(m_mutex);
    return m_messages;
}

std::vector<std::string> MqttSubscriber::payloads(const std::string &topic) const
{
    std::vector<std::string> found;
    std::lock_guard lock(m_mutex);
    for (const MqttMessage &message : m_messages) {
        if (message.topic == topic)
            found.push_back(message.payload);
    }
    return found;
}

} // namespace qn480::testing
