// SPDX-License-Identifier: GPL-3.0-or-later
#include "keypad_client.h"
#include "station.h"

#include <cstdlib>

namespace qn480::station {

StationConfig stationConfig(const StationOptions &options, const std::string &device,
                            const std::string &version)
{
    StationConfig config;
    const KeypadClient::Settings login = KeypadClient::Settings::of(options, {});
    config.broker = login.broker;
    config.password = login.password;
    config.caFile = login.caFile;
    config.certFile = login.certFile;
    config.keyFile = login.keyFile;
    config.reader = std::string(checkTopicText(
        options.reader.empty() ? defaultReaderName(device) : checkReaderName(options.reader),
        "the reader name"));
    config.spoolDir = options.spool.empty()
                          ? std::filesystem::path(defaultSpoolDir(
                                config.reader, std::getenv("XDG_STATE_HOME"), std::getenv("HOME")))
                          : std::filesystem::path(options.spool);
    config.haDiscovery = options.haDiscovery;
    config.version = version;
    config.uidMaxAge = options.uidMaxAge;
    config.remoteKeypad = options.remoteKeypad;
    return config;
}

KeypadClient::Settings KeypadClient::Settings::of(const StationOptions &options,
                                                  std::chrono::milliseconds timeout)
{
    return {parseBrokerUrl(options.url),
            readPassword(options.passwordFile.empty()
                             ? std::nullopt
                             : std::optional<std::string>(options.passwordFile),
                         std::getenv(kPasswordVariable)),
            options.ca,
            options.cert,
            options.key,
            timeout};
}

BrokerSession::Settings Station::sessionSettings(const StationConfig &config, std::string willTopic)
{
    return {config.broker,     config.password,          config.caFile,        config.certFile,
            config.keyFile,    "qn480-" + config.reader, config.reader,        std::move(willTopic),
            config.firstRetry, config.lastRetry,         config.connectTimeout};
}

} // namespace qn480::station
